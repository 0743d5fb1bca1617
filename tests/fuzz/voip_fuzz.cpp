// The voice chat's datagram path on arbitrary bytes: the net thread's handling
// (header, join, roster, audio, forwarding into the receive ring) and the audio
// thread's (receive record, per-sender decode, playout, mixing), on one voice
// chat whose threads do not run. The first byte picks the host or the client
// session and the sender. Senders are loopback ports nothing listens on: the
// host's peers come only from senders, so the rosters it answers with go
// nowhere else; the client's peers come from rosters (any address) but a
// client answers nothing. The raw input also goes in as a receive record.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "components/voip.h"

namespace {

Voip* session(b8 host) {
  static Voip* sessions[2] = {nullptr, nullptr};
  Voip*& v = sessions[host ? 1 : 0];
  if (!v) {
    VoipConfig cfg;
    voipConfigDefault(&cfg);
    NetAddr hostAddr = netAddrV4(127, 0, 0, 1, 1);
    v = voipCreate(&cfg, 0, host ? nullptr : &hostAddr);
  }
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const u8 sel = data[0];
  Voip* v = session((sel & 0x80) != 0);
  if (!v) return 0;
  const u8 loop6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const NetAddr senders[3] = {netAddrV4(127, 0, 0, 1, 1), netAddrV6(loop6, 2), netAddrV4(127, 0, 0, 1, 3)};
  const NetAddr from = senders[(sel & 0x7f) % 3];
  voipHandleDatagram(v, data + 1, (u32)(size - 1), &from, 1);
  voipAudioPass(v);
  voipHandleRxRecord(v, data, (u32)size);
  f32 out[960 * 2] = {};
  voipAudioSink(out, 960, v->cfg.channels, v);
  for (f32 s : out)
    if (!(s >= -1.0f && s <= 1.0f)) std::abort();  // clamped and never NaN
  // Peers only ever hold the senders above (roster entries on a client too).
  if (voipPeerCount(v) > kVoipMaxPeers) std::abort();
  return 0;
}
