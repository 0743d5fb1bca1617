// The program's audio engine and the blast sound: created at start-up (and again
// when the user picks other devices), released at shutdown. A missing device
// or asset leaves sound off, never the program.
#include "app/state.h"

namespace {

constexpr u32 kAudioRate = 48000;
constexpr i32 kAudioChannels = 2;
constexpr size_t kAudioBufferFrames = 2048;
constexpr const char* kExplosionPath = "asset/explosion.ogg";

}  // namespace

b8 appAudioStart(State* s, const char* sinkDevice, const char* sourceDevice) {
  s->audio = audioEngineCreate(sinkDevice, sourceDevice, kAudioRate, kAudioChannels, kAudioBufferFrames, nullptr,
                               nullptr, nullptr, nullptr, nullptr);
  s->explosionSound = nullptr;
  if (!s->audio) return false;
  audioEngineStart(s->audio);
  s->explosionSound = audioEngineLoadOgg(s->audio, kExplosionPath);
  return true;
}

void appAudioShutdown(State* s) {
  if (!s->audio) return;
  if (s->voip) voipSessionClose(s);  // its callbacks point into the session
  if (s->explosionSound) audioSoundDestroy(s->audio, s->explosionSound);
  s->explosionSound = nullptr;
  audioEngineDestroy(s->audio);
  s->audio = nullptr;
}

void appPlayExplosion(State* s) {
  if (!s->audio || !s->explosionSound) return;
  audioSoundStop(s->audio, s->explosionSound);
  audioSoundPlay(s->audio, s->explosionSound, 0);
}
