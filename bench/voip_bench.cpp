// Voice chat against plain one-thread pipelines doing the same work, all on
// loopback:
// - latency from a click in A's capture to its arrival in B's loudspeaker
//   output, device callbacks at real-time pace (periods of 480 and 2048
//   frames; B's device half a period after A's, VOIP_PHASE=0.9 for 0.9), against a UDP echo of the
//   same datagrams: one thread, the same framing, codec, echo canceller and
//   playback gating, a connected socket pair, no rings or voice threads;
// - CPU per 20 ms frame at a host with eight peers (thread CPU of voip-net and
//   the callbacks, which encode and decode) against the same work done directly in one
//   thread: echo canceller, one encode, eight decodes, the sends and receives.
#include <benchmark/benchmark.h>
#include <opus/opus.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "components/voip.h"
#include "platform/clock.h"
#include "platform/net.h"

namespace {

constexpr u32 kRate = 48000;
constexpr i32 kCh = 2;

VoipConfig programConfig() {
  VoipConfig c;
  voipConfigDefault(&c);
  c.channels = kCh;
  c.bitrate = 48000;
  c.nlmsTaps = 64;
  return c;
}

NetAddr loop4(u16 port) { return netAddrV4(127, 0, 0, 1, port); }

f64 threadCpuNs(pthread_t t) {
  clockid_t id;
  timespec ts{};
  if (pthread_getcpuclockid(t, &id) != 0 || clock_gettime(id, &ts) != 0) return 0;
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}
f64 selfCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

void sleepUntil(f64 t) {
  const f64 now = clockNanos();
  if (t > now) nanoSleep((u64)(t - now));
}

std::map<std::string, f64> gFigures;
// When B's device runs after A's, in periods (VOIP_PHASE overrides 0.5): the
// time the voice threads have to carry a frame before B's playback needs it.
f64 gPhase = std::getenv("VOIP_PHASE") ? std::atof(std::getenv("VOIP_PHASE")) : 0.5;

// ---- latency ---------------------------------------------------------------

struct Pipeline {
  virtual ~Pipeline() = default;
  virtual void aPeriod(const f32* mic, u32 frames) = 0;  // A's capture and playback
  virtual void bPeriod(f32* out, u32 frames) = 0;  // B's capture (silence) and playback
};

struct VoipPipeline : Pipeline {
  Voip *a = nullptr, *b = nullptr;
  std::vector<f32> scratch;
  VoipPipeline() {
    VoipConfig cfg = programConfig();
    a = voipCreate(&cfg, 0, nullptr);
    if (!a || voipStart(a) != 0) return;
    NetAddr host = loop4(voipLocalPort(a));
    b = voipCreate(&cfg, 0, &host);
    if (b) voipStart(b);
    for (int i = 0; i < 200 && voipPeerCount(a) == 0; ++i) nanoSleep(5000000);
  }
  ~VoipPipeline() override {
    voipDestroy(b);
    voipDestroy(a);
  }
  void aPeriod(const f32* mic, u32 frames) override {
    scratch.assign((size_t)frames * kCh, 0.0f);
    voipAudioSource(mic, frames, kCh, a);
    voipAudioSink(scratch.data(), frames, kCh, a);
  }
  void bPeriod(f32* out, u32 frames) override {
    scratch.assign((size_t)frames * kCh, 0.0f);
    voipAudioSource(scratch.data(), frames, kCh, b);
    std::fill(out, out + (size_t)frames * kCh, 0.0f);
    voipAudioSink(out, frames, kCh, b);
  }
};

// Everything in the calling thread: A's capture is framed, echo-cancelled,
// encoded and sent; B's playback receives, decodes and plays with the same
// gating and depth bound as the voice chat's playout.
struct EchoPipeline : Pipeline {
  NetContext* net = netCreate();
  NetSocket* sa = net ? netUdpOpen(net, 0) : nullptr;
  NetSocket* sb = net ? netUdpOpen(net, 0) : nullptr;
  OpusEncoder* enc = nullptr;
  OpusDecoder* dec = nullptr;
  VoipNlms nlms{};
  std::vector<f32> micAcc, refAcc, clean, decoded, playout;
  std::vector<u8> packet = std::vector<u8>(kVoipMaxDatagram);
  const VoipConfig cfg = programConfig();
  EchoPipeline() {
    int err;
    enc = opus_encoder_create(kRate, kCh, OPUS_APPLICATION_VOIP, &err);
    opus_encoder_ctl(enc, OPUS_SET_BITRATE(cfg.bitrate));
    opus_encoder_ctl(enc, OPUS_SET_INBAND_FEC(1));
    opus_encoder_ctl(enc, OPUS_SET_DTX(0));
    dec = opus_decoder_create(kRate, kCh, &err);
    voipNlmsInit(&nlms, kCh, cfg.nlmsTaps, cfg.nlmsStep, cfg.nlmsEpsilon);
    clean.resize((size_t)cfg.frameSize * kCh);
    decoded.resize((size_t)kVoipMaxDecode * kCh);
  }
  ~EchoPipeline() override {
    opus_encoder_destroy(enc);
    opus_decoder_destroy(dec);
    voipNlmsDestroy(&nlms);
    netDestroy(net);
  }
  void aPeriod(const f32* mic, u32 frames) override {
    micAcc.insert(micAcc.end(), mic, mic + (size_t)frames * kCh);
    refAcc.resize(micAcc.size(), 0.0f);  // A plays silence
    const size_t frame = (size_t)cfg.frameSize * kCh;
    while (micAcc.size() >= frame) {
      voipNlmsProcess(&nlms, micAcc.data(), refAcc.data(), clean.data(), cfg.frameSize);
      const int n = opus_encode_float(enc, clean.data(), (int)cfg.frameSize, packet.data() + kVoipHeader, kVoipMaxOpus);
      if (n > 0) {
        voipWriteHeader(packet.data(), VOIP_PKT_AUDIO, 0);
        netSendTo(sa, packet.data(), (i32)(kVoipHeader + n), loop4(netSocketPort(sb)));
      }
      micAcc.erase(micAcc.begin(), micAcc.begin() + (long)frame);
      refAcc.erase(refAcc.begin(), refAcc.begin() + (long)frame);
    }
  }
  void bPeriod(f32* out, u32 frames) override {
    NetEvent ev;
    while (netPoll(net, &ev)) {
      if (ev.type != NET_EVENT_RECV || ev.socket != sb) continue;
      const u8* d = (const u8*)ev.recv.data;
      if (voipParseHeader(d, (u32)ev.recv.len) != VOIP_PKT_AUDIO) continue;
      const int n = opus_decode_float(dec, d + kVoipHeader, ev.recv.len - (i32)kVoipHeader, decoded.data(),
                                      (int)kVoipMaxDecode, 0);
      if (n > 0) playout.insert(playout.end(), decoded.begin(), decoded.begin() + (long)n * kCh);
    }
    const size_t want = (size_t)frames * kCh;
    const size_t bound = ((size_t)cfg.frameSize * 4 + (size_t)frames * 2) * kCh;
    if (playout.size() > bound) playout.erase(playout.begin(), playout.begin() + (long)(playout.size() - bound));
    std::fill(out, out + want, 0.0f);
    if (playout.size() >= want) {
      std::copy(playout.begin(), playout.begin() + (long)want, out);
      playout.erase(playout.begin(), playout.begin() + (long)want);
    }
  }
};

// Latencies in ms of `clicks` clicks, one every quarter second.
std::vector<f64> measureLatency(Pipeline& p, u32 period, u32 clicks, u32* missed) {
  const f64 periodNs = period * 1e9 / kRate;
  const u32 gap = std::max<u32>(1, (u32)(0.25 * kRate / period));
  const u32 warm = (u32)(0.5 * kRate / period) + 1;
  const u32 total = warm + clicks * gap + (u32)(kRate / period);
  std::vector<f32> mic((size_t)period * kCh), out((size_t)period * kCh);
  std::vector<f64> lat;
  i64 pendingK = -1;
  *missed = 0;
  const f64 start = clockNanos();
  for (u32 k = 0; k < total; ++k) {
    std::fill(mic.begin(), mic.end(), 0.0f);
    if (k >= warm && (k - warm) % gap == 0 && k < warm + clicks * gap) {
      if (pendingK >= 0) ++*missed;
      pendingK = k;
      for (u32 i = 0; i < 96 && i < period; ++i)  // a 2 ms burst at 1 kHz
        for (i32 c = 0; c < kCh; ++c) mic[i * kCh + c] = 0.9f * (f32)std::sin(2.0 * M_PI * 1000.0 * i / kRate);
    }
    sleepUntil(start + k * periodNs);
    p.aPeriod(mic.data(), period);
    sleepUntil(start + (k + gPhase) * periodNs);
    p.bPeriod(out.data(), period);
    if (pendingK >= 0) {
      for (u32 j = 0; j < period; ++j) {
        if (std::fabs(out[j * kCh]) > 0.1f) {
          const f64 samples = (f64)(k - pendingK) * period + period * gPhase + j;
          lat.push_back(samples * 1000.0 / kRate);
          pendingK = -1;
          break;
        }
      }
      if (pendingK >= 0 && (k - pendingK) * period > kRate) {
        ++*missed;
        pendingK = -1;
      }
    }
  }
  std::sort(lat.begin(), lat.end());
  return lat;
}

f64 percentile(const std::vector<f64>& v, f64 q) {
  if (v.empty()) return 0;
  size_t i = (size_t)std::ceil(q * (f64)v.size()) - 1;
  return v[std::min(i, v.size() - 1)];
}

template <class P>
void BM_Latency(benchmark::State& state, const char* name) {
  const u32 period = (u32)state.range(0);
  for (auto _ : state) {
    P p;
    u32 missed = 0;
    std::vector<f64> lat = measureLatency(p, period, 24, &missed);
    const f64 med = percentile(lat, 0.5), p99 = percentile(lat, 0.99);
    state.counters["median_ms"] = med;
    state.counters["p99_ms"] = p99;
    state.counters["missed"] = missed;
    gFigures[std::string(name) + "/" + std::to_string(period) + "/median"] = med;
    gFigures[std::string(name) + "/" + std::to_string(period) + "/p99"] = p99;
    state.SetIterationTime(1.0);
  }
}
void BM_VoipLatency(benchmark::State& s) { BM_Latency<VoipPipeline>(s, "voip"); }
void BM_EchoLatency(benchmark::State& s) { BM_Latency<EchoPipeline>(s, "echo"); }
BENCHMARK(BM_EchoLatency)->Arg(480)->Arg(2048)->Iterations(1)->Repetitions(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VoipLatency)->Arg(480)->Arg(2048)->Iterations(1)->Repetitions(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---- CPU at a host with eight peers --------------------------------------------

constexpr u32 kPeers = 8;
constexpr u32 kCpuFrames = 250;  // 5 s

// Eight peers on their own sockets: each joins, then sends a pre-encoded stereo
// frame every 20 ms; what they receive is read and thrown away.
struct Peers {
  NetContext* net = netCreate();
  NetSocket* s[kPeers] = {};
  std::vector<std::vector<u8>> frames;
  std::atomic<bool> stop{false};
  std::thread t;
  Peers() {
    for (auto& x : s) x = netUdpOpen(net, 0);
    int err;
    OpusEncoder* enc = opus_encoder_create(kRate, kCh, OPUS_APPLICATION_VOIP, &err);
    opus_encoder_ctl(enc, OPUS_SET_BITRATE(48000));
    opus_encoder_ctl(enc, OPUS_SET_INBAND_FEC(1));
    std::vector<f32> pcm(960 * kCh);
    for (u32 f = 0; f < 50; ++f) {
      for (u32 i = 0; i < 960; ++i)
        for (i32 c = 0; c < kCh; ++c) pcm[i * kCh + c] = 0.2f * (f32)std::sin(2.0 * M_PI * 440.0 * (f * 960 + i) / kRate);
      std::vector<u8> d(kVoipMaxDatagram);
      voipWriteHeader(d.data(), VOIP_PKT_AUDIO, 0);
      const int n = opus_encode_float(enc, pcm.data(), 960, d.data() + kVoipHeader, kVoipMaxOpus);
      d.resize(kVoipHeader + (n > 0 ? n : 0));
      frames.push_back(d);
    }
    opus_encoder_destroy(enc);
  }
  void start(NetAddr to, b8 join) {
    if (join) {
      u8 j[kVoipHeader];
      voipWriteHeader(j, VOIP_PKT_JOIN, 0);
      for (auto& x : s) netSendTo(x, j, kVoipHeader, to);
    }
    t = std::thread([this, to] {
      const f64 start = clockNanos();
      for (u32 f = 0; !stop.load(); ++f) {
        for (auto& x : s) netSendTo(x, frames[f % frames.size()].data(), (i32)frames[f % frames.size()].size(), to);
        NetEvent ev;
        while (netPoll(net, &ev)) {
        }
        sleepUntil(start + (f + 1) * 20e6);
      }
    });
  }
  ~Peers() {
    stop = true;
    if (t.joinable()) t.join();
    netDestroy(net);
  }
};

void BM_VoipHostCpu(benchmark::State& state) {
  for (auto _ : state) {
    VoipConfig cfg = programConfig();
    Voip* h = voipCreate(&cfg, 0, nullptr);
    voipStart(h);
    Peers peers;
    peers.start(loop4(voipLocalPort(h)), true);
    for (int i = 0; i < 200 && voipPeerCount(h) < kPeers; ++i) nanoSleep(5000000);
    std::vector<f32> mic(960 * kCh), out(960 * kCh);
    for (u32 i = 0; i < 960; ++i)
      for (i32 c = 0; c < kCh; ++c) mic[i * kCh + c] = 0.2f * (f32)std::sin(2.0 * M_PI * 300.0 * i / kRate);
    // Warm-up second, then the measured frames.
    f64 t0 = clockNanos(), cbNs = 0, n0 = 0;
    for (u32 f = 0; f < 50 + kCpuFrames; ++f) {
      if (f == 50) {
        n0 = threadCpuNs(*threadPlatHandle(h->netThread));
        cbNs = 0;
      }
      const f64 c0 = selfCpuNs();
      voipAudioSource(mic.data(), 960, kCh, h);
      std::fill(out.begin(), out.end(), 0.0f);
      voipAudioSink(out.data(), 960, kCh, h);
      cbNs += selfCpuNs() - c0;
      sleepUntil(t0 + (f + 1) * 20e6);
    }
    const f64 netNs = threadCpuNs(*threadPlatHandle(h->netThread)) - n0;
    const u32 peersSeen = voipPeerCount(h);
    voipDestroy(h);
    const f64 perFrame = (netNs + cbNs) / kCpuFrames / 1000.0;
    state.counters["us_per_frame"] = perFrame;
    state.counters["net_us"] = netNs / kCpuFrames / 1000.0;
    state.counters["callbacks_us"] = cbNs / kCpuFrames / 1000.0;
    state.counters["peers"] = peersSeen;
    gFigures["cpu/voip"] = perFrame;
    state.SetIterationTime(1.0);
  }
}

void BM_DirectHostCpu(benchmark::State& state) {
  for (auto _ : state) {
    VoipConfig cfg = programConfig();
    NetContext* net = netCreate();
    NetSocket* sock = netUdpOpen(net, 0);
    Peers peers;
    NetAddr dests[kPeers];
    for (u32 i = 0; i < kPeers; ++i) dests[i] = loop4(netSocketPort(peers.s[i]));
    int err;
    OpusEncoder* enc = opus_encoder_create(kRate, kCh, OPUS_APPLICATION_VOIP, &err);
    opus_encoder_ctl(enc, OPUS_SET_BITRATE(cfg.bitrate));
    opus_encoder_ctl(enc, OPUS_SET_INBAND_FEC(1));
    OpusDecoder* dec[kPeers];
    for (auto& d : dec) d = opus_decoder_create(kRate, kCh, &err);
    VoipNlms nlms;
    voipNlmsInit(&nlms, kCh, cfg.nlmsTaps, cfg.nlmsStep, cfg.nlmsEpsilon);
    std::vector<f32> mic(960 * kCh), ref(960 * kCh, 0.0f), clean(960 * kCh), decoded(kVoipMaxDecode * kCh),
        out(960 * kCh);
    for (u32 i = 0; i < 960; ++i)
      for (i32 c = 0; c < kCh; ++c) mic[i * kCh + c] = 0.2f * (f32)std::sin(2.0 * M_PI * 300.0 * i / kRate);
    u8 packet[kVoipMaxDatagram];
    peers.start(loop4(netSocketPort(sock)), false);
    f64 t0 = clockNanos(), cpu = 0;
    for (u32 f = 0; f < 50 + kCpuFrames; ++f) {
      if (f == 50) cpu = selfCpuNs();
      voipNlmsProcess(&nlms, mic.data(), ref.data(), clean.data(), 960);
      const int n = opus_encode_float(enc, clean.data(), 960, packet + kVoipHeader, kVoipMaxOpus);
      voipWriteHeader(packet, VOIP_PKT_AUDIO, 0);
      for (const NetAddr& d : dests) netSendTo(sock, packet, (i32)kVoipHeader + n, d);
      std::fill(out.begin(), out.end(), 0.0f);
      NetEvent ev;
      while (netPoll(net, &ev)) {
        if (ev.type != NET_EVENT_RECV) continue;
        const u8* d = (const u8*)ev.recv.data;
        if (voipParseHeader(d, (u32)ev.recv.len) != VOIP_PKT_AUDIO) continue;
        u32 who = 0;
        while (who < kPeers && !netAddrEqual(&ev.recv.from, &dests[who])) ++who;
        if (who == kPeers) continue;
        const int m = opus_decode_float(dec[who], d + kVoipHeader, ev.recv.len - (i32)kVoipHeader, decoded.data(),
                                        (int)kVoipMaxDecode, 0);
        for (int i = 0; i < m * kCh && i < (int)out.size(); ++i) out[i] += decoded[i];
      }
      for (f32& x : out) x = std::clamp(x, -1.0f, 1.0f);
      std::copy(out.begin(), out.end(), ref.begin());
      sleepUntil(t0 + (f + 1) * 20e6);
    }
    const f64 perFrame = (selfCpuNs() - cpu) / kCpuFrames / 1000.0;
    opus_encoder_destroy(enc);
    for (auto& d : dec) opus_decoder_destroy(d);
    voipNlmsDestroy(&nlms);
    netDestroy(net);
    state.counters["us_per_frame"] = perFrame;
    gFigures["cpu/direct"] = perFrame;
    state.SetIterationTime(1.0);
  }
}
BENCHMARK(BM_DirectHostCpu)->Iterations(1)->Repetitions(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VoipHostCpu)->Iterations(1)->Repetitions(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\n| figure | voice chat | anchor | ratio | goal |\n|---|---|---|---|---|\n");
  for (const char* period : {"480", "2048"}) {
    for (const char* q : {"median", "p99"}) {
      const std::string k = std::string("/") + period + "/" + q;
      if (!gFigures.count("voip" + k) || !gFigures.count("echo" + k)) continue;
      const f64 v = gFigures["voip" + k], e = gFigures["echo" + k];
      std::printf("| latency %s frames, %s (ms) | %.2f | %.2f | %.2fx | %s |\n", period, q, v, e, e > 0 ? v / e : 0.0,
                  std::strcmp(q, "median") == 0 ? "<= 1.1x" : "<= 1.5x");
    }
  }
  if (gFigures.count("cpu/voip") && gFigures.count("cpu/direct"))
    std::printf("| CPU per 20 ms frame, host with 8 peers (us) | %.1f | %.1f | %.2fx | <= 1.3x |\n",
                gFigures["cpu/voip"], gFigures["cpu/direct"], gFigures["cpu/voip"] / gFigures["cpu/direct"]);
  return 0;
}
