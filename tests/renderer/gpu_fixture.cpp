#include "gpu_fixture.h"

#include <cstdlib>
#include <cstring>

#include "renderer/validation.h"
#include "renderer/vram.h"

void gpuFailOnValidationError(const char* message) { ADD_FAILURE() << "validation: " << message; }

VkInstance gpuCreateInstance(const char* const* extensions, u32 count) {
  if (volkInitialize() != VK_SUCCESS) return VK_NULL_HANDLE;
  VkApplicationInfo app{};
  app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
  app.apiVersion = VK_API_VERSION_1_2;
  VkInstanceCreateInfo ci{};
  ci.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
  ci.pApplicationInfo = &app;
  ci.enabledExtensionCount = count;
  ci.ppEnabledExtensionNames = extensions;
  // Every GPU test runs under validation with synchronisation checks; an error
  // message fails the test that caused it. TERRAIN_VALIDATION=0 turns it off.
  const char* want = std::getenv("TERRAIN_VALIDATION");
  b8 validate = !(want && std::strcmp(want, "0") == 0);
  ValidationSetup v;
  if (validate && !validationPrepare(&v, &ci)) {
    ADD_FAILURE() << "the Khronos validation layer is not installed (scripts/setup.sh installs it)";
    validate = false;
  }
  VkInstance instance = VK_NULL_HANDLE;
  if (vkCreateInstance(&ci, nullptr, &instance) != VK_SUCCESS) return VK_NULL_HANDLE;
  volkLoadInstance(instance);
  if (validate) {
    validationSetErrorHook(gpuFailOnValidationError);
    if (!validationStart(instance)) ADD_FAILURE() << "validation messenger could not be created";
  }
  return instance;
}

b8 gpuRendererHeadless(Renderer* r, VkInstance* instance, VkSurfaceKHR* surface, u32 width, u32 height) {
  const char* exts[] = {VK_KHR_SURFACE_EXTENSION_NAME, VK_EXT_HEADLESS_SURFACE_EXTENSION_NAME};
  *instance = gpuCreateInstance(exts, 2);
  if (!*instance || !vkCreateHeadlessSurfaceEXT) return false;
  VkHeadlessSurfaceCreateInfoEXT si{};
  si.sType = VK_STRUCTURE_TYPE_HEADLESS_SURFACE_CREATE_INFO_EXT;
  if (vkCreateHeadlessSurfaceEXT(*instance, &si, nullptr, surface) != VK_SUCCESS) return false;
  return rendererInit(r, *instance, *surface, width, height);
}

void gpuRendererRelease(Renderer* r, VkInstance instance, VkSurfaceKHR surface) {
  rendererDestroy(r);
  if (surface) vkDestroySurfaceKHR(instance, surface, nullptr);
  validationStop(instance);
  if (instance) vkDestroyInstance(instance, nullptr);
}

GpuBuffer gpuCreateHostBuffer(Renderer* r, VkDeviceSize size, VkBufferUsageFlags usage) {
  GpuBuffer b{};
  const VkMemoryPropertyFlags host = VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
  if (!vramCreateBuffer(r->device, size, usage, host, &b.buffer, &b.memory, &b.size))
    return GpuBuffer{};
  vkMapMemory(r->device, b.memory, 0, size, 0, &b.mapped);
  return b;
}

void gpuDestroyBuffer(Renderer* r, GpuBuffer* b) {
  vkDestroyBuffer(r->device, b->buffer, nullptr);
  vramFree(b->memory, b->size, true);
  *b = GpuBuffer{};
}

namespace {

GpuImage createImage(Renderer* r, u32 w, u32 h, VkImageUsageFlags usage) {
  GpuImage img{};
  if (!vramCreateImage2D(r->device, VkExtent2D{w, h}, VK_FORMAT_R8G8B8A8_UNORM, usage, &img.image, &img.memory,
                         &img.size))
    return GpuImage{};
  VkImageViewCreateInfo vi{};
  vi.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
  vi.image = img.image;
  vi.viewType = VK_IMAGE_VIEW_TYPE_2D;
  vi.format = VK_FORMAT_R8G8B8A8_UNORM;
  vi.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  vkCreateImageView(r->device, &vi, nullptr, &img.view);
  return img;
}

void barrier(VkCommandBuffer cmd, VkImage image, VkImageLayout from, VkImageLayout to, VkAccessFlags src,
             VkAccessFlags dst, VkPipelineStageFlags srcStage, VkPipelineStageFlags dstStage) {
  VkImageMemoryBarrier b{};
  b.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
  b.srcAccessMask = src;
  b.dstAccessMask = dst;
  b.oldLayout = from;
  b.newLayout = to;
  b.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.image = image;
  b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  vkCmdPipelineBarrier(cmd, srcStage, dstStage, 0, 0, nullptr, 0, nullptr, 1, &b);
}

}  // namespace

GpuImage gpuCreateSolidImage(Renderer* r, u32 rgba) {
  GpuImage img = createImage(r, 4, 4, VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT);
  GpuBuffer staging = gpuCreateHostBuffer(r, 64, VK_BUFFER_USAGE_TRANSFER_SRC_BIT);
  for (int i = 0; i < 16; i++) std::memcpy(static_cast<u8*>(staging.mapped) + 4 * i, &rgba, 4);
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(r);
  barrier(cmd, img.image, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 0,
          VK_ACCESS_TRANSFER_WRITE_BIT, VK_PIPELINE_STAGE_TOP_OF_PIPE_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT);
  VkBufferImageCopy region{};
  region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  region.imageExtent = {4, 4, 1};
  vkCmdCopyBufferToImage(cmd, staging.buffer, img.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
  barrier(cmd, img.image, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL,
          VK_ACCESS_TRANSFER_WRITE_BIT, VK_ACCESS_SHADER_READ_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT,
          VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT);
  rendererEndOneTimeCommands(r, cmd);
  gpuDestroyBuffer(r, &staging);
  return img;
}

void gpuDestroyImage(Renderer* r, GpuImage* img) {
  vkDestroyImageView(r->device, img->view, nullptr);
  vkDestroyImage(r->device, img->image, nullptr);
  vramFree(img->memory, img->size, false);
  *img = GpuImage{};
}

VkSampler gpuCreateSampler(Renderer* r) {
  VkSamplerCreateInfo si{};
  si.sType = VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO;
  si.magFilter = VK_FILTER_NEAREST;
  si.minFilter = VK_FILTER_NEAREST;
  VkSampler s = VK_NULL_HANDLE;
  vkCreateSampler(r->device, &si, nullptr, &s);
  return s;
}

b8 offscreenCreate(Renderer* r, Offscreen* o, u32 width, u32 height) {
  *o = Offscreen{};
  o->width = width;
  o->height = height;
  o->color = createImage(r, width, height, VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT);
  VkAttachmentDescription att{};
  att.format = VK_FORMAT_R8G8B8A8_UNORM;
  att.samples = VK_SAMPLE_COUNT_1_BIT;
  att.loadOp = VK_ATTACHMENT_LOAD_OP_CLEAR;
  att.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
  att.stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
  att.stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
  att.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  att.finalLayout = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
  VkAttachmentReference ref{0, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL};
  VkSubpassDescription sub{};
  sub.pipelineBindPoint = VK_PIPELINE_BIND_POINT_GRAPHICS;
  sub.colorAttachmentCount = 1;
  sub.pColorAttachments = &ref;
  // The copy to the readback buffer after the pass reads what the pass wrote.
  VkSubpassDependency after{};
  after.srcSubpass = 0;
  after.dstSubpass = VK_SUBPASS_EXTERNAL;
  after.srcStageMask = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT;
  after.dstStageMask = VK_PIPELINE_STAGE_TRANSFER_BIT;
  after.srcAccessMask = VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT;
  after.dstAccessMask = VK_ACCESS_TRANSFER_READ_BIT;
  VkRenderPassCreateInfo rp{};
  rp.sType = VK_STRUCTURE_TYPE_RENDER_PASS_CREATE_INFO;
  rp.attachmentCount = 1;
  rp.pAttachments = &att;
  rp.subpassCount = 1;
  rp.pSubpasses = &sub;
  rp.dependencyCount = 1;
  rp.pDependencies = &after;
  if (vkCreateRenderPass(r->device, &rp, nullptr, &o->renderPass) != VK_SUCCESS) return false;
  VkFramebufferCreateInfo fi{};
  fi.sType = VK_STRUCTURE_TYPE_FRAMEBUFFER_CREATE_INFO;
  fi.renderPass = o->renderPass;
  fi.attachmentCount = 1;
  fi.pAttachments = &o->color.view;
  fi.width = width;
  fi.height = height;
  fi.layers = 1;
  if (vkCreateFramebuffer(r->device, &fi, nullptr, &o->framebuffer) != VK_SUCCESS) return false;
  o->readback = gpuCreateHostBuffer(r, (VkDeviceSize)width * height * 4, VK_BUFFER_USAGE_TRANSFER_DST_BIT);
  return true;
}

void offscreenDestroy(Renderer* r, Offscreen* o) {
  vkDestroyFramebuffer(r->device, o->framebuffer, nullptr);
  vkDestroyRenderPass(r->device, o->renderPass, nullptr);
  gpuDestroyImage(r, &o->color);
  gpuDestroyBuffer(r, &o->readback);
}

void offscreenBegin(Offscreen* o, VkCommandBuffer cmd) {
  VkClearValue clear{};
  VkRenderPassBeginInfo bi{};
  bi.sType = VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO;
  bi.renderPass = o->renderPass;
  bi.framebuffer = o->framebuffer;
  bi.renderArea = {{0, 0}, {o->width, o->height}};
  bi.clearValueCount = 1;
  bi.pClearValues = &clear;
  vkCmdBeginRenderPass(cmd, &bi, VK_SUBPASS_CONTENTS_INLINE);
  VkViewport vp{0, 0, (f32)o->width, (f32)o->height, 0, 1};
  VkRect2D sc{{0, 0}, {o->width, o->height}};
  vkCmdSetViewport(cmd, 0, 1, &vp);
  vkCmdSetScissor(cmd, 0, 1, &sc);
}

void offscreenEnd(Offscreen* o, VkCommandBuffer cmd) {
  vkCmdEndRenderPass(cmd);
  VkBufferImageCopy region{};
  region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  region.imageExtent = {o->width, o->height, 1};
  vkCmdCopyImageToBuffer(cmd, o->color.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, o->readback.buffer, 1, &region);
}

u32 offscreenPixel(const Offscreen* o, u32 x, u32 y) {
  u32 v;
  std::memcpy(&v, static_cast<const u8*>(o->readback.mapped) + 4 * (y * o->width + x), 4);
  return v;
}

const ShaderData* gpuTestShader(const char* name) {
  return shaderTableFind(test_shader_table, test_shader_table_count, name);
}

PipelineConfig gpuFullscreenConfig(const char* fragName, VkRenderPass renderPass) {
  PipelineConfig c{};
  const ShaderData* vs = gpuTestShader("shaders/fullscreen.vert.spv");
  const ShaderData* fs = gpuTestShader(fragName);
  c.vertCode = vs ? vs->data : nullptr;
  c.vertSize = vs ? vs->size : 0;
  c.fragCode = fs ? fs->data : nullptr;
  c.fragSize = fs ? fs->size : 0;
  c.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
  c.renderPass = renderPass;
  return c;
}

b8 mainPassTargetCreate(Renderer* r, MainPassTarget* t, u32 width, u32 height) {
  *t = MainPassTarget{};
  VkDevice d = r->device;
  t->format = r->swapchainFormat;
  t->width = width;
  t->height = height;
  if (!vramCreateImage2D(d, {width, height}, r->swapchainFormat,
                         VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT, &t->color,
                         &t->colorMem, &t->colorSize))
    return false;
  if (!vramCreateImage2D(d, {width, height}, r->depthFormat, VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT,
                         &t->depth, &t->depthMem, &t->depthSize))
    return false;
  VkImageViewCreateInfo vi{};
  vi.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
  vi.viewType = VK_IMAGE_VIEW_TYPE_2D;
  vi.image = t->color;
  vi.format = r->swapchainFormat;
  vi.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  vkCreateImageView(d, &vi, nullptr, &t->colorView);
  vi.image = t->depth;
  vi.format = r->depthFormat;
  vi.subresourceRange = {VK_IMAGE_ASPECT_DEPTH_BIT, 0, 1, 0, 1};
  vkCreateImageView(d, &vi, nullptr, &t->depthView);
  VkAttachmentDescription att[2]{};
  att[0].format = r->swapchainFormat;
  att[0].samples = VK_SAMPLE_COUNT_1_BIT;
  att[0].loadOp = VK_ATTACHMENT_LOAD_OP_CLEAR;
  att[0].storeOp = VK_ATTACHMENT_STORE_OP_STORE;
  att[0].stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
  att[0].stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
  att[0].initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  // Moved to TRANSFER_SRC by a barrier after the pass, ordered before the copy
  // (a dependency of its own would make the pass incompatible with the main one).
  att[0].finalLayout = VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL;
  att[1] = att[0];
  att[1].format = r->depthFormat;
  att[1].storeOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
  att[1].finalLayout = VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL;
  VkAttachmentReference cref{0, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL};
  VkAttachmentReference dref{1, VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL};
  VkSubpassDescription sub{};
  sub.pipelineBindPoint = VK_PIPELINE_BIND_POINT_GRAPHICS;
  sub.colorAttachmentCount = 1;
  sub.pColorAttachments = &cref;
  sub.pDepthStencilAttachment = &dref;
  // The main pass's dependency, so that the two passes are compatible.
  VkSubpassDependency dep = rendererMainPassDependency();
  VkRenderPassCreateInfo rp{};
  rp.sType = VK_STRUCTURE_TYPE_RENDER_PASS_CREATE_INFO;
  rp.attachmentCount = 2;
  rp.pAttachments = att;
  rp.subpassCount = 1;
  rp.pSubpasses = &sub;
  rp.dependencyCount = 1;
  rp.pDependencies = &dep;
  if (vkCreateRenderPass(d, &rp, nullptr, &t->pass) != VK_SUCCESS) return false;
  VkImageView views[2] = {t->colorView, t->depthView};
  VkFramebufferCreateInfo fi{};
  fi.sType = VK_STRUCTURE_TYPE_FRAMEBUFFER_CREATE_INFO;
  fi.renderPass = t->pass;
  fi.attachmentCount = 2;
  fi.pAttachments = views;
  fi.width = width;
  fi.height = height;
  fi.layers = 1;
  if (vkCreateFramebuffer(d, &fi, nullptr, &t->fb) != VK_SUCCESS) return false;
  t->readback = gpuCreateHostBuffer(r, (VkDeviceSize)width * height * 4, VK_BUFFER_USAGE_TRANSFER_DST_BIT);
  return t->readback.mapped != nullptr;
}

void mainPassTargetDestroy(Renderer* r, MainPassTarget* t) {
  VkDevice d = r->device;
  vkDestroyFramebuffer(d, t->fb, nullptr);
  vkDestroyRenderPass(d, t->pass, nullptr);
  vkDestroyImageView(d, t->colorView, nullptr);
  vkDestroyImageView(d, t->depthView, nullptr);
  vkDestroyImage(d, t->color, nullptr);
  vkDestroyImage(d, t->depth, nullptr);
  if (t->colorMem) vramFree(t->colorMem, t->colorSize, false);
  if (t->depthMem) vramFree(t->depthMem, t->depthSize, false);
  if (t->readback.buffer) gpuDestroyBuffer(r, &t->readback);
  *t = MainPassTarget{};
}

void mainPassTargetBegin(MainPassTarget* t, VkCommandBuffer cmd) {
  VkClearValue clears[2]{};
  clears[1].depthStencil = {1.0f, 0};
  VkRenderPassBeginInfo bi{};
  bi.sType = VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO;
  bi.renderPass = t->pass;
  bi.framebuffer = t->fb;
  bi.renderArea = {{0, 0}, {t->width, t->height}};
  bi.clearValueCount = 2;
  bi.pClearValues = clears;
  vkCmdBeginRenderPass(cmd, &bi, VK_SUBPASS_CONTENTS_INLINE);
  VkViewport vp{0, 0, (f32)t->width, (f32)t->height, 0, 1};
  VkRect2D sc{{0, 0}, {t->width, t->height}};
  vkCmdSetViewport(cmd, 0, 1, &vp);
  vkCmdSetScissor(cmd, 0, 1, &sc);
}

void mainPassTargetEnd(MainPassTarget* t, VkCommandBuffer cmd) {
  vkCmdEndRenderPass(cmd);
  barrier(cmd, t->color, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL,
          VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT, VK_ACCESS_TRANSFER_READ_BIT,
          VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT);
  VkBufferImageCopy region{};
  region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  region.imageExtent = {t->width, t->height, 1};
  vkCmdCopyImageToBuffer(cmd, t->color, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, t->readback.buffer, 1, &region);
}

void mainPassTargetRGB(const MainPassTarget* t, u32 x, u32 y, int rgb[3]) {
  const u8* b = static_cast<const u8*>(t->readback.mapped) + 4 * ((size_t)y * t->width + x);
  b8 bgra = t->format == VK_FORMAT_B8G8R8A8_UNORM;
  rgb[0] = bgra ? b[2] : b[0];
  rgb[1] = b[1];
  rgb[2] = bgra ? b[0] : b[2];
}
