// soundmatch CLIP.ogg PLAYED.raw: how closely a recording of the program's
// output (48 kHz stereo float, as SDL's disk driver writes it) holds the clip.
// Finds the first sound in the recording and prints the largest normalised
// cross-correlation of the clip with it within 50 ms either side. Exit 0 when
// both could be read, 1 otherwise.
#include <cmath>
#include <cstdio>
#include <vector>

#include "components/audio.h"
#include "platform/memory.h"

namespace {

constexpr u32 kRate = 48000;
constexpr i32 kChannels = 2;
constexpr long kSearch = kRate / 20;  // frames either side of the onset
constexpr f32 kOnset = 1e-3f;  // well above rounding noise, far below the clip's start

b8 readRaw(const char* path, std::vector<f32>* out) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  f32 buf[4096];
  size_t n;
  while ((n = std::fread(buf, sizeof(f32), 4096, f)) > 0) out->insert(out->end(), buf, buf + n);
  std::fclose(f);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: soundmatch CLIP.ogg PLAYED.raw\n");
    return 1;
  }
  memoryInit(~0ull, ~0ull);
  // The engine's own decoder (no device is started).
  AudioEngine* e = audioEngineCreate(nullptr, nullptr, kRate, kChannels, 2048, nullptr, nullptr, nullptr, nullptr,
                                     nullptr);
  AudioSound* clip = e ? audioEngineLoadOgg(e, argv[1]) : nullptr;
  std::vector<f32> played;
  if (!clip || !readRaw(argv[2], &played)) {
    std::fprintf(stderr, "soundmatch: cannot read %s\n", clip ? argv[2] : argv[1]);
    return 1;
  }
  std::vector<f32> a(clip->pcm, clip->pcm + clip->frames * kChannels);
  audioSoundDestroy(e, clip);
  audioEngineDestroy(e);
  long frames = (long)played.size() / kChannels, clipFrames = (long)a.size() / kChannels;
  long onset = -1;
  for (long i = 0; i < frames && onset < 0; i++)
    if (std::fabs(played[2 * i]) > kOnset || std::fabs(played[2 * i + 1]) > kOnset) onset = i;
  if (onset < 0) {
    std::printf("ncc 0.000 (silence)\n");
    return 0;
  }
  f64 aa = 0;
  for (f32 v : a) aa += (f64)v * v;
  f64 best = 0;
  long bestLag = 0;
  for (long lag = onset - kSearch; lag <= onset + kSearch; lag++) {
    f64 ab = 0, bb = 0;
    for (long i = 0; i < clipFrames; i++) {
      long j = lag + i;
      if (j < 0 || j >= frames) continue;
      for (int c = 0; c < kChannels; c++) {
        f64 x = a[2 * i + c], y = played[2 * j + c];
        ab += x * y;
        bb += y * y;
      }
    }
    f64 ncc = aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
    if (ncc > best) best = ncc, bestLag = lag;
  }
  std::printf("ncc %.3f at frame %ld (onset %ld)\n", best, bestLag, onset);
  return 0;
}
