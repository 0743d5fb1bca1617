// KTX2 reading: the header, its level index and level 0's first slice, with
// every range checked against the file before it is read.
#include <cstring>

#include "platform/memory.h"
#include "renderer/texture.h"

namespace {

const u8 kKtx2Id[12] = {0xAB, 'K', 'T', 'X', ' ', '2', '0', 0xBB, '\r', '\n', 0x1A, '\n'};

u32 rd32(const u8* p) { return (u32)p[0] | (u32)p[1] << 8 | (u32)p[2] << 16 | (u32)p[3] << 24; }
u64 rd64(const u8* p) { return (u64)rd32(p) | (u64)rd32(p + 4) << 32; }

struct FormatBlock {
  u32 blockW, blockH, bytes;
};

// Block size and bytes per block of the formats a texture file may carry.
FormatBlock formatBlock(VkFormat f) {
  u32 v = (u32)f;
  if (v >= 131 && v <= 134) return {4, 4, 8};  // BC1
  if (v >= 135 && v <= 138) return {4, 4, 16};  // BC2, BC3
  if (v >= 139 && v <= 140) return {4, 4, 8};  // BC4
  if (v >= 141 && v <= 146) return {4, 4, 16};  // BC5, BC6H, BC7
  if (v >= 147 && v <= 150) return {4, 4, 8};  // ETC2 RGB, RGB A1
  if (v >= 151 && v <= 152) return {4, 4, 16};  // ETC2 RGBA
  if (v >= 153 && v <= 154) return {4, 4, 8};  // EAC R11
  if (v >= 155 && v <= 156) return {4, 4, 16};  // EAC RG11
  if (v >= 157 && v <= 184) {
    static const u8 astc[14][2] = {{4, 4}, {5, 4}, {5, 5}, {6, 5}, {6, 6}, {8, 5}, {8, 6},
                                   {8, 8}, {10, 5}, {10, 6}, {10, 8}, {10, 10}, {12, 10}, {12, 12}};
    const u8* b = astc[(v - 157) / 2];
    return {b[0], b[1], 16};
  }
  if (v >= 9 && v <= 15) return {1, 1, 1};  // R8
  if (v >= 16 && v <= 22) return {1, 1, 2};  // R8G8
  if (v >= 23 && v <= 36) return {1, 1, 3};  // R8G8B8, B8G8R8
  if (v >= 37 && v <= 69) return {1, 1, 4};  // RGBA8, BGRA8, packed 32-bit
  if (v >= 70 && v <= 76) return {1, 1, 2};  // R16
  if (v >= 77 && v <= 83) return {1, 1, 4};  // R16G16
  if (v >= 84 && v <= 90) return {1, 1, 6};  // R16G16B16
  if (v >= 91 && v <= 97) return {1, 1, 8};  // R16G16B16A16
  if (v >= 98 && v <= 100) return {1, 1, 4};  // R32
  if (v >= 101 && v <= 103) return {1, 1, 8};  // R32G32
  if (v >= 104 && v <= 106) return {1, 1, 12};  // R32G32B32
  if (v >= 107 && v <= 109) return {1, 1, 16};  // R32G32B32A32
  if (v == 122 || v == 123) return {1, 1, 4};  // B10G11R11, E5B9G9R9
  return {0, 0, 0};
}

}  // namespace

u64 textureFormatLevelSize(VkFormat format, u32 width, u32 height) {
  FormatBlock b = formatBlock(format);
  if (b.bytes == 0) return 0;
  u64 bw = ((u64)width + b.blockW - 1) / b.blockW, bh = ((u64)height + b.blockH - 1) / b.blockH;
  // Sizes from a file header may be anything: a product that does not fit is refused.
  unsigned __int128 size = (unsigned __int128)bw * bh * b.bytes;
  return size > ((unsigned __int128)1 << 62) ? 0 : (u64)size;
}

b8 textureFormatBlockExtent(VkFormat format, u32* outWidth, u32* outHeight) {
  FormatBlock b = formatBlock(format);
  if (b.bytes == 0) return false;
  if (outWidth) *outWidth = b.blockW;
  if (outHeight) *outHeight = b.blockH;
  return true;
}

b8 textureIsKtx2(const void* data, u64 size) {
  return data && size >= 12 && std::memcmp(data, kKtx2Id, 12) == 0;
}

int ktx2_read_header(const u8* data, u64 size, ktx2_header* h) {
  if (!data || !h || size < 80) return -1;
  std::memset(h, 0, sizeof(*h));
  h->vk_format = rd32(data + 12);
  h->type_size = rd32(data + 16);
  h->pixel_width = rd32(data + 20);
  h->pixel_height = rd32(data + 24);
  h->pixel_depth = rd32(data + 28);
  h->layer_count = rd32(data + 32);
  h->face_count = rd32(data + 36);
  h->level_count = rd32(data + 40);
  h->supercompression_scheme = rd32(data + 44);
  if (h->level_count > 16) return -1;
  u32 levels = h->level_count ? h->level_count : 1;
  if ((u64)80 + (u64)levels * 24 > size) return -1;
  for (u32 i = 0; i < levels; i++) {
    const u8* p = data + 80 + (u64)i * 24;
    h->levels[i] = ktx2_level{rd64(p), rd64(p + 8), rd64(p + 16)};
  }
  return 0;
}

b8 textureReadKtx2(const u8* data, u64 size, u8** outData, u64* outSize, u32* outWidth, u32* outHeight,
                   VkFormat* outFormat) {
  if (!outData || !outSize || !outWidth || !outHeight || !outFormat) return false;
  if (!textureIsKtx2(data, size)) return false;
  ktx2_header h;
  if (ktx2_read_header(data, size, &h) != 0 || h.supercompression_scheme != 0) return false;
  if (h.pixel_width == 0) return false;
  u32 height = h.pixel_height ? h.pixel_height : 1;
  VkFormat format = (VkFormat)h.vk_format;
  // Layers, faces and depth slices follow the first slice inside level 0; only
  // the first is used, and the level must hold at least that many bytes.
  u64 slice = textureFormatLevelSize(format, h.pixel_width, height);
  const ktx2_level& l0 = h.levels[0];
  if (slice == 0 || l0.byte_offset > size || l0.byte_length > size - l0.byte_offset || l0.byte_length < slice)
    return false;
  auto* out = static_cast<u8*>(memAlloc(slice));
  if (!out) return false;
  std::memcpy(out, data + l0.byte_offset, slice);
  *outData = out;
  *outSize = slice;
  *outWidth = h.pixel_width;
  *outHeight = height;
  *outFormat = format;
  return true;
}

b8 textureReadKtx2File(const char* path, u8** outData, u64* outSize, u32* outWidth, u32* outHeight,
                       VkFormat* outFormat) {
  u8* file = nullptr;
  u64 fileSize = 0;
  if (!textureReadFile(path, &file, &fileSize)) return false;
  b8 ok = textureReadKtx2(file, fileSize, outData, outSize, outWidth, outHeight, outFormat);
  memFree(file);
  return ok;
}
