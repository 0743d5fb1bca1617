// The running engine on SDL's disk driver, which plays into a file and records
// from one in real time: what the engine mixes is what the device gets, and
// what the device records reaches the capture callback, filtered.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "components/audio.h"
#include "platform/clock.h"

namespace fs = std::filesystem;

namespace {

std::vector<f32> noiseNoZeros(size_t n, u32 seed) {
  std::vector<f32> v(n);
  u32 x = seed;
  for (auto& s : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    const f32 u = (f32)(x >> 8) / 16777216.0f;  // [0, 1)
    s = (x & 1 ? 1.0f : -1.0f) * (0.01f + 0.6f * u);
  }
  return v;
}

std::vector<f32> readFloats(const std::string& path) {
  std::vector<f32> v;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return v;
  std::fseek(f, 0, SEEK_END);
  long n = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  v.resize((size_t)n / sizeof(f32));
  size_t got = std::fread(v.data(), sizeof(f32), v.size(), f);
  v.resize(got);
  std::fclose(f);
  return v;
}

void writeFloats(const std::string& path, const std::vector<f32>& v) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(v.data(), sizeof(f32), v.size(), f);
  std::fclose(f);
}

struct DiskAudio : testing::Test {
  void SetUp() override {
    dir = testing::TempDir() + "/terrain_disk_audio_" + std::to_string(getpid());
    fs::create_directories(dir);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", (dir + "/out.raw").c_str(), 1);
    setenv("SDL_DISKAUDIOFILEIN", (dir + "/in.raw").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string dir;
};

b8 clipPlaying(AudioEngine* e, AudioSound* s) {
  threadMutexLock(&e->lock);
  b8 p = s->playing != 0;
  threadMutexUnlock(&e->lock);
  return p;
}

TEST_F(DiskAudio, PlayedClipIsInTheOutputBitForBit) {
  writeFloats(dir + "/in.raw", std::vector<f32>(4800, 0.0f));
  AudioEngine* e = audioEngineCreate(nullptr, nullptr, 48000, 2, 1024, nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(e, nullptr);
  const size_t frames = 24000 + 333;  // ends inside a period
  auto clip = noiseNoZeros(frames * 2, 77);
  AudioSound* s = audioEngineCreateClip(e, clip.data(), frames, 2);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(audioEngineStart(e), 0);
  nanoSleep(100'000'000);
  audioSoundPlay(e, s, 0);
  // The sampling profiler interrupts the audio thread with signals: its sleeps
  // and waits must carry on through them.
  struct sigaction sa {};
  sa.sa_handler = [](int) {};
  sigemptyset(&sa.sa_mask);
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);
  pthread_t audioThread = *threadPlatHandle(e->thread);
  const f64 deadline = clockNanos() + 5e9;
  u32 signals = 0;
  while (clipPlaying(e, s) && clockNanos() < deadline) {
    pthread_kill(audioThread, SIGUSR2);
    signals++;
    nanoSleep(1'000'000);
  }
  EXPECT_FALSE(clipPlaying(e, s)) << "the clip did not finish within 5 s";
  EXPECT_GT(signals, 100u);
  threadMutexLock(&e->runLock);
  EXPECT_EQ(e->running, 1) << "the audio thread stopped";
  threadMutexUnlock(&e->runLock);
  nanoSleep(200'000'000);
  audioEngineDestroy(e);  // closes the device: the file is complete
  sigaction(SIGUSR2, &old, nullptr);

  auto out = readFloats(dir + "/out.raw");
  ASSERT_GE(out.size(), frames * 2);
  // SDL writes silence while the queue is empty (before the clip, and whenever
  // the audio thread is late): drop all-zero frames, then the clip must follow
  // unchanged.
  std::vector<f32> played;
  size_t zeroRuns = 0;
  b8 inZeros = false, started = false;
  for (size_t f = 0; f + 1 < out.size(); f += 2) {
    const b8 zero = out[f] == 0.0f && out[f + 1] == 0.0f;
    if (zero) {
      if (started && !inZeros && played.size() < frames * 2) zeroRuns++;
      inZeros = true;
      continue;
    }
    inZeros = false;
    started = true;
    played.push_back(out[f]);
    played.push_back(out[f + 1]);
  }
  ASSERT_GE(played.size(), frames * 2);
  for (size_t i = 0; i < frames * 2; i++) ASSERT_EQ(played[i], clip[i]) << "sample " << i;
  std::printf("zero runs SDL inserted inside the clip (late audio thread): %zu\n", zeroRuns);
  // Nothing but silence after it: the clip ended inside a period.
  EXPECT_EQ(played.size(), frames * 2);
}

TEST_F(DiskAudio, CaptureGetsTheInputFileFiltered) {
  const size_t frames = 9600;
  auto input = noiseNoZeros(frames * 2, 91);
  writeFloats(dir + "/in.raw", input);
  struct Sink {
    std::vector<f32> got;
    std::atomic<size_t> count{0};
  } sink;
  sink.got.resize(frames * 2 * 4);
  AudioEngineFilterConfig cfg{};
  cfg.flags = AUDIO_ENGINE_FILTER_BANDPASS | AUDIO_ENGINE_FILTER_NLMS | AUDIO_ENGINE_FILTER_WIENER;
  auto collect = [](f32* samples, size_t n, i32 ch, void* data) -> i32 {
    auto* s = static_cast<Sink*>(data);
    size_t at = s->count.load(std::memory_order_relaxed);
    size_t take = std::min(n * (size_t)ch, s->got.size() - at);
    std::copy(samples, samples + take, s->got.begin() + (long)at);
    s->count.store(at + take, std::memory_order_release);
    return 0;
  };
  AudioEngine* e = audioEngineCreate(nullptr, nullptr, 48000, 2, 1024, &cfg, nullptr, nullptr, collect, &sink);
  ASSERT_NE(e, nullptr);
  ASSERT_NE(e->ab->captureDevice, 0u);
  ASSERT_EQ(audioEngineStart(e), 0);
  const f64 deadline = clockNanos() + 5e9;
  while (sink.count.load(std::memory_order_acquire) < frames * 2 && clockNanos() < deadline) nanoSleep(20'000'000);
  audioEngineStop(e);
  ASSERT_GE(sink.count.load(), frames * 2);

  // The chain written out: band-pass, echo canceller (its reference is the
  // silent playback, so it passes the signal through), noise suppressor.
  const f32 hpA = std::min(1.0f, std::exp(-6.2831855f * 120.0f / 48000.0f));
  const f32 lpA = std::clamp(1.0f - std::exp(-6.2831855f * 3500.0f / 48000.0f), 0.0f, 1.0f);
  for (int c = 0; c < 2; c++) {
    f32 xPrev = 0, yPrev = 0, z = 0, power = 1e-6f, noise = 1e-6f;
    for (size_t f = 0; f < frames; f++) {
      const f32 x = input[f * 2 + c];
      const f32 y = (x + yPrev - xPrev) * hpA;
      xPrev = x;
      yPrev = y;
      z += lpA * (y - z);
      const f32 v = std::clamp(z, -1.0f, 1.0f);
      power = power - 0.05f * (power - v * v);
      if (noise <= 0) noise = power;
      else if (power >= noise) noise += 0.1f * 0.005f * (power - noise);
      else noise += 0.005f * (power - noise);
      const f32 gain = std::max(power / (power + 1e-8f + noise), 0.1f);
      ASSERT_EQ(sink.got[f * 2 + c], gain * v) << "frame " << f << " channel " << c;
    }
  }
  audioEngineDestroy(e);
}

TEST_F(DiskAudio, MissingInputFileDisablesCaptureOnly) {
  AudioEngine* e = audioEngineCreate(nullptr, nullptr, 48000, 2, 1024, nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->ab->captureDevice, 0u);
  ASSERT_EQ(audioEngineStart(e), 0);
  nanoSleep(300'000'000);
  threadMutexLock(&e->runLock);
  EXPECT_EQ(e->running, 1);
  threadMutexUnlock(&e->runLock);
  audioEngineDestroy(e);
  struct stat st{};
  ASSERT_EQ(stat((dir + "/out.raw").c_str(), &st), 0);
  EXPECT_GE(st.st_size, 1024 * 8);
}

TEST_F(DiskAudio, UnknownPlaybackNameFails) {
  EXPECT_EQ(audioEngineCreate("Loudspeaker that is not there", nullptr, 48000, 2, 1024, nullptr, nullptr, nullptr,
                              nullptr, nullptr),
            nullptr);
}

}  // namespace
