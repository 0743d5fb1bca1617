// Helpers for the voice tests: tones, Goertzel detection, raw loopback sockets
// that play a participant by hand, and a pump that drives the audio callbacks.
#pragma once

#include <opus/opus.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "components/voip.h"
#include "platform/clock.h"
#include "platform/net.h"

namespace voiptest {

inline const u8 kLoop6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
inline NetAddr loop4(u16 port) { return netAddrV4(127, 0, 0, 1, port); }
inline NetAddr loop6(u16 port) { return netAddrV6(kLoop6, port); }

inline VoipConfig testConfig(u32 timeoutMs = 5000, u32 keepAliveMs = 2000) {
  VoipConfig c;
  voipConfigDefault(&c);
  c.peerTimeoutMs = timeoutMs;
  c.keepAliveMs = keepAliveMs;
  return c;
}

// Amplitude of the component at freq in x (a pure tone of amplitude A gives ~A).
inline f64 goertzel(const f32* x, size_t n, f64 freq, f64 rate = 48000) {
  const f64 w = 2.0 * M_PI * freq / rate, coeff = 2.0 * std::cos(w);
  f64 s1 = 0, s2 = 0;
  for (size_t i = 0; i < n; ++i) {
    const f64 s0 = x[i] + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const f64 power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
  return 2.0 * std::sqrt(power > 0 ? power : 0) / (f64)n;
}

struct Tone {
  f64 freq = 0, amp = 0.3, phase = 0;
  void fill(f32* out, u32 frames, i32 channels) {
    const f64 step = 2.0 * M_PI * freq / 48000.0;
    for (u32 i = 0; i < frames; ++i) {
      const f32 s = freq > 0 ? (f32)(amp * std::sin(phase)) : 0.0f;
      for (i32 c = 0; c < channels; ++c) out[i * channels + c] = s;
      phase += step;
      if (phase > 2.0 * M_PI) phase -= 2.0 * M_PI;
    }
  }
};

// One voice participant driven by the test thread as its audio engine.
struct Party {
  Voip* v = nullptr;
  Tone tone;
  std::vector<f32> out;  // everything its sink produced
};

// Runs `periods` device periods of `frames` frames for every party (capture
// then playback), sleeping `sleepUs` after each round.
inline void pump(std::vector<Party*>& parties, u32 periods, u32 frames = 480, u32 sleepUs = 6000) {
  std::vector<f32> buf(frames * 2);
  for (u32 k = 0; k < periods; ++k) {
    for (Party* p : parties) {
      const i32 ch = p->v->cfg.channels;
      p->tone.fill(buf.data(), frames, ch);
      voipAudioSource(buf.data(), frames, ch, p->v);
      std::fill(buf.begin(), buf.end(), 0.0f);
      voipAudioSink(buf.data(), frames, ch, p->v);
      p->out.insert(p->out.end(), buf.begin(), buf.begin() + frames * ch);
    }
    nanoSleep((u64)sleepUs * 1000);
  }
}

// Amplitude at freq over the last n samples of a party's output.
inline f64 heard(const Party& p, f64 freq, size_t n = 24000) {
  if (p.out.size() < n) n = p.out.size();
  return goertzel(p.out.data() + p.out.size() - n, n, freq);
}

// Pumps in rounds of `step` periods until pred() holds or `ms` have passed (a
// sanitizer's slowdown stretches every hand-off, so tests wait for the
// result, not for a fixed number of periods). Returns pred()'s last value.
template <class F>
bool pumpUntil(std::vector<Party*>& parties, F pred, u32 ms, u32 step = 10) {
  const f64 end = clockNanos() + ms * 1e6;
  for (;;) {
    pump(parties, step);
    if (pred()) return true;
    if (clockNanos() > end) return false;
  }
}

// A hand-driven UDP endpoint on loopback.
struct Raw {
  NetContext* net = nullptr;
  NetSocket* s = nullptr;
  Raw() {
    net = netCreate();
    s = net ? netUdpOpen(net, 0) : nullptr;
  }
  ~Raw() { netDestroy(net); }
  u16 port() const { return netSocketPort(s); }
  i32 send(const void* d, size_t n, NetAddr to) { return netSendTo(s, d, (i32)n, to); }
  i32 send(const std::vector<u8>& d, NetAddr to) { return send(d.data(), d.size(), to); }
  // Datagrams received within waitMs (stops early after `want` of them).
  std::vector<std::vector<u8>> recv(u32 waitMs, size_t want = ~(size_t)0, std::vector<NetAddr>* from = nullptr) {
    std::vector<std::vector<u8>> got;
    const f64 end = clockNanos() + waitMs * 1e6;
    while (got.size() < want) {
      NetEvent ev;
      while (got.size() < want && netPoll(net, &ev)) {
        if (ev.type != NET_EVENT_RECV) continue;
        got.emplace_back((const u8*)ev.recv.data, (const u8*)ev.recv.data + ev.recv.len);
        if (from) from->push_back(ev.recv.from);
      }
      const f64 left = (end - clockNanos()) / 1e6;
      if (left <= 0 || got.size() >= want) break;
      netWait(net, (i32)left + 1);
    }
    return got;
  }
};

inline std::vector<u8> header(u8 type, u8 count = 0) {
  std::vector<u8> h(kVoipHeader);
  voipWriteHeader(h.data(), type, count);
  return h;
}

inline std::vector<u8> roster(std::initializer_list<NetAddr> entries) {
  std::vector<u8> d = header(VOIP_PKT_ROSTER, (u8)entries.size());
  for (const NetAddr& a : entries) {
    u8 b[kNetAddrPackedMax];
    d.insert(d.end(), b, b + netAddrPack(&a, b));
  }
  return d;
}

// Audio datagrams of a mono tone, 20 ms each, encoded once up front.
inline std::vector<std::vector<u8>> encodeTone(f64 freq, u32 frames, f64 amp = 0.1) {
  int err = 0;
  OpusEncoder* enc = opus_encoder_create(48000, 1, OPUS_APPLICATION_VOIP, &err);
  std::vector<std::vector<u8>> out;
  Tone t;
  t.freq = freq;
  t.amp = amp;
  f32 pcm[960];
  for (u32 i = 0; i < frames && enc; ++i) {
    t.fill(pcm, 960, 1);
    std::vector<u8> d = header(VOIP_PKT_AUDIO);
    d.resize(kVoipMaxDatagram);
    const int n = opus_encode_float(enc, pcm, 960, d.data() + kVoipHeader, kVoipMaxOpus);
    d.resize(kVoipHeader + (n > 0 ? n : 0));
    out.push_back(d);
  }
  if (enc) opus_encoder_destroy(enc);
  return out;
}

// Waits (bounded) until pred() holds; returns its last value.
template <class F>
bool waitFor(F pred, u32 ms) {
  const f64 end = clockNanos() + ms * 1e6;
  while (!pred()) {
    if (clockNanos() > end) return pred();
    nanoSleep(2000000);
  }
  return true;
}

}  // namespace voiptest
