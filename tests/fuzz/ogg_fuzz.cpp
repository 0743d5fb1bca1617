// The Ogg Opus clip loader on arbitrary bytes. The first byte picks the
// engine's channel count and rate; the rest is the file. Whatever loads must be
// a consistent clip; nothing may crash or leak.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "components/audio.h"

namespace {

// The loader needs the engine's format and its sound list, not a device.
AudioEngine* engineFor(u8 selector) {
  static AudioEngine engines[4];
  static bool ready = false;
  if (!ready) {
    for (int i = 0; i < 4; i++) {
      engines[i].outChannels = 1 + (i & 1);
      engines[i].sampleRate = (i & 2) ? 16000 : 48000;
      engines[i].underrunGain = 1.0f;
      threadMutexInit(&engines[i].lock);
    }
    ready = true;
  }
  return &engines[selector & 3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  AudioEngine* e = engineFor(data[0]);
  static int fd = -1;
  if (fd < 0) fd = memfd_create("fuzz_ogg", 0);
  if (fd < 0) std::abort();
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data + 1, size - 1, 0) != (ssize_t)(size - 1)) std::abort();
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  AudioSound* s = audioEngineLoadOgg(e, path);
  if (s) {
    if (s->frames == 0 || s->channels != e->outChannels || s->sr != e->sampleRate || e->soundCount != 1 ||
        s->frames > (size_t)kAudioMaxClipSeconds * e->sampleRate)
      std::abort();
    // Every decoded sample is read once (ASan checks the extent).
    volatile float sum = 0;
    for (size_t i = 0; i < s->frames * (size_t)s->channels; i++) sum = sum + s->pcm[i];
    audioSoundDestroy(e, s);
  }
  return 0;
}
