#include "tools/oggwrite.h"

#include <ogg/ogg.h>

#include <cstdio>
#include <cstring>

namespace {

b8 writePage(std::FILE* f, const ogg_page& og) {
  return std::fwrite(og.header, 1, (size_t)og.header_len, f) == (size_t)og.header_len &&
         std::fwrite(og.body, 1, (size_t)og.body_len, f) == (size_t)og.body_len;
}

}  // namespace

b8 oggWritePackets(const char* path, u32 serial, const std::vector<OggPacketIn>& packets) {
  std::FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  ogg_stream_state os;
  ogg_stream_init(&os, (int)serial);
  b8 ok = true;
  for (size_t i = 0; i < packets.size() && ok; i++) {
    ogg_packet op{};
    op.packet = const_cast<unsigned char*>(packets[i].data.data());
    op.bytes = (long)packets[i].data.size();
    op.b_o_s = i == 0;
    op.e_o_s = i + 1 == packets.size();
    op.granulepos = packets[i].granule;
    op.packetno = (ogg_int64_t)i;
    ogg_stream_packetin(&os, &op);
    ogg_page og;
    if (packets[i].flush || op.e_o_s) {
      while (ok && ogg_stream_flush(&os, &og)) ok = writePage(f, og);
    } else {
      while (ok && ogg_stream_pageout(&os, &og)) ok = writePage(f, og);
    }
  }
  ogg_stream_clear(&os);
  ok = std::fclose(f) == 0 && ok;
  return ok;
}

std::vector<u8> opusHeadPacket(u8 channels, u16 preSkip, u8 mappingFamily) {
  std::vector<u8> p(19, 0);
  std::memcpy(p.data(), "OpusHead", 8);
  p[8] = 1;
  p[9] = channels;
  p[10] = (u8)(preSkip & 0xFF);
  p[11] = (u8)(preSkip >> 8);
  const u32 rate = 48000;
  for (int i = 0; i < 4; i++) p[12 + i] = (u8)(rate >> (8 * i));
  p[18] = mappingFamily;
  return p;
}

std::vector<u8> opusTagsPacket(const char* vendor) {
  const u32 len = (u32)std::strlen(vendor);
  std::vector<u8> p(8 + 4 + len + 4, 0);
  std::memcpy(p.data(), "OpusTags", 8);
  for (int i = 0; i < 4; i++) p[8 + i] = (u8)(len >> (8 * i));
  std::memcpy(p.data() + 12, vendor, len);
  return p;
}
