// The running engine (SDL's dummy device, real audio thread) while another
// thread loads, plays, stops, seeks, destroys, pushes stream frames and swaps
// the user callbacks, freeing the old callback data at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "components/audio.h"
#include "platform/clock.h"
#include "platform/memory.h"

namespace {

struct Meter {
  std::atomic<u64> calls{0};
  f32 last = 0;  // written by the audio thread only while this record is installed
};

i32 sinkMeter(f32* samples, size_t frames, i32 channels, void* data) {
  auto* m = static_cast<Meter*>(data);
  m->last = frames ? samples[(frames - 1) * (size_t)channels] : 0.0f;
  m->calls.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

i32 sourceMeter(f32* samples, size_t frames, i32, void* data) {
  auto* m = static_cast<Meter*>(data);
  m->last = frames ? samples[0] : 0.0f;
  m->calls.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

TEST(AudioThreads, ControlsAndCallbackSwapsWhileTheAudioThreadMixes) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  AudioEngineFilterConfig cfg{};
  cfg.flags = AUDIO_ENGINE_FILTER_BANDPASS | AUDIO_ENGINE_FILTER_NLMS | AUDIO_ENGINE_FILTER_WIENER;
  cfg.nlmsTaps = 64;
  AudioEngine* e = audioEngineCreate(nullptr, nullptr, 48000, 2, 256, &cfg, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(audioEngineStart(e), 0);
  std::vector<f32> pcm(4800 * 2);
  for (size_t i = 0; i < pcm.size(); i++) pcm[i] = 0.1f * (f32)((i * 7919) % 200) / 200.0f;
  CircBuffer ring = CircBufferAlloc(16384, 1);
  AudioSound* stream = audioEngineCreateStream(e, ring, 2, 48000);
  ASSERT_NE(stream, nullptr);
  audioSoundPlay(e, stream, 1);

  u64 swaps = 0, totalCalls = 0;
  Meter* meter = nullptr;
  const f64 end = clockNanos() + 0.6e9;
  for (u32 round = 0; clockNanos() < end; round++) {
    AudioSound* s = audioEngineCreateClip(e, pcm.data(), 4800, 2);
    ASSERT_NE(s, nullptr);
    audioSoundPlay(e, s, round & 1);
    audioSoundSetVolume(e, s, 0.5f);
    audioSoundPushFrames(e, stream, pcm.data(), 300);
    auto* next = new Meter;
    audioEngineSetCallbacks(e, sinkMeter, next, sourceMeter, next);
    if (meter) {
      totalCalls += meter->calls.load();
      delete meter;  // no longer reachable from the audio thread
    }
    meter = next;
    swaps++;
    nanoSleep(1'000'000);
    audioSoundSeekSeconds(e, s, 0.05f);
    audioSoundSkipSeconds(e, s, 0.01f);
    if (round % 3 == 0) audioSoundStop(e, stream);
    audioSoundPause(e, s);
    audioSoundDestroy(e, s);
  }
  audioEngineSetCallbacks(e, nullptr, nullptr, nullptr, nullptr);
  totalCalls += meter->calls.load();
  delete meter;
  // Still running: the thread never stopped on an error.
  threadMutexLock(&e->runLock);
  EXPECT_EQ(e->running, 1);
  threadMutexUnlock(&e->runLock);
  audioEngineStop(e);
  EXPECT_GT(swaps, 20u);
  EXPECT_GT(totalCalls, 20u);
  audioSoundDestroy(e, stream);
  audioEngineDestroy(e);
  CircBufferDealloc(ring);
}

}  // namespace
