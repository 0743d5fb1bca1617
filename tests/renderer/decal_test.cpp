// Decal pictures on the CPU: the box filter that brings large pictures under
// the size cap, and what the loader makes of good, large and broken files.
#include <stb/stb_image_write.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/memory.h"
#include "renderer/decal.h"
#include "renderer/texture.h"

namespace {

TEST(DecalBoxDownscale, SizesAndAveragesTable) {
  struct Case {
    u32 w, h, maxSide, ow, oh;
  };
  const Case cases[] = {{1024, 1024, 512, 512, 512}, {1025, 3, 512, 342, 1}, {600, 200, 512, 300, 100},
                        {512, 512, 512, 512, 512},   {7, 5, 2, 2, 2},        {1, 1, 1, 1, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " cap " + std::to_string(c.maxSide));
    // Channel values from the position, so averages can be checked.
    std::vector<u8> px((size_t)c.w * c.h * 4);
    for (u32 y = 0; y < c.h; y++)
      for (u32 x = 0; x < c.w; x++) {
        u8* p = &px[((size_t)y * c.w + x) * 4];
        p[0] = (u8)(x & 1 ? 200 : 100);
        p[1] = (u8)(y & 1 ? 40 : 20);
        p[2] = 7;
        p[3] = 255;
      }
    u32 ow = 0, oh = 0;
    u8* out = decalBoxDownscale(px.data(), c.w, c.h, c.maxSide, &ow, &oh);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(ow, c.ow);
    EXPECT_EQ(oh, c.oh);
    EXPECT_LE(ow, c.maxSide);
    EXPECT_LE(oh, c.maxSide);
    u32 k = (c.w > c.h ? c.w : c.h) / c.maxSide + ((c.w > c.h ? c.w : c.h) % c.maxSide != 0);
    if (k % 2 == 0) {
      // Even factors average the alternating columns and rows exactly.
      EXPECT_EQ(out[0], 150);
      EXPECT_EQ(out[1], 30);
    }
    if (k == 1) {
      EXPECT_EQ(0, std::memcmp(out, px.data(), px.size())) << "within the cap: copied";
    }
    EXPECT_EQ(out[2], 7);
    EXPECT_EQ(out[3], 255);
    memFree(out);
  }
  EXPECT_EQ(decalBoxDownscale(nullptr, 4, 4, 2, nullptr, nullptr), nullptr);
}

std::string temp(const char* name) { return testing::TempDir() + "/" + name + std::to_string(getpid()); }

std::string writeFile(const char* name, const std::vector<u8>& bytes) {
  std::string path = temp(name);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f) {
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  return path;
}

std::vector<u8> pngBytes(u32 w, u32 h) {
  std::vector<u32> px((size_t)w * h, 0xFF336699u);
  std::string path = temp("decal_png");
  stbi_write_png(path.c_str(), (int)w, (int)h, 4, px.data(), (int)w * 4);
  std::vector<u8> out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    u8 buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
  }
  unlink(path.c_str());
  return out;
}

TEST(DecalLoadImage, EveryTruncationOfAPictureIsRefusedOrWhole) {
  memoryInit(~0ull, ~0ull);
  const size_t before = memoryGet()->used.load();
  std::vector<u8> png = pngBytes(40, 24);
  u8* data = nullptr;
  u64 size = 0;
  u32 w = 0, h = 0;
  VkFormat f = VK_FORMAT_UNDEFINED;
  std::string whole = writeFile("decal_whole.png", png);
  ASSERT_TRUE(decalLoadImage(whole.c_str(), &data, &size, &w, &h, &f));
  EXPECT_EQ(w, 40u);
  EXPECT_EQ(h, 24u);
  EXPECT_EQ(f, VK_FORMAT_BC7_UNORM_BLOCK);
  EXPECT_EQ(size, textureBc7Size(40, 24));
  memFree(data);
  for (size_t n = 0; n < png.size(); n += 7) {
    std::vector<u8> cut(png.begin(), png.begin() + (long)n);
    std::string path = writeFile("decal_cut.png", cut);
    data = nullptr;
    w = h = 0;
    // Only the end chunk may be missing: the pixels are all there.
    if (decalLoadImage(path.c_str(), &data, &size, &w, &h, &f)) {
      EXPECT_GE(n, png.size() - 12) << n << " bytes";
      EXPECT_EQ(w, 40u);
      EXPECT_EQ(h, 24u);
      memFree(data);
    } else {
      EXPECT_EQ(data, nullptr);
    }
    unlink(path.c_str());
  }
  unlink(whole.c_str());
  EXPECT_EQ(memoryGet()->used.load(), before);
}

TEST(DecalLoadImage, LargeFilesAndPicturesAreRefusedUnread) {
  // A PNG header announcing 40000 x 40000 pixels: refused from the header alone.
  std::vector<u8> png = pngBytes(4, 4);
  const u8 side[4] = {0, 0, 0x9C, 0x40};  // 40000, big-endian, in IHDR
  std::copy(side, side + 4, png.begin() + 16);
  std::copy(side, side + 4, png.begin() + 20);
  std::string huge = writeFile("decal_huge.png", png);
  u8* data = nullptr;
  u64 size = 0;
  u32 w = 0, h = 0;
  VkFormat f = VK_FORMAT_UNDEFINED;
  EXPECT_FALSE(decalLoadImage(huge.c_str(), &data, &size, &w, &h, &f));
  // A file past the read limit.
  std::string big = writeFile("decal_big.png", pngBytes(4, 4));
  ASSERT_EQ(truncate(big.c_str(), (off_t)DECAL_MAX_FILE_BYTES + 1), 0);
  EXPECT_FALSE(decalLoadImage(big.c_str(), &data, &size, &w, &h, &f));
  EXPECT_FALSE(decalLoadImage(nullptr, &data, &size, &w, &h, &f));
  EXPECT_EQ(data, nullptr);
  unlink(huge.c_str());
  unlink(big.c_str());
}

}  // namespace
