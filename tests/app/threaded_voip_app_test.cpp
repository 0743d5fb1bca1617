// The program's voice glue with a real audio engine (SDL's dummy driver):
// sessions hosted and joined on loopback, the callbacks installed and removed,
// and sessions closed while another thread runs the engine's callbacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <cstdlib>
#include <thread>
#include <vector>

#include "app/state.h"
#include "platform/clock.h"
#include "platform/memory.h"

namespace {

State* newState() {
  // Sessions close on shutdown; a State starts without one.
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  State* s = static_cast<State*>(memCalloc(1, sizeof(State)));
  // The engine is not started: the test thread plays its audio thread.
  s->audio = audioEngineCreate(nullptr, nullptr, 48000, 2, 480, nullptr, nullptr, nullptr, nullptr, nullptr);
  return s;
}

void freeState(State* s) {
  voipSessionClose(s);
  audioEngineDestroy(s->audio);
  memFree(s);
}

template <class F>
bool waitFor(F pred, u32 ms) {
  const f64 end = clockNanos() + ms * 1e6;
  while (!pred()) {
    if (clockNanos() > end) return false;
    nanoSleep(2000000);
  }
  return true;
}

// Plays `periods` device periods: the other side's tone into its session, the
// engine's callbacks for the State; returns the energy in the State's mix.
f64 talk(State* s, Voip* other, int periods) {
  std::vector<f32> buf(480 * 2), tone(480 * 2);
  f64 energy = 0;
  for (int k = 0; k < periods; ++k) {
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.3f * (f32)std::sin((k * 480 + i / 2) * 0.07);
    voipAudioSource(tone.data(), 480, 2, other);
    std::fill(buf.begin(), buf.end(), 0.0f);
    voipAudioSink(buf.data(), 480, 2, other);
    std::fill(buf.begin(), buf.end(), 0.0f);
    engineSourceCallback(buf.data(), 480, 2, s->audio);
    engineSinkCallback(buf.data(), 480, 2, s->audio);
    if (k >= periods / 2)
      for (f32 x : buf) energy += x * x;
    nanoSleep(5000000);
  }
  return energy;
}

Voip* plainSession(const NetAddr* host) {
  VoipConfig cfg;
  appVoipConfig(&cfg);
  Voip* v = voipCreate(&cfg, 0, host);
  if (v && voipStart(v) != 0) {
    voipDestroy(v);
    return nullptr;
  }
  return v;
}

// One engine per process (SDL's device), so the other side is a plain session.
TEST(AppVoip, TheProgramHostsAndItsSpeakersPlayTheClient) {
  State* a = newState();
  ASSERT_TRUE(a->audio);
  ASSERT_TRUE(appVoipHost(a, 0));
  ASSERT_NE(a->voip, nullptr);
  EXPECT_TRUE(voipIsHost(a->voip));
  EXPECT_EQ(a->voip->cfg.channels, 2);
  EXPECT_EQ(a->voip->cfg.bitrate, 48000);
  EXPECT_EQ(a->voip->cfg.nlmsTaps, 64u);
  const u16 port = voipLocalPort(a->voip);
  EXPECT_EQ(std::string(a->voipStatus), "Hosting on " + std::to_string(port));
  const NetAddr host = netAddrV4(127, 0, 0, 1, port);
  Voip* c = plainSession(&host);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(waitFor([&] { return voipPeerCount(a->voip) == 1; }, 3000));
  EXPECT_GT(talk(a, c, 80), 1.0) << "the client did not reach the program's speakers";
  voipSessionClose(a);
  EXPECT_EQ(a->voip, nullptr);
  EXPECT_STREQ(a->voipStatus, "Stopped");
  // The callbacks are gone: the engine's mix no longer passes through a session.
  EXPECT_LT(talk(a, c, 10), 1e-9);
  voipDestroy(c);
  freeState(a);
}

TEST(AppVoip, TheProgramJoinsOnceTheHostIsFound) {
  Voip* h = plainSession(nullptr);
  ASSERT_NE(h, nullptr);
  State* b = newState();
  ASSERT_TRUE(b->audio);
  ASSERT_TRUE(appVoipJoin(b, 0, nullptr));
  EXPECT_STREQ(b->voipStatus, "Searching...");
  EXPECT_FALSE(voipIsHost(b->voip));
  nanoSleep(100000000);
  EXPECT_EQ(voipPeerCount(h), 0u) << "a join went out before the host was known";
  const NetAddr host = netAddrV4(127, 0, 0, 1, voipLocalPort(h));
  appVoipFound(b, &host);
  // An address alone is not a connection: "Connected" once the host answers.
  EXPECT_STREQ(b->voipStatus, "Searching...");
  EXPECT_TRUE(waitFor([&] { return voipHostHeard(b->voip); }, 3000));
  appVoipUpdate(b);
  EXPECT_STREQ(b->voipStatus, "Connected");
  EXPECT_TRUE(waitFor([&] { return voipPeerCount(h) == 1; }, 3000));
  EXPECT_GT(talk(b, h, 80), 1.0) << "the host did not reach the program's speakers";
  freeState(b);
  voipDestroy(h);
}

TEST(AppVoip, WithoutASessionTheEngineMixIsLeftAlone) {
  State* s = newState();
  ASSERT_TRUE(s->audio);
  f32 mix[6] = {0.5f, -2.0f, 3.0f, 0.0f, -0.25f, 1.5f};
  const std::vector<f32> before(mix, mix + 6);
  EXPECT_EQ(voipAudioSinkCb(mix, 3, 2, s), 0);
  EXPECT_EQ(std::vector<f32>(mix, mix + 6), before);
  EXPECT_EQ(voipAudioSourceCb(mix, 3, 2, s), 0);
  // No engine: a clear status, no session.
  AudioEngine* e = s->audio;
  s->audio = nullptr;
  EXPECT_FALSE(appVoipHost(s, 0));
  EXPECT_STREQ(s->voipStatus, "No audio engine");
  EXPECT_EQ(s->voip, nullptr);
  s->audio = e;
  freeState(s);
}

TEST(AppVoip, SessionsCloseWhileTheAudioThreadRunsTheCallbacks) {
  State* s = newState();
  ASSERT_TRUE(s->audio);
  std::atomic<bool> stop{false};
  std::atomic<u64> periods{0};
  std::thread audio([&] {
    std::vector<f32> buf(480 * 2, 0.1f);
    while (!stop.load()) {
      engineSourceCallback(buf.data(), 480, 2, s->audio);
      engineSinkCallback(buf.data(), 480, 2, s->audio);
      periods.fetch_add(1);
    }
  });
  for (int round = 0; round < 12; ++round) {
    ASSERT_TRUE(round % 2 ? appVoipJoin(s, 0, nullptr) : appVoipHost(s, 0));
    const u64 seen = periods.load();
    ASSERT_TRUE(waitFor([&] { return periods.load() > seen + 4; }, 3000));
    voipSessionClose(s);
  }
  stop = true;
  audio.join();
  freeState(s);
}

}  // namespace
