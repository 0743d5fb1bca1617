// The UI layer drawn on lavapipe and read back: text, window stacking, clips
// reaching past the viewport, and an atlas growth in the middle of a frame.
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "gpu_fixture.h"
#include "renderer/texture.h"
#include "ui/ui.h"

namespace {

constexpr u32 kW = 320, kH = 200;
constexpr int kBare = MU_OPT_NOSCROLL | MU_OPT_NORESIZE | MU_OPT_NOCLOSE;

struct GpuUi : testing::Test {
  void SetUp() override {
    if (!gpuRendererHeadless(&renderer, &instance, &surface, kW, kH)) GTEST_SKIP() << "no Vulkan device";
    up = true;
    ASSERT_TRUE(textureEnsureBindless(&renderer));
    pipelinesInit(&pipelines, &renderer);
    uiCreatePipeline(&pipelines, &renderer);
    fontCreatePipeline(&pipelines, &renderer);
    ASSERT_NE(pipelinesGet(&pipelines, PIPELINE_UI), nullptr);
    ASSERT_NE(pipelinesGet(&pipelines, PIPELINE_FONT), nullptr);
    ASSERT_TRUE(fontInitRuntime(&font, &renderer, &pipelines, PIPELINE_FONT, TERRAIN_FONT_FILE, 24.0f, 512, 512));
    uiInit(&ui, &renderer, &pipelines, &font, PIPELINE_UI);
    ASSERT_TRUE(mainPassTargetCreate(&renderer, &target, kW, kH));
  }
  void TearDown() override {
    if (!up) return;
    rendererWaitIdle(&renderer);
    mainPassTargetDestroy(&renderer, &target);
    uiDestroy(&ui);
    fontDestroy(&font);
    pipelinesDestroy(&pipelines);
    textureShutdown(&renderer);
    gpuRendererRelease(&renderer, instance, surface);
  }
  void render(const std::function<void(mu_Context*)>& build) {
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&renderer);
    fontBeginFrame(&font);
    uiBegin(&ui);
    build(uiGetMuContext(&ui));
    mainPassTargetBegin(&target, cmd);
    uiEnd(&ui, cmd, (i32)kW, (i32)kH);
    mainPassTargetEnd(&target, cmd);
    rendererEndOneTimeCommands(&renderer, cmd);
  }
  std::vector<int> pixels() const {
    std::vector<int> out(kW * kH * 3);
    for (u32 y = 0; y < kH; y++)
      for (u32 x = 0; x < kW; x++) mainPassTargetRGB(&target, x, y, &out[(y * kW + x) * 3]);
    return out;
  }
  // Pixels in the rectangle brighter than the window colour (text is 195 grey).
  int brightIn(i32 x0, i32 y0, i32 x1, i32 y1) const {
    int n = 0;
    for (i32 y = y0; y < y1; y++)
      for (i32 x = x0; x < x1; x++) {
        int rgb[3];
        mainPassTargetRGB(&target, (u32)x, (u32)y, rgb);
        if (rgb[0] > 120 && rgb[1] > 120 && rgb[2] > 120) n++;
      }
    return n;
  }
  bool isWindowColour(u32 x, u32 y) const {
    int rgb[3];
    mainPassTargetRGB(&target, x, y, rgb);
    return std::abs(rgb[0] - 44) <= 1 && std::abs(rgb[1] - 44) <= 1 && std::abs(rgb[2] - 44) <= 1;
  }

  Renderer renderer{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  b8 up = false;
  Pipelines pipelines{};
  Font font{};
  Ui ui{};
  MainPassTarget target{};
};

TEST_F(GpuUi, TextAndWindowShowUp) {
  mu_Rect cell{};
  render([&](mu_Context* c) {
    if (mu_begin_window_ex(c, "Stats", mu_rect(20, 20, 260, 140), kBare)) {
      int w[] = {-1};
      mu_layout_row(c, 1, w, 0);
      mu_label(c, "HHHH");
      cell = c->last_rect;
      mu_end_window(c);
    }
  });
  EXPECT_GT(brightIn(cell.x, cell.y, cell.x + cell.w, cell.y + cell.h), 60) << "label glyphs";
  EXPECT_GT(brightIn(20, 20, 280, 52), 40) << "title glyphs";
  EXPECT_TRUE(isWindowColour(200, 140));  // window body away from any text
  EXPECT_EQ(brightIn(0, 170, kW, kH), 0) << "nothing below the window";
  int rgb[3];
  mainPassTargetRGB(&target, 5, 5, rgb);
  EXPECT_EQ(rgb[0] + rgb[1] + rgb[2], 0) << "outside the window the frame is untouched";
}

TEST_F(GpuUi, LowerWindowTextIsHiddenUnderTheUpperWindow) {
  mu_Rect lowerCell{};
  auto build = [&](mu_Context* c) {
    if (mu_begin_window_ex(c, "A", mu_rect(10, 10, 200, 120), kBare)) {
      mu_label(c, "HH");  // short: no clip command of its own
      lowerCell = c->last_rect;
      mu_end_window(c);
    }
    if (mu_begin_window_ex(c, "B", mu_rect(5, 30, 300, 150), kBare | MU_OPT_NOTITLE)) {
      mu_end_window(c);
    }
  };
  render(build);
  render(build);
  // Window B (created later, on top) covers A's label; its body has no text.
  ASSERT_GT(lowerCell.w, 0);
  EXPECT_EQ(brightIn(lowerCell.x, lowerCell.y, lowerCell.x + lowerCell.w, lowerCell.y + lowerCell.h), 0);
  EXPECT_TRUE(isWindowColour((u32)(lowerCell.x + 4), (u32)(lowerCell.y + lowerCell.h / 2)));
}

TEST_F(GpuUi, ClipsReachingPastTheViewportAreCut) {
  // Windows hanging over the edges: every scissor must be cut at the target's
  // edges (the validation layer rejects one reaching past them), and what lies
  // inside is still drawn.
  render([&](mu_Context* c) {
    if (mu_begin_window_ex(c, "Left", mu_rect(-60, 10, 160, 80), kBare)) {
      mu_label(c, "HHHHHHHH");
      mu_end_window(c);
    }
    if (mu_begin_window_ex(c, "Right", mu_rect(kW - 70, kH - 50, 200, 120), kBare)) {
      mu_label(c, "HHHHHHHH");
      mu_end_window(c);
    }
    if (mu_begin_window_ex(c, "Gone", mu_rect(kW + 10, 10, 100, 100), kBare)) {
      mu_label(c, "HHHH");
      mu_end_window(c);
    }
  });
  EXPECT_TRUE(isWindowColour(50, 80));
  EXPECT_TRUE(isWindowColour(kW - 5, kH - 5));
  EXPECT_GT(brightIn(0, 10, 100, 90), 20);
  int rgb[3];
  mainPassTargetRGB(&target, 150, 100, rgb);
  EXPECT_EQ(rgb[0] + rgb[1] + rgb[2], 0);
}

TEST_F(GpuUi, GrowthWhileAFrameIsBuiltKeepsEveryGlyph) {
  // A new glyph met while the windows are built grows the atlas after an
  // earlier frame drew from it: the picture equals one drawn from an atlas that
  // never had to grow.
  auto build = [&](mu_Context* c) {
    if (mu_begin_window_ex(c, "G", mu_rect(10, 10, 300, 180), kBare | MU_OPT_NOTITLE)) {
      mu_label(c, "AA");
      mu_label(c, "\xc5\x81\xc5\x81");  // U+0141, made at run time
      mu_label(c, "BB");
      mu_end_window(c);
    }
  };
  render(build);
  render(build);
  std::vector<int> reference = pixels();

  // Fresh font whose runtime shelf sits at the bottom: U+0141 forces a growth.
  uiDestroy(&ui);
  fontDestroy(&font);
  ASSERT_TRUE(fontInitRuntime(&font, &renderer, &pipelines, PIPELINE_FONT, TERRAIN_FONT_FILE, 24.0f, 512, 512));
  uiInit(&ui, &renderer, &pipelines, &font, PIPELINE_UI);
  font.atlasCursorY = font.atlasH - 6;
  render(build);
  render(build);
  EXPECT_EQ(font.atlasH, 4096);
  EXPECT_EQ(font.atlasGrowths, 1u);
  std::vector<int> grown = pixels();
  int worst = 0, lit = 0;
  for (size_t i = 0; i < grown.size(); i++) {
    int d = std::abs(grown[i] - reference[i]);
    if (d > worst) worst = d;
    if (reference[i] > 120) lit++;
  }
  EXPECT_GT(lit, 300) << "the labels were drawn";
  EXPECT_LE(worst, 2);
}

// The atlas image read back whole equals the CPU copy byte for byte.
bool atlasMatches(Renderer* r, Font* f) {
  VkDeviceSize bytes = (VkDeviceSize)f->atlasW * (VkDeviceSize)f->atlasH;
  GpuBuffer rb = gpuCreateHostBuffer(r, bytes, VK_BUFFER_USAGE_TRANSFER_DST_BIT);
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(r);
  VkImageMemoryBarrier b{};
  b.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
  b.oldLayout = VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
  b.newLayout = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
  b.srcAccessMask = VK_ACCESS_SHADER_READ_BIT;
  b.dstAccessMask = VK_ACCESS_TRANSFER_READ_BIT;
  b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.image = f->image;
  b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0, nullptr, 0,
                       nullptr, 1, &b);
  VkBufferImageCopy copy{};
  copy.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  copy.imageExtent = {(u32)f->atlasW, (u32)f->atlasH, 1};
  vkCmdCopyImageToBuffer(cmd, f->image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, rb.buffer, 1, &copy);
  VkImageMemoryBarrier back = b;
  back.oldLayout = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
  back.newLayout = VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL;
  back.srcAccessMask = VK_ACCESS_TRANSFER_READ_BIT;
  back.dstAccessMask = VK_ACCESS_SHADER_READ_BIT;
  VkBufferMemoryBarrier hostRead{};
  hostRead.sType = VK_STRUCTURE_TYPE_BUFFER_MEMORY_BARRIER;
  hostRead.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  hostRead.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
  hostRead.srcQueueFamilyIndex = hostRead.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  hostRead.buffer = rb.buffer;
  hostRead.size = VK_WHOLE_SIZE;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT,
                       VK_PIPELINE_STAGE_FRAGMENT_SHADER_BIT | VK_PIPELINE_STAGE_HOST_BIT, 0, 0, nullptr, 1, &hostRead,
                       1, &back);
  rendererEndOneTimeCommands(r, cmd);
  bool same = memcmp(rb.mapped, f->atlasData, (size_t)bytes) == 0;
  gpuDestroyBuffer(r, &rb);
  return same;
}

TEST_F(GpuUi, AtlasOnTheGpuEqualsTheCpuCopyAfterGlyphsAndGrowth) {
  render([&](mu_Context* c) {
    if (mu_begin_window_ex(c, "G", mu_rect(10, 10, 300, 180), kBare)) {
      mu_label(c, "\xe2\x82\xac\xce\xa9\xd0\x96");  // three runtime glyphs
      mu_end_window(c);
    }
  });
  EXPECT_EQ(font.atlasH, 2048);
  EXPECT_TRUE(atlasMatches(&renderer, &font));
  font.atlasCursorY = font.atlasH - 6;
  render([&](mu_Context* c) {
    if (mu_begin_window_ex(c, "G", mu_rect(10, 10, 300, 180), kBare)) {
      mu_label(c, "\xc5\x81");  // grows the atlas
      mu_end_window(c);
    }
  });
  EXPECT_EQ(font.atlasH, 4096);
  EXPECT_TRUE(atlasMatches(&renderer, &font));
}

TEST_F(GpuUi, GrowthOnTheFirstFrameOfAGlyph) {
  // The growth happens in the frame that first shows the glyph: that frame
  // already shows it, and so does the next.
  font.atlasCursorY = font.atlasH - 6;
  mu_Rect cell{};
  auto build = [&](mu_Context* c) {
    if (mu_begin_window_ex(c, "G", mu_rect(10, 10, 300, 180), kBare | MU_OPT_NOTITLE)) {
      mu_label(c, "\xc5\x81\xc5\x81\xc5\x81");
      cell = c->last_rect;
      mu_end_window(c);
    }
  };
  render(build);
  EXPECT_EQ(font.atlasH, 4096);
  EXPECT_GT(brightIn(cell.x, cell.y, cell.x + cell.w, cell.y + cell.h), 40);
}

}  // namespace
