// The voice panel's actions in the program: every status text, what a bad id
// or port does, and discovery's answers for a join. Sessions run on loopback
// with SDL's dummy audio driver; discovery is created (it only binds sockets)
// but never ticked here, so nothing is sent beyond loopback.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/state.h"
#include "platform/clock.h"
#include "platform/memory.h"
#include "tests/components/voip_test_util.h"

namespace {

struct App {
  State* s;
  App(b8 audio, b8 discovery) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    setenv("TERRAIN_DHT_BOOTSTRAP", "", 1);
    s = static_cast<State*>(memCalloc(1, sizeof(State)));
    if (audio) s->audio = audioEngineCreate(nullptr, nullptr, 48000, 2, 480, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (discovery) s->discovery = discoveryCreate(0, nullptr);
    s->voipPanel = voipPanelCreate();
  }
  ~App() {
    voipSessionClose(s);
    discoveryDestroy(s->discovery);
    audioEngineDestroy(s->audio);
    voipPanelDestroy(s->voipPanel);
    memFree(s);
  }
};

using voiptest::waitFor;

const char* kGoodId = "00112233445566778899AABBCCDDEEFF0a1b2c3d";

TEST(AppVoipActions, PortTextTable) {
  struct Case {
    const char* text;
    b8 ok;
    u16 port;
  } cases[] = {{"40000", true, 40000}, {"1", true, 1},      {"65535", true, 65535}, {"0", false, 0},
               {"65536", false, 0},    {"", false, 0},      {"4000a", false, 0},    {" 40000", false, 0},
               {"+1", false, 0},       {"-1", false, 0},    {"99999999999999999999", false, 0}};
  for (const Case& c : cases) {
    u16 port = 7;
    EXPECT_EQ(appParsePort(c.text, &port), c.ok) << c.text;
    EXPECT_EQ(port, c.ok ? c.port : 7) << c.text;
  }
  u16 port = 7;
  EXPECT_FALSE(appParsePort(nullptr, &port));
}

TEST(AppVoipActions, ServiceIdTable) {
  struct Case {
    std::string text;
    b8 ok;
  } cases[] = {{kGoodId, true},
               {std::string(" ") + kGoodId + "\r\n", true},
               {std::string(kGoodId).substr(0, 39), false},
               {std::string(kGoodId) + "0", false},
               {std::string(kGoodId).replace(7, 1, "g"), false},
               {std::string(kGoodId).replace(20, 1, " "), false},
               {"", false}};
  for (const Case& c : cases) {
    u8 id[20] = {};
    EXPECT_EQ(appParseServiceId(c.text.c_str(), id), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(id[0], 0x00);
      EXPECT_EQ(id[10], 0xAA);
      EXPECT_EQ(id[19], 0x3d);
    }
  }
}

// Each action without what it needs says so and starts nothing.
TEST(AppVoipActions, StatusTextTable) {
  struct Case {
    b8 audio, discovery;
    u32 action;
    const char* joinId;
    const char* status;
  } cases[] = {
      {false, false, kVoipPanelHost, "", "No audio engine"},
      {false, true, kVoipPanelJoin, kGoodId, "No audio engine"},
      {true, false, kVoipPanelHost, "", "No discovery"},
      {true, false, kVoipPanelJoin, kGoodId, "No discovery"},
      {true, true, kVoipPanelJoin, "", "Bad ID"},
      {true, true, kVoipPanelJoin, "0011223344556677889900112233445566778899a", "Bad ID"},
      {true, true, kVoipPanelStop, "", "Stopped"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    App app(c.audio, c.discovery);
    ASSERT_EQ(app.s->audio != nullptr, c.audio) << "no dummy audio device";
    ASSERT_EQ(app.s->discovery != nullptr, c.discovery);
    voipPanelSetJoinId(app.s->voipPanel, c.joinId);
    appVoipPanelActions(app.s, c.action, nullptr, nullptr);
    EXPECT_STREQ(app.s->voipStatus, c.status);
    EXPECT_EQ(app.s->voip, nullptr);
    EXPECT_FALSE(app.s->voipAdvertising);
    EXPECT_FALSE(app.s->voipResolving);
  }
}

// A 39-character id while a session runs: "Bad ID", the session goes on.
TEST(AppVoipActions, BadIdLeavesTheRunningSessionAlone) {
  App app(true, true);
  ASSERT_TRUE(appVoipJoin(app.s, 0, nullptr));
  Voip* running = app.s->voip;
  voipPanelSetJoinId(app.s->voipPanel, std::string(kGoodId).substr(0, 39).c_str());
  appVoipPanelActions(app.s, kVoipPanelJoin, nullptr, nullptr);
  EXPECT_STREQ(app.s->voipStatus, "Bad ID");
  EXPECT_EQ(app.s->voip, running);
  EXPECT_EQ(app.s->voip->running.load(), 1);
  appVoipPanelActions(app.s, kVoipPanelStop, nullptr, nullptr);
  EXPECT_EQ(app.s->voip, nullptr);
  EXPECT_STREQ(app.s->voipStatus, "Stopped");
}

// Only the current join's id on a live client session counts; the first
// answer sets the host, later ones are ignored; "Connected" once it is heard.
TEST(AppVoipActions, DiscoveryAnswersForTheJoin) {
  VoipConfig cfg;
  appVoipConfig(&cfg);
  Voip* host = voipCreate(&cfg, 0, nullptr);
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(voipStart(host), 0);
  const NetAddr hostAddr = netAddrV4(127, 0, 0, 1, voipLocalPort(host));
  const NetAddr other = netAddrV4(127, 0, 0, 1, 9);
  u8 id[20], wrong[20];
  ASSERT_TRUE(appParseServiceId(kGoodId, id));
  std::memcpy(wrong, id, 20);
  wrong[19] ^= 1;

  App app(true, false);
  // No session: nothing happens.
  discoCallback(app.s, id, hostAddr);
  EXPECT_FALSE(app.s->voipAwaitingHost);
  ASSERT_TRUE(appVoipJoin(app.s, 0, nullptr));
  std::memcpy(app.s->voipJoinId, id, 20);
  app.s->voipResolving = true;
  discoCallback(nullptr, id, hostAddr);
  discoCallback(app.s, wrong, hostAddr);
  EXPECT_TRUE(app.s->voipResolving) << "another id's answer was taken";
  EXPECT_FALSE(app.s->voipAwaitingHost);
  discoCallback(app.s, id, hostAddr);
  EXPECT_FALSE(app.s->voipResolving) << "the first answer ends the search";
  EXPECT_TRUE(app.s->voipAwaitingHost);
  discoCallback(app.s, id, other);
  {
    threadMutexLock(&app.s->voip->peerMu);
    EXPECT_TRUE(netAddrEqual(&app.s->voip->hostAddr, &hostAddr)) << "a later answer replaced the host";
    threadMutexUnlock(&app.s->voip->peerMu);
  }
  EXPECT_STREQ(app.s->voipStatus, "Searching...");
  EXPECT_TRUE(waitFor([&] { return voipHostHeard(app.s->voip); }, 3000));
  appVoipUpdate(app.s);
  EXPECT_STREQ(app.s->voipStatus, "Connected");

  // A hosting session takes no answers.
  voipSessionClose(app.s);
  ASSERT_TRUE(appVoipHost(app.s, 0));
  std::memcpy(app.s->voipJoinId, id, 20);
  app.s->voipResolving = true;
  discoCallback(app.s, id, hostAddr);
  EXPECT_FALSE(app.s->voipAwaitingHost);
  voipSessionClose(app.s);
  EXPECT_FALSE(app.s->voipResolving) << "closing ends the search";
  voipDestroy(host);
}

// A device choice closes the session and restarts the engine on it; a device
// that cannot open leaves the program without sound, not with a stale engine.
TEST(AppVoipActions, DeviceChoiceRestartsTheEngine) {
  App app(true, false);
  ASSERT_TRUE(appVoipJoin(app.s, 0, nullptr));
  // An unknown input only drops capture: the engine comes back on the default output.
  appVoipPanelActions(app.s, 0, nullptr, "no such microphone");
  EXPECT_EQ(app.s->voip, nullptr);
  EXPECT_STREQ(app.s->voipStatus, "Stopped");
  ASSERT_NE(app.s->audio, nullptr);
  EXPECT_EQ(app.s->explosionSound, nullptr) << "no asset beside the test";
  // An unknown output: no engine at all, and the program goes on.
  appVoipPanelActions(app.s, 0, "no such speakers", nullptr);
  EXPECT_EQ(app.s->audio, nullptr);
  EXPECT_EQ(app.s->explosionSound, nullptr);
  appVoipPanelActions(app.s, kVoipPanelHost, nullptr, nullptr);
  EXPECT_STREQ(app.s->voipStatus, "No audio engine");
}

}  // namespace
