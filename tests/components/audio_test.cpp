// The audio engine driven through its playback and capture callbacks (the
// device is SDL's dummy driver and the audio thread is not started, so every
// sample is checked exactly), and the echo canceller on a simulated echo path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "components/audio.h"
#include "platform/memory.h"

namespace {

constexpr f32 kNaN = std::numeric_limits<f32>::quiet_NaN();
constexpr f32 kInf = std::numeric_limits<f32>::infinity();

std::vector<f32> noise(size_t n, u32 seed, f32 amp = 0.45f) {
  std::vector<f32> v(n);
  u32 x = seed ? seed : 1;
  for (auto& s : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s = amp * ((f32)(x >> 8) / 8388608.0f - 1.0f);
  }
  return v;
}

struct Engine : testing::Test {
  void SetUp() override {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    e = audioEngineCreate(nullptr, nullptr, 48000, 2, 2048, nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(e, nullptr);
  }
  void TearDown() override { audioEngineDestroy(e); }
  std::vector<f32> period(size_t frames, i32 ch = 2) {
    std::vector<f32> out(frames * ch, 123.0f);
    EXPECT_EQ(engineSinkCallback(out.data(), frames, ch, e), 0);
    return out;
  }
  AudioEngine* e = nullptr;
};

TEST_F(Engine, TwoClipsAtTwoVolumesMixInListOrderAndAShortOneEndsMidPeriod) {
  auto a = noise(3000 * 2, 1), b = noise(1000 * 2, 2);
  AudioSound* sa = audioEngineCreateClip(e, a.data(), 3000, 2);
  AudioSound* sb = audioEngineCreateClip(e, b.data(), 1000, 2);
  ASSERT_TRUE(sa && sb);
  ASSERT_EQ(audioSoundSetVolume(e, sa, 0.3f), 0);
  ASSERT_EQ(audioSoundSetVolume(e, sb, 0.7f), 0);
  audioSoundPlay(e, sa, 0);
  audioSoundPlay(e, sb, 0);
  // Zero, then each sound in list order.
  auto out = period(2048);
  for (size_t i = 0; i < 2048 * 2; i++) {
    f32 want = 0.0f;
    want += a[i] * 0.3f;
    if (i < 1000 * 2) want += b[i] * 0.7f;
    ASSERT_EQ(out[i], want) << i;
  }
  EXPECT_EQ(sb->playing, 0);
  EXPECT_EQ(sb->cursor, 1000u);  // stays at the end
  out = period(2048);
  for (size_t i = 0; i < 2048 * 2; i++) {
    f32 want = i < 952 * 2 ? 0.0f + a[2048 * 2 + i] * 0.3f : 0.0f;
    ASSERT_EQ(out[i], want) << i;
  }
  EXPECT_EQ(sa->playing, 0);
  EXPECT_EQ(sa->cursor, 3000u);
  // Play on a finished clip does nothing until Stop or Seek rewinds it.
  audioSoundPlay(e, sb, 0);
  (void)period(512);
  EXPECT_EQ(sb->playing, 0);
  EXPECT_EQ(sb->cursor, 1000u);
  ASSERT_EQ(audioSoundSeekSeconds(e, sb, 0.0f), 0);
  audioSoundPlay(e, sb, 0);
  out = period(16);
  EXPECT_EQ(out[0], 0.0f + b[0] * 0.7f);
  EXPECT_EQ(sb->cursor, 16u);
}

TEST_F(Engine, LoopingClipWrapsAcrossPeriods) {
  auto a = noise(1500 * 2, 3);
  AudioSound* s = audioEngineCreateClip(e, a.data(), 1500, 2);
  ASSERT_NE(s, nullptr);
  audioSoundPlay(e, s, 1);
  for (size_t p = 0; p < 3; p++) {
    auto out = period(2048);
    for (size_t f = 0; f < 2048; f++) {
      size_t src = (p * 2048 + f) % 1500;
      ASSERT_EQ(out[f * 2], a[src * 2]) << p << " " << f;
      ASSERT_EQ(out[f * 2 + 1], a[src * 2 + 1]);
    }
  }
  EXPECT_EQ(s->playing, 1);
  EXPECT_EQ(s->cursor, (3 * 2048) % 1500 == 0 ? 1500u : (3 * 2048) % 1500);
}

TEST_F(Engine, StreamWrapsAtItsRingSizeAndKeepsTheNewestFramesOnOverflow) {
  CircBuffer ring = CircBufferAlloc(4096, 1);  // 512 stereo frames
  ASSERT_NE(ring.Base, nullptr);
  AudioSound* s = audioEngineCreateStream(e, ring, 2, 48000);
  ASSERT_NE(s, nullptr);
  audioSoundPlay(e, s, 0);
  auto src = noise(2000 * 2, 4);
  size_t pushed = 0, played = 0;
  // Pushes and periods of uneven sizes, so both positions cross the ring's end.
  const size_t pushes[] = {300, 300, 200, 400, 100};
  const size_t periods[] = {200, 350, 250, 400, 100};
  for (int k = 0; k < 5; k++) {
    ASSERT_EQ(audioSoundPushFrames(e, s, src.data() + pushed * 2, pushes[k]), 0);
    pushed += pushes[k];
    auto out = period(periods[k]);
    for (size_t f = 0; f < periods[k]; f++) {
      ASSERT_EQ(out[f * 2], src[(played + f) * 2]) << k << " " << f;
      ASSERT_EQ(out[f * 2 + 1], src[(played + f) * 2 + 1]);
    }
    played += periods[k];
  }
  EXPECT_EQ(audioSoundGetQueuedBytes(e, s), (pushed - played) * 8);
  // More than the ring holds: only the newest 512 frames stay.
  ASSERT_EQ(audioSoundPushFrames(e, s, src.data(), 700), 0);
  EXPECT_EQ(audioSoundGetQueuedBytes(e, s), 4096u);
  auto out = period(512);
  for (size_t i = 0; i < 512 * 2; i++) ASSERT_EQ(out[i], src[188 * 2 + i]) << i;
  audioSoundDestroy(e, s);
  CircBufferDealloc(ring);
}

TEST_F(Engine, StreamsUnlikeTheEngineAreRefused) {
  CircBuffer ring = CircBufferAlloc(4096, 1);
  EXPECT_EQ(audioEngineCreateStream(e, ring, 1, 48000), nullptr);
  EXPECT_EQ(audioEngineCreateStream(e, ring, 2, 44100), nullptr);
  EXPECT_EQ(audioEngineCreateStream(e, CircBuffer{}, 2, 48000), nullptr);
  CircBufferDealloc(ring);
}

TEST_F(Engine, ClampMapsNaNToSilenceAndOverloadsToTheRails) {
  const f32 pcm[] = {1.5f, -2.0f, kNaN, 0.25f, kInf, -kInf};
  AudioSound* s = audioEngineCreateClip(e, pcm, 3, 2);
  ASSERT_NE(s, nullptr);
  audioSoundPlay(e, s, 0);
  auto out = period(3);
  const f32 want[] = {1.0f, -1.0f, 0.0f, 0.25f, 1.0f, -1.0f};
  for (int i = 0; i < 6; i++) EXPECT_EQ(out[i], want[i]) << i;
}

TEST_F(Engine, UnderrunDecaysTheLastFrameByPointNinetyTwoPerFrame) {
  std::vector<f32> loud(2048 * 2);
  for (size_t f = 0; f < 2048; f++) {
    loud[f * 2] = 0.8f;
    loud[f * 2 + 1] = -0.6f;
  }
  AudioSound* s = audioEngineCreateClip(e, loud.data(), 2048, 2);
  audioSoundPlay(e, s, 0);
  (void)period(2048);
  f32 gain = 1.0f * 0.92f + 0.08f;
  auto out = period(256);
  for (size_t f = 0; f < 256; f++) {
    ASSERT_EQ(out[f * 2], gain * 0.8f) << f;
    ASSERT_EQ(out[f * 2 + 1], gain * -0.6f) << f;
    gain *= 0.92f;
  }
  EXPECT_LT(std::fabs(out[255 * 2]), 1e-8f);
}

TEST_F(Engine, ControlsRefuseNonFiniteValuesAndSaturateTheCursor) {
  auto a = noise(48000 * 2, 5);
  AudioSound* s = audioEngineCreateClip(e, a.data(), 48000, 2);
  ASSERT_NE(s, nullptr);
  EXPECT_FLOAT_EQ(audioSoundGetDurationSeconds(e, s), 1.0f);
  struct Case {
    i32 (*op)(AudioEngine*, AudioSound*, f32);
    f32 value;
    i32 result;
    size_t cursor;
  } cases[] = {
      {audioSoundSeekSeconds, 0.5f, 0, 24000},   {audioSoundSkipSeconds, 0.25f, 0, 36000},
      {audioSoundSkipSeconds, -1.0f, 0, 0},      {audioSoundSeekSeconds, 1e30f, 0, 48000},
      {audioSoundSeekSeconds, kNaN, -1, 48000},  {audioSoundSkipSeconds, -kInf, -1, 48000},
      {audioSoundSkipSeconds, -1e30f, 0, 0},     {audioSoundSetVolume, kNaN, -1, 0},
      {audioSoundSetVolume, kInf, -1, 0},        {audioSoundSeekSeconds, -3.0f, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.op(e, s, c.value), c.result) << c.value;
    EXPECT_EQ(s->cursor, c.cursor) << c.value;
  }
  EXPECT_EQ(s->volume, 1.0f);
  EXPECT_EQ(audioSoundPlay(nullptr, s, 0), -1);
  EXPECT_EQ(audioSoundSeekSeconds(e, nullptr, 0), -1);
  CircBuffer ring = CircBufferAlloc(4096, 1);
  AudioSound* st = audioEngineCreateStream(e, ring, 2, 48000);
  EXPECT_EQ(audioSoundSeekSeconds(e, st, 0.1f), -1);
  EXPECT_EQ(audioSoundSkipSeconds(e, st, 0.1f), -1);
  audioSoundDestroy(e, st);
  CircBufferDealloc(ring);
}

TEST_F(Engine, DestroyMovesTheLastSoundIntoTheFreedSlot) {
  auto a = noise(64 * 2, 6);
  AudioSound* s[3];
  for (auto& p : s) p = audioEngineCreateClip(e, a.data(), 64, 2);
  audioSoundDestroy(e, s[0]);
  ASSERT_EQ(e->soundCount, 2u);
  EXPECT_EQ(e->sounds[0], s[2]);
  EXPECT_EQ(s[2]->index, 0u);
  EXPECT_EQ(e->sounds[1], s[1]);
}

TEST_F(Engine, FailingUserPlaybackCallbackFailsThePeriod) {
  audioEngineSetCallbacks(e, [](f32*, size_t, i32, void*) { return 1; }, nullptr, nullptr, nullptr);
  std::vector<f32> out(64 * 2);
  EXPECT_EQ(engineSinkCallback(out.data(), 64, 2, e), -1);
  audioEngineSetCallbacks(e, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(engineSinkCallback(out.data(), 64, 2, e), 0);
}

TEST(EngineCreate, RefusesBadChannelCountsAndUnknownDevices) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  EXPECT_EQ(audioEngineCreate(nullptr, nullptr, 48000, 0, 2048, nullptr, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(audioEngineCreate(nullptr, nullptr, 48000, 3, 2048, nullptr, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(audioEngineCreate("no such device", nullptr, 48000, 2, 2048, nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  AudioEngine* e =
      audioEngineCreate("default", "no such microphone", 48000, 2, 2048, nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->ab->captureDevice, 0u);
  audioEngineDestroy(e);
}

TEST(EngineCallbacks, AllocateNothingWithManySoundsAndFiltersOn) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  AudioEngineFilterConfig cfg{};
  cfg.flags = AUDIO_ENGINE_FILTER_BANDPASS | AUDIO_ENGINE_FILTER_NLMS | AUDIO_ENGINE_FILTER_WIENER;
  AudioEngine* e = audioEngineCreate(nullptr, nullptr, 48000, 2, 2048, &cfg, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(e, nullptr);
  auto a = noise(3000 * 2, 8, 0.01f);
  for (int i = 0; i < 56; i++) audioSoundPlay(e, audioEngineCreateClip(e, a.data(), 3000, 2), i & 1);
  CircBuffer rings[8];
  for (auto& r : rings) {
    r = CircBufferAlloc(65536, 1);
    AudioSound* s = audioEngineCreateStream(e, r, 2, 48000);
    audioSoundPlay(e, s, 0);
  }
  std::vector<f32> out(2048 * 2), mic = noise(2048 * 2, 9);
  // One round first: anything lazily set up on the way is not the steady state.
  ASSERT_EQ(engineSinkCallback(out.data(), 2048, 2, e), 0);
  const size_t before = memoryGet()->used.load();
  for (int p = 0; p < 100; p++) {
    for (size_t i = 0; i < e->soundCount; i++) {
      if (e->sounds[i]->streaming) audioSoundPushFrames(e, e->sounds[i], a.data(), 2048);
    }
    ASSERT_EQ(engineSinkCallback(out.data(), 2048, 2, e), 0);
    ASSERT_EQ(engineSourceCallback(mic.data(), 2048, 2, e), 0);
  }
  EXPECT_EQ(memoryGet()->used.load(), before);
  EXPECT_EQ(e->soundCount, 64u);
  audioEngineDestroy(e);
  for (auto& r : rings) CircBufferDealloc(r);
}

// The capture filters against the formulas written out here.
TEST(EngineCapture, BandPassAndNoiseSuppressorFollowTheirFormulas) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  AudioEngineFilterConfig cfg{};
  cfg.flags = AUDIO_ENGINE_FILTER_BANDPASS | AUDIO_ENGINE_FILTER_WIENER;
  cfg.bandpassHighHz = 50.0f;  // below the default low cut-off: ignored
  cfg.wienerMinGain = 3.0f;    // limited to 1
  AudioEngine* e = audioEngineCreate(nullptr, nullptr, 48000, 1, 2048, &cfg, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(e, nullptr);
  auto in = noise(4096, 7, 0.9f);
  in[100] = kNaN;
  std::vector<f32> buf = in;
  ASSERT_EQ(engineSourceCallback(buf.data(), 4096, 1, e), 0);
  const f32 hpA = std::min(1.0f, std::exp(-6.2831855f * 120.0f / 48000.0f));
  const f32 lpA = std::clamp(1.0f - std::exp(-6.2831855f * 3500.0f / 48000.0f), 0.0f, 1.0f);
  f32 xPrev = 0, yPrev = 0, z = 0, power = 1e-6f, noiseP = 1e-6f;
  for (size_t i = 0; i < 4096; i++) {
    f32 x = std::isfinite(in[i]) ? in[i] : 0.0f;
    f32 y = (x + yPrev - xPrev) * hpA;
    xPrev = x;
    yPrev = y;
    z += lpA * (y - z);
    f32 v = std::clamp(z, -1.0f, 1.0f);
    power = power - 0.05f * (power - v * v);
    if (noiseP <= 0) noiseP = power;
    else if (power >= noiseP) noiseP += 0.1f * 0.005f * (power - noiseP);
    else noiseP += 0.005f * (power - noiseP);
    f32 gain = std::max(power / (power + 1e-8f + noiseP), 1.0f);
    ASSERT_EQ(buf[i], gain * v) << i;
  }
  audioEngineDestroy(e);
}

// ------------------------------------------------------------ echo canceller

// White noise through a decaying 200-tap path; playback periods of 2048
// frames run ahead of capture blocks of 480, as on a device.
struct EchoRun {
  f64 erleDb[4];  // per second
  f32 maxAbsOut;
  b8 finite;
};

EchoRun runEcho(NlmsFilter* f, u32 seconds) {
  const size_t rate = 48000, total = rate * seconds;
  auto x = noise(total, 11, 0.5f);
  std::vector<f32> h(200);
  u32 r = 99;
  for (size_t k = 0; k < h.size(); k++) {
    r = r * 1664525u + 1013904223u;
    h[k] = 0.6f * std::exp(-(f32)k / 40.0f) * ((r >> 31) ? 1.0f : -1.0f);
  }
  EchoRun out{};
  out.finite = true;
  f64 dE[4] = {}, eE[4] = {};
  size_t pushed = 0, cap = 0;
  std::vector<f32> mic(480), clean(480);
  while (cap + 480 <= total) {
    while (pushed < cap + 480 + 2048 && pushed < total) {
      size_t n = std::min<size_t>(2048, total - pushed);
      NlmsFilterPushReference(f, x.data() + pushed, n);
      pushed += n;
    }
    for (size_t i = 0; i < 480; i++) {
      f32 d = 0;
      size_t n = cap + i;
      for (size_t k = 0; k < h.size() && k <= n; k++) d += h[k] * x[n - k];
      mic[i] = d;
    }
    NlmsFilterCancel(f, mic.data(), clean.data(), 480);
    for (size_t i = 0; i < 480; i++) {
      size_t sec = (cap + i) / rate;
      if (sec < 4) {
        dE[sec] += (f64)mic[i] * mic[i];
        eE[sec] += (f64)clean[i] * clean[i];
      }
      out.finite = out.finite && std::isfinite(clean[i]);
      out.maxAbsOut = std::max(out.maxAbsOut, std::fabs(clean[i]));
    }
    cap += 480;
  }
  for (int s = 0; s < 4; s++) out.erleDb[s] = eE[s] > 0 ? 10.0 * std::log10(dE[s] / eE[s]) : 0.0;
  return out;
}

TEST(Nlms, EachCapturedFrameGetsItsOwnReferenceWindow) {
  NlmsFilter f = NlmsFilterCreate(1, 256, 0, 0.01f, 0);
  ASSERT_NE(f.Channel, nullptr);
  EchoRun r = runEcho(&f, 3);
  EXPECT_GE(r.erleDb[2], 30.0) << r.erleDb[0] << " " << r.erleDb[1];
  EXPECT_GT(r.erleDb[2], r.erleDb[0]);
  EXPECT_EQ(f.Realigns, 0u);
  NlmsFilterDestroy(&f);
}

TEST(Nlms, LargeStepStaysBoundedAndStepTwoIsRefused) {
  NlmsFilter f = NlmsFilterCreate(1, 256, 0, 1.5f, 0);
  ASSERT_NE(f.Channel, nullptr);
  EchoRun r = runEcho(&f, 2);
  EXPECT_TRUE(r.finite);
  EXPECT_GT(r.erleDb[0], 3.0);
  EXPECT_GT(r.erleDb[1], 10.0);
  for (u32 t = 0; t < 256; t++) ASSERT_TRUE(std::isfinite(f.Channel[0].Weights[t]));
  NlmsFilterDestroy(&f);
  struct {
    i32 ch;
    u32 taps;
    f32 step;
  } bad[] = {{1, 256, 2.0f}, {1, 256, 0.0f}, {1, 0, 0.5f}, {0, 256, 0.5f}, {1, 256, kNaN}, {1, 256, -0.1f}};
  for (auto& b : bad) {
    NlmsFilter g = NlmsFilterCreate(b.ch, b.taps, 0, b.step, 0);
    EXPECT_EQ(g.Channel, nullptr) << b.ch << " " << b.taps << " " << b.step;
  }
}

TEST(Nlms, NonFiniteErrorResetsTheFilter) {
  NlmsFilter f = NlmsFilterCreate(2, 64, 0, 0.5f, 0);
  ASSERT_NE(f.Channel, nullptr);
  auto ref = noise(4096 * 2, 12);
  NlmsFilterPushReference(&f, ref.data(), 4096);
  f.ReadPos = 2048;
  std::vector<f32> in(256 * 2), out(256 * 2);
  for (size_t i = 0; i < in.size(); i++) in[i] = 0.5f * ref[2048 * 2 - 256 * 2 + i];
  NlmsFilterCancel(&f, in.data(), out.data(), 256);
  f32 wsum = 0;
  for (u32 t = 0; t < 64; t++) wsum += std::fabs(f.Channel[0].Weights[t]);
  EXPECT_GT(wsum, 0.0f);
  in[10 * 2] = kNaN;
  NlmsFilterCancel(&f, in.data(), out.data(), 256);
  EXPECT_EQ(f.Resets, 1u);
  EXPECT_EQ(out[10 * 2], 0.0f);
  for (f32 v : out) EXPECT_TRUE(std::isfinite(v));
  NlmsFilterDestroy(&f);
}

TEST(Nlms, CaptureOutsideTheRingIsRealignedAndCounted) {
  NlmsFilter f = NlmsFilterCreate(1, 32, 0, 0.1f, 0);
  ASSERT_NE(f.Channel, nullptr);
  std::vector<f32> in(100, 0.1f), out(100);
  // Ahead: nothing pushed yet.
  NlmsFilterCancel(&f, in.data(), out.data(), 100);
  EXPECT_EQ(f.Realigns, 1u);
  // Far behind: more pushed than the ring holds since the last capture.
  std::vector<f32> ref(f.RingSamples + 1000, 0.2f);
  NlmsFilterPushReference(&f, ref.data(), ref.size());
  NlmsFilterCancel(&f, in.data(), out.data(), 100);
  EXPECT_EQ(f.Realigns, 2u);
  // In step with the reference: no further realignment.
  NlmsFilterPushReference(&f, ref.data(), 100);
  NlmsFilterCancel(&f, in.data(), out.data(), 100);
  EXPECT_EQ(f.Realigns, 2u);
  NlmsFilterDestroy(&f);
}

}  // namespace
