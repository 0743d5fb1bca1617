// The pipeline registry on a real device, drawing into an offscreen target.
#include <string>

#include "gpu_fixture.h"
#include "platform/memory.h"

namespace {

constexpr u32 kRed = 0xFF0000FF, kGreen = 0xFF00FF00, kBlue = 0xFFFF0000;

class Registry : public testing::Test {
 protected:
  void SetUp() override {
    memoryInit(~0ull, ~0ull);
    if (!gpuRendererHeadless(&r, &instance, &surface, 64, 64)) GTEST_SKIP() << "no Vulkan device";
    pipelinesInit(&p, &r);
    ASSERT_TRUE(offscreenCreate(&r, &o, 8, 8));
    sampler = gpuCreateSampler(&r);
    VkDescriptorSetLayoutBinding b{0, VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 1, VK_SHADER_STAGE_FRAGMENT_BIT,
                                   nullptr};
    imageBinding = b;
  }
  void TearDown() override {
    if (!r.device) return;
    pipelinesDestroy(&p);
    vkDestroySampler(r.device, sampler, nullptr);
    offscreenDestroy(&r, &o);
    gpuRendererRelease(&r, instance, surface);
  }
  // Draws slot `index` over the target (binding `set1` as set 1 when given) and
  // returns the centre pixel.
  u32 draw(u32 index, VkDescriptorSet extraSet = VK_NULL_HANDLE, u32 extraSetIndex = 1, const f32* push = nullptr) {
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
    offscreenBegin(&o, cmd);
    pipelineBind(&p, index, cmd);
    Pipeline* s = pipelinesGet(&p, index);
    if (s && extraSet)
      vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, s->layout, extraSetIndex, 1, &extraSet, 0,
                              nullptr);
    if (s && push) vkCmdPushConstants(cmd, s->layout, VK_SHADER_STAGE_FRAGMENT_BIT, 0, 16, push);
    if (s) vkCmdDraw(cmd, 3, 1, 0, 0);
    offscreenEnd(&o, cmd);
    rendererEndOneTimeCommands(&r, cmd);
    return offscreenPixel(&o, 4, 4);
  }
  // A set of `layout` holding `image` at binding 0.
  VkDescriptorSet imageSet(VkDescriptorSetLayout layout, VkImageView view) {
    VkDescriptorPoolSize size{VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 4};
    if (!pool) pool = rendererCreateDescriptorPool(&r, &size, 1, 4);
    VkDescriptorSet set = rendererAllocDescriptorSet(&r, pool, layout);
    rendererUpdateDescriptorImage(&r, set, 0, sampler, view);
    return set;
  }
  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  Pipelines p{};
  Offscreen o{};
  VkSampler sampler = VK_NULL_HANDLE;
  VkDescriptorPool pool = VK_NULL_HANDLE;
  VkDescriptorSetLayoutBinding imageBinding{};
};

TEST_F(Registry, CreateDrawsAndGuardsItsSlots) {
  PipelineConfig c = gpuFullscreenConfig("shaders/solid.frag.spv", o.renderPass);
  VkPushConstantRange range{VK_SHADER_STAGE_FRAGMENT_BIT, 0, 16};
  c.pushConstants = &range;
  c.pushConstantCount = 1;

  testing::internal::CaptureStderr();
  EXPECT_EQ(pipelinesCreate(&p, 16, &c, nullptr, 0, nullptr, 0), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Pipeline index 16 exceeds max 16\n");

  Pipeline* s = pipelinesCreate(&p, 3, &c, nullptr, 0, nullptr, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(p.count, 4u);
  const f32 green[4] = {0, 1, 0, 1};
  EXPECT_EQ(draw(3, VK_NULL_HANDLE, 1, green), kGreen);

  VkPipeline first = s->pipeline;
  testing::internal::CaptureStderr();
  EXPECT_EQ(pipelinesCreate(&p, 3, &c, nullptr, 0, nullptr, 0), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Pipeline slot 3 already in use\n");
  EXPECT_EQ(pipelinesGet(&p, 3)->pipeline, first);

  EXPECT_TRUE(pipelinesRebuild(&p, 5)) << "an empty slot has nothing to rebuild";
  EXPECT_EQ(pipelinesGet(&p, 5), nullptr);
  EXPECT_FALSE(pipelinesRebuild(&p, 16));
  EXPECT_TRUE(pipelinesRebuildAll(&p));
  EXPECT_EQ(draw(3, VK_NULL_HANDLE, 1, green), kGreen) << "the cached push range survived the rebuild";
}

TEST_F(Registry, RemembersImagesAcrossRebuilds) {
  GpuImage red = gpuCreateSolidImage(&r, kRed), green = gpuCreateSolidImage(&r, kGreen);
  PipelineConfig c = gpuFullscreenConfig("shaders/sampled.frag.spv", o.renderPass);
  ASSERT_NE(pipelinesCreate(&p, 2, &c, &imageBinding, 1, nullptr, 0), nullptr);
  pipelineUpdateImage(&p, 2, 0, sampler, red.view);
  EXPECT_EQ(draw(2), kRed);
  VkDescriptorSet before = pipelinesGet(&p, 2)->descriptorSet;
  ASSERT_TRUE(pipelinesRebuildAll(&p));
  EXPECT_NE(pipelinesGet(&p, 2)->descriptorSet, VK_NULL_HANDLE);
  (void)before;
  EXPECT_EQ(draw(2), kRed) << "the new set got the image again";
  pipelineUpdateImage(&p, 2, 0, sampler, green.view);
  EXPECT_EQ(pipelinesGet(&p, 2)->imageBindingCount, 1u) << "same binding replaces its record";
  ASSERT_TRUE(pipelinesRebuild(&p, 2));
  EXPECT_EQ(draw(2), kGreen);
  pipelinesDestroy(&p);
  gpuDestroyImage(&r, &red);
  gpuDestroyImage(&r, &green);
}

TEST_F(Registry, ReplacedLayoutsAreUsedByTheRebuild) {
  GpuImage blue = gpuCreateSolidImage(&r, kBlue);
  VkDescriptorSetLayout oldLayout = rendererCreateDescriptorSetLayout(&r, &imageBinding, 1);
  VkDescriptorSetLayout newLayout = rendererCreateDescriptorSetLayout(&r, &imageBinding, 1);
  PipelineConfig c = gpuFullscreenConfig("shaders/sampled_set1.frag.spv", o.renderPass);
  ASSERT_NE(pipelinesCreate(&p, 6, &c, &imageBinding, 1, &oldLayout, 1), nullptr);
  pipelinesReplaceDescriptorSetLayout(&p, oldLayout, newLayout);
  EXPECT_EQ(p.slots[6].extraLayouts[0], newLayout);
  vkDestroyDescriptorSetLayout(r.device, oldLayout, nullptr);
  ASSERT_TRUE(pipelinesRebuildAll(&p));
  EXPECT_EQ(draw(6, imageSet(newLayout, blue.view), 1), kBlue);
  pipelinesDestroy(&p);
  vkDestroyDescriptorPool(r.device, pool, nullptr);
  vkDestroyDescriptorSetLayout(r.device, newLayout, nullptr);
  gpuDestroyImage(&r, &blue);
}

TEST_F(Registry, ExtraLayoutsAloneBecomeSetZero) {
  GpuImage green = gpuCreateSolidImage(&r, kGreen);
  VkDescriptorSetLayout layout = rendererCreateDescriptorSetLayout(&r, &imageBinding, 1);
  PipelineConfig c = gpuFullscreenConfig("shaders/sampled.frag.spv", o.renderPass);
  ASSERT_NE(pipelinesCreate(&p, 7, &c, nullptr, 0, &layout, 1), nullptr);
  EXPECT_EQ(p.slots[7].descriptorSet, VK_NULL_HANDLE);
  EXPECT_EQ(draw(7, imageSet(layout, green.view), 0), kGreen);
  pipelinesDestroy(&p);
  vkDestroyDescriptorPool(r.device, pool, nullptr);
  vkDestroyDescriptorSetLayout(r.device, layout, nullptr);
  gpuDestroyImage(&r, &green);
}

TEST_F(Registry, ComputeFromAMissingShaderFails) {
  VkPipelineLayoutCreateInfo li{};
  li.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
  VkPipelineLayout layout;
  ASSERT_EQ(vkCreatePipelineLayout(r.device, &li, nullptr, &layout), VK_SUCCESS);
  VkPipeline out = VK_NULL_HANDLE;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(pipelineCreateCompute(&r, layout, "shaders/none.comp.spv", &out));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Shader not found: shaders/none.comp.spv\n");
  EXPECT_FALSE(pipelineCreateCompute(&r, layout, nullptr, &out));
  vkDestroyPipelineLayout(r.device, layout, nullptr);
}

}  // namespace
