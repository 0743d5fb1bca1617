// The audio engine against its anchors, in the same run:
// - mixing one 2048-frame stereo period of 64 clips through the playback
//   callback, against a plain float loop doing the same multiply-adds and
//   against SDL_MixAudioFormat (also with 8 streams and the capture filters on);
// - Ogg Opus clip loading against libopusfile (op_read_float to the end);
// - the echo canceller's CPU against a plain scalar loop of the same filter, and
//   its convergence (ERLE after 1, 2 and 4 s of white noise) against the NLMS
//   figure 10*log10(e)*mu*(2-mu)/N dB per sample.
#include <SDL2/SDL.h>
#include <opusfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_table.h"
#include "components/audio.h"

namespace {

constexpr size_t kPeriod = 2048;
constexpr int kClips = 64;
constexpr int kStreams = 8;
const std::string kSpeech = std::string(TERRAIN_SHARED_DIR) + "/assets/opus/speech_8.opus";
const std::string kExplosion = std::string(TERRAIN_BINARY_DIR) + "/asset/explosion.ogg";

std::vector<f32> noise(size_t n, u32 seed, f32 amp) {
  std::vector<f32> v(n);
  u32 x = seed;
  for (auto& s : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s = amp * ((f32)(x >> 8) / 8388608.0f - 1.0f);
  }
  return v;
}

// ------------------------------------------------------------------ mixing

struct MixFixture {
  AudioEngine* e = nullptr;
  std::vector<std::vector<f32>> clips;
  std::vector<CircBuffer> rings;
  std::vector<AudioSound*> streams;
  std::vector<f32> mic;
};

MixFixture* makeMix(b8 streamsAndFilters) {
  auto* m = new MixFixture;
  AudioEngineFilterConfig cfg{};
  cfg.flags = AUDIO_ENGINE_FILTER_BANDPASS | AUDIO_ENGINE_FILTER_NLMS | AUDIO_ENGINE_FILTER_WIENER;
  m->e = audioEngineCreate(nullptr, nullptr, 48000, 2, kPeriod, streamsAndFilters ? &cfg : nullptr, nullptr, nullptr,
                           nullptr, nullptr);
  if (!m->e) return m;
  for (int i = 0; i < kClips; i++) {
    m->clips.push_back(noise(48000 * 2, (u32)i + 1, 0.01f));
    AudioSound* s = audioEngineCreateClip(m->e, m->clips.back().data(), 48000, 2);
    audioSoundSetVolume(m->e, s, 0.5f);
    audioSoundPlay(m->e, s, 1);
  }
  if (streamsAndFilters) {
    for (int i = 0; i < kStreams; i++) {
      m->rings.push_back(CircBufferAlloc(kPeriod * 8 * 4, 1));
      AudioSound* s = audioEngineCreateStream(m->e, m->rings.back(), 2, 48000);
      audioSoundPlay(m->e, s, 0);
      m->streams.push_back(s);
    }
    m->mic = noise(kPeriod * 2, 99, 0.2f);
  }
  return m;
}

void freeMix(MixFixture* m) {
  audioEngineDestroy(m->e);
  for (auto& r : m->rings) CircBufferDealloc(r);
  delete m;
}

void benchMixEngine(benchmark::State& st, b8 streamsAndFilters, b8 captureOnly) {
  MixFixture* m = makeMix(streamsAndFilters);
  if (!m->e) {
    st.SkipWithError("no audio engine");
    freeMix(m);
    return;
  }
  std::vector<f32> out(kPeriod * 2);
  if (captureOnly) {
    // The capture side of the same period: band-pass, echo canceller, noise suppressor.
    engineSinkCallback(out.data(), kPeriod, 2, m->e);
    std::vector<f32> mic = m->mic;
    for (auto _ : st) {
      NlmsFilterPushReference(m->e->nlms, out.data(), kPeriod);
      mic = m->mic;
      engineSourceCallback(mic.data(), kPeriod, 2, m->e);
      benchmark::DoNotOptimize(mic.data());
    }
    freeMix(m);
    return;
  }
  for (auto _ : st) {
    for (AudioSound* s : m->streams) audioSoundPushFrames(m->e, s, m->clips[0].data(), kPeriod);
    engineSinkCallback(out.data(), kPeriod, 2, m->e);
    benchmark::DoNotOptimize(out.data());
  }
  freeMix(m);
}

// The same multiply-adds with nothing around them, over the engine's own clip
// buffers (same addresses, so cache and store-forwarding effects are alike).
void benchMixPlain(benchmark::State& st, b8 streams) {
  MixFixture* m = makeMix(streams);
  if (!m->e) {
    st.SkipWithError("no audio engine");
    freeMix(m);
    return;
  }
  // Clips are read at the cursor, stream rings (four periods long) from their start.
  std::vector<std::pair<const f32*, b8>> sources;
  for (size_t i = 0; i < m->e->soundCount; i++) {
    const AudioSound* s = m->e->sounds[i];
    sources.push_back({s->pcm ? s->pcm : reinterpret_cast<const f32*>(s->stream.Base), s->pcm != nullptr});
  }
  std::vector<f32> out(kPeriod * 2);
  size_t cursor = 0;
  for (auto _ : st) {
    // The same stream refills as the engine's run.
    for (const auto& [base, isClip] : sources) {
      if (!isClip) std::memcpy(const_cast<f32*>(base), m->clips[0].data(), kPeriod * 2 * sizeof(f32));
    }
    std::fill(out.begin(), out.end(), 0.0f);
    for (const auto& [base, isClip] : sources) {
      const f32* src = base + (isClip ? cursor * 2 : 0);
      for (size_t i = 0; i < kPeriod * 2; i++) out[i] += src[i] * 0.5f;
    }
    cursor = (cursor + kPeriod) % (48000 - kPeriod);
    benchmark::DoNotOptimize(out.data());
  }
  freeMix(m);
}

void benchMixSdl(benchmark::State& st) {
  std::vector<std::vector<f32>> clips;
  for (int i = 0; i < kClips; i++) clips.push_back(noise(48000 * 2, (u32)i + 1, 0.01f));
  std::vector<f32> out(kPeriod * 2);
  size_t cursor = 0;
  for (auto _ : st) {
    std::fill(out.begin(), out.end(), 0.0f);
    for (const auto& c : clips) {
      SDL_MixAudioFormat(reinterpret_cast<Uint8*>(out.data()), reinterpret_cast<const Uint8*>(c.data() + cursor * 2),
                         AUDIO_F32SYS, (Uint32)(kPeriod * 2 * sizeof(f32)), SDL_MIX_MAXVOLUME / 2);
    }
    cursor = (cursor + kPeriod) % (48000 - kPeriod);
    benchmark::DoNotOptimize(out.data());
  }
}

// ----------------------------------------------------------------- decoding

void benchDecodeEngine(benchmark::State& st, const std::string& path, i32 channels) {
  AudioEngine* e = audioEngineCreate(nullptr, nullptr, 48000, channels, 1024, nullptr, nullptr, nullptr, nullptr,
                                     nullptr);
  if (!e) {
    st.SkipWithError("no audio engine");
    return;
  }
  for (auto _ : st) {
    AudioSound* s = audioEngineLoadOgg(e, path.c_str());
    if (!s) {
      st.SkipWithError(("cannot load " + path).c_str());
      break;
    }
    benchmark::DoNotOptimize(s->pcm);
    audioSoundDestroy(e, s);
  }
  audioEngineDestroy(e);
}

void benchDecodeOpusfile(benchmark::State& st, const std::string& path) {
  std::vector<f32> pcm, buf(5760 * 2);
  for (auto _ : st) {
    int err = 0;
    OggOpusFile* of = op_open_file(path.c_str(), &err);
    if (!of) {
      st.SkipWithError(("opusfile cannot open " + path).c_str());
      break;
    }
    // Collected into one array sized from the file's length up front (more
    // than a loader can know in general: the anchor's best case).
    pcm.clear();
    pcm.shrink_to_fit();
    const int ch = op_channel_count(of, -1);
    const ogg_int64_t total = op_pcm_total(of, -1);
    if (total > 0) pcm.reserve((size_t)total * ch);
    for (;;) {
      int n = op_read_float(of, buf.data(), (int)buf.size(), nullptr);
      if (n <= 0) break;
      pcm.insert(pcm.end(), buf.begin(), buf.begin() + (size_t)n * ch);
    }
    op_free(of);
    benchmark::DoNotOptimize(pcm.data());
  }
}

// ------------------------------------------------------------ echo canceller

// The filter as the formulas read, one sample at a time, with the same
// per-frame reference window.
struct PlainNlms {
  u32 taps;
  f32 step, eps;
  std::vector<f32> ref, w;

  void cancel(size_t firstFrame, const f32* in, f32* out, size_t frames) {
    for (size_t f = 0; f < frames; f++) {
      // Frames n - taps + 1 .. n, with ref starting at frame -taps (zeros).
      const f32* x = ref.data() + (firstFrame + f + 1);
      f32 y = 0, energy = eps;
      for (u32 i = 0; i < taps; i++) {
        y += w[i] * x[i];
        energy += x[i] * x[i];
      }
      const f32 e = in[f] - y;
      out[f] = e;
      const f32 k = step * e / energy;
      for (u32 i = 0; i < taps; i++) w[i] += k * x[i];
    }
  }
};

struct EchoSignals {
  std::vector<f32> x, d;
};

const EchoSignals& echoSignals() {
  static EchoSignals s;
  if (!s.x.empty()) return s;
  const size_t total = 48000 * 4;
  s.x = noise(total, 11, 0.5f);
  std::vector<f32> h(200);
  u32 r = 99;
  for (size_t k = 0; k < h.size(); k++) {
    r = r * 1664525u + 1013904223u;
    h[k] = 0.6f * std::exp(-(f32)k / 40.0f) * ((r >> 31) ? 1.0f : -1.0f);
  }
  s.d.resize(total);
  for (size_t n = 0; n < total; n++) {
    f32 d = 0;
    for (size_t k = 0; k < h.size() && k <= n; k++) d += h[k] * s.x[n - k];
    s.d[n] = d;
  }
  return s;
}

// One second of echo through our filter: playback periods of 2048 ahead of
// capture blocks of 480. Returns the residual per sample when asked.
void runOurs(NlmsFilter* f, size_t seconds, std::vector<f32>* residual) {
  const EchoSignals& s = echoSignals();
  const size_t total = 48000 * seconds;
  std::vector<f32> out(480);
  size_t pushed = 0;
  for (size_t cap = 0; cap + 480 <= total; cap += 480) {
    while (pushed < cap + 480 + 2048 && pushed < total) {
      size_t n = std::min<size_t>(2048, total - pushed);
      NlmsFilterPushReference(f, s.x.data() + pushed, n);
      pushed += n;
    }
    NlmsFilterCancel(f, s.d.data() + cap, out.data(), 480);
    if (residual) residual->insert(residual->end(), out.begin(), out.end());
  }
}

void benchNlmsOurs(benchmark::State& st) {
  echoSignals();
  for (auto _ : st) {
    NlmsFilter f = NlmsFilterCreate(1, 256, 0, 0.01f, 0);
    runOurs(&f, 1, nullptr);
    NlmsFilterDestroy(&f);
  }
}

void benchNlmsPlain(benchmark::State& st) {
  const EchoSignals& s = echoSignals();
  std::vector<f32> out(480);
  for (auto _ : st) {
    PlainNlms p{256, 0.01f, 1e-6f, {}, std::vector<f32>(256, 0.0f)};
    p.ref.assign(256, 0.0f);
    p.ref.insert(p.ref.end(), s.x.begin(), s.x.begin() + 48000);
    for (size_t cap = 0; cap + 480 <= 48000; cap += 480) p.cancel(cap, s.d.data() + cap, out.data(), 480);
    benchmark::DoNotOptimize(p.w.data());
  }
}

// The same filter with one reference window for every frame of a call (the
// newest pushed reference), as a canceller without a per-frame read position
// does: ERLE over the last second of 4.
f64 sharedWindowErle() {
  const EchoSignals& s = echoSignals();
  PlainNlms p{256, 0.01f, 1e-6f, {}, std::vector<f32>(256, 0.0f)};
  p.ref.assign(256, 0.0f);
  p.ref.insert(p.ref.end(), s.x.begin(), s.x.end());
  const size_t total = s.x.size();
  size_t pushed = 0;
  f64 dE = 0, eE = 0;
  for (size_t cap = 0; cap + 480 <= total; cap += 480) {
    while (pushed < cap + 480 + 2048 && pushed < total) pushed = std::min(total, pushed + 2048);
    for (size_t f = 0; f < 480; f++) {
      const f32* x = p.ref.data() + pushed;  // frames pushed - 256 .. pushed - 1
      f32 y = 0, energy = p.eps;
      for (u32 i = 0; i < p.taps; i++) {
        y += p.w[i] * x[i];
        energy += x[i] * x[i];
      }
      const f32 e = s.d[cap + f] - y;
      const f32 k = p.step * e / energy;
      for (u32 i = 0; i < p.taps; i++) p.w[i] += k * x[i];
      if (cap + f >= total - 48000) {
        dE += (f64)s.d[cap + f] * s.d[cap + f];
        eE += (f64)e * e;
      }
    }
  }
  return 10.0 * std::log10(dE / std::max(eE, 1e-30));
}

void printEchoConvergence() {
  NlmsFilter f = NlmsFilterCreate(1, 256, 0, 0.01f, 0);
  std::vector<f32> res;
  runOurs(&f, 4, &res);
  NlmsFilterDestroy(&f);
  const EchoSignals& s = echoSignals();
  const f64 mu = 0.01, slope = 10.0 * std::log10(std::exp(1.0)) * mu * (2.0 - mu) / 256.0 * 48000.0;
  std::printf("\nEcho canceller, white noise through a 200-tap path, 256 taps, step 0.01, blocks of 480 against "
              "periods of 2048:\n");
  std::printf("| after | ERLE (100 ms window) | NLMS figure | ratio |\n|---|---|---|---|\n");
  for (int sec : {1, 2, 4}) {
    const size_t end = (size_t)sec * 48000, start = end - 4800;
    f64 dE = 0, eE = 0;
    for (size_t i = start; i < end && i < res.size(); i++) {
      dE += (f64)s.d[i] * s.d[i];
      eE += (f64)res[i] * res[i];
    }
    const f64 erle = 10.0 * std::log10(dE / std::max(eE, 1e-30));
    std::printf("| %d s | %.1f dB | %.1f dB | %.2f |\n", sec, erle, slope * sec, erle / (slope * sec));
  }
  std::printf("one window shared by every frame of a call instead: %.1f dB over the fourth second\n",
              sharedWindowErle());
}

// The machine is shared: CPU time per iteration (fastest repetition) is what
// the tables compare, not wall time.
class CpuReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, f64> cpuSeconds;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred || r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
      const f64 secs = r.cpu_accumulated_time / (f64)r.iterations;
      f64& best = cpuSeconds[r.run_name.str()];
      if (best == 0 || secs < best) best = secs;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  benchmark::RegisterBenchmark("mix/engine_64_clips", [](benchmark::State& st) { benchMixEngine(st, false, false); });
  benchmark::RegisterBenchmark("mix/engine_64_clips_8_streams_filters",
                               [](benchmark::State& st) { benchMixEngine(st, true, false); });
  benchmark::RegisterBenchmark("capture/filters_2048_stereo", [](benchmark::State& st) { benchMixEngine(st, true, true); });
  benchmark::RegisterBenchmark("mix/plain_loop_64", [](benchmark::State& st) { benchMixPlain(st, false); });
  benchmark::RegisterBenchmark("mix/plain_loop_72", [](benchmark::State& st) { benchMixPlain(st, true); });
  benchmark::RegisterBenchmark("mix/SDL_MixAudioFormat_64", benchMixSdl);
  benchmark::RegisterBenchmark("decode/engine/speech_8_mono",
                               [](benchmark::State& st) { benchDecodeEngine(st, kSpeech, 1); });
  benchmark::RegisterBenchmark("decode/opusfile/speech_8_mono",
                               [](benchmark::State& st) { benchDecodeOpusfile(st, kSpeech); });
  benchmark::RegisterBenchmark("decode/engine/explosion_stereo",
                               [](benchmark::State& st) { benchDecodeEngine(st, kExplosion, 2); });
  benchmark::RegisterBenchmark("decode/opusfile/explosion_stereo",
                               [](benchmark::State& st) { benchDecodeOpusfile(st, kExplosion); });
  benchmark::RegisterBenchmark("nlms/ours_1s", benchNlmsOurs);
  benchmark::RegisterBenchmark("nlms/plain_scalar_1s", benchNlmsPlain);
  // Mixing is bound by memory traffic, which other processes disturb: seven
  // interleaved repetitions (the fastest counts) unless the command line says.
  std::vector<char*> args(argv, argv + argc);
  static char reps[] = "--benchmark_repetitions=7";
  b8 given = false;
  for (int i = 1; i < argc; i++) given |= std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0;
  if (!given) args.push_back(reps);
  benchInitialize((int)args.size(), args.data());
  CpuReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto t = [&](const char* name) { return reporter.cpuSeconds[name]; };
  auto row = [&](const char* what, const char* ours, const char* anchor, f64 goal) {
    const f64 a = t(ours), b = t(anchor);
    const f64 ratio = b > 0 ? a / b : 0;
    std::printf("| %s | %.1f us | %.1f us | %.2fx | <= %.2fx %s |\n", what, a * 1e6, b * 1e6, ratio, goal,
                ratio > 0 && ratio <= goal ? "met" : "MISSED");
  };
  std::printf("\n| what | ours | anchor | ratio | goal |\n|---|---|---|---|---|\n");
  row("mix 64 clips vs plain loop", "mix/engine_64_clips", "mix/plain_loop_64", 1.5);
  row("mix 64 clips + 8 streams + filters vs plain loop over 72", "mix/engine_64_clips_8_streams_filters",
      "mix/plain_loop_72", 1.5);
  row("mix 64 clips vs SDL_MixAudioFormat", "mix/engine_64_clips", "mix/SDL_MixAudioFormat_64", 1.5);
  row("load speech_8.opus vs libopusfile", "decode/engine/speech_8_mono", "decode/opusfile/speech_8_mono", 1.15);
  row("load explosion.ogg vs libopusfile", "decode/engine/explosion_stereo", "decode/opusfile/explosion_stereo",
      1.15);
  row("echo canceller 1 s vs plain scalar loop", "nlms/ours_1s", "nlms/plain_scalar_1s", 1.0);
  std::printf("capture filters on a 2048-frame stereo period (band-pass, echo canceller, noise suppressor): %.1f us "
              "(%.1f%% of the period's 42.7 ms)\n",
              t("capture/filters_2048_stereo") * 1e6, t("capture/filters_2048_stereo") / 0.0426667 * 100);
  printEchoConvergence();
  benchmark::Shutdown();
  return 0;
}
