// Textures on a real device: the bindless table read back through a shader that
// fetches texels of one slot, BC7 blocks against our reference decoder, KTX2
// files against what the device says it can sample, and worker-finished uploads.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
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

constexpr u32 kTarget = 128;

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

std::string sharedDir() {
  const char* env = std::getenv("TERRAIN_SHARED_DIR");
  return env ? env : TERRAIN_SHARED_DIR;
}

b8 deviceSamples(Renderer* r, VkFormat format) {
  VkFormatProperties fp;
  vkGetPhysicalDeviceFormatProperties(r->physicalDevice, format, &fp);
  const VkFormatFeatureFlags want = VK_FORMAT_FEATURE_SAMPLED_IMAGE_BIT | VK_FORMAT_FEATURE_TRANSFER_DST_BIT;
  return (fp.optimalTilingFeatures & want) == want;
}

struct Ktx2File {
  const char* name;
  b8 readable;  // by our reader: not supercompressed, a known format, level 0 complete
};

TEST_F(Textures, Ktx2FilesAreCreatedExactlyWhenTheDeviceCanSampleThem) {
  std::string dir = sharedDir() + "/assets/ktx2/";
  const Ktx2File files[] = {
      {"Ryfjallet_cubemap_bc7.ktx2", false},         {"color_grid_basis.ktx2", false},
      {"color_grid_uastc_zstd.ktx2", false},         {"data1_BC1_RGBA_SRGB_BLOCK_2D.ktx2", true},
      {"data1_BC6H_UFLOAT_BLOCK_2D.ktx2", true},     {"data1_BC7_UNORM_BLOCK_2D.ktx2", true},
      {"data1_ETC2_R8G8B8_UNORM_BLOCK_2D.ktx2", true}, {"output_BLZE_ZLIB.ktx2", false},
      {"output_BLZE_ZSTD.ktx2", false},              {"output_R8G8B8A8_SRGB_2D_UASTC_to_bc7.ktx2", true},
      {"rgb-mipmap-reference-u.ktx2", true},         {"supercomp_ZSTD.ktx2", false},
      {"valid_ASTC_4x4_SRGB_BLOCK_2D_MIP.ktx2", true}, {"valid_R16G16B16A16_SFLOAT_2D.ktx2", true},
      {"valid_R8G8B8A8_SRGB_2D_MIP.ktx2", true},     {"valid_R8G8B8A8_SRGB_CUBE_MIP.ktx2", true},
      {"valid_R8G8B8A8_UNORM_1D.ktx2", true},        {"valid_R8G8B8A8_UNORM_3D_MIP.ktx2", true},
  };
  u8* probe = nullptr;
  u64 probeSize = 0;
  if (!textureReadFile((dir + files[0].name).c_str(), &probe, &probeSize))
    GTEST_SKIP() << "KTX2 samples not found in " << dir << " (set TERRAIN_SHARED_DIR)";
  memFree(probe);
  u32 created = 0, refusedByDevice = 0;
  for (const Ktx2File& f : files) {
    SCOPED_TRACE(f.name);
    u8* data = nullptr;
    u64 size = 0;
    u32 w = 0, h = 0;
    VkFormat fmt = VK_FORMAT_UNDEFINED;
    b8 read = textureReadKtx2File((dir + f.name).c_str(), &data, &size, &w, &h, &fmt);
    ASSERT_EQ(read, f.readable);
    if (!read) continue;
    b8 expectCreate = deviceSamples(&r, fmt);
    GltfTexture t{};
    b8 ok = textureCreateFromCompressed(data, size, w, h, fmt, &t, &r);
    EXPECT_EQ(ok, expectCreate) << "format " << fmt;
    if (ok) {
      created++;
      EXPECT_EQ(t.width, w);
      EXPECT_EQ(t.height, h);
      EXPECT_NE(t.bindlessIndex, 0u);
      if (fmt == VK_FORMAT_R8G8B8A8_UNORM) {
        expectTexels(t.bindlessIndex, data, w, h);  // the first slice of 1D and 3D files
      } else if (fmt == VK_FORMAT_BC7_UNORM_BLOCK) {
        // Block by block where our decoder reads the mode (partitioned modes it
        // does not): the device must agree with it exactly.
        draw(t.bindlessIndex);
        u32 compared = 0, bad = 0;
        for (u32 by = 0; by < h / 4; by++)
          for (u32 bx = 0; bx < w / 4; bx++) {
            const u8* blk = data + (by * (w / 4) + bx) * 16;
            u8 px[64];
            b8 reserved = blk[0] == 0;  // decodes to transparent black
            if (!bc7DecodeBlock(blk, px) && !reserved) continue;
            compared++;
            for (u32 y = 0; y < 4; y++)
              for (u32 x = 0; x < 4; x++) {
                u32 want;
                std::memcpy(&want, px + (y * 4 + x) * 4, 4);
                bad += offscreenPixel(&o, bx * 4 + x, by * 4 + y) != want;
              }
          }
        EXPECT_GT(compared, 0u);
        EXPECT_EQ(bad, 0u);
      }
      textureDestroy(&t, &r);
    } else {
      refusedByDevice++;
    }
    memFree(data);
  }
  EXPECT_GT(created, 0u);
  EXPECT_GT(refusedByDevice, 0u);  // lavapipe samples neither ETC2, ASTC nor R8G8B8
}

TEST_F(Textures, SizesAndDataTheDeviceCannotTakeAreRefused) {
  VkPhysicalDeviceProperties props;
  vkGetPhysicalDeviceProperties(r.physicalDevice, &props);
  u32 over = props.limits.maxImageDimension2D + 4;
  std::vector<u8> data(textureBc7Size(over, 4));
  GltfTexture t{};
  EXPECT_FALSE(textureCreateFromCompressed(data.data(), data.size(), over, 4, VK_FORMAT_BC7_UNORM_BLOCK, &t, &r));
  EXPECT_FALSE(textureCreateFromCompressed(data.data(), 16, 8, 8, VK_FORMAT_BC7_UNORM_BLOCK, &t, &r));
  EXPECT_FALSE(textureCreateFromCompressed(data.data(), 16, 0, 4, VK_FORMAT_BC7_UNORM_BLOCK, &t, &r));
  EXPECT_EQ(t.image, nullptr);
}

TEST_F(Textures, AsyncUploadsShowTheFallbackUntilTheWorkerPublishes) {
  const u32 w = 16, h = 16;
  std::vector<u8> rgba = sampleImage(w, h, 11);
  u8* blocks = nullptr;
  u64 size = 0;
  ASSERT_TRUE(textureCompressRgbaToBc7(rgba.data(), w, h, &blocks, &size));
  std::vector<u8> expected = decodeImage(blocks, w, h);
  GltfTexture t{};
  // Holding the texture lock keeps the worker from publishing.
  textureLock();
  ASSERT_TRUE(textureCreateFromCompressedAsync(blocks, size, w, h, VK_FORMAT_BC7_UNORM_BLOCK, &t, &r));
  EXPECT_NE(t.bindlessIndex, 0u);
  draw(t.bindlessIndex);
  b8 fallbackWhilePending = showsFallback();
  textureUnlock();
  EXPECT_TRUE(fallbackWhilePending);
  // Destroying waits for publication, then the slot shows the fallback again.
  GltfTexture t2{};
  ASSERT_TRUE(textureCreateFromCompressedAsync(blocks, size, w, h, VK_FORMAT_BC7_UNORM_BLOCK, &t2, &r));
  u32 slot2 = t2.bindlessIndex;
  textureDestroy(&t2, &r);
  EXPECT_EQ(t2.image, nullptr);
  draw(slot2);
  EXPECT_TRUE(showsFallback());
  while (textureUploadIsPending(&t)) nanoSleep(1000000);
  expectTexels(t.bindlessIndex, expected.data(), w, h);
  textureDestroy(&t, &r);
  memFree(blocks);
}

TEST_F(Textures, UploadsFromSeveralThreadsAllLandInTheirSlots) {
  constexpr u32 kThreads = 3, kEach = 6;
  std::vector<GltfTexture> textures(kThreads * kEach);
  std::vector<u32> colours(kThreads * kEach);
  std::atomic<u32> failures{0};
  std::vector<std::thread> threads;
  for (u32 t = 0; t < kThreads; t++)
    threads.emplace_back([&, t] {
      for (u32 i = 0; i < kEach; i++) {
        u32 k = t * kEach + i;
        u8 px[16 * 4];
        for (u32 j = 0; j < 16; j++) px[j * 4] = (u8)(k * 12), px[j * 4 + 1] = (u8)(255 - k * 9), px[j * 4 + 2] = 60,
                                     px[j * 4 + 3] = 255;
        u8 block[16], decoded[64];
        bc7f_init();
        bc7f_compress_block(px, block);
        bc7DecodeBlock(block, decoded);
        std::memcpy(&colours[k], decoded, 4);
        if (!textureCreateFromCompressedAsync(block, 16, 4, 4, VK_FORMAT_BC7_UNORM_BLOCK, &textures[k], &r))
          failures.fetch_add(1);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0u);
  for (u32 k = 0; k < kThreads * kEach; k++) {
    while (textureUploadIsPending(&textures[k])) nanoSleep(1000000);
    draw(textures[k].bindlessIndex);
    EXPECT_EQ(offscreenPixel(&o, 1, 1), colours[k]) << k;
  }
  for (auto& t : textures) textureDestroy(&t, &r);
}

TEST_F(Textures, WhenSlotsRunOutAsyncFailsAndSynchronousFallsBackToSlotZero) {
  u32 last = 0;
  while (u32 s = textureReserveBindlessSlot()) last = s;
  EXPECT_EQ(last, kTextureBindlessSlots - 1);
  u8 px[64];
  for (int i = 0; i < 64; i++) px[i] = 200;
  u8 block[16];
  bc7f_init();
  bc7f_compress_block(px, block);
  GltfTexture a{}, s{};
  EXPECT_FALSE(textureCreateFromCompressedAsync(block, 16, 4, 4, VK_FORMAT_BC7_UNORM_BLOCK, &a, &r));
  EXPECT_EQ(a.image, nullptr);
  ASSERT_TRUE(textureCreateFromCompressed(block, 16, 4, 4, VK_FORMAT_BC7_UNORM_BLOCK, &s, &r));
  EXPECT_EQ(s.bindlessIndex, 0u);
  draw(0);
  EXPECT_TRUE(showsFallback());
  textureDestroy(&s, &r);
  draw(0);
  EXPECT_TRUE(showsFallback());  // destroying a slot-0 texture leaves the fallback alone
}

TEST_F(Textures, FilesWithoutADotTryPngJpgAndKtx2InThatOrder) {
  char dir[] = "/tmp/texture_load_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string base = std::string(dir) + "/model.gltf";
  // "tex" itself does not exist; "tex.png" is not an image; "tex.jpg" is a 2x2 KTX2.
  std::vector<u8> rgba = {10, 20, 30, 255, 40, 50, 60, 255, 70, 80, 90, 255, 100, 110, 120, 255};
  std::vector<u8> ktx(80 + 24, 0);
  const u8 id[12] = {0xAB, 'K', 'T', 'X', ' ', '2', '0', 0xBB, '\r', '\n', 0x1A, '\n'};
  std::memcpy(ktx.data(), id, 12);
  u32 hdr[9] = {37, 1, 2, 2, 0, 0, 1, 1, 0};
  std::memcpy(&ktx[12], hdr, sizeof hdr);
  u64 lvl[3] = {104, 16, 16};
  std::memcpy(&ktx[80], lvl, sizeof lvl);
  ktx.insert(ktx.end(), rgba.begin(), rgba.end());
  auto write = [&](const std::string& name, const void* p, size_t n) {
    FILE* f = std::fopen((std::string(dir) + "/" + name).c_str(), "wb");
    std::fwrite(p, 1, n, f);
    std::fclose(f);
  };
  write("tex.png", "not an image", 12);
  write("tex.jpg", ktx.data(), ktx.size());
  write("tex.ktx2", "later", 5);
  GltfTexture t{};
  ASSERT_TRUE(textureLoadFile("tex", base.c_str(), &t, &r));
  EXPECT_EQ(t.format, VK_FORMAT_R8G8B8A8_UNORM);
  expectTexels(t.bindlessIndex, rgba.data(), 2, 2);
  textureDestroy(&t, &r);
  // A name with a dot is tried only as given.
  EXPECT_FALSE(textureLoadFile("tex.", base.c_str(), &t, &r));
  EXPECT_TRUE(textureLoadFile("tex.jpg", base.c_str(), &t, &r));
  textureDestroy(&t, &r);
  EXPECT_FALSE(textureLoadFile("missing", base.c_str(), &t, &r));
  for (const char* n : {"tex.png", "tex.jpg", "tex.ktx2"}) unlink((std::string(dir) + "/" + n).c_str());
  rmdir(dir);
}

TEST_F(Textures, ADestroyedTextureIsReleasedOnlyAfterTheFramesInFlight) {
  std::vector<u8> rgba = sampleImage(64, 64, 5);
  GltfTexture t{};
  ASSERT_TRUE(textureCreateFromRgba(rgba.data(), 64, 64, &t, &r));
  u32 slot = t.bindlessIndex;
  size_t withTexture = memoryGet()->vramUsed.load();
  // A frame that may sample it is still on the GPU.
  u64 frame = gpuSerialBeginFrame();
  textureDestroy(&t, &r);
  EXPECT_EQ(t.image, nullptr);
  EXPECT_EQ(memoryGet()->vramUsed.load(), withTexture);  // kept for that frame
  textureCollect(false);
  EXPECT_EQ(memoryGet()->vramUsed.load(), withTexture);
  gpuSerialComplete(frame);
  textureCollect(false);
  EXPECT_LT(memoryGet()->vramUsed.load(), withTexture);
  draw(slot);
  EXPECT_TRUE(showsFallback());
}

TEST_F(Textures, DeviceAndOurDecoderAgreeOnBlocksOfEveryModeWeRead) {
  // Random blocks of modes 1 and 3 to 7; each two-subset mode in every partition.
  const u32 w = 128, h = 128, n = (w / 4) * (h / 4);  // 16 runs of 64 blocks
  const u32 modes[] = {1, 3, 4, 5, 6, 7};
  std::vector<u8> blocks(n * 16);
  u32 s = 99;
  for (u32 j = 0; j < n; j++) {
    u8* b = &blocks[j * 16];
    for (u32 k = 0; k < 16; k++) {
      s = s * 1664525u + 1013904223u;
      b[k] = (u8)(s >> 24);
    }
    u32 mode = modes[(j / 64) % 6];
    u32 partition = j % 64;
    // Mode bits, then (for partitioned modes) six partition bits.
    u32 head = (1u << mode) | (mode == 1 || mode == 3 || mode == 7 ? partition << (mode + 1) : 0);
    u32 headBits = mode + 1 + (mode == 1 || mode == 3 || mode == 7 ? 6 : 0);
    u32 keep = ~0u << headBits;
    u32 first = (u32)b[0] | (u32)b[1] << 8 | (u32)b[2] << 16;
    first = (first & keep) | head;
    b[0] = (u8)first, b[1] = (u8)(first >> 8), b[2] = (u8)(first >> 16);
  }
  GltfTexture t{};
  ASSERT_TRUE(textureCreateFromCompressed(blocks.data(), blocks.size(), w, h, VK_FORMAT_BC7_UNORM_BLOCK, &t, &r));
  std::vector<u8> expected = decodeImage(blocks.data(), w, h);
  expectTexels(t.bindlessIndex, expected.data(), w, h);
  textureDestroy(&t, &r);
}

}  // namespace
