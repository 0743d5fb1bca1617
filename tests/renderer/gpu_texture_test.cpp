// Textures on a real device: the bindless table read back through a shader that
// fetches texels of one slot, BC7 blocks against our reference decoder, KTX2
// files against what the device says it can sample, and worker-finished uploads.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gpu_fixture.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "renderer/texture.h"
#include "renderer/texture_upload.h"
#include "renderer/vram.h"
#include "texture_samples.h"

namespace {

constexpr u32 kTarget = 64;

class Textures : public testing::Test {
 protected:
  void SetUp() override {
    memoryInit(~0ull, ~0ull);
    if (!gpuRendererHeadless(&r, &instance, &surface, 64, 64)) GTEST_SKIP() << "no Vulkan device";
    pipelinesInit(&p, &r);
    ASSERT_TRUE(textureEnsureBindless(&r));
    ASSERT_NE(r.bindlessTextureSetLayout, nullptr);
    ASSERT_NE(r.bindlessTextureSet, nullptr);
    ASSERT_TRUE(offscreenCreate(&r, &o, kTarget, kTarget));
    PipelineConfig c = gpuFullscreenConfig("shaders/bindless.frag.spv", o.renderPass);
    VkPushConstantRange range{VK_SHADER_STAGE_FRAGMENT_BIT, 0, 4};
    c.pushConstants = &range;
    c.pushConstantCount = 1;
    ASSERT_NE(pipelinesCreate(&p, 0, &c, nullptr, 0, &r.bindlessTextureSetLayout, 1), nullptr);
  }
  void TearDown() override {
    if (!r.device) return;
    rendererWaitIdle(&r);
    pipelinesDestroy(&p);
    offscreenDestroy(&r, &o);
    textureShutdown(&r);
    EXPECT_EQ(r.bindlessTextureSetLayout, nullptr);
    EXPECT_EQ(r.bindlessTexturePool, nullptr);
    gpuRendererRelease(&r, instance, surface);
  }
  // Draws texels of `slot` (clamped to its size) into the target.
  void draw(u32 slot) {
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
    offscreenBegin(&o, cmd);
    pipelineBind(&p, 0, cmd);
    Pipeline* s = pipelinesGet(&p, 0);
    vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, s->layout, 0, 1, &r.bindlessTextureSet, 0,
                            nullptr);
    vkCmdPushConstants(cmd, s->layout, VK_SHADER_STAGE_FRAGMENT_BIT, 0, 4, &slot);
    vkCmdDraw(cmd, 3, 1, 0, 0);
    offscreenEnd(&o, cmd);
    rendererEndOneTimeCommands(&r, cmd);
  }
  // Whether the target shows the 8x8 fallback checkerboard in its corner.
  b8 showsFallback() {
    for (u32 y = 0; y < 8; y++)
      for (u32 x = 0; x < 8; x++) {
        u32 px = offscreenPixel(&o, x, y);
        u32 r8 = px & 0xFF, g8 = (px >> 8) & 0xFF, b8v = (px >> 16) & 0xFF;
        b8 even = ((x + y) & 1) == 0;
        if (g8 > 4 || (even ? (r8 < 250 || b8v < 250) : (r8 > 4 || b8v > 4))) return false;
      }
    return true;
  }
  // Every texel of a w x h texture drawn from `slot` equals `expected` (RGBA).
  void expectTexels(u32 slot, const u8* expected, u32 w, u32 h) {
    draw(slot);
    u32 bad = 0;
    for (u32 y = 0; y < h && y < kTarget; y++)
      for (u32 x = 0; x < w && x < kTarget; x++) {
        u32 want;
        std::memcpy(&want, expected + (y * w + x) * 4, 4);
        if (offscreenPixel(&o, x, y) != want && bad++ < 5)
          ADD_FAILURE() << "texel " << x << "," << y << ": got " << std::hex << offscreenPixel(&o, x, y)
                        << " want " << want;
      }
    EXPECT_EQ(bad, 0u);
  }

  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  Pipelines p{};
  Offscreen o{};
};

// Our decoder's view of a compressed w x h image.
std::vector<u8> decodeImage(const u8* blocks, u32 w, u32 h) {
  std::vector<u8> out((size_t)w * h * 4);
  u32 bw = (w + 3) / 4;
  for (u32 by = 0; by < (h + 3) / 4; by++)
    for (u32 bx = 0; bx < bw; bx++) {
      u8 px[64];
      EXPECT_TRUE(bc7DecodeBlock(blocks + (by * bw + bx) * 16, px));
      for (u32 y = 0; y < 4; y++)
        for (u32 x = 0; x < 4; x++)
          if (by * 4 + y < h && bx * 4 + x < w)
            std::memcpy(&out[((by * 4 + y) * w + bx * 4 + x) * 4], px + (y * 4 + x) * 4, 4);
    }
  return out;
}

TEST_F(Textures, SlotZeroHoldsTheFallbackAndUnusedSlotsShowIt) {
  draw(0);
  EXPECT_TRUE(showsFallback());
  draw(kTextureBindlessSlots - 1);
  EXPECT_TRUE(showsFallback());
  EXPECT_NE(r.bindlessTextureFallbackView, nullptr);
  EXPECT_NE(r.bindlessTextureFallbackSampler, nullptr);
  // Idempotent for the same renderer, refused for another.
  EXPECT_TRUE(textureEnsureBindless(&r));
  Renderer other = r;
  EXPECT_FALSE(textureEnsureBindless(&other));
}

TEST_F(Textures, DeviceSamplesOurBlocksAsOurDecoderReadsThem) {
  const u32 w = 61, h = 47;  // odd: the image keeps its true size
  std::vector<u8> rgba = sampleImage(w, h, 7);
  GltfTexture t{};
  ASSERT_TRUE(textureCreateFromRgba(rgba.data(), w, h, &t, &r));
  EXPECT_EQ(t.width, w);
  EXPECT_EQ(t.height, h);
  EXPECT_EQ(t.format, VK_FORMAT_BC7_UNORM_BLOCK);
  EXPECT_EQ(t.bindlessIndex, 1u);
  u8* blocks = nullptr;
  u64 size = 0;
  ASSERT_TRUE(textureCompressRgbaToBc7(rgba.data(), w, h, &blocks, &size));
  std::vector<u8> expected = decodeImage(blocks, w, h);
  memFree(blocks);
  expectTexels(t.bindlessIndex, expected.data(), w, h);
  u32 slot = t.bindlessIndex;
  textureDestroy(&t, &r);
  EXPECT_EQ(t.image, nullptr);
  draw(slot);
  EXPECT_TRUE(showsFallback());
}

}  // namespace
