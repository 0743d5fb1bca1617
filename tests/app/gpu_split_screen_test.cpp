// Split screen on lavapipe: the frame's player loop draws the debug lines in
// every player's cell with that player's camera, and nothing outside the lines
// those cameras project.
#include <cmath>
#include <vector>

#include "app/state.h"
#include "gpu_fixture.h"
#include "platform/memory.h"

namespace {

constexpr u32 kW = 160, kH = 120;  // not square: each cell has its own aspect
constexpr u8 kLine[3] = {255, 200, 40};
constexpr v3 kA = V3(-3.0, 1.0, -2.0), kB = V3(4.0, 0.5, 1.0);

struct Pixel {
  f64 x, y;
};

struct SplitScreen : testing::Test {
  void SetUp() override {
    memoryInit(~0ull, ~0ull);
    s = static_cast<State*>(memCalloc(1, sizeof(State)));
    ASSERT_NE(s, nullptr);
    if (!gpuRendererHeadless(&s->renderer, &instance, &surface, kW, kH)) GTEST_SKIP() << "no Vulkan device";
    up = true;
    pipelinesInit(&s->pipelines, &s->renderer);
    linesInit(&s->lines, &s->renderer);
    linesCreatePipeline(&s->pipelines, &s->renderer);
    ASSERT_NE(pipelinesGet(&s->pipelines, kLinesPipelineSlot), nullptr);
    ASSERT_TRUE(mainPassTargetCreate(&s->renderer, &target, kW, kH));
    s->windowW = (i32)kW;
    s->windowH = (i32)kH;
  }
  void TearDown() override {
    if (up) {
      rendererWaitIdle(&s->renderer);
      mainPassTargetDestroy(&s->renderer, &target);
      linesDestroy(&s->lines);
      pipelinesDestroy(&s->pipelines);
      gpuRendererRelease(&s->renderer, instance, surface);
    }
    memFree(s);
  }

  // One frame of the player loop with a single line segment.
  void render() {
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&s->renderer);
    linesBeginFrame(&s->lines);
    linesAdd(&s->lines, kA, kB, trisColorRGBA(kLine[0], kLine[1], kLine[2], 255));
    mainPassTargetBegin(&target, cmd);
    drawPlayers(s, cmd);
    mainPassTargetEnd(&target, cmd);
    rendererEndOneTimeCommands(&s->renderer, cmd);
  }

  b8 lineAt(i32 x, i32 y) const {
    if (x < 0 || y < 0 || x >= (i32)kW || y >= (i32)kH) return false;
    int rgb[3];
    mainPassTargetRGB(&target, (u32)x, (u32)y, rgb);
    return rgb[0] == kLine[0] && rgb[1] == kLine[1] && rgb[2] == kLine[2];
  }

  State* s = nullptr;
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  b8 up = false;
  MainPassTarget target{};
};

// Where world point p lands in the framebuffer through camera c drawn in cell v.
Pixel project(Camera c, SplitViewport v, v3 p) {
  CameraSetAspect(&c, (f64)v.width / (f64)v.height);
  v3 ndc = CameraWorldToNDC(&c, p);
  return Pixel{v.x + (ndc.x + 1.0) * 0.5 * v.width, v.y + (ndc.y + 1.0) * 0.5 * v.height};
}

f64 distanceToSegment(Pixel p, Pixel a, Pixel b) {
  f64 dx = b.x - a.x, dy = b.y - a.y;
  f64 t = ((p.x - a.x) * dx + (p.y - a.y) * dy) / (dx * dx + dy * dy);
  t = std::fmax(0.0, std::fmin(1.0, t));
  f64 ex = a.x + t * dx - p.x, ey = a.y + t * dy - p.y;
  return std::sqrt(ex * ex + ey * ey);
}

TEST_F(SplitScreen, LinesAppearInEveryCellWhereThatPlayersCameraProjectsThem) {
  // Four cameras around the segment, each seeing it from another side.
  const v3 eyes[kMaxLocalPlayers] = {V3(0, 3, 12), V3(12, 4, 1), V3(-2, 14, 3), V3(-10, 2, -8)};
  for (u32 count : {2u, 4u}) {
    SCOPED_TRACE(testing::Message() << count << " players");
    s->localPlayerCount = count;
    Camera cams[kMaxLocalPlayers];
    for (u32 i = 0; i < count; i++) {
      cams[i] = CameraCreate(eyes[i], V3(0.5, 0.5, -0.5), 1.0, 1.0);
      statePlayer(s, i)->camera = cams[i];
    }
    render();
    std::vector<SplitViewport> cells;
    std::vector<Pixel> from, to;
    for (u32 i = 0; i < count; i++) {
      SplitViewport v = splitViewport((i32)kW, (i32)kH, count, i);
      cells.push_back(v);
      from.push_back(project(cams[i], v, kA));
      to.push_back(project(cams[i], v, kB));
    }
    for (u32 i = 0; i < count; i++) {
      SCOPED_TRACE(testing::Message() << "cell " << i);
      const SplitViewport& v = cells[i];
      // The whole segment is in view: it must not need the cell's clipping.
      for (Pixel p : {from[i], to[i]}) {
        ASSERT_GT(p.x, v.x + 2.0);
        ASSERT_LT(p.x, v.x + v.width - 2.0);
        ASSERT_GT(p.y, v.y + 2.0);
        ASSERT_LT(p.y, v.y + v.height - 2.0);
      }
      // Along the projected segment: a line pixel at or next to each point.
      u32 missing = 0;
      for (int k = 0; k <= 32; k++) {
        f64 t = k / 32.0;
        i32 x = (i32)std::floor(from[i].x + t * (to[i].x - from[i].x));
        i32 y = (i32)std::floor(from[i].y + t * (to[i].y - from[i].y));
        b8 found = false;
        for (i32 dy = -1; dy <= 1 && !found; dy++)
          for (i32 dx = -1; dx <= 1 && !found; dx++) found = lineAt(x + dx, y + dy);
        if (!found) missing++;
      }
      EXPECT_EQ(missing, 0u) << "points of the segment not drawn";
    }
    // Every line pixel lies in some cell near that cell's projection: no copy
    // drawn with another player's camera, none across a cell's edge.
    u32 stray = 0, drawn = 0;
    for (u32 y = 0; y < kH; y++)
      for (u32 x = 0; x < kW; x++) {
        if (!lineAt((i32)x, (i32)y)) continue;
        drawn++;
        Pixel centre{x + 0.5, y + 0.5};
        b8 explained = false;
        for (u32 i = 0; i < count; i++) {
          const SplitViewport& v = cells[i];
          if ((i32)x < v.x || (i32)x >= v.x + v.width || (i32)y < v.y || (i32)y >= v.y + v.height) continue;
          explained = distanceToSegment(centre, from[i], to[i]) <= 1.0;
        }
        if (!explained && stray++ < 5) ADD_FAILURE() << "stray line pixel at " << x << ", " << y;
      }
    EXPECT_EQ(stray, 0u);
    EXPECT_GT(drawn, 10u * count);
  }
}

}  // namespace
