// The graphics pipelines of the program in 16 numbered slots. Each slot keeps a
// deep copy of its description, so that every pipeline can be rebuilt later without
// its creator (a lighting-mode change swaps descriptor set layouts), and remembers
// the images written into its own descriptor set so that a rebuild writes them again.
#pragma once

#include "platform/types.h"
#include "renderer/vkloader.h"

struct Renderer;

// A zero-filled record: no culling, counter-clockwise front face, no depth or
// stencil, no blending, point list, main render pass, colour output, no bias.
struct PipelineConfig {
  const u32* vertCode;
  u64 vertSize;
  const u32* fragCode;
  u64 fragSize;
  const VkVertexInputBindingDescription* vertexBindings;
  u32 vertexBindingCount;
  const VkVertexInputAttributeDescription* vertexAttributes;
  u32 vertexAttributeCount;
  // Set layouts of the pipeline layout when the slot has no set of its own.
  const VkDescriptorSetLayout* descriptorSetLayouts;
  u32 descriptorSetLayoutCount;
  const VkPushConstantRange* pushConstants;
  u32 pushConstantCount;
  VkCullModeFlags cullMode;
  VkFrontFace frontFace;
  b8 depthTest;
  b8 depthWrite;
  b8 stencilTest;
  b8 stencilWrite;  // false: stencil write mask 0
  VkCompareOp stencilCompareOp;
  VkStencilOp stencilFailOp;
  VkStencilOp stencilPassOp;
  VkStencilOp stencilDepthFailOp;
  u32 stencilCompareMask;
  u32 stencilWriteMask;
  u32 stencilReference;
  b8 blendEnable;
  VkPrimitiveTopology topology;
  VkRenderPass renderPass;  // null: the main render pass
  b8 depthOnly;  // no colour attachment
  b8 depthBiasEnable;
  f32 depthBiasConstant;
  f32 depthBiasSlope;
  // Lit pipelines: the unresolved name of the fragment shader (static storage).
  // Every build resolves it for the current lighting mode, so a mode change
  // picks the matching variant instead of reusing the old code.
  const char* litFragmentShader;
};

inline constexpr u32 kPipelineSlots = 16;
inline constexpr u32 kPipelineImageBindings = 16;

struct PipelineImageBinding {
  u32 binding;
  VkSampler sampler;
  VkImageView view;
};

struct Pipeline {
  VkPipeline pipeline;
  VkPipelineLayout layout;
  VkDescriptorSetLayout descriptorSetLayout;  // own set 0; null without own bindings
  VkDescriptorPool descriptorPool;
  VkDescriptorSet descriptorSet;
  PipelineConfig config;  // its arrays point at the copies below
  VkVertexInputBindingDescription* vertexBindings;
  VkVertexInputAttributeDescription* vertexAttributes;
  VkDescriptorSetLayoutBinding* descriptorBindings;
  VkPushConstantRange* pushConstants;
  VkDescriptorSetLayout* extraLayouts;  // sets after the own set; owned by their creators
  VkDescriptorSetLayout* descriptorSetLayouts;
  u32 vertexBindingCount;
  u32 vertexAttributeCount;
  u32 descriptorBindingCount;
  u32 pushConstantCount;
  u32 extraLayoutCount;
  u32 descriptorSetLayoutCount;
  b8 hasCachedConfig;
  PipelineImageBinding imageBindings[kPipelineImageBindings];
  u32 imageBindingCount;
  b8 active;
};

struct Pipelines {
  Renderer* renderer;
  Pipeline slots[kPipelineSlots];
  u32 count;  // one more than the highest slot ever created
};

void pipelinesInit(Pipelines* p, Renderer* r);
void pipelinesDestroy(Pipelines* p);
Pipeline* pipelinesCreate(Pipelines* p, u32 index, const PipelineConfig* config,
                          const VkDescriptorSetLayoutBinding* bindings, u32 bindingCount,
                          const VkDescriptorSetLayout* extraLayouts, u32 extraLayoutCount);
Pipeline* pipelinesGet(Pipelines* p, u32 index);
void pipelineBind(Pipelines* p, u32 index, VkCommandBuffer cmd);
void pipelineUpdateImage(Pipelines* p, u32 index, u32 binding, VkSampler sampler, VkImageView view);
// The GPU must no longer use the old objects (wait for the device first).
b8 pipelinesRebuild(Pipelines* p, u32 index);
b8 pipelinesRebuildAll(Pipelines* p);
// Swaps a set layout in every cached description; rebuilds nothing.
void pipelinesReplaceDescriptorSetLayout(Pipelines* p, VkDescriptorSetLayout oldLayout,
                                         VkDescriptorSetLayout newLayout);
b8 pipelineCreateCompute(Renderer* r, VkPipelineLayout layout, const char* shaderPath, VkPipeline* outPipeline);
