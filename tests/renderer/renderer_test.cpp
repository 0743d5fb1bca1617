// Renderer pieces that need no device.
#include "renderer/renderer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "renderer/shader_table.h"

namespace {

TEST(Renderer, RefreshRateFallsBackToSixty) {
  Renderer r{};
  struct Case { f32 hz; f64 ns; } cases[] = {{60.0f, 1e9 / 60.0}, {0.0f, 1e9 / 60.0}, {-5.0f, 1e9 / 60.0},
                                             {144.0f, 1e9 / 144.0}};
  for (auto c : cases) {
    rendererSetRefreshRate(&r, c.hz);
    EXPECT_NEAR(r.targetFrameTimeNs, c.ns, 1e-3) << c.hz;
  }
}

TEST(Renderer, LitShaderPathInRayQueryMode) {
  Renderer r{};
  r.rayQuerySupported = true;
  EXPECT_STREQ(rendererLitShaderPath(&r, "shaders/tris.frag.spv"), "shaders/tris.frag.spv");
  rendererSetLightingMode(&r, RENDERER_LIGHTING_RAY_QUERY);
  EXPECT_STREQ(rendererLitShaderPath(&r, "shaders/tris.frag.spv"), "shaders/tris_rayq.frag.spv");
  EXPECT_STREQ(rendererLitShaderPath(&r, "shaders/tris.vert.spv"), "shaders/tris.vert.spv");
}

TEST(Renderer, RayQueryRequestWithoutSupportKeepsShadowMaps) {
  Renderer r{};
  testing::internal::CaptureStderr();
  rendererSetLightingMode(&r, RENDERER_LIGHTING_RAY_QUERY);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Ray-query lighting requested but unsupported; using shadow maps\n");
  EXPECT_EQ(r.lightingMode, RENDERER_LIGHTING_SHADOW_MAPS);
  rendererSetLightingMode(nullptr, RENDERER_LIGHTING_RAY_QUERY);
}

TEST(ShaderTable, LooksUpExactNames) {
  u64 size = 0;
  const u32* code = rendererLoadShader("shaders/lines.vert.spv", &size);
  ASSERT_NE(code, nullptr);
  EXPECT_GT(size, 20u);
  EXPECT_EQ(size % 4, 0u);
  EXPECT_EQ(code[0], 0x07230203u) << "SPIR-V magic";
  testing::internal::CaptureStderr();
  EXPECT_EQ(rendererLoadShader("shaders/LINES.vert.spv", &size), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Shader not found: shaders/LINES.vert.spv\n");
}

}  // namespace
