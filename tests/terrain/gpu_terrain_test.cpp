// Terrain chunks drawn on lavapipe from above and read back: the splat map's channels
// show their materials, material id 0 and ids past the material count the
// checkerboard, a brush stroke changes only its own area and undo restores it.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <stb/stb_image_write.h>

#include "gpu_fixture.h"
#include "platform/memory.h"
#include "renderer/lighting.h"
#include "renderer/pipelines.h"
#include "renderer/texture.h"
#include "renderer/tris.h"
#include "store/store_fixture.h"
#include "terrain/terrain_mesh.h"
#include "terrain/world_editor.h"
#include "terrain/world_map.h"

namespace {

constexpr u32 kSize = 128;
constexpr u32 kSplatSlot = 12;
constexpr u32 kPlainSlot = 6;

// A KTX2 file of one solid RGBA8 level.
void writeSolidKtx2(const std::string& path, u32 size, u32 rgba) {
  std::vector<u8> f(104 + (size_t)size * size * 4, 0);
  const u8 id[12] = {0xAB, 'K', 'T', 'X', ' ', '2', '0', 0xBB, '\r', '\n', 0x1A, '\n'};
  std::memcpy(f.data(), id, 12);
  u32 hdr[9] = {VK_FORMAT_R8G8B8A8_UNORM, 1, size, size, 0, 0, 1, 1, 0};
  std::memcpy(f.data() + 12, hdr, sizeof hdr);
  u64 level[3] = {104, (u64)size * size * 4, (u64)size * size * 4};
  std::memcpy(f.data() + 80, level, sizeof level);
  for (size_t i = 0; i < (size_t)size * size; i++) std::memcpy(f.data() + 104 + i * 4, &rgba, 4);
  FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  std::fwrite(f.data(), 1, f.size(), out);
  std::fclose(out);
}

class TerrainGpu : public storetest::StoreDir {
 protected:
  void SetUp() override {
    StoreDir::SetUp();
    memoryInit(~0ull, ~0ull);
    if (!gpuRendererHeadless(&r, &instance, &surface, 64, 64)) GTEST_SKIP() << "no Vulkan device";
    up = true;
    pipelinesInit(&p, &r);
    ASSERT_TRUE(textureEnsureBindless(&r));
    ASSERT_TRUE(lightingInit(&l, &r));
    meshPoolInit(&vp, r.device, r.physicalDevice, 4 << 20, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT);
    meshPoolInit(&ip, r.device, r.physicalDevice, 4 << 20, VK_BUFFER_USAGE_INDEX_BUFFER_BIT);
    ASSERT_TRUE(mainPassTargetCreate(&r, &st, kSize, kSize));
    wm = worldCreate();
    // 17 x 17 samples 1 m apart over [-8, 8]: one chunk (tile (0, 0)) covers it all.
    WorldMeta m = worldDefaultMeta(17, 17, 1, 16, 50);
    ASSERT_TRUE(worldNew(wm, path.c_str(), &m));
  }
  void TearDown() override {
    if (up) {
      rendererWaitIdle(&r);
      if (tmUp) terrainMeshDestroy(&tm);
      mainPassTargetDestroy(&r, &st);
      meshPoolDestroy(&vp);
      meshPoolDestroy(&ip);
      lightingDestroy(&l);
      pipelinesDestroy(&p);
      textureShutdown(&r);
      gpuRendererRelease(&r, instance, surface);
    }
    worldClose(wm);
    StoreDir::TearDown();
  }
  void initTerrain() {
    terrainMeshInit(&tm, wm, &vp, &ip, &p, kPlainSlot, kSplatSlot, &r, l.setLayout);
    tmUp = true;
    ASSERT_TRUE(tm.splatReady);
    terrainMeshLoadTile(&tm, 0, 0);
    ASSERT_TRUE(terrainMeshRefreshTile(&tm, 0, 0));
  }
  // Straight down on x, z in [-h, h]; screen right is +x, screen down is +z.
  static mat4f32 topView(f64 h) {
    mat4f32 m{};
    m.m[0] = (f32)(1.0 / h);
    m.m[6] = (f32)(-0.5 / 100.0);
    m.m[9] = (f32)(1.0 / h);
    m.m[14] = 0.5f;
    m.m[15] = 1.0f;
    return m;
  }
  // Ambient light only, at full strength: each pixel is the surface's albedo.
  void render(f64 halfView) {
    half = halfView;
    l.data = LightUBOData{};
    l.data.ambient = v4f{1, 1, 1, 1};
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
    lightingUpdate(&l);
    mainPassTargetBegin(&st, cmd);
    mat4f32 view = topView(halfView);
    terrainMeshDraw(&tm, cmd, &view, l.descSet, nullptr, lightingGetAddress(&l));
    mainPassTargetEnd(&st, cmd);
    rendererEndOneTimeCommands(&r, cmd);
  }
  std::vector<int> at(f64 x, f64 z) const {
    int rgb[3];
    mainPassTargetRGB(&st, (u32)((x + half) / (2 * half) * kSize), (u32)((z + half) / (2 * half) * kSize), rgb);
    return {rgb[0], rgb[1], rgb[2]};
  }
  void expectNear(std::vector<int> got, std::vector<int> want, const char* what) {
    for (int c = 0; c < 3; c++) EXPECT_NEAR(got[c], want[c], 3) << what << " channel " << c;
  }

  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  b8 up = false, tmUp = false;
  Pipelines p{};
  Lighting l{};
  MeshPool vp{}, ip{};
  MainPassTarget st{};
  WorldMap* wm = nullptr;
  TerrainMesh tm{};
  f64 half = 8;
};

TEST_F(TerrainGpu, MissingMaterialsShowTheCheckerboard) {
  // No materials: the tile's ids (1, 0, 0, 0) name none, so every layer is the fallback.
  initTerrain();
  render(1.0);  // 2 m across: the checker's 25 cm squares are 16 pixels wide
  const f64 s = 8.0 / 1024 * 32;  // one square in metres
  // Square corners lie on multiples of s from the origin; check square centres.
  for (int i = -2; i < 2; i++)
    for (int j = -2; j < 2; j++) {
      f64 x = (i + 0.5) * s, z = (j + 0.5) * s;
      int parity = (int)std::floor(x / s) + (int)std::floor(z / s);
      bool magenta = ((parity % 2) + 2) % 2 == 1;
      expectNear(at(x, z), magenta ? std::vector<int>{255, 0, 255} : std::vector<int>{16, 0, 16}, "checker");
    }
}

TEST_F(TerrainGpu, EachSplatChannelShowsItsMaterial) {
  const u32 colours[3] = {0xFF0000E0u, 0xFF00C000u, 0xFFD00000u};  // RGBA8 little-endian: red, green, blue
  for (u32 k = 0; k < 3; k++) {
    std::string f = dir + "/" + storetest::nm("material", k) + ".ktx2";
    writeSolidKtx2(f, 64, colours[k]);
    WorldTerrainMaterial mat{};
    std::snprintf(mat.albedoPath, sizeof mat.albedoPath, "%s", f.c_str());
    ASSERT_EQ(worldMaterialAdd(wm, &mat), k);
  }
  const u8 ids[4] = {1, 2, 3, 9};  // 9 is past the count: the fallback checkerboard
  ASSERT_TRUE(worldSetTileMaterialIds(wm, 0, 0, ids));
  // Columns of samples by channel: x < -3 channel 0, -3..2 channel 1, 3.. channel 2,
  // and the last two rows channel 3.
  std::vector<u8> splat(17 * 17 * 4, 0);
  for (u32 z = 0; z < 17; z++)
    for (u32 x = 0; x < 17; x++) {
      u32 ch = z >= 15 ? 3 : (x < 5 ? 0 : (x < 11 ? 1 : 2));
      splat[(z * 17 + x) * 4 + ch] = 255;
    }
  worldSplatPaint(wm, 0, 0, 17, 17, splat.data());
  initTerrain();
  render(8.0);
  expectNear(at(-6.5, -2), {0xE0, 0, 0}, "channel 0");
  expectNear(at(-0.5, 2), {0, 0xC0, 0}, "channel 1");
  expectNear(at(5.5, -5), {0, 0, 0xD0}, "channel 2");
  // Quarter-metre squares of magenta and near black, a few to the pixel here:
  // some shade between the two, never another material's colour.
  std::vector<int> past = at(0.5, 7.8);
  EXPECT_NEAR(past[0], past[2], 3) << "channel 3 names an id past the count";
  EXPECT_LE(past[1], 3) << "channel 3 names an id past the count";
  EXPECT_GE(past[0], 14) << "channel 3 names an id past the count";
  // A splat edit shows after a refresh, which rewrites the texture in its slot.
  u32 slot = tm.splatBindlessSlot;
  VkImage image = tm.splatmapTex.image;
  std::vector<u8> blue(5 * 5 * 4, 0);
  for (u32 i = 0; i < 25; i++) blue[i * 4 + 2] = 255;
  worldSplatPaint(wm, 0, 4, 5, 5, blue.data());  // x -8..-4, z -4..0
  ASSERT_TRUE(terrainMeshRefreshSplatmap(&tm));
  EXPECT_EQ(tm.splatBindlessSlot, slot);
  EXPECT_EQ(tm.splatmapTex.image, image);
  render(8.0);
  expectNear(at(-6.5, -2), {0, 0, 0xD0}, "painted over");
  expectNear(at(-6.5, -6), {0xE0, 0, 0}, "outside the painted rows");
}

TEST_F(TerrainGpu, StrokeChangesOnlyItsAreaAndUndoRestoresIt) {
  // Two materials side by side and a sun: relief shows as shading.
  initTerrain();
  l.data = LightUBOData{};
  auto renderLit = [&] {
    l.data.ambient = v4f{0.2f, 0.2f, 0.2f, 1};
    l.data.lightCount = 1;
    l.data.lights[0].direction = v4f{0.8f, 0.6f, 0, 0};
    l.data.lights[0].color = v4f{1, 1, 1, 1};
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
    lightingUpdate(&l);
    mainPassTargetBegin(&st, cmd);
    mat4f32 view = topView(8);
    terrainMeshDraw(&tm, cmd, &view, l.descSet, nullptr, lightingGetAddress(&l));
    mainPassTargetEnd(&st, cmd);
    rendererEndOneTimeCommands(&r, cmd);
    half = 8;
    std::vector<int> img;
    for (u32 y = 0; y < kSize; y += 4)
      for (u32 x = 0; x < kSize; x += 4) {
        int rgb[3];
        mainPassTargetRGB(&st, x, y, rgb);
        img.insert(img.end(), rgb, rgb + 3);
      }
    return img;
  };
  std::vector<int> before = renderLit();
  WorldEditor we;
  worldEditorInit(&we, wm, nullptr, nullptr, nullptr);
  WorldEditorTerrain hooks{};
  hooks.user = &tm;
  hooks.refreshTile = [](void* u, u32 x, u32 y) { terrainMeshRefreshTile(static_cast<TerrainMesh*>(u), x, y); };
  // Dabs rewrite only the vertices around their samples.
  hooks.refreshTileRect = [](void* u, u32 x, u32 y, u32 x0, u32 z0, u32 x1, u32 z1) {
    auto* t = static_cast<TerrainMesh*>(u);
    terrainMeshQueueRefreshRect(t, x, y, x0, z0, x1, z1);
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(t->renderer);
    terrainMeshFlush(t, cmd);
    rendererEndOneTimeCommands(t->renderer, cmd);
  };
  worldEditorSetTerrain(&we, &hooks);
  worldTileLoad(wm, 0, 0);
  ASSERT_TRUE(worldEditorApplyHeightBrush(&we, v3f{4, 0, 4, 0}, 2.5f, 3, WORLD_EDITOR_HEIGHT_BRUSH_RAISE, 0));
  ASSERT_TRUE(worldEditorApplyHeightBrush(&we, v3f{4.5f, 0, 3, 0}, 2.5f, 5, WORLD_EDITOR_HEIGHT_BRUSH_RAISE, 0));
  worldEditorEndHeightStroke(&we);
  std::vector<int> after = renderLit();
  // The vertices rewritten in place give the picture a whole rebuild gives.
  ASSERT_TRUE(terrainMeshRefreshTile(&tm, 0, 0));
  std::vector<int> rebuilt = renderLit();
  for (size_t i = 0; i < after.size(); i++) ASSERT_NEAR(after[i], rebuilt[i], 2) << "sample " << i / 3;
  // Pixels change only near the hill (within the brush radius plus a cell).
  u32 changed = 0;
  for (u32 i = 0; i < before.size() / 3; i++) {
    f64 x = ((i % 32) * 4 + 0.5) / kSize * 16 - 8, z = ((i / 32) * 4 + 0.5) / kSize * 16 - 8;
    bool differs = std::abs(before[3 * i] - after[3 * i]) > 2;
    bool near = std::hypot(x - 4, z - 4) < 2.5 + 1.5 || std::hypot(x - 4.5, z - 3) < 2.5 + 1.5;
    if (differs) changed++;
    if (!near) {
      EXPECT_FALSE(differs) << "pixel at (" << x << ", " << z << ") changed";
    }
  }
  EXPECT_GT(changed, 10u);
  ASSERT_TRUE(worldEditorUndo(&we));
  EXPECT_TRUE(renderLit() == before) << "undo restores every pixel";
  worldEditorShutdown(&we);
}

// Without KTX2 albedos the layers are BC7 at 1024 x 1024: PNG and JPEG albedos are
// decoded, scaled to the layer and compressed; a file that does not decode keeps the
// checkerboard.
TEST_F(TerrainGpu, PngAndJpegMaterialsShowTheirColours) {
  std::vector<u8> px(6 * 5 * 3);
  for (size_t i = 0; i < px.size(); i += 3) px[i] = 30, px[i + 1] = 140, px[i + 2] = 90;
  std::string png = dir + "/green.png", jpg = dir + "/green.jpg", bad = dir + "/bad.png";
  ASSERT_NE(stbi_write_png(png.c_str(), 6, 5, 3, px.data(), 6 * 3), 0);
  for (size_t i = 0; i < px.size(); i += 3) px[i] = 200, px[i + 1] = 120, px[i + 2] = 40;
  ASSERT_NE(stbi_write_jpg(jpg.c_str(), 6, 5, 3, px.data(), 95), 0);
  storetest::writeFile(bad, storetest::Bytes{0x89, 'P', 'N', 'G', 1, 2, 3});
  for (const std::string* f : {&png, &jpg, &bad}) {
    WorldTerrainMaterial mat{};
    std::snprintf(mat.albedoPath, sizeof mat.albedoPath, "%s", f->c_str());
    worldMaterialAdd(wm, &mat);
  }
  const u8 ids[4] = {1, 2, 3, 0};
  ASSERT_TRUE(worldSetTileMaterialIds(wm, 0, 0, ids));
  std::vector<u8> splat(17 * 17 * 4, 0);
  for (u32 z = 0; z < 17; z++)
    for (u32 x = 0; x < 17; x++) splat[(z * 17 + x) * 4 + (x < 5 ? 0 : (x < 11 ? 1 : 2))] = 255;
  worldSplatPaint(wm, 0, 0, 17, 17, splat.data());
  initTerrain();
  render(8.0);
  expectNear(at(-6.5, 0), {30, 140, 90}, "PNG");
  std::vector<int> j = at(-0.5, 0);
  for (int c = 0; c < 3; c++) EXPECT_NEAR(j[c], (std::vector<int>{200, 120, 40})[c], 6) << "JPEG channel " << c;
  std::vector<int> b = at(5.5, 0);
  EXPECT_TRUE(b[1] < 10 && (b[0] > 200 || b[0] < 25)) << "an undecodable file keeps the checkerboard";
}

// A tile over 65536 vertices is drawn in pieces that meet without a gap.
TEST_F(TerrainGpu, LargeTilesAreDrawnInPieces) {
  worldClose(wm);
  std::remove(path.c_str());
  wm = worldCreate();
  WorldMeta m = worldDefaultMeta(301, 301, 1, 512, 50);  // one tile of 301 x 301 samples
  ASSERT_TRUE(worldNew(wm, path.c_str(), &m));
  initTerrain();
  ASSERT_EQ(tm.chunkCount, 2u);
  EXPECT_EQ(tm.chunks[0].piece.z1, tm.chunks[1].piece.z0) << "bands share their border row";
  render(149.0);
  u32 empty = 0;
  for (u32 y = 0; y < kSize; y++)
    for (u32 x = 0; x < kSize; x++) {
      int rgb[3];
      mainPassTargetRGB(&st, x, y, rgb);
      empty += rgb[0] + rgb[2] == 0;
    }
  EXPECT_EQ(empty, 0u) << "background shows through";
}

// Neighbouring chunks share their border samples: seen at a grazing angle over a
// slope, no background shows along the borders.
TEST_F(TerrainGpu, NoBackgroundThroughChunkBorders) {
  worldClose(wm);
  std::remove(path.c_str());
  wm = worldCreate();
  WorldMeta m = worldDefaultMeta(33, 33, 1, 8, 50);  // 4 x 4 chunks of 8 m over [-16, 16]; the slope faces the viewer (no back faces)
  ASSERT_TRUE(worldNew(wm, path.c_str(), &m));
  std::vector<i16> h(33 * 33);
  for (u32 z = 0; z < 33; z++)
    for (u32 x = 0; x < 33; x++)
      h[z * 33 + x] = (i16)((4.0 - 0.15 * z + 0.6 * std::sin(x * 0.7)) / 50 * 32767);
  worldTerrainPaint(wm, 0, 0, 33, 33, h.data());
  terrainMeshInit(&tm, wm, &vp, &ip, &p, kPlainSlot, kSplatSlot, &r, l.setLayout);
  tmUp = true;
  ASSERT_TRUE(tm.splatReady);
  for (u32 ty = 0; ty < 4; ty++)
    for (u32 tx = 0; tx < 4; tx++) terrainMeshLoadTile(&tm, tx, ty);
  ASSERT_TRUE(terrainMeshRefreshTile(&tm, 0, 0));
  ASSERT_EQ(tm.chunkCount, 16u);
  for (f64 elev : {90.0, 25.0, 8.0}) {
    SCOPED_TRACE(elev);
    // Orthographic from the +z side, `elev` degrees above the horizon.
    const f64 e = elev * kPi / 180, sx = 1.0 / 17, sy = 1.0 / 17;
    mat4f32 vpm{};  // column-major: clip = M * (x, y, z, 1)
    vpm.m[0] = (f32)sx;
    vpm.m[5] = (f32)(-sy * std::cos(e));
    vpm.m[9] = (f32)(sy * std::sin(e));
    vpm.m[6] = (f32)(-0.01 * std::sin(e));
    vpm.m[10] = (f32)(-0.01 * std::cos(e));
    vpm.m[14] = 0.5f;
    vpm.m[15] = 1.0f;
    l.data = LightUBOData{};
    l.data.ambient = v4f{1, 1, 1, 1};
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
    lightingUpdate(&l);
    mainPassTargetBegin(&st, cmd);
    terrainMeshDraw(&tm, cmd, &vpm, l.descSet, nullptr, lightingGetAddress(&l));
    mainPassTargetEnd(&st, cmd);
    rendererEndOneTimeCommands(&r, cmd);
    // Points on the surface along every chunk border, projected to their pixels.
    u32 holes = 0, checked = 0;
    for (f64 border = -8; border <= 8; border += 8)
      for (f64 t = -15; t <= 15; t += 0.125)
        for (int axis = 0; axis < 2; axis++) {
          f64 x = axis ? border : t, z = axis ? t : border;
          f64 y = worldHeightAt(wm, (f32)x, (f32)z);
          f64 cx = x * sx, cy = -sy * std::cos(e) * y + sy * std::sin(e) * z;
          i32 px = (i32)((cx * 0.5 + 0.5) * kSize), py = (i32)((cy * 0.5 + 0.5) * kSize);
          if (px < 1 || py < 1 || px >= (i32)kSize - 1 || py >= (i32)kSize - 1) continue;
          int rgb[3];
          mainPassTargetRGB(&st, (u32)px, (u32)py, rgb);
          checked++;
          holes += rgb[0] + rgb[2] == 0;
        }
    EXPECT_GT(checked, 400u);
    EXPECT_EQ(holes, 0u);
  }
}

// A box above the terrain shades it where the light puts its shadow, with shadow
// maps and, after a switch, with ray queries (the splat pipeline follows the mode).
class TerrainShadow : public TerrainGpu {
 protected:
  void SetUp() override {
    TerrainGpu::SetUp();
    if (!up) return;
    lightingCreateShadowPipelines(&l);
    trisInit(&t, &r);
    trisCreatePipeline(&p, &r, l.emptySetLayout, l.setLayout);
    ASSERT_NE(pipelinesGet(&p, kTrisPipelineSlot), nullptr);
    std::string f = dir + "/grey.ktx2";
    writeSolidKtx2(f, 16, 0xFFC8C8C8u);
    WorldTerrainMaterial mat{};
    std::snprintf(mat.albedoPath, sizeof mat.albedoPath, "%s", f.c_str());
    ASSERT_EQ(worldMaterialAdd(wm, &mat), 0u);
    initTerrain();
  }
  void TearDown() override {
    if (up) {
      rendererWaitIdle(&r);
      trisDestroy(&t);
    }
    TerrainGpu::TearDown();
  }
  void renderScene() {
    half = 8;
    l.data = LightUBOData{};
    l.data.ambient = v4f{0.3f, 0.3f, 0.3f, 1.0f};
    l.data.lightCount = 1;
    GPULight& g = l.data.lights[0];
    g.direction = v4f{(f32)kL.x, (f32)kL.y, (f32)kL.z, 0.0f};
    g.color = v4f{1, 1, 1, 0.7f};
    g.castsShadow = 1;
    g.shadowVP = lightingComputeShadowVP(kL, V3(0, 0, 0), 20.0);
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
    lightingUpdate(&l);
    trisBeginFrame(&t);
    trisAddBox(&t, V3(0, 3, 0), V3(1, 1, 1), quatIdentity(), trisColorRGBA(60, 180, 240, 255));
    if (r.lightingMode == RENDERER_LIGHTING_RAY_QUERY) {
      lightingTlasBegin(&l);
      trisAddToTlas(&t, &l);
      lightingRecordTlasBuild(&l, cmd);
    } else {
      VkClearValue clear{};
      clear.depthStencil = {1.0f, 0};
      VkRenderPassBeginInfo bi{};
      bi.sType = VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO;
      bi.renderPass = l.shadowRenderPass;
      bi.framebuffer = l.shadowFramebuffers[0];
      bi.renderArea = {{0, 0}, {kShadowMapSize, kShadowMapSize}};
      bi.clearValueCount = 1;
      bi.pClearValues = &clear;
      vkCmdBeginRenderPass(cmd, &bi, VK_SUBPASS_CONTENTS_INLINE);
      VkViewport vpt{0, 0, (f32)kShadowMapSize, (f32)kShadowMapSize, 0, 1};
      VkRect2D sc{{0, 0}, {kShadowMapSize, kShadowMapSize}};
      vkCmdSetViewport(cmd, 0, 1, &vpt);
      vkCmdSetScissor(cmd, 0, 1, &sc);
      vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, l.shadowTrisPipeline);
      trisDrawShadow(&t, cmd, l.shadowTrisLayout, l.emptyDescSet, l.emptyDescSet, &g.shadowVP);
      terrainMeshDrawShadow(&tm, cmd, &g.shadowVP, &l);
      vkCmdEndRenderPass(cmd);
    }
    mainPassTargetBegin(&st, cmd);
    mat4f32 view = topView(8);
    trisDraw(&t, &p, cmd, &view, l.emptyDescSet, l.descSet, lightingGetAddress(&l));
    terrainMeshDraw(&tm, cmd, &view, l.descSet, nullptr, lightingGetAddress(&l));
    mainPassTargetEnd(&st, cmd);
    rendererEndOneTimeCommands(&r, cmd);
  }
  void check(const char* mode) {
    SCOPED_TRACE(mode);
    const f64 lit = 0.3 + 0.7 / v3Length(kL);  // flat terrain: N = up
    // The box's centre projected along the light onto the terrain (y = 0).
    v3 c = V3(-kL.x * 3 / kL.y, 0, -kL.z * 3 / kL.y);
    expectNear(at(c.x, c.z), {(int)std::lround(200 * 0.3), (int)std::lround(200 * 0.3), (int)std::lround(200 * 0.3)},
               "terrain in the box's shadow");
    int l0 = (int)std::lround(200 * lit);
    expectNear(at(5, 5), {l0, l0, l0}, "open terrain");
    expectNear(at(2.5, 2), {l0, l0, l0}, "terrain beside the box, toward the light");
  }
  static constexpr v3 kL = V3(0.5, 1.0, 0.3);
  Tris t{};
};

TEST_F(TerrainShadow, ABodysShadowFallsOnTheTerrainInBothLightingModes) {
  renderScene();
  check("shadow maps");
  if (!r.rayQuerySupported) GTEST_SKIP() << "no ray query on this device";
  rendererWaitIdle(&r);
  rendererSetLightingMode(&r, RENDERER_LIGHTING_RAY_QUERY);
  VkDescriptorSetLayout oldSet = l.setLayout, oldEmpty = l.emptySetLayout;
  ASSERT_TRUE(lightingRebuildDescriptors(&l));
  pipelinesReplaceDescriptorSetLayout(&p, oldSet, l.setLayout);
  pipelinesReplaceDescriptorSetLayout(&p, oldEmpty, l.emptySetLayout);
  ASSERT_TRUE(pipelinesRebuildAll(&p));
  terrainMeshSetLightSetLayout(&tm, l.setLayout);
  renderScene();
  check("ray query, after the switch");
  // New materials after the switch: the albedo array is rebuilt into the same pipeline.
  ASSERT_TRUE(terrainMeshRefreshMaterials(&tm));
  renderScene();
  check("ray query, materials refreshed");
}

}  // namespace
