// Writes seeds for fuzz_voip into argv[1]: a join, rosters of both address
// forms, an audio datagram with a real Opus frame, each behind the selector
// byte the target reads first (host and client mode, every sender).
#include <opus/opus.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "components/voip.h"

namespace {

using Bytes = std::vector<unsigned char>;

void writeSeed(const std::string& dir, const std::string& name, const Bytes& b) {
  FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
  if (!f) return;
  if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
  std::fclose(f);
}

Bytes header(u8 type, u8 count) {
  Bytes h(kVoipHeader);
  voipWriteHeader(h.data(), type, count);
  return h;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  const std::string dir = argv[1];
  Bytes join = header(VOIP_PKT_JOIN, 0);
  Bytes roster = header(VOIP_PKT_ROSTER, 2);
  const u8 loop6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  NetAddr a = netAddrV4(127, 0, 0, 1, 3), b = netAddrV6(loop6, 2);
  u8 buf[kNetAddrPackedMax];
  roster.insert(roster.end(), buf, buf + netAddrPack(&a, buf));
  roster.insert(roster.end(), buf, buf + netAddrPack(&b, buf));
  Bytes audio = header(VOIP_PKT_AUDIO, 0);
  int err = 0;
  OpusEncoder* enc = opus_encoder_create(48000, 1, OPUS_APPLICATION_VOIP, &err);
  if (enc) {
    float pcm[960];
    for (int i = 0; i < 960; ++i) pcm[i] = 0.3f * std::sin(i * 0.06f);
    unsigned char pkt[kVoipMaxOpus];
    int n = opus_encode_float(enc, pcm, 960, pkt, kVoipMaxOpus);
    if (n > 0) audio.insert(audio.end(), pkt, pkt + n);
    opus_encoder_destroy(enc);
  }
  const struct {
    const char* name;
    const Bytes* d;
  } kinds[] = {{"join", &join}, {"roster", &roster}, {"audio", &audio}};
  for (unsigned char sel : {0x00, 0x01, 0x02, 0x80, 0x81, 0x82})
    for (const auto& k : kinds) {
      Bytes s = {sel};
      s.insert(s.end(), k.d->begin(), k.d->end());
      char name[64];
      std::snprintf(name, sizeof name, "%s_%02x", k.name, sel);
      writeSeed(dir, name, s);
    }
  return 0;
}
