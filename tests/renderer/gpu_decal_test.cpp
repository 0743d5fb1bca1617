// Decals on lavapipe: pictures land in the array and on screen upright, the
// default layer shows until a load completes, the array grows and rescales the
// UV windows, refused files and formats keep layer 0, lit decals in both
// lighting modes.
#include <stb/stb_image_write.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gpu_fixture.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "renderer/decal.h"
#include "renderer/lighting.h"
#include "renderer/vram.h"

namespace {

constexpr u32 kSize = 64;
constexpr u32 kSlot = 13;

// Pixel space with y up, as the program's overlay: x in [0, W), y in [0, H) from the bottom.
mat4f32 pixelOrtho() {
  mat4f32 m{};
  m.m[0] = 2.0f / kSize;
  m.m[5] = -2.0f / kSize;
  m.m[10] = -0.5f;
  m.m[12] = -1.0f;
  m.m[13] = 1.0f;
  m.m[14] = 0.5f;
  m.m[15] = 1.0f;
  return m;
}

mat4f32 rectModel(f32 x, f32 y, f32 w, f32 h) {
  mat4f32 m{};
  m.m[0] = w;
  m.m[5] = h;
  m.m[10] = 1.0f;
  m.m[12] = x + w * 0.5f;
  m.m[13] = y + h * 0.5f;
  m.m[15] = 1.0f;
  return m;
}

constexpr v4f kWhite{1, 1, 1, 1};
constexpr v4f kWhole{0, 0, 1, 1};

std::string tempDir() {
  static std::string dir;
  if (dir.empty()) {
    std::string tmpl = testing::TempDir() + "/terrain_decal_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    dir = mkdtemp(buf.data()) ? buf.data() : testing::TempDir();
  }
  return dir;
}

// A w x h PNG: one colour per quadrant (top-left, top-right, bottom-left, bottom-right).
std::string writeQuadrants(const char* name, u32 w, u32 h, const u32 colors[4]) {
  std::vector<u32> px((size_t)w * h);
  for (u32 y = 0; y < h; y++)
    for (u32 x = 0; x < w; x++) px[(size_t)y * w + x] = colors[(y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0)];
  std::string path = tempDir() + "/" + name;
  stbi_write_png(path.c_str(), (int)w, (int)h, 4, px.data(), (int)w * 4);
  return path;
}

std::string writeSolid(const char* name, u32 w, u32 h, u32 color) {
  const u32 c[4] = {color, color, color, color};
  return writeQuadrants(name, w, h, c);
}

std::string writeBytes(const char* name, const void* data, size_t size) {
  std::string path = tempDir() + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  return path;
}

// A KTX2 file of one uncompressed RGBA8 level, every texel `color`.
std::string writeKtx2Rgba(const char* name, u32 w, u32 h, u32 color) {
  std::vector<u8> f(80 + 24, 0);
  const u8 id[12] = {0xAB, 'K', 'T', 'X', ' ', '2', '0', 0xBB, '\r', '\n', 0x1A, '\n'};
  std::memcpy(f.data(), id, 12);
  auto put32 = [&](size_t at, u32 v) { std::memcpy(f.data() + at, &v, 4); };
  auto put64 = [&](size_t at, u64 v) { std::memcpy(f.data() + at, &v, 8); };
  put32(12, (u32)VK_FORMAT_R8G8B8A8_UNORM);
  put32(16, 1);
  put32(20, w);
  put32(24, h);
  put32(40, 1);
  u64 bytes = (u64)w * h * 4;
  put64(80, f.size());
  put64(88, bytes);
  put64(96, bytes);
  for (u64 i = 0; i < (u64)w * h; i++) f.insert(f.end(), (const u8*)&color, (const u8*)&color + 4);
  return writeBytes(name, f.data(), f.size());
}

std::string sharedAsset(const char* rel) { return std::string(TERRAIN_SHARED_DIR) + "/assets/" + rel; }

struct DecalScene : testing::Test {
  void SetUp() override {
    memoryInit(~0ull, ~0ull);
    if (!gpuRendererHeadless(&r, &instance, &surface, kSize, kSize)) GTEST_SKIP() << "no Vulkan device";
    up = true;
    pipelinesInit(&p, &r);
    ASSERT_TRUE(mainPassTargetCreate(&r, &t, kSize, kSize));
  }
  void TearDown() override {
    if (!up) return;
    rendererWaitIdle(&r);
    decalSystemDestroy(&d);
    if (lightingUp) lightingDestroy(&l);
    mainPassTargetDestroy(&r, &t);
    pipelinesDestroy(&p);
    gpuRendererRelease(&r, instance, surface);
  }

  void initUnlit(const char* atlas = nullptr) {
    ASSERT_TRUE(decalSystemInit(&d, &r, &p, kSlot, false, false, false, VK_NULL_HANDLE, atlas));
  }

  // One frame: the decals were added since the last reset.
  void render() {
    VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
    if (lightingUp) {
      lightingUpdate(&l);
      if (r.lightingMode == RENDERER_LIGHTING_RAY_QUERY) {
        lightingTlasBegin(&l);
        lightingRecordTlasBuild(&l, cmd);
      } else {
        // No casters: the map is only cleared, to shadowDepth.
        VkClearValue clear{};
        clear.depthStencil = {shadowDepth, 0};
        VkRenderPassBeginInfo bi{};
        bi.sType = VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO;
        bi.renderPass = l.shadowRenderPass;
        bi.framebuffer = l.shadowFramebuffers[0];
        bi.renderArea = {{0, 0}, {kShadowMapSize, kShadowMapSize}};
        bi.clearValueCount = 1;
        bi.pClearValues = &clear;
        vkCmdBeginRenderPass(cmd, &bi, VK_SUBPASS_CONTENTS_INLINE);
        vkCmdEndRenderPass(cmd);
      }
    }
    mainPassTargetBegin(&t, cmd);
    mat4f32 vp = pixelOrtho();
    decalSystemDraw(&d, cmd, &vp, lightingUp ? l.descSet : VK_NULL_HANDLE, lightingUp ? lightingGetAddress(&l) : 0);
    mainPassTargetEnd(&t, cmd);
    rendererEndOneTimeCommands(&r, cmd);
    decalSystemReset(&d);
  }

  // The colour at pixel-space (x, y), y up.
  void at(u32 x, u32 y, int rgb[3]) const { mainPassTargetRGB(&t, x, kSize - 1 - y, rgb); }
  void expectColor(u32 x, u32 y, u32 abgr, const char* what) const {
    int got[3];
    at(x, y, got);
    for (int c = 0; c < 3; c++)
      EXPECT_NEAR(got[c], (int)(abgr >> (8 * c) & 255), 6) << what << " at (" << x << ", " << y << ") channel " << c;
  }
  // The default checkerboard, magenta and black: red and blue equal, no green, not black.
  void expectDefault(u32 x, u32 y, const char* what) const {
    int got[3];
    at(x, y, got);
    EXPECT_NEAR(got[0], got[2], 6) << what;
    EXPECT_LT(got[1], 8) << what;
    EXPECT_GT(got[0], 20) << what;
  }

  i32 entryOf(const std::string& path) const {
    for (u32 i = 0; i < d.entryCount; i++)
      if (path == d.textures[i].key) return (i32)i;
    return -1;
  }
  // Waits, without applying anything, until every queued load has finished.
  void waitLoader() {
    u64 end = clockNanos() + 10'000'000'000ull;
    for (;;) {
      threadMutexLock(&d.loader->mutex);
      b8 idle = !d.loader->jobHead && d.loader->busy == 0;
      threadMutexUnlock(&d.loader->mutex);
      if (idle || clockNanos() > end) return;
      nanoSleep(2'000'000);
    }
  }
  // Every queued load finished and applied.
  void settle() {
    waitLoader();
    decalAsyncPoll(&d);
  }
  b8 loaded(const std::string& path) const {
    i32 e = entryOf(path);
    return e >= 0 && d.textures[e].data != nullptr;
  }

  void setUpLighting(v3 towardLight) {
    ASSERT_TRUE(lightingInit(&l, &r));
    lightingUp = true;
    l.data = LightUBOData{};
    l.data.ambient = v4f{0.3f, 0.3f, 0.3f, 1.0f};
    l.data.lightCount = 1;
    l.data.lights[0].direction = v4f{(f32)towardLight.x, (f32)towardLight.y, (f32)towardLight.z, 0.0f};
    l.data.lights[0].color = v4f{1, 1, 1, 0.7f};
    l.data.lights[0].castsShadow = 1;
    l.data.lights[0].shadowIndex = 0;
    l.data.lights[0].shadowVP = pixelOrtho();  // the decals' pixels onto the whole map
  }

  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  b8 up = false;
  b8 lightingUp = false;
  f32 shadowDepth = 1.0f;  // the shadow map's clear: 0 puts everything in shadow
  Pipelines p{};
  Lighting l{};
  MainPassTarget t{};
  DecalSystem d{};
};

TEST_F(DecalScene, OnePathLoadsOnceAndShowsTheDefaultUntilLoaded) {
  initUnlit();
  const u32 q[4] = {0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0xFFFFFFFF};  // red, green / blue, white
  std::string path = writeQuadrants("quadrants.png", 32, 32, q);
  mat4f32 left = rectModel(0, 0, 32, 32), right = rectModel(32, 0, 32, 32);
  // Holding the loader's (recursive) lock keeps the load from finishing between the two adds.
  threadMutexLock(&d.loader->mutex);
  EXPECT_EQ(decalSystemAdd(&d, &left, kWhite, kWhole, path.c_str()), 0u);
  EXPECT_EQ(decalSystemAdd(&d, &right, kWhite, kWhole, path.c_str()), 1u);
  threadMutexUnlock(&d.loader->mutex);
  EXPECT_EQ(d.entryCount, 2u) << "the second decal queued no second load";
  EXPECT_EQ(d.items[0].textureLayer, 0u);
  EXPECT_EQ(d.items[1].textureLayer, 0u);
  decalSystemReset(&d);
  settle();
  ASSERT_TRUE(loaded(path));
  mat4f32 whole = rectModel(0, 0, 64, 64);
  ASSERT_EQ(decalSystemAdd(&d, &whole, kWhite, kWhole, path.c_str()), 0u);
  EXPECT_EQ(d.items[0].textureLayer, (u32)entryOf(path));
  EXPECT_EQ(d.entryCount, 2u);
  render();
  // Upright and unmirrored: the picture's top-left quadrant at the top left.
  expectColor(12, 52, q[0], "top left");
  expectColor(52, 52, q[1], "top right");
  expectColor(12, 12, q[2], "bottom left");
  expectColor(52, 12, q[3], "bottom right");
}

TEST_F(DecalScene, LoadsFinishedTogetherLandEachInItsOwnLayer) {
  initUnlit();  // the 8x8 default
  // Six pictures in one poll; the 16 x 16 one grows the array somewhere among them.
  const u32 colors[6] = {0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0xFF00FFFF, 0xFFFF00FF, 0xFFFFFF00};
  std::vector<std::string> paths;
  mat4f32 m = rectModel(0, 0, 4, 4);
  for (u32 i = 0; i < 6; i++) {
    std::string name = "batch" + std::to_string(i) + ".png";
    paths.push_back(writeSolid(name.c_str(), i == 3 ? 16 : 8, i == 3 ? 16 : 8, colors[i]));
    decalSystemAdd(&d, &m, kWhite, kWhole, paths.back().c_str());
  }
  decalSystemReset(&d);
  waitLoader();
  decalAsyncPoll(&d);
  EXPECT_EQ(d.textureArrayWidth, 16u);
  for (u32 i = 0; i < 6; i++) {
    ASSERT_TRUE(loaded(paths[i])) << i;
    mat4f32 band = rectModel((f32)i * 10, 0, 10, 64);
    decalSystemAdd(&d, &band, kWhite, kWhole, paths[i].c_str());
  }
  render();
  for (u32 i = 0; i < 6; i++) expectColor(i * 10 + 5, 32, colors[i], paths[i].c_str());
}

TEST_F(DecalScene, TheTintMultipliesAndTransparentTexelsLeaveNoTrace) {
  initUnlit();
  const u32 q[4] = {0x00FFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x00FFFFFF};  // transparent on one diagonal
  std::string path = writeQuadrants("diagonal.png", 16, 16, q);
  mat4f32 m = rectModel(0, 0, 64, 64);
  decalSystemAdd(&d, &m, kWhite, kWhole, path.c_str());
  decalSystemReset(&d);
  settle();
  decalSystemAdd(&d, &m, v4f{1.0f, 0.5f, 0.0f, 1.0f}, kWhole, path.c_str());
  render();
  expectColor(52, 52, 0xFF0080FF, "tinted opaque");
  expectColor(12, 52, 0xFF000000, "transparent: the black clear");
}

TEST_F(DecalScene, UvWindowSelectsPartOfThePicture) {
  initUnlit();
  const u32 q[4] = {0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0xFFFFFFFF};
  std::string path = writeQuadrants("window.png", 32, 32, q);
  mat4f32 m = rectModel(0, 0, 64, 64);
  decalSystemAdd(&d, &m, kWhite, kWhole, path.c_str());
  decalSystemReset(&d);
  settle();
  // The right half of the picture (as a dialog's clipped preview asks for it).
  decalSystemAdd(&d, &m, kWhite, v4f{0.5f, 0.0f, 0.5f, 1.0f}, path.c_str());
  render();
  expectColor(8, 52, q[1], "left edge shows the top-right quadrant");
  expectColor(8, 12, q[3], "left edge shows the bottom-right quadrant");
}

TEST_F(DecalScene, TheLastFreeEntryIsTakenAndTheNextNewPathIsRefused) {
  initUnlit();
  mat4f32 m = rectModel(0, 0, 8, 8);
  // Entry 0 is the default; 255 more paths fit.
  for (u32 i = 1; i < DECAL_MAX_TEXTURES; i++) {
    std::string path = tempDir() + "/missing-" + std::to_string(i) + ".png";
    ASSERT_NE(decalSystemAdd(&d, &m, kWhite, kWhole, path.c_str()), DECAL_NO_INDEX) << i;
  }
  EXPECT_EQ(d.entryCount, DECAL_MAX_TEXTURES);
  u32 before = d.count;
  EXPECT_EQ(decalSystemAdd(&d, &m, kWhite, kWhole, (tempDir() + "/one-too-many.png").c_str()), DECAL_NO_INDEX);
  EXPECT_EQ(d.count, before) << "a refused decal is not added";
  // Known paths and no path still add; the destroy in TearDown meets queued jobs.
  EXPECT_NE(decalSystemAdd(&d, &m, kWhite, kWhole, (tempDir() + "/missing-7.png").c_str()), DECAL_NO_INDEX);
  EXPECT_NE(decalSystemAdd(&d, &m, kWhite, kWhole, nullptr), DECAL_NO_INDEX);
}

TEST_F(DecalScene, AFullFrameRefusesAndAPathTooLongForTheKeyKeepsLayerZero) {
  initUnlit();
  mat4f32 m = rectModel(0, 0, 64, 64);
  std::string longPath = tempDir() + "/" + std::string(300, 'a') + ".png";
  EXPECT_EQ(decalSystemAdd(&d, &m, kWhite, kWhole, longPath.c_str()), 0u);
  EXPECT_EQ(d.items[0].textureLayer, 0u);
  EXPECT_EQ(d.entryCount, 1u) << "a cut key would make two files share a texture";
  mat4f32 dot = rectModel(0, 0, 1, 1);
  for (u32 i = 1; i < DECAL_MAX_INSTANCES; i++) ASSERT_EQ(decalSystemAdd(&d, &dot, kWhite, kWhole, nullptr), i);
  EXPECT_EQ(decalSystemAdd(&d, &m, kWhite, kWhole, nullptr), DECAL_NO_INDEX);
  EXPECT_EQ(decalSystemAdd(&d, nullptr, kWhite, kWhole, nullptr), DECAL_NO_INDEX);
  render();
  expectDefault(32, 32, "the first of 4096 decals");
}

TEST_F(DecalScene, ALargerTextureGrowsTheArrayAndSmallerOnesAreSampledInTheirCorner) {
  std::string atlas = writeSolid("atlas256.png", 256, 256, 0xFF0000FF);  // red
  initUnlit(atlas.c_str());
  EXPECT_EQ(d.textureArrayWidth, 256u);
  std::string big = writeSolid("green512.png", 512, 512, 0xFF00FF00);
  mat4f32 left = rectModel(0, 0, 32, 64), right = rectModel(32, 0, 32, 64);
  decalSystemAdd(&d, &left, kWhite, kWhole, big.c_str());
  decalSystemReset(&d);
  settle();
  ASSERT_TRUE(loaded(big));
  EXPECT_EQ(d.textureArrayWidth, 512u);
  EXPECT_EQ(d.textureArrayHeight, 512u);
  decalSystemAdd(&d, &left, kWhite, kWhole, nullptr);  // the default, now a quarter of its layer
  decalSystemAdd(&d, &right, kWhite, kWhole, big.c_str());
  render();
  const DynBuffer* buf = frameDynBufferCurrent(&d.instances);
  const auto* staged = reinterpret_cast<const DecalInstance*>(static_cast<const u8*>(buf->mapped) + buf->used -
                                                              2 * sizeof(DecalInstance));
  EXPECT_FLOAT_EQ(staged[0].uvRect.z, 0.5f);
  EXPECT_FLOAT_EQ(staged[0].uvRect.w, 0.5f);
  EXPECT_FLOAT_EQ(staged[1].uvRect.z, 1.0f);
  // Near the far corner of the quad: unscaled, it would sample outside the picture.
  expectColor(28, 4, 0xFF0000FF, "default, far corner");
  expectColor(4, 60, 0xFF0000FF, "default, near corner");
  expectColor(48, 32, 0xFF00FF00, "the larger texture");
}

TEST_F(DecalScene, ASmallPictureMagnifiedKeepsCleanEdges) {
  std::string atlas = writeSolid("atlas_red.png", 256, 256, 0xFF0000FF);
  initUnlit(atlas.c_str());
  std::string green = writeSolid("tiny_green.png", 8, 8, 0xFF00FF00);
  mat4f32 m = rectModel(0, 0, 64, 64);  // eight pixels per texel
  decalSystemAdd(&d, &m, kWhite, kWhole, green.c_str());
  decalSystemReset(&d);
  settle();
  ASSERT_TRUE(loaded(green));
  ASSERT_EQ(d.textureArrayWidth, 256u);
  decalSystemAdd(&d, &m, kWhite, kWhole, green.c_str());
  render();
  // Filtering at the picture's edges stays inside it: nothing from the rest of
  // its layer (right, bottom) or, wrapping, from the far side (left, top).
  expectColor(63, 32, 0xFF00FF00, "right edge");
  expectColor(32, 0, 0xFF00FF00, "bottom edge");
  expectColor(0, 32, 0xFF00FF00, "left edge");
  expectColor(32, 63, 0xFF00FF00, "top edge");
}

TEST_F(DecalScene, ARefusedGrowthDropsTheNewTextureAndKeepsTheArray) {
  initUnlit();  // the 8x8 default
  std::string green = writeSolid("small_green.png", 8, 8, 0xFF00FF00);
  std::string blue = writeSolid("large_blue.png", 256, 256, 0xFFFF0000);
  mat4f32 a = rectModel(0, 0, 32, 64), b = rectModel(32, 0, 32, 64);
  decalSystemAdd(&d, &a, kWhite, kWhole, green.c_str());
  decalSystemReset(&d);
  settle();
  ASSERT_TRUE(loaded(green));
  VkImage before = d.textureArray.image;
  // Room for a layer's staging, not for an array of 256 layers of 256 x 256.
  const u64 limit = memoryGet()->vramLimit;
  memoryGet()->vramLimit = memoryGet()->vramUsed.load() + (1u << 20);
  decalSystemAdd(&d, &b, kWhite, kWhole, blue.c_str());
  decalSystemReset(&d);
  settle();
  memoryGet()->vramLimit = limit;
  EXPECT_FALSE(loaded(blue));
  EXPECT_EQ(d.textureArray.image, before);
  EXPECT_EQ(d.textureArrayWidth, 8u);
  decalSystemAdd(&d, &a, kWhite, kWhole, green.c_str());
  decalSystemAdd(&d, &b, kWhite, kWhole, blue.c_str());
  render();
  expectColor(16, 32, 0xFF00FF00, "the texture already in the array");
  expectDefault(48, 32, "the dropped texture");
}

TEST_F(DecalScene, LargePicturesAreFilteredDownAndRefusedFilesKeepLayerZero) {
  initUnlit();
  // Wider than the cap: halved, so a one-pixel checker of red and blue averages to purple.
  std::vector<u32> px(1024 * 40);
  for (u32 y = 0; y < 40; y++)
    for (u32 x = 0; x < 1024; x++) px[(size_t)y * 1024 + x] = ((x + y) & 1) ? 0xFFFF0000 : 0xFF0000FF;
  std::string wide = tempDir() + "/wide.png";
  stbi_write_png(wide.c_str(), 1024, 40, 4, px.data(), 1024 * 4);
  std::string ktxSmall = writeKtx2Rgba("small_rgba.ktx2", 8, 8, 0xFF00FF00);
  std::string ktxBc7 = sharedAsset("ktx2/data1_BC7_UNORM_BLOCK_2D.ktx2");
  std::string ktxOther = sharedAsset("ktx2/data1_BC1_RGBA_SRGB_BLOCK_2D.ktx2");
  std::string ktxHuge = writeKtx2Rgba("huge_rgba.ktx2", 1024, 4, 0xFF00FF00);
  const u8 junk[64] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 1, 2, 3};
  std::string corrupt = writeBytes("corrupt.png", junk, sizeof junk);
  std::string ok = writeSolid("ok.png", 16, 16, 0xFFFFFFFF);
  std::string oversize = tempDir() + "/oversize.png";
  {
    // A sparse file one byte past the read limit, beginning like the good picture.
    FILE* src = std::fopen(ok.c_str(), "rb");
    FILE* dst = std::fopen(oversize.c_str(), "wb");
    ASSERT_TRUE(src && dst);
    u8 buf[4096];
    size_t n = std::fread(buf, 1, sizeof buf, src);
    std::fwrite(buf, 1, n, dst);
    std::fclose(src);
    std::fclose(dst);
    ASSERT_EQ(truncate(oversize.c_str(), (off_t)DECAL_MAX_FILE_BYTES + 1), 0);
  }
  std::vector<u8> truncated;
  {
    FILE* f = std::fopen(wide.c_str(), "rb");
    ASSERT_TRUE(f);
    u8 buf[256];
    size_t n = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    truncated.assign(buf, buf + n);
  }
  std::string cut = writeBytes("cut.png", truncated.data(), truncated.size());

  struct Case {
    std::string path;
    b8 loads;
    u32 width, height;
  };
  const b8 haveShared = access(ktxOther.c_str(), R_OK) == 0;
  std::vector<Case> cases = {{wide, true, 512, 20},      {ok, true, 16, 16},         {corrupt, false, 0, 0},
                             {cut, false, 0, 0},         {oversize, false, 0, 0},    {ktxHuge, false, 0, 0},
                             {ktxSmall, false, 0, 0},    {tempDir() + "/absent.png", false, 0, 0}};
  // A BC7 KTX2 matches the array; BC1 is another format and is dropped.
  if (haveShared) {
    cases.push_back({ktxBc7, true, 16, 16});
    cases.push_back({ktxOther, false, 0, 0});
  }
  mat4f32 m = rectModel(0, 0, 8, 8);
  for (const Case& c : cases) decalSystemAdd(&d, &m, kWhite, kWhole, c.path.c_str());
  decalSystemReset(&d);
  settle();
  for (const Case& c : cases) {
    EXPECT_EQ(loaded(c.path), c.loads) << c.path;
    if (c.loads && c.width) {
      const DecalTextureEntry& e = d.textures[entryOf(c.path)];
      EXPECT_EQ(e.width, c.width) << c.path;
      EXPECT_EQ(e.height, c.height) << c.path;
    }
  }
  if (!haveShared) std::printf("shared assets absent: KTX2 sample files not tried\n");
  // Every refused file still draws, with the default texture.
  mat4f32 a = rectModel(0, 0, 32, 64), b = rectModel(32, 0, 32, 64);
  decalSystemAdd(&d, &a, kWhite, kWhole, wide.c_str());
  decalSystemAdd(&d, &b, kWhite, kWhole, corrupt.c_str());
  render();
  expectColor(16, 32, 0xFF800080, "the filtered picture");
  expectDefault(48, 32, "a corrupt file");
}

struct Captured {
  std::vector<u8> rgba;
  u32 width = 0, height = 0;
};

void keepCapture(void* user, const u8* rgba, u32 width, u32 height) {
  auto* c = static_cast<Captured*>(user);
  if (!rgba) return;
  c->rgba.assign(rgba, rgba + (size_t)width * height * 4);
  c->width = width;
  c->height = height;
}

// Real frames on the swapchain: each frame writes its instances into its own
// buffer, a second draw in a frame appends, and the presented picture shows
// this frame's decals only.
TEST_F(DecalScene, FramesInFlightEachFillTheirOwnInstanceBuffer) {
  initUnlit();
  std::string red = writeSolid("frame_red.png", 8, 8, 0xFF0000FF);
  mat4f32 m = rectModel(0, 0, 8, 8);
  decalSystemAdd(&d, &m, kWhite, kWhole, red.c_str());
  decalSystemReset(&d);
  settle();
  ASSERT_TRUE(loaded(red));
  Captured cap;
  VkBuffer buffers[3] = {};
  for (u32 frame = 0; frame < 3; frame++) {
    VkCommandBuffer cmd;
    u32 image;
    ASSERT_TRUE(rendererBeginFrame(&r, &cmd, &image));
    if (frame == 2 && !rendererRequestCapture(&r, keepCapture, &cap)) std::printf("no swapchain capture here\n");
    rendererBeginRenderPass(&r, image);
    decalSystemReset(&d);
    // Frame k: a band at the left, k-th of three.
    mat4f32 band = rectModel(0, (f32)(frame * 20), 20, 16);
    decalSystemAdd(&d, &band, kWhite, kWhole, red.c_str());
    mat4f32 vp = pixelOrtho();
    decalSystemDraw(&d, cmd, &vp, VK_NULL_HANDLE, 0);
    const DynBuffer* buf = frameDynBufferCurrent(&d.instances);
    EXPECT_EQ(buf->used, sizeof(DecalInstance)) << "a new frame starts its buffer afresh";
    buffers[frame] = buf->buffer;
    decalSystemDraw(&d, cmd, &vp, VK_NULL_HANDLE, 0);
    EXPECT_GE(frameDynBufferCurrent(&d.instances)->used, 2 * sizeof(DecalInstance)) << "a second draw appends";
    rendererEndFrame(&r, image);
  }
  rendererWaitIdle(&r);
  EXPECT_NE(buffers[0], buffers[1]);
  EXPECT_EQ(buffers[0], buffers[2]);
  if (cap.rgba.empty()) GTEST_SKIP() << "the headless swapchain cannot be copied out";
  // y up: frame 2's band covers rows 40..56 from the bottom.
  auto red_at = [&](u32 x, u32 y) {
    const u8* px = &cap.rgba[((size_t)(cap.height - 1 - y) * cap.width + x) * 4];
    return px[0] > 200 && px[1] < 40 && px[2] < 40;
  };
  EXPECT_TRUE(red_at(10, 48)) << "this frame's decal";
  EXPECT_FALSE(red_at(10, 28)) << "the previous frame's decal is gone";
  EXPECT_FALSE(red_at(40, 48)) << "beside the decal";
}

// One lit system made in shadow-map mode; a switch to ray queries rebuilds its
// pipeline with the matching fragment variant. The shadow map is cleared to
// "everything in shadow" in one case: only the shadow-map variant reads it, the
// ray-query one finds no occluder in the empty scene.
TEST_F(DecalScene, LitDecalsShadeWithTheLightInBothModes) {
  std::string grey = writeSolid("grey.png", 16, 16, 0xFFC8C8C8);
  rendererSetLightingMode(&r, RENDERER_LIGHTING_SHADOW_MAPS);
  setUpLighting(V3(0, 0, 1));
  ASSERT_TRUE(decalSystemInit(&d, &r, &p, kSlot, true, false, false, l.setLayout, nullptr));
  EXPECT_TRUE(d.lit);
  mat4f32 m = rectModel(0, 0, 64, 64);
  decalSystemAdd(&d, &m, kWhite, kWhole, grey.c_str());
  decalSystemReset(&d);
  settle();
  ASSERT_TRUE(loaded(grey));
  struct Case {
    v3 towardLight;
    f32 shadowDepth;
    f64 factor, rayQueryFactor;  // ambient 0.3, plus 0.7 times the cosine when lit
  };
  const f64 oblique = 0.3 + 0.7 / std::sqrt(2.0);
  const Case cases[] = {{V3(0, 0, 1), 1.0f, 1.0, 1.0},
                        {V3(0, 0, -1), 1.0f, 0.3, 0.3},
                        {V3(1, 0, 1), 1.0f, oblique, oblique},
                        {V3(0, 0, 1), 0.0f, 0.3, 1.0}};
  for (int mode = 0; mode < 2; mode++) {
    if (mode == 1) {
      if (!r.rayQuerySupported) {
        std::printf("no ray query on this device: that mode is not tried\n");
        break;
      }
      rendererWaitIdle(&r);
      rendererSetLightingMode(&r, RENDERER_LIGHTING_RAY_QUERY);
      VkDescriptorSetLayout oldSet = l.setLayout, oldEmpty = l.emptySetLayout;
      ASSERT_TRUE(lightingRebuildDescriptors(&l));
      pipelinesReplaceDescriptorSetLayout(&p, oldSet, l.setLayout);
      pipelinesReplaceDescriptorSetLayout(&p, oldEmpty, l.emptySetLayout);
      ASSERT_TRUE(pipelinesRebuildAll(&p));
    }
    for (const Case& c : cases) {
      v3 dir = c.towardLight;
      l.data.lights[0].direction = v4f{(f32)dir.x, (f32)dir.y, (f32)dir.z, 0.0f};
      shadowDepth = c.shadowDepth;
      decalSystemAdd(&d, &m, kWhite, kWhole, grey.c_str());
      render();
      int got[3];
      at(32, 32, got);
      f64 want = 200 * (mode ? c.rayQueryFactor : c.factor);
      for (int ch = 0; ch < 3; ch++)
        EXPECT_NEAR(got[ch], want, 3.0) << (mode ? "ray query" : "shadow maps") << ", light toward (" << dir.x
                                        << ", " << dir.z << "), shadow map cleared to " << c.shadowDepth
                                        << ", channel " << ch;
    }
  }
}

}  // namespace
