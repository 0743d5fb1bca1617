// gen_explosion OUT: writes the blast sound, a burst of decaying noise over a
// falling rumble, 48 kHz stereo Opus in Ogg. Same bytes on every run: the
// noise has a fixed seed and the encoder fixed settings.
#include <opus/opus.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "tools/oggwrite.h"

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int kFrameSize = 960;  // 20 ms
constexpr double kSeconds = 1.6;
constexpr float kPeak = 0.63f;  // -4 dBFS before coding, so the decoded peak stays under -3 dBFS

struct Rng {
  unsigned state = 0x2545F491u;
  float next() {  // uniform in [-1, 1)
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return (float)(state >> 8) / 8388608.0f - 1.0f;
  }
};

std::vector<float> synthesise() {
  const int n = (int)(kSeconds * kRate);
  std::vector<float> pcm((size_t)n * kChannels);
  Rng rng;
  float lp[2] = {0, 0}, lp2[2] = {0, 0};
  double phase = 0;
  for (int i = 0; i < n; i++) {
    const double t = (double)i / kRate;
    // Noise: sharp attack, fast decay, getting duller as it fades.
    const double attack = std::min(1.0, t / 0.004);
    const double noiseEnv = attack * std::exp(-t / 0.22);
    const float cutoff = (float)(0.02 + 0.5 * std::exp(-t / 0.12));
    const float common = rng.next();
    // Rumble: a sine sliding from 100 Hz down to 30 Hz under a slower decay.
    const double freq = 30.0 + 70.0 * std::exp(-t / 0.35);
    phase += 2.0 * M_PI * freq / kRate;
    const double rumble = std::min(1.0, t / 0.01) * std::exp(-t / 0.55) * std::sin(phase);
    for (int c = 0; c < kChannels; c++) {
      const float x = 0.7f * common + 0.3f * rng.next();
      lp[c] += cutoff * (x - lp[c]);
      lp2[c] += cutoff * (lp[c] - lp2[c]);
      pcm[(size_t)i * kChannels + c] = (float)(1.6 * noiseEnv * lp2[c] + 0.8 * rumble);
    }
  }
  float peak = 0;
  for (float v : pcm) peak = std::max(peak, std::fabs(v));
  for (float& v : pcm) v *= kPeak / peak;
  return pcm;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: gen_explosion OUT.ogg\n");
    return 2;
  }
  std::vector<float> pcm = synthesise();
  const int frames = (int)(pcm.size() / kChannels);
  int err = 0;
  OpusEncoder* enc = opus_encoder_create(kRate, kChannels, OPUS_APPLICATION_AUDIO, &err);
  if (!enc || err != OPUS_OK) {
    std::fprintf(stderr, "gen_explosion: encoder: %s\n", opus_strerror(err));
    return 1;
  }
  opus_encoder_ctl(enc, OPUS_SET_BITRATE(96000));
  opus_encoder_ctl(enc, OPUS_SET_COMPLEXITY(10));
  opus_int32 lookahead = 0;
  opus_encoder_ctl(enc, OPUS_GET_LOOKAHEAD(&lookahead));

  std::vector<OggPacketIn> packets;
  packets.push_back({opusHeadPacket(kChannels, (u16)lookahead, 0), 0, true});
  packets.push_back({opusTagsPacket("terrain gen_explosion"), 0, true});
  // The decoder's output lags by the lookahead: feed that much silence after
  // the sound so all of it comes out, then the last granule cuts the padding.
  const long total = (long)frames + lookahead;
  const long nPackets = (total + kFrameSize - 1) / kFrameSize;
  pcm.resize((size_t)nPackets * kFrameSize * kChannels, 0.0f);
  std::vector<unsigned char> out(4000);
  for (long k = 0; k < nPackets; k++) {
    const int bytes = opus_encode_float(enc, pcm.data() + (size_t)k * kFrameSize * kChannels, kFrameSize, out.data(),
                                        (opus_int32)out.size());
    if (bytes < 0) {
      std::fprintf(stderr, "gen_explosion: encode: %s\n", opus_strerror(bytes));
      opus_encoder_destroy(enc);
      return 1;
    }
    const long granule = std::min((k + 1) * (long)kFrameSize, total);
    packets.push_back({std::vector<u8>(out.begin(), out.begin() + bytes), granule, false});
  }
  opus_encoder_destroy(enc);
  if (!oggWritePackets(argv[1], 0x45585031u, packets)) {
    std::fprintf(stderr, "gen_explosion: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
