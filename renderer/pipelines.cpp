#include "renderer/pipelines.h"

#include <cstdio>
#include <cstring>

#include "platform/memory.h"
#include "renderer/renderer.h"

namespace {

constexpr u32 kMaxPoolTypes = 4;
constexpr u32 kMaxExtraLayouts = 7;

template <typename T>
b8 copyArray(T** out, const T* src, u32 count) {
  *out = nullptr;
  if (count == 0) return true;
  if (!src) return false;
  *out = static_cast<T*>(memAlloc(sizeof(T) * count));
  if (!*out) return false;
  std::memcpy(static_cast<void*>(*out), src, sizeof(T) * count);
  return true;
}

void pipelineFreeCache(Pipeline* s) {
  memFree(s->vertexBindings);
  memFree(s->vertexAttributes);
  memFree(s->descriptorBindings);
  memFree(s->pushConstants);
  memFree(s->extraLayouts);
  memFree(s->descriptorSetLayouts);
  std::memset(static_cast<void*>(s), 0, sizeof(*s));
}

void pipelineDestroyHandles(Renderer* r, Pipeline* s) {
  VkDevice d = r ? r->device : VK_NULL_HANDLE;
  if (d) {
    if (s->pipeline) vkDestroyPipeline(d, s->pipeline, nullptr);
    if (s->layout) vkDestroyPipelineLayout(d, s->layout, nullptr);
    if (s->descriptorPool) vkDestroyDescriptorPool(d, s->descriptorPool, nullptr);
    if (s->descriptorSetLayout) vkDestroyDescriptorSetLayout(d, s->descriptorSetLayout, nullptr);
  }
  s->pipeline = VK_NULL_HANDLE;
  s->layout = VK_NULL_HANDLE;
  s->descriptorPool = VK_NULL_HANDLE;
  s->descriptorSet = VK_NULL_HANDLE;
  s->descriptorSetLayout = VK_NULL_HANDLE;
  s->active = false;
}

b8 pipelineCreateFromCache(Pipelines* p, u32 index) {
  Renderer* r = p->renderer;
  Pipeline* s = &p->slots[index];
  PipelineConfig config = s->config;
  VkDescriptorSetLayout layouts[1 + kMaxExtraLayouts];
  if (s->descriptorBindingCount > 0) {
    s->descriptorSetLayout = rendererCreateDescriptorSetLayout(r, s->descriptorBindings, s->descriptorBindingCount);
    VkDescriptorPoolSize sizes[kMaxPoolTypes];
    u32 typeCount = 0;
    for (u32 i = 0; i < s->descriptorBindingCount; i++) {
      const VkDescriptorSetLayoutBinding& b = s->descriptorBindings[i];
      u32 t = 0;
      while (t < typeCount && sizes[t].type != b.descriptorType) t++;
      if (t < typeCount)
        sizes[t].descriptorCount += b.descriptorCount;
      else if (typeCount < kMaxPoolTypes)
        sizes[typeCount++] = VkDescriptorPoolSize{b.descriptorType, b.descriptorCount};
    }
    if (s->descriptorSetLayout) s->descriptorPool = rendererCreateDescriptorPool(r, sizes, typeCount, 1);
    if (s->descriptorPool) s->descriptorSet = rendererAllocDescriptorSet(r, s->descriptorPool, s->descriptorSetLayout);
    if (!s->descriptorSet) {
      pipelineDestroyHandles(r, s);
      return false;
    }
    u32 extras = s->extraLayoutCount < kMaxExtraLayouts ? s->extraLayoutCount : kMaxExtraLayouts;
    layouts[0] = s->descriptorSetLayout;
    for (u32 i = 0; i < extras; i++) layouts[1 + i] = s->extraLayouts[i];
    config.descriptorSetLayouts = layouts;
    config.descriptorSetLayoutCount = 1 + extras;
  } else if (s->extraLayoutCount > 0 && s->descriptorSetLayoutCount == 0) {
    config.descriptorSetLayouts = s->extraLayouts;
    config.descriptorSetLayoutCount = s->extraLayoutCount;
  } else {
    config.descriptorSetLayouts = s->descriptorSetLayouts;
    config.descriptorSetLayoutCount = s->descriptorSetLayoutCount;
  }
  if (config.litFragmentShader) {
    config.fragCode = rendererLoadShader(rendererLitShaderPath(r, config.litFragmentShader), &config.fragSize);
    if (!config.fragCode) {
      pipelineDestroyHandles(r, s);
      return false;
    }
  }
  if (!rendererCreatePipeline(r, &config, &s->layout, &s->pipeline)) {
    pipelineDestroyHandles(r, s);
    return false;
  }
  s->active = true;
  for (u32 i = 0; i < s->imageBindingCount; i++) {
    const PipelineImageBinding& ib = s->imageBindings[i];
    rendererUpdateDescriptorImage(r, s->descriptorSet, ib.binding, ib.sampler, ib.view);
  }
  if (p->count < index + 1) p->count = index + 1;
  return true;
}

}  // namespace

void pipelinesInit(Pipelines* p, Renderer* r) {
  if (!p) return;
  std::memset(static_cast<void*>(p), 0, sizeof(*p));
  p->renderer = r;
}

void pipelinesDestroy(Pipelines* p) {
  if (!p || !p->renderer) return;
  for (Pipeline& s : p->slots) {
    pipelineDestroyHandles(p->renderer, &s);
    pipelineFreeCache(&s);
  }
  std::memset(static_cast<void*>(p), 0, sizeof(*p));
}

Pipeline* pipelinesCreate(Pipelines* p, u32 index, const PipelineConfig* config,
                          const VkDescriptorSetLayoutBinding* bindings, u32 bindingCount,
                          const VkDescriptorSetLayout* extraLayouts, u32 extraLayoutCount) {
  if (!p || !p->renderer || !config) return nullptr;
  if (index >= kPipelineSlots) {
    std::fprintf(stderr, "Pipeline index %u exceeds max %u\n", index, kPipelineSlots);
    return nullptr;
  }
  Pipeline* s = &p->slots[index];
  if (s->active || s->hasCachedConfig) {
    std::fprintf(stderr, "Pipeline slot %u already in use\n", index);
    return nullptr;
  }
  std::memset(static_cast<void*>(s), 0, sizeof(*s));
  s->config = *config;
  if (!copyArray(&s->vertexBindings, config->vertexBindings, config->vertexBindingCount) ||
      !copyArray(&s->vertexAttributes, config->vertexAttributes, config->vertexAttributeCount) ||
      !copyArray(&s->descriptorBindings, bindings, bindingCount) ||
      !copyArray(&s->pushConstants, config->pushConstants, config->pushConstantCount) ||
      !copyArray(&s->extraLayouts, extraLayouts, extraLayoutCount) ||
      !copyArray(&s->descriptorSetLayouts, config->descriptorSetLayouts, config->descriptorSetLayoutCount)) {
    pipelineFreeCache(s);
    return nullptr;
  }
  s->config.vertexBindings = s->vertexBindings;
  s->config.vertexAttributes = s->vertexAttributes;
  s->config.pushConstants = s->pushConstants;
  s->config.descriptorSetLayouts = s->descriptorSetLayouts;
  s->vertexBindingCount = config->vertexBindingCount;
  s->vertexAttributeCount = config->vertexAttributeCount;
  s->descriptorBindingCount = bindingCount;
  s->pushConstantCount = config->pushConstantCount;
  s->extraLayoutCount = extraLayoutCount;
  s->descriptorSetLayoutCount = config->descriptorSetLayoutCount;
  s->hasCachedConfig = true;
  if (!pipelineCreateFromCache(p, index)) {
    pipelineFreeCache(s);
    return nullptr;
  }
  return s;
}

Pipeline* pipelinesGet(Pipelines* p, u32 index) {
  if (!p || index >= kPipelineSlots || !p->slots[index].active) return nullptr;
  return &p->slots[index];
}

void pipelineBind(Pipelines* p, u32 index, VkCommandBuffer cmd) {
  Pipeline* s = pipelinesGet(p, index);
  if (!s || !cmd) return;
  vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, s->pipeline);
  if (s->descriptorSet)
    vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, s->layout, 0, 1, &s->descriptorSet, 0, nullptr);
}

void pipelineUpdateImage(Pipelines* p, u32 index, u32 binding, VkSampler sampler, VkImageView view) {
  Pipeline* s = pipelinesGet(p, index);
  if (!s || !sampler || !view || !s->descriptorSet) return;
  PipelineImageBinding* rec = nullptr;
  for (u32 i = 0; i < s->imageBindingCount; i++)
    if (s->imageBindings[i].binding == binding) rec = &s->imageBindings[i];
  if (!rec && s->imageBindingCount < kPipelineImageBindings) {
    rec = &s->imageBindings[s->imageBindingCount++];
    rec->binding = binding;
  }
  if (rec) {
    rec->sampler = sampler;
    rec->view = view;
  }
  rendererUpdateDescriptorImage(p->renderer, s->descriptorSet, binding, sampler, view);
}

b8 pipelinesRebuild(Pipelines* p, u32 index) {
  if (!p || !p->renderer || index >= kPipelineSlots) return false;
  Pipeline* s = &p->slots[index];
  if (!s->hasCachedConfig) return true;
  pipelineDestroyHandles(p->renderer, s);
  return pipelineCreateFromCache(p, index);
}

b8 pipelinesRebuildAll(Pipelines* p) {
  if (!p || !p->renderer) return false;
  b8 ok = true;
  for (u32 i = 0; i < kPipelineSlots; i++)
    if (p->slots[i].hasCachedConfig && !pipelinesRebuild(p, i)) ok = false;
  return ok;
}

void pipelinesReplaceDescriptorSetLayout(Pipelines* p, VkDescriptorSetLayout oldLayout,
                                         VkDescriptorSetLayout newLayout) {
  if (!p || oldLayout == newLayout) return;
  for (Pipeline& s : p->slots) {
    if (!s.hasCachedConfig) continue;
    for (u32 i = 0; i < s.extraLayoutCount; i++)
      if (s.extraLayouts[i] == oldLayout) s.extraLayouts[i] = newLayout;
    for (u32 i = 0; i < s.descriptorSetLayoutCount; i++)
      if (s.descriptorSetLayouts[i] == oldLayout) s.descriptorSetLayouts[i] = newLayout;
  }
}

b8 pipelineCreateCompute(Renderer* r, VkPipelineLayout layout, const char* shaderPath, VkPipeline* outPipeline) {
  if (!r || !r->device || !shaderPath || !outPipeline) return false;
  u64 size = 0;
  const u32* code = rendererLoadShader(shaderPath, &size);
  if (!code || size == 0) return false;
  VkShaderModule module = rendererCreateShaderModule(r, code, size);
  if (!module) return false;
  VkComputePipelineCreateInfo ci{};
  ci.sType = VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO;
  ci.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
  ci.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
  ci.stage.module = module;
  ci.stage.pName = "main";
  ci.layout = layout;
  VkResult res = vkCreateComputePipelines(r->device, VK_NULL_HANDLE, 1, &ci, nullptr, outPipeline);
  vkDestroyShaderModule(r->device, module, nullptr);
  if (res != VK_SUCCESS) *outPipeline = VK_NULL_HANDLE;
  return res == VK_SUCCESS;
}
