// A voice chat participant as its own process, for tests across processes and
// network namespaces: hosts, or joins a host's address; the microphone is a
// tone or a raw float file, the loudspeaker a raw float file. Callbacks run at
// real-time pace from this program's main thread, as the audio engine would.
//
//   voip_peer [--port P] [--join ADDR:PORT] [--tone HZ | --in FILE] --out FILE
//             [--seconds S] [--period FRAMES]
//
// Prints "port N" once listening (stdout, flushed), and at the end
// "peers N heard H sent S decoded D".
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "components/voip.h"
#include "platform/clock.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: voip_peer [--port P] [--join ADDR:PORT] [--tone HZ | --in FILE] --out FILE [--seconds S] "
               "[--period FRAMES]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long port = 0, period = 480;
  double seconds = 3.0, tone = 0.0;
  const char *join = nullptr, *inPath = nullptr, *outPath = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const char* val = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!val) return usage();
    char* end = nullptr;
    if (!std::strcmp(a, "--port")) {
      port = std::strtoul(val, &end, 10);
      if (*end || port > 65535) return usage();
    } else if (!std::strcmp(a, "--join")) {
      join = val;
    } else if (!std::strcmp(a, "--tone")) {
      tone = std::strtod(val, &end);
      if (*end || tone < 0) return usage();
    } else if (!std::strcmp(a, "--in")) {
      inPath = val;
    } else if (!std::strcmp(a, "--out")) {
      outPath = val;
    } else if (!std::strcmp(a, "--seconds")) {
      seconds = std::strtod(val, &end);
      if (*end || !(seconds > 0 && seconds < 3600)) return usage();
    } else if (!std::strcmp(a, "--period")) {
      period = std::strtoul(val, &end, 10);
      if (*end || period == 0 || period > 8192) return usage();
    } else {
      return usage();
    }
    ++i;
  }
  if (!outPath) return usage();

  std::vector<float> input;
  if (inPath) {
    FILE* f = std::fopen(inPath, "rb");
    if (!f) {
      std::fprintf(stderr, "voip_peer: cannot read '%s'\n", inPath);
      return 1;
    }
    float buf[4096];
    size_t n;
    while ((n = std::fread(buf, sizeof(float), 4096, f)) > 0) input.insert(input.end(), buf, buf + n);
    std::fclose(f);
  }

  NetAddr host{};
  if (join && !netAddrParse(join, &host)) {
    std::fprintf(stderr, "voip_peer: '%s' is not an address with a port\n", join);
    return 1;
  }
  VoipConfig cfg;
  voipConfigDefault(&cfg);
  Voip* v = voipCreate(&cfg, (u16)port, join ? &host : nullptr);
  if (!v || voipStart(v) != 0) {
    std::fprintf(stderr, "voip_peer: cannot start the voice chat on port %lu\n", port);
    voipDestroy(v);
    return 1;
  }
  std::printf("port %u\n", voipLocalPort(v));
  std::fflush(stdout);

  const u64 periods = (u64)(seconds * 48000.0 / (double)period);
  std::vector<float> mic(period), spk(period), out;
  out.reserve(periods * period);
  double phase = 0;
  size_t inPos = 0;
  const f64 start = clockNanos();
  for (u64 k = 0; k < periods; ++k) {
    for (u32 i = 0; i < period; ++i) {
      if (inPath) {
        mic[i] = inPos < input.size() ? input[inPos++] : 0.0f;
      } else {
        mic[i] = tone > 0 ? (float)(0.15 * std::sin(phase)) : 0.0f;  // five at once stay below clipping
        phase += 2.0 * M_PI * tone / 48000.0;
        if (phase > 2.0 * M_PI) phase -= 2.0 * M_PI;
      }
    }
    voipAudioSource(mic.data(), (u32)period, 1, v);
    std::fill(spk.begin(), spk.end(), 0.0f);
    voipAudioSink(spk.data(), (u32)period, 1, v);
    out.insert(out.end(), spk.begin(), spk.end());
    const f64 due = start + (f64)(k + 1) * period * 1e9 / 48000.0;
    const f64 now = clockNanos();
    if (due > now) nanoSleep((u64)(due - now));
  }
  const u32 peers = voipPeerCount(v);
  const b8 heard = voipHostHeard(v);
  const u64 sent = v->framesSent.load(), decoded = v->framesDecoded.load();
  voipDestroy(v);

  FILE* f = std::fopen(outPath, "wb");
  if (!f || std::fwrite(out.data(), sizeof(float), out.size(), f) != out.size()) {
    std::fprintf(stderr, "voip_peer: cannot write '%s'\n", outPath);
    if (f) std::fclose(f);
    return 1;
  }
  std::fclose(f);
  std::printf("peers %u heard %d sent %llu decoded %llu\n", peers, heard ? 1 : 0, (unsigned long long)sent,
              (unsigned long long)decoded);
  return 0;
}
