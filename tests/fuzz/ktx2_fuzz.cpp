// The KTX2 reader on arbitrary bytes: what it accepts is one complete slice of a
// known format, copied from inside the file. The same bytes also go through the
// BC7 decoder as a block and the encoder as pixels (opaque pixels stay opaque).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/memory.h"
#include "renderer/texture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  u8* out = nullptr;
  u64 outSize = 0;
  u32 w = 0, h = 0;
  VkFormat fmt = VK_FORMAT_UNDEFINED;
  if (textureReadKtx2(data, size, &out, &outSize, &w, &h, &fmt)) {
    if (w == 0 || h == 0 || outSize == 0 || outSize != textureFormatLevelSize(fmt, w, h) || outSize > size) std::abort();
    ktx2_header hd;
    if (ktx2_read_header(data, size, &hd) != 0 || std::memcmp(out, data + hd.levels[0].byte_offset, outSize) != 0)
      std::abort();
    memFree(out);
  }
  if (size >= 16) {
    u8 px[64];
    bc7DecodeBlock(data, px);
  }
  if (size >= 64) {
    u8 px[64], block[16], back[64];
    std::memcpy(px, data, 64);
    for (int i = 0; i < 16; i++) px[i * 4 + 3] = 255;
    bc7f_init();
    bc7f_compress_block(px, block);
    if (!bc7DecodeBlock(block, back)) std::abort();
    for (int i = 0; i < 16; i++)
      if (back[i * 4 + 3] != 255) std::abort();
    bc7f_compress_block(data, block);
    if (!bc7DecodeBlock(block, back)) std::abort();
  }
  return 0;
}
