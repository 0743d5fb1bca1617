#include "renderer/lighting.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "renderer/pipelines.h"
#include "renderer/renderer.h"
#include "renderer/shader_table.h"
#include "renderer/vram.h"

namespace {

constexpr VkDeviceSize kScratchAlign = 256;
constexpr VkMemoryPropertyFlags kHostMemory =
    VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;

VkDeviceAddress bufferAddress(VkDevice device, VkBuffer buffer) {
  if (!buffer) return 0;
  VkBufferDeviceAddressInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_BUFFER_DEVICE_ADDRESS_INFO;
  ai.buffer = buffer;
  return vkGetBufferDeviceAddress(device, &ai);
}

b8 rayQueryOn(const Lighting* l) { return l->renderer && l->renderer->rayQuerySupported; }

// --- shadow map -----------------------------------------------------------

b8 createShadowImage(Lighting* l) {
  VkDevice dev = l->renderer->device;
  VkImageCreateInfo ii{};
  ii.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO;
  ii.imageType = VK_IMAGE_TYPE_2D;
  ii.format = VK_FORMAT_D32_SFLOAT;
  ii.extent = {kShadowMapSize, kShadowMapSize, 1};
  ii.mipLevels = 1;
  ii.arrayLayers = kShadowMapLayers;
  ii.samples = VK_SAMPLE_COUNT_1_BIT;
  ii.tiling = VK_IMAGE_TILING_OPTIMAL;
  ii.usage = VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT | VK_IMAGE_USAGE_SAMPLED_BIT;
  ii.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  if (vkCreateImage(dev, &ii, nullptr, &l->shadowImage) != VK_SUCCESS) return false;
  VkMemoryRequirements req;
  vkGetImageMemoryRequirements(dev, l->shadowImage, &req);
  VkMemoryAllocateInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
  ai.allocationSize = req.size;
  ai.memoryTypeIndex = vramFindMemoryType(req.memoryTypeBits, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
  if (vramAlloc(&ai, &l->shadowMemory) != VK_SUCCESS) return false;
  l->shadowMemorySize = req.size;
  vkBindImageMemory(dev, l->shadowImage, l->shadowMemory, 0);

  VkImageViewCreateInfo vi{};
  vi.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
  vi.image = l->shadowImage;
  vi.format = VK_FORMAT_D32_SFLOAT;
  vi.subresourceRange = {VK_IMAGE_ASPECT_DEPTH_BIT, 0, 1, 0, 1};
  vi.viewType = VK_IMAGE_VIEW_TYPE_2D;
  for (u32 i = 0; i < kShadowMapLayers; i++) {
    vi.subresourceRange.baseArrayLayer = i;
    if (vkCreateImageView(dev, &vi, nullptr, &l->shadowLayerViews[i]) != VK_SUCCESS) return false;
  }
  vi.viewType = VK_IMAGE_VIEW_TYPE_2D_ARRAY;
  vi.subresourceRange.baseArrayLayer = 0;
  vi.subresourceRange.layerCount = kShadowMapLayers;
  if (vkCreateImageView(dev, &vi, nullptr, &l->shadowArrayView) != VK_SUCCESS) return false;

  VkSamplerCreateInfo si{};
  si.sType = VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO;
  si.magFilter = VK_FILTER_LINEAR;
  si.minFilter = VK_FILTER_LINEAR;
  si.mipmapMode = VK_SAMPLER_MIPMAP_MODE_NEAREST;
  si.addressModeU = si.addressModeV = si.addressModeW = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_BORDER;
  si.borderColor = VK_BORDER_COLOR_FLOAT_OPAQUE_WHITE;  // outside the map counts as lit
  si.compareEnable = VK_TRUE;
  si.compareOp = VK_COMPARE_OP_LESS_OR_EQUAL;
  si.maxAnisotropy = 1.0f;
  si.minLod = 0.0f;
  si.maxLod = 1.0f;
  return vkCreateSampler(dev, &si, nullptr, &l->shadowSampler) == VK_SUCCESS;
}

b8 createShadowPass(Lighting* l) {
  VkDevice dev = l->renderer->device;
  VkAttachmentDescription depth{};
  depth.format = VK_FORMAT_D32_SFLOAT;
  depth.samples = VK_SAMPLE_COUNT_1_BIT;
  depth.loadOp = VK_ATTACHMENT_LOAD_OP_CLEAR;
  depth.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
  depth.stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
  depth.stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
  depth.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  depth.finalLayout = VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
  VkAttachmentReference ref{0, VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL};
  VkSubpassDescription sub{};
  sub.pipelineBindPoint = VK_PIPELINE_BIND_POINT_GRAPHICS;
  sub.pDepthStencilAttachment = &ref;
  VkSubpassDependency deps[2]{};
  deps[0].srcSubpass = VK_SUBPASS_EXTERNAL;
  deps[0].dstSubpass = 0;
  deps[0].srcStageMask = VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT;
  deps[0].dstStageMask = VK_PIPELINE_STAGE_EARLY_FRAGMENT_TESTS_BIT;
  deps[0].srcAccessMask = VK_ACCESS_SHADER_READ_BIT;
  deps[0].dstAccessMask = VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT;
  deps[0].dependencyFlags = VK_DEPENDENCY_BY_REGION_BIT;
  deps[1].srcSubpass = 0;
  deps[1].dstSubpass = VK_SUBPASS_EXTERNAL;
  deps[1].srcStageMask = VK_PIPELINE_STAGE_LATE_FRAGMENT_TESTS_BIT;
  deps[1].dstStageMask = VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT;
  deps[1].srcAccessMask = VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT;
  deps[1].dstAccessMask = VK_ACCESS_SHADER_READ_BIT;
  deps[1].dependencyFlags = VK_DEPENDENCY_BY_REGION_BIT;
  VkRenderPassCreateInfo rp{};
  rp.sType = VK_STRUCTURE_TYPE_RENDER_PASS_CREATE_INFO;
  rp.attachmentCount = 1;
  rp.pAttachments = &depth;
  rp.subpassCount = 1;
  rp.pSubpasses = &sub;
  rp.dependencyCount = 2;
  rp.pDependencies = deps;
  if (vkCreateRenderPass(dev, &rp, nullptr, &l->shadowRenderPass) != VK_SUCCESS) return false;
  for (u32 i = 0; i < kShadowMapLayers; i++) {
    VkFramebufferCreateInfo fi{};
    fi.sType = VK_STRUCTURE_TYPE_FRAMEBUFFER_CREATE_INFO;
    fi.renderPass = l->shadowRenderPass;
    fi.attachmentCount = 1;
    fi.pAttachments = &l->shadowLayerViews[i];
    fi.width = kShadowMapSize;
    fi.height = kShadowMapSize;
    fi.layers = 1;
    if (vkCreateFramebuffer(dev, &fi, nullptr, &l->shadowFramebuffers[i]) != VK_SUCCESS) return false;
  }
  // A map never rendered is still sampled in a valid layout.
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(l->renderer);
  if (!cmd) return false;
  VkImageMemoryBarrier b{};
  b.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
  b.srcAccessMask = 0;
  b.dstAccessMask = VK_ACCESS_SHADER_READ_BIT;
  b.oldLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  b.newLayout = VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
  b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.image = l->shadowImage;
  b.subresourceRange = {VK_IMAGE_ASPECT_DEPTH_BIT, 0, 1, 0, kShadowMapLayers};
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT, 0, 0, nullptr,
                       0, nullptr, 1, &b);
  rendererEndOneTimeCommands(l->renderer, cmd);
  return true;
}

// --- descriptors ------------------------------------------------------------

struct DescriptorObjects {
  VkDescriptorSetLayout setLayout;
  VkDescriptorSetLayout emptySetLayout;
  VkDescriptorPool pool;
  VkDescriptorSet set;
  VkDescriptorSet emptySet;
  b8 hasTlas;
};

void destroyDescriptors(VkDevice dev, DescriptorObjects* d) {
  if (d->pool) vkDestroyDescriptorPool(dev, d->pool, nullptr);
  if (d->setLayout) vkDestroyDescriptorSetLayout(dev, d->setLayout, nullptr);
  if (d->emptySetLayout) vkDestroyDescriptorSetLayout(dev, d->emptySetLayout, nullptr);
  *d = DescriptorObjects{};
}

void writeTlas(VkDevice dev, VkDescriptorSet set, VkAccelerationStructureKHR tlas) {
  VkWriteDescriptorSetAccelerationStructureKHR as{};
  as.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET_ACCELERATION_STRUCTURE_KHR;
  as.accelerationStructureCount = 1;
  as.pAccelerationStructures = &tlas;
  VkWriteDescriptorSet w{};
  w.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
  w.pNext = &as;
  w.dstSet = set;
  w.dstBinding = 1;
  w.descriptorCount = 1;
  w.descriptorType = VK_DESCRIPTOR_TYPE_ACCELERATION_STRUCTURE_KHR;
  vkUpdateDescriptorSets(dev, 1, &w, 0, nullptr);
}

b8 createDescriptors(Lighting* l, DescriptorObjects* d) {
  Renderer* r = l->renderer;
  *d = DescriptorObjects{};
  d->hasTlas = r->lightingMode == RENDERER_LIGHTING_RAY_QUERY;
  VkDescriptorSetLayoutBinding bindings[2]{};
  bindings[0].binding = 0;
  bindings[0].descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
  bindings[0].descriptorCount = 1;
  bindings[0].stageFlags = VK_SHADER_STAGE_FRAGMENT_BIT;
  bindings[1].binding = 1;
  bindings[1].descriptorType = VK_DESCRIPTOR_TYPE_ACCELERATION_STRUCTURE_KHR;
  bindings[1].descriptorCount = 1;
  bindings[1].stageFlags = VK_SHADER_STAGE_FRAGMENT_BIT;
  d->setLayout = rendererCreateDescriptorSetLayout(r, bindings, d->hasTlas ? 2 : 1);
  d->emptySetLayout = rendererCreateDescriptorSetLayout(r, nullptr, 0);
  VkDescriptorPoolSize sizes[2] = {{VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1},
                                   {VK_DESCRIPTOR_TYPE_ACCELERATION_STRUCTURE_KHR, 1}};
  if (d->setLayout && d->emptySetLayout) d->pool = rendererCreateDescriptorPool(r, sizes, d->hasTlas ? 2 : 1, 2);
  if (d->pool) {
    d->set = rendererAllocDescriptorSet(r, d->pool, d->setLayout);
    d->emptySet = rendererAllocDescriptorSet(r, d->pool, d->emptySetLayout);
  }
  if (!d->set || !d->emptySet) {
    destroyDescriptors(r->device, d);
    return false;
  }
  VkDescriptorImageInfo img{l->shadowSampler, l->shadowArrayView, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL};
  VkWriteDescriptorSet w{};
  w.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
  w.dstSet = d->set;
  w.dstBinding = 0;
  w.descriptorCount = 1;
  w.descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
  w.pImageInfo = &img;
  vkUpdateDescriptorSets(r->device, 1, &w, 0, nullptr);
  if (d->hasTlas && l->rayQueryTlas) writeTlas(r->device, d->set, l->rayQueryTlas);
  return true;
}

void adoptDescriptors(Lighting* l, const DescriptorObjects& d) {
  l->setLayout = d.setLayout;
  l->emptySetLayout = d.emptySetLayout;
  l->descPool = d.pool;
  l->descSet = d.set;
  l->emptyDescSet = d.emptySet;
  l->setHasTlas = d.hasTlas;
}

// --- acceleration structures ----------------------------------------------

void destroyAs(VkDevice dev, LightingBlas* a) {
  if (a->as) vkDestroyAccelerationStructureKHR(dev, a->as, nullptr);
  if (a->buffer) vkDestroyBuffer(dev, a->buffer, nullptr);
  if (a->memory) vramFree(a->memory, a->memorySize, false);
  *a = LightingBlas{};
}

b8 createAs(VkDevice dev, VkAccelerationStructureTypeKHR type, VkDeviceSize size, LightingBlas* out) {
  *out = LightingBlas{};
  if (!vramCreateBuffer(dev, size,
                        VK_BUFFER_USAGE_ACCELERATION_STRUCTURE_STORAGE_BIT_KHR |
                            VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT,
                        VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, &out->buffer, &out->memory, &out->memorySize))
    return false;
  VkAccelerationStructureCreateInfoKHR ci{};
  ci.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_CREATE_INFO_KHR;
  ci.buffer = out->buffer;
  ci.size = size;
  ci.type = type;
  if (vkCreateAccelerationStructureKHR(dev, &ci, nullptr, &out->as) != VK_SUCCESS) {
    destroyAs(dev, out);
    return false;
  }
  VkAccelerationStructureDeviceAddressInfoKHR ai{};
  ai.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_DEVICE_ADDRESS_INFO_KHR;
  ai.accelerationStructure = out->as;
  out->address = vkGetAccelerationStructureDeviceAddressKHR(dev, &ai);
  return true;
}

// The shared scratch buffer grows to the largest build seen.
b8 ensureScratch(Lighting* l, VkDeviceSize size) {
  if (l->scratchSize >= size) return true;
  VkDevice dev = l->renderer->device;
  if (l->scratch) {
    vramDeferFree(l->scratch, l->scratchMemory, l->scratchSize + kScratchAlign, false);
    l->scratch = VK_NULL_HANDLE;
    l->scratchMemory = VK_NULL_HANDLE;
    l->scratchSize = 0;
  }
  VkDeviceSize allocated = 0;
  if (!vramCreateBuffer(dev, size + kScratchAlign,
                        VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT,
                        VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, &l->scratch, &l->scratchMemory, &allocated))
    return false;
  l->scratchSize = size;
  VkDeviceAddress a = bufferAddress(dev, l->scratch);
  l->scratchAddress = (a + kScratchAlign - 1) & ~(VkDeviceAddress)(kScratchAlign - 1);
  return true;
}

VkAccelerationStructureGeometryKHR instanceGeometry(VkDeviceAddress instances) {
  VkAccelerationStructureGeometryKHR g{};
  g.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_GEOMETRY_KHR;
  g.geometryType = VK_GEOMETRY_TYPE_INSTANCES_KHR;
  g.flags = VK_GEOMETRY_OPAQUE_BIT_KHR;
  g.geometry.instances.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_GEOMETRY_INSTANCES_DATA_KHR;
  g.geometry.instances.arrayOfPointers = VK_FALSE;
  g.geometry.instances.data.deviceAddress = instances;
  return g;
}

b8 createTlas(Lighting* l) {
  VkDevice dev = l->renderer->device;
  VkAccelerationStructureGeometryKHR g = instanceGeometry(0);
  VkAccelerationStructureBuildGeometryInfoKHR bi{};
  bi.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_BUILD_GEOMETRY_INFO_KHR;
  bi.type = VK_ACCELERATION_STRUCTURE_TYPE_TOP_LEVEL_KHR;
  bi.flags = VK_BUILD_ACCELERATION_STRUCTURE_PREFER_FAST_BUILD_BIT_KHR;
  bi.mode = VK_BUILD_ACCELERATION_STRUCTURE_MODE_BUILD_KHR;
  bi.geometryCount = 1;
  bi.pGeometries = &g;
  u32 maxInstances = kLightingMaxTlasInstances;
  VkAccelerationStructureBuildSizesInfoKHR sizes{};
  sizes.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_BUILD_SIZES_INFO_KHR;
  vkGetAccelerationStructureBuildSizesKHR(dev, VK_ACCELERATION_STRUCTURE_BUILD_TYPE_DEVICE_KHR, &bi, &maxInstances,
                                          &sizes);
  if (!createAs(dev, VK_ACCELERATION_STRUCTURE_TYPE_TOP_LEVEL_KHR, sizes.accelerationStructureSize, &l->tlas))
    return false;
  if (!ensureScratch(l, sizes.buildScratchSize)) return false;
  frameDynBufferInit(&l->tlasInstances, dev, l->renderer->physicalDevice,
                     256 * sizeof(VkAccelerationStructureInstanceKHR),
                     VK_BUFFER_USAGE_ACCELERATION_STRUCTURE_BUILD_INPUT_READ_ONLY_BIT_KHR |
                         VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT,
                     kHostMemory);
  // The structure stays the same object for the whole run: its descriptor is
  // written once, and every frame rebuilds its contents in place.
  l->rayQueryTlas = l->tlas.as;
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(l->renderer);
  if (!cmd) return false;
  lightingRecordTlasBuild(l, cmd);  // empty: valid before the first frame
  rendererEndOneTimeCommands(l->renderer, cmd);
  return true;
}

void createShadowPipeline(Lighting* l, const char* vertName, const VkVertexInputBindingDescription* binding,
                          const VkVertexInputAttributeDescription* attr, u32 attrCount, u32 pushBytes,
                          VkPipeline* outPipeline, VkPipelineLayout* outLayout) {
  const ShaderData* vert = shaderTableFind(shader_table, shader_table_count, vertName);
  const ShaderData* frag = shaderTableFind(shader_table, shader_table_count, "shaders/shadow.frag.spv");
  if (!vert || !frag) return;
  VkPushConstantRange push{VK_SHADER_STAGE_VERTEX_BIT, 0, pushBytes};
  VkDescriptorSetLayout layouts[2] = {l->emptySetLayout, l->emptySetLayout};
  PipelineConfig c{};
  c.vertCode = vert->data;
  c.vertSize = vert->size;
  c.fragCode = frag->data;
  c.fragSize = frag->size;
  c.vertexBindings = binding;
  c.vertexBindingCount = 1;
  c.vertexAttributes = attr;
  c.vertexAttributeCount = attrCount;
  c.descriptorSetLayouts = layouts;
  c.descriptorSetLayoutCount = 2;
  c.pushConstants = &push;
  c.pushConstantCount = 1;
  c.cullMode = VK_CULL_MODE_BACK_BIT;
  c.frontFace = VK_FRONT_FACE_COUNTER_CLOCKWISE;
  c.depthTest = true;
  c.depthWrite = true;
  c.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
  c.renderPass = l->shadowRenderPass;
  c.depthOnly = true;
  c.depthBiasEnable = true;
  c.depthBiasConstant = 6.0f;
  c.depthBiasSlope = 2.0f;
  if (!rendererCreatePipeline(l->renderer, &c, outLayout, outPipeline)) {
    *outPipeline = VK_NULL_HANDLE;
    *outLayout = VK_NULL_HANDLE;
  }
}

void destroyPipeline(VkDevice dev, VkPipeline* p, VkPipelineLayout* layout) {
  if (*p) vkDestroyPipeline(dev, *p, nullptr);
  if (*layout) vkDestroyPipelineLayout(dev, *layout, nullptr);
  *p = VK_NULL_HANDLE;
  *layout = VK_NULL_HANDLE;
}

}  // namespace

b8 lightingInit(Lighting* l, Renderer* r) {
  if (!l || !r || !r->device) return false;
  *l = Lighting{};
  l->renderer = r;
  frameDynBufferInit(&l->ubo, r->device, r->physicalDevice, sizeof(LightUBOData),
                     VK_BUFFER_USAGE_UNIFORM_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT, kHostMemory);
  DescriptorObjects d{};
  b8 ok = l->ubo.frames[0].buffer && createShadowImage(l) && createShadowPass(l) &&
          (!rayQueryOn(l) || createTlas(l)) && createDescriptors(l, &d);
  if (!ok) {
    lightingDestroy(l);
    return false;
  }
  adoptDescriptors(l, d);
  // Until the first update, shaders read zero lights from slot 0.
  lightingUpdate(l);
  return true;
}

void lightingCreateShadowPipelines(Lighting* l) {
  if (!l || !l->renderer) return;
  // Debug shapes: position only, 28-byte vertices.
  VkVertexInputBindingDescription tris{0, 28, VK_VERTEX_INPUT_RATE_VERTEX};
  VkVertexInputAttributeDescription pos{0, 0, VK_FORMAT_R32G32B32_SFLOAT, 0};
  createShadowPipeline(l, "shaders/shadow_tris.vert.spv", &tris, &pos, 1, 72, &l->shadowTrisPipeline,
                       &l->shadowTrisLayout);
  // Models: compressed glTF vertices (12 bytes, 20 with skinning) whose position
  // the shaders rebuild from the primitive's origin and scale.
  VkVertexInputBindingDescription gltf{0, 12, VK_VERTEX_INPUT_RATE_VERTEX};
  VkVertexInputBindingDescription skinned{0, 20, VK_VERTEX_INPUT_RATE_VERTEX};
  // Skinned: position, joints and weights at their places in the 20-byte vertex.
  VkVertexInputAttributeDescription qpos[3] = {{0, 0, VK_FORMAT_R16G16B16_SNORM, 0},
                                               {3, 0, VK_FORMAT_R8G8B8A8_UINT, 12},
                                               {4, 0, VK_FORMAT_R8G8B8A8_UNORM, 16}};
  createShadowPipeline(l, "shaders/shadow_gltf.vert.spv", &gltf, qpos, 1, 80, &l->shadowGltfPipeline,
                       &l->shadowGltfLayout);
  createShadowPipeline(l, "shaders/shadow_gltf_skinned.vert.spv", &skinned, qpos, 3, 88, &l->shadowSkinnedPipeline,
                       &l->shadowSkinnedLayout);
  createShadowPipeline(l, "shaders/shadow_gltf_instanced.vert.spv", &gltf, qpos, 1, 88,
                       &l->shadowInstancedGltfPipeline, &l->shadowInstancedGltfLayout);
}

void lightingUpdate(Lighting* l) {
  if (!l || !l->renderer) return;
  DynBuffer* buf = frameDynBufferBegin(&l->ubo, l->renderer->currentFrame);
  void* dst = dynBufferAlloc(buf, sizeof(LightUBOData));
  if (!dst) return;
  if (l->data.lightCount > (i32)kMaxLights) l->data.lightCount = kMaxLights;
  if (l->data.lightCount < 0) l->data.lightCount = 0;
  std::memcpy(dst, &l->data, sizeof(LightUBOData));
  l->uboAddress = bufferAddress(l->renderer->device, buf->buffer);
}

VkDeviceAddress lightingGetAddress(const Lighting* l) { return l ? l->uboAddress : 0; }

void lightingBind(Lighting* l, VkCommandBuffer cmd, VkPipelineLayout layout) {
  if (!l || !cmd || !layout || !l->descSet) return;
  vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, layout, 1, 1, &l->descSet, 0, nullptr);
}

void lightingSetRayQueryTlas(Lighting* l, VkAccelerationStructureKHR tlas) {
  if (!l || !l->renderer || l->renderer->lightingMode != RENDERER_LIGHTING_RAY_QUERY) return;
  l->rayQueryTlas = tlas;
  if (l->descSet && l->setHasTlas && tlas) writeTlas(l->renderer->device, l->descSet, tlas);
}

b8 lightingRebuildDescriptors(Lighting* l) {
  if (!l || !l->renderer) return false;
  DescriptorObjects fresh{};
  if (!createDescriptors(l, &fresh)) {
    std::fprintf(stderr, "Failed to rebuild lighting descriptors\n");
    return false;
  }
  DescriptorObjects old{l->setLayout, l->emptySetLayout, l->descPool, l->descSet, l->emptyDescSet, l->setHasTlas};
  adoptDescriptors(l, fresh);
  destroyDescriptors(l->renderer->device, &old);
  return true;
}

mat4f32 lightingComputeShadowVP(v3 lightDir, v3 focusPoint, f64 radius) {
  f64 len = v3Length(lightDir);
  v3 dir = len > 0.0 ? lightDir / len : V3(0, 0, 0);
  v3 lightPos = focusPoint + dir * radius;
  v3 forward = len > 0.0 ? -dir : V3(0, 0, 0);
  v3 right = std::fabs(forward.y) <= 0.99 ? v3Normalize(v3Cross(V3(0, 1, 0), forward))
                                          : v3Normalize(v3Cross(V3(0, 0, 1), forward));
  v3 up = v3Cross(forward, right);
  mat4 view{};
  // Column-major: element (row, col) at m[col * 4 + row].
  const v3 rows[3] = {right, up, forward};
  for (int i = 0; i < 3; i++) {
    view.m[0 * 4 + i] = rows[i].x;
    view.m[1 * 4 + i] = rows[i].y;
    view.m[2 * 4 + i] = rows[i].z;
    view.m[3 * 4 + i] = -v3Dot(rows[i], lightPos);
  }
  view.m[15] = 1.0;
  mat4 proj{};
  f64 rr = radius > 0.0 ? radius : 1.0;
  proj.m[0] = 1.0 / rr;
  proj.m[5] = 1.0 / rr;
  proj.m[10] = 1.0 / (2.0 * rr);
  proj.m[15] = 1.0;
  return mat4ToF32(mat4Mul(proj, view));
}

v3 lightingSnapShadowFocus(v3 lightDir, v3 focusPoint, f64 radius) {
  f64 len = v3Length(lightDir);
  if (!(len > 0.0) || !(radius > 0.0)) return focusPoint;
  v3 forward = -(lightDir / len);
  v3 right = std::fabs(forward.y) <= 0.99 ? v3Normalize(v3Cross(V3(0, 1, 0), forward))
                                          : v3Normalize(v3Cross(V3(0, 0, 1), forward));
  v3 up = v3Cross(forward, right);
  f64 texel = 2.0 * radius / kShadowMapSize;
  f64 x = std::floor(v3Dot(focusPoint, right) / texel + 0.5) * texel;
  f64 y = std::floor(v3Dot(focusPoint, up) / texel + 0.5) * texel;
  f64 z = v3Dot(focusPoint, forward);
  return right * x + up * y + forward * z;
}

void lightingDestroy(Lighting* l) {
  if (!l || !l->renderer) return;
  VkDevice dev = l->renderer->device;
  destroyPipeline(dev, &l->shadowTrisPipeline, &l->shadowTrisLayout);
  destroyPipeline(dev, &l->shadowGltfPipeline, &l->shadowGltfLayout);
  destroyPipeline(dev, &l->shadowSkinnedPipeline, &l->shadowSkinnedLayout);
  destroyPipeline(dev, &l->shadowInstancedGltfPipeline, &l->shadowInstancedGltfLayout);
  for (VkFramebuffer& fb : l->shadowFramebuffers)
    if (fb) vkDestroyFramebuffer(dev, fb, nullptr);
  if (l->shadowRenderPass) vkDestroyRenderPass(dev, l->shadowRenderPass, nullptr);
  if (l->shadowSampler) vkDestroySampler(dev, l->shadowSampler, nullptr);
  for (VkImageView& v : l->shadowLayerViews)
    if (v) vkDestroyImageView(dev, v, nullptr);
  if (l->shadowArrayView) vkDestroyImageView(dev, l->shadowArrayView, nullptr);
  if (l->shadowImage) vkDestroyImage(dev, l->shadowImage, nullptr);
  if (l->shadowMemory) vramFree(l->shadowMemory, l->shadowMemorySize, false);
  DescriptorObjects d{l->setLayout, l->emptySetLayout, l->descPool, l->descSet, l->emptyDescSet, l->setHasTlas};
  destroyDescriptors(dev, &d);
  for (u32 i = 0; i < l->blasCount; i++) destroyAs(dev, &l->blas[i]);
  destroyAs(dev, &l->tlas);
  if (l->scratch) vramDeferFree(l->scratch, l->scratchMemory, l->scratchSize + kScratchAlign, false);
  frameDynBufferDestroy(&l->tlasInstances);
  frameDynBufferDestroy(&l->ubo);
  *l = Lighting{};
}

i32 lightingRegisterBlas(Lighting* l, VkDeviceAddress vertexAddress, VkFormat format, u32 stride,
                         u32 vertexCount) {
  return lightingRegisterBlasIndexed(l, vertexAddress, format, stride, vertexCount, 0, VK_INDEX_TYPE_NONE_KHR,
                                     vertexCount);
}

i32 lightingRegisterBlasIndexed(Lighting* l, VkDeviceAddress vertexAddress, VkFormat format, u32 stride,
                                u32 vertexCount, VkDeviceAddress indexAddress, VkIndexType indexType, u32 indexCount) {
  const b8 indexed = indexType != VK_INDEX_TYPE_NONE_KHR;
  if (!l || !rayQueryOn(l) || !l->tlas.as || l->blasCount >= kLightingMaxBlas || vertexCount < 3 || !vertexAddress ||
      indexCount < 3 || (indexed && !indexAddress))
    return -1;
  VkDevice dev = l->renderer->device;
  VkAccelerationStructureGeometryKHR g{};
  g.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_GEOMETRY_KHR;
  g.geometryType = VK_GEOMETRY_TYPE_TRIANGLES_KHR;
  g.flags = VK_GEOMETRY_OPAQUE_BIT_KHR;
  VkAccelerationStructureGeometryTrianglesDataKHR& t = g.geometry.triangles;
  t.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_GEOMETRY_TRIANGLES_DATA_KHR;
  t.vertexFormat = format;
  t.vertexData.deviceAddress = vertexAddress;
  t.vertexStride = stride;
  t.maxVertex = vertexCount - 1;
  t.indexType = indexType;
  t.indexData.deviceAddress = indexed ? indexAddress : 0;
  VkAccelerationStructureBuildGeometryInfoKHR bi{};
  bi.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_BUILD_GEOMETRY_INFO_KHR;
  bi.type = VK_ACCELERATION_STRUCTURE_TYPE_BOTTOM_LEVEL_KHR;
  bi.flags = VK_BUILD_ACCELERATION_STRUCTURE_PREFER_FAST_TRACE_BIT_KHR;
  bi.mode = VK_BUILD_ACCELERATION_STRUCTURE_MODE_BUILD_KHR;
  bi.geometryCount = 1;
  bi.pGeometries = &g;
  u32 triangles = indexCount / 3;
  VkAccelerationStructureBuildSizesInfoKHR sizes{};
  sizes.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_BUILD_SIZES_INFO_KHR;
  vkGetAccelerationStructureBuildSizesKHR(dev, VK_ACCELERATION_STRUCTURE_BUILD_TYPE_DEVICE_KHR, &bi, &triangles,
                                          &sizes);
  LightingBlas blas{};
  if (!createAs(dev, VK_ACCELERATION_STRUCTURE_TYPE_BOTTOM_LEVEL_KHR, sizes.accelerationStructureSize, &blas))
    return -1;
  VkCommandBuffer cmd = VK_NULL_HANDLE;
  if (!ensureScratch(l, sizes.buildScratchSize) || !(cmd = rendererBeginOneTimeCommands(l->renderer))) {
    destroyAs(dev, &blas);
    return -1;
  }
  bi.dstAccelerationStructure = blas.as;
  bi.scratchData.deviceAddress = l->scratchAddress;
  VkAccelerationStructureBuildRangeInfoKHR range{triangles, 0, 0, 0};
  const VkAccelerationStructureBuildRangeInfoKHR* ranges = &range;
  // Frames in flight may still use the shared scratch for their TLAS build.
  VkMemoryBarrier mb{};
  mb.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
  mb.srcAccessMask = VK_ACCESS_ACCELERATION_STRUCTURE_WRITE_BIT_KHR | VK_ACCESS_ACCELERATION_STRUCTURE_READ_BIT_KHR;
  mb.dstAccessMask = VK_ACCESS_ACCELERATION_STRUCTURE_WRITE_BIT_KHR | VK_ACCESS_ACCELERATION_STRUCTURE_READ_BIT_KHR;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_ACCELERATION_STRUCTURE_BUILD_BIT_KHR,
                       VK_PIPELINE_STAGE_ACCELERATION_STRUCTURE_BUILD_BIT_KHR, 0, 1, &mb, 0, nullptr, 0, nullptr);
  vkCmdBuildAccelerationStructuresKHR(cmd, 1, &bi, &ranges);
  rendererEndOneTimeCommands(l->renderer, cmd);
  l->blas[l->blasCount] = blas;
  return (i32)l->blasCount++;
}

void lightingTlasBegin(Lighting* l) {
  if (!l || !l->tlas.as) return;
  frameDynBufferBegin(&l->tlasInstances, l->renderer->currentFrame);
  l->tlasInstanceCount = 0;
}

void lightingTlasAdd(Lighting* l, i32 blasId, const f32 transform[12]) {
  if (!l || !l->tlas.as || blasId < 0 || (u32)blasId >= l->blasCount || !transform) return;
  if (l->tlasInstanceCount >= kLightingMaxTlasInstances) return;
  auto* inst = static_cast<VkAccelerationStructureInstanceKHR*>(
      dynBufferAlloc(frameDynBufferCurrent(&l->tlasInstances), sizeof(VkAccelerationStructureInstanceKHR)));
  if (!inst) return;
  std::memcpy(inst->transform.matrix, transform, 12 * sizeof(f32));
  inst->instanceCustomIndex = 0;
  inst->mask = 0xFF;
  inst->instanceShaderBindingTableRecordOffset = 0;
  inst->flags = VK_GEOMETRY_INSTANCE_TRIANGLE_FACING_CULL_DISABLE_BIT_KHR;
  inst->accelerationStructureReference = l->blas[blasId].address;
  l->tlasInstanceCount++;
}

void lightingRecordTlasBuild(Lighting* l, VkCommandBuffer cmd) {
  if (!l || !l->tlas.as || !cmd) return;
  DynBuffer* inst = frameDynBufferCurrent(&l->tlasInstances);
  VkDeviceAddress instAddr = bufferAddress(l->renderer->device, inst->buffer);
  VkAccelerationStructureGeometryKHR g = instanceGeometry(instAddr);
  VkAccelerationStructureBuildGeometryInfoKHR bi{};
  bi.sType = VK_STRUCTURE_TYPE_ACCELERATION_STRUCTURE_BUILD_GEOMETRY_INFO_KHR;
  bi.type = VK_ACCELERATION_STRUCTURE_TYPE_TOP_LEVEL_KHR;
  bi.flags = VK_BUILD_ACCELERATION_STRUCTURE_PREFER_FAST_BUILD_BIT_KHR;
  bi.mode = VK_BUILD_ACCELERATION_STRUCTURE_MODE_BUILD_KHR;
  bi.dstAccelerationStructure = l->tlas.as;
  bi.geometryCount = 1;
  bi.pGeometries = &g;
  bi.scratchData.deviceAddress = l->scratchAddress;
  VkAccelerationStructureBuildRangeInfoKHR range{l->tlasInstanceCount, 0, 0, 0};
  const VkAccelerationStructureBuildRangeInfoKHR* ranges = &range;
  // The previous frame's ray queries and builds finish before the structure and
  // the shared scratch are rewritten; this frame's queries wait for the build.
  VkMemoryBarrier before{};
  before.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
  before.srcAccessMask = VK_ACCESS_ACCELERATION_STRUCTURE_READ_BIT_KHR | VK_ACCESS_ACCELERATION_STRUCTURE_WRITE_BIT_KHR;
  before.dstAccessMask = VK_ACCESS_ACCELERATION_STRUCTURE_WRITE_BIT_KHR | VK_ACCESS_ACCELERATION_STRUCTURE_READ_BIT_KHR;
  vkCmdPipelineBarrier(cmd,
                       VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT | VK_PIPELINE_STAGE_ACCELERATION_STRUCTURE_BUILD_BIT_KHR,
                       VK_PIPELINE_STAGE_ACCELERATION_STRUCTURE_BUILD_BIT_KHR, 0, 1, &before, 0, nullptr, 0, nullptr);
  vkCmdBuildAccelerationStructuresKHR(cmd, 1, &bi, &ranges);
  VkMemoryBarrier after{};
  after.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
  after.srcAccessMask = VK_ACCESS_ACCELERATION_STRUCTURE_WRITE_BIT_KHR;
  after.dstAccessMask = VK_ACCESS_ACCELERATION_STRUCTURE_READ_BIT_KHR;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_ACCELERATION_STRUCTURE_BUILD_BIT_KHR,
                       VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT, 0, 1, &after, 0, nullptr, 0, nullptr);
}
