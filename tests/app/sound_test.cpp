// The program's sound glue with a real engine (SDL's dummy driver, thread not
// started, periods mixed by the test): a blast restarts the explosion sound
// from its first sample, and a missing sound file leaves the engine running.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "app/state.h"
#include "platform/memory.h"

namespace {

constexpr i32 kW = 1280, kH = 720;

struct Sound : testing::Test {
  void SetUp() override {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    memoryInit(~0ull, ~0ull);
    s = static_cast<State*>(memCalloc(1, sizeof(State)));
    ASSERT_NE(s, nullptr);
    s->tornadoFieldIdx = -1;
    s->windowW = kW;
    s->windowH = kH;
    s->explosionParticleEmitterId = kParticleNoEmitter;
    gizmoInit(&s->gizmo);
    ASSERT_TRUE(ecsInit(&s->ecs, kAppMaxEntities));
    appRegisterComponents(&s->ecs);
    ASSERT_TRUE(worldInit(&s->world, nullptr));
    Camera cam = CameraCreateFull(V3(0, 80, 100), V3(0, 25, 0), V3(0, 1, 0), 1.0471975511965976, (f64)kW / kH, 0.1,
                                  500000.0);
    localPlayerInit(&s->player, &cam, 0);
    s->localPlayerCount = 1;
    ASSERT_TRUE(sceneBuildDemo(s));
  }
  void TearDown() override {
    appAudioShutdown(s);
    physicsStop(s);
    worldDestroy(&s->world);
    ecsDestroy(&s->ecs);
    memFree(s);
  }
  void clickCentre() {
    bool quit = false;
    InputEvent ev{};
    ev.type = InputEventMouseMotion;
    ev.motion = {kW / 2, kH / 2 + 60, 0, 0};
    handleInputEvent(s, nullptr, &ev, &quit, 1.0 / 60.0);
    ev = InputEvent{};
    ev.type = InputEventMouseButton;
    ev.button = InputMouseLeft;
    ev.value = 1;
    handleInputEvent(s, nullptr, &ev, &quit, 1.0 / 60.0);
    ev.value = 0;
    handleInputEvent(s, nullptr, &ev, &quit, 1.0 / 60.0);
  }
  State* s = nullptr;
};

TEST_F(Sound, WithoutTheSoundFileTheEngineStillRuns) {
  // The test runs where no asset/ folder is.
  ASSERT_TRUE(appAudioStart(s, nullptr, nullptr));
  EXPECT_NE(s->audio, nullptr);
  EXPECT_EQ(s->explosionSound, nullptr);
  s->mouseBlastMode = true;
  clickCentre();  // a blast without a sound: no crash, nothing plays
  ASSERT_TRUE(s->blastMarkerValid);
  appAudioShutdown(s);
  EXPECT_EQ(s->audio, nullptr);
  EXPECT_EQ(s->explosionSound, nullptr);
}

TEST_F(Sound, ABlastPlaysTheExplosionFromItsStart) {
  ASSERT_TRUE(appAudioStart(s, nullptr, nullptr));
  audioEngineStop(s->audio);  // the test mixes the periods itself
  std::vector<f32> boom(4096 * 2);
  for (size_t i = 0; i < boom.size(); i++) boom[i] = 0.5f * (f32)((i % 97) + 1) / 97.0f;
  s->explosionSound = audioEngineCreateClip(s->audio, boom.data(), 4096, 2);
  ASSERT_NE(s->explosionSound, nullptr);
  s->mouseBlastMode = true;
  std::vector<f32> out(1024 * 2);
  for (int blast = 0; blast < 2; blast++) {
    clickCentre();
    ASSERT_TRUE(s->blastMarkerValid);
    // Each blast starts the sound over, also halfway through the last one.
    ASSERT_EQ(engineSinkCallback(out.data(), 1024, 2, s->audio), 0);
    for (size_t i = 0; i < out.size(); i++) ASSERT_EQ(out[i], 0.0f + boom[i]) << "blast " << blast << " sample " << i;
    ASSERT_EQ(engineSinkCallback(out.data(), 1024, 2, s->audio), 0);
  }
  EXPECT_EQ(s->explosionSound->cursor, 2048u);
}

}  // namespace
