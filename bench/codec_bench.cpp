// Our v0.1 codec against libzstd levels 1 and 3 on the sample inputs and on
// world-like data. Prints Google Benchmark's report, then a table of sizes,
// speeds and the ratios the goals are stated in.
#include <benchmark/benchmark.h>
#include <zstd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "store/zstd01.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct DataSet {
  std::string name;
  Bytes data;
  size_t corpusFrame;  // size of the original compressor's frame; 0 for generated data
};

std::vector<DataSet> gSets;

bool readFile(const std::string& path, Bytes* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  out->clear();
  unsigned char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  std::fclose(f);
  return true;
}

unsigned long long gRng = 88172645463325252ull;
unsigned nextRandom() {
  gRng ^= gRng << 13;
  gRng ^= gRng >> 7;
  gRng ^= gRng << 17;
  return static_cast<unsigned>(gRng);
}

// 16-bit heights: rolling hills plus a little noise, as the terrain editor leaves them.
Bytes worldHeightmap(int side) {
  Bytes out(static_cast<size_t>(side) * side * 2);
  for (int y = 0; y < side; y++) {
    for (int x = 0; x < side; x++) {
      double h = 30000 + 6000 * std::sin(x * 0.031) * std::cos(y * 0.027) + 1500 * std::sin((x + y) * 0.11);
      int v = static_cast<int>(h) + static_cast<int>(nextRandom() % 9) - 4;
      size_t i = (static_cast<size_t>(y) * side + x) * 2;
      out[i] = static_cast<unsigned char>(v);
      out[i + 1] = static_cast<unsigned char>(v >> 8);
    }
  }
  return out;
}

// Four-channel splat weights: mostly the base layer, with painted blobs and
// soft edges where the brush blended two layers.
Bytes worldSplat(int side) {
  Bytes out(static_cast<size_t>(side) * side * 4);
  for (int y = 0; y < side; y++) {
    for (int x = 0; x < side; x++) {
      unsigned char px[4] = {255, 0, 0, 0};
      double d = std::hypot(x - side * 0.3, y - side * 0.6) / (side * 0.15);
      if (d < 1.0) {
        int w = static_cast<int>(255 * (1.0 - d));
        px[0] = static_cast<unsigned char>(255 - w);
        px[2] = static_cast<unsigned char>(w);
      }
      if ((y / 16) % 5 == 2 && x > side / 2) {
        px[0] = 40;
        px[3] = 215;
      }
      std::memcpy(&out[(static_cast<size_t>(y) * side + x) * 4], px, 4);
    }
  }
  return out;
}

// Entity records: id, type, flags, f32 position and rotation, a few zeros.
Bytes worldEntities(int count) {
  struct Record {
    unsigned id;
    unsigned short type, flags;
    float pos[3];
    float yaw;
    unsigned reserved[2];
  };
  Bytes out(sizeof(Record) * count);
  for (int i = 0; i < count; i++) {
    Record r{};
    r.id = 5000 + i;
    r.type = static_cast<unsigned short>(nextRandom() % 6);
    r.flags = r.type == 3 ? 1 : 0;
    r.pos[0] = static_cast<float>(nextRandom() % 2048) * 0.5f;
    r.pos[1] = 40.0f + static_cast<float>(nextRandom() % 64) * 0.25f;
    r.pos[2] = static_cast<float>(nextRandom() % 2048) * 0.5f;
    r.yaw = static_cast<float>((nextRandom() % 8) * 45);
    std::memcpy(&out[sizeof(Record) * i], &r, sizeof r);
  }
  return out;
}

void loadSets() {
  const char* corpus[] = {"empty",      "entities_64k", "heightmap_64k", "mixed_300k",   "one_byte", "random_4k",
                          "runs_64k",   "splat_64k",    "text_small",    "text_spec_60k", "zeros_64k"};
  const char* shared = std::getenv("TERRAIN_SHARED_DIR");
  std::string dir = std::string(shared ? shared : TERRAIN_SHARED_DIR) + "/formats/zstd-v01-corpus/";
  for (const char* name : corpus) {
    DataSet s{std::string("corpus/") + name, {}, 0};
    Bytes frame;
    if (readFile(dir + name + ".bin", &s.data) && readFile(dir + name + ".zst", &frame)) {
      s.corpusFrame = frame.size();
      gSets.push_back(std::move(s));
    }
  }
  if (gSets.empty()) std::printf("sample corpus not found in %s: world-like data only\n", dir.c_str());
  gSets.push_back({"world/heightmap_256x256", worldHeightmap(256), 0});
  gSets.push_back({"world/splat_256x256", worldSplat(256), 0});
  gSets.push_back({"world/entities_4096", worldEntities(4096), 0});
}

enum Codec { kOurs, kZstd1, kZstd3, kCodecs };
const char* kCodecNames[kCodecs] = {"ours", "zstd1", "zstd3"};

size_t compressWith(Codec c, Bytes* dst, const Bytes& src) {
  if (c == kOurs) return zstd01::ZSTD_compress(dst->data(), dst->size(), src.data(), src.size());
  return ZSTD_compress(dst->data(), dst->size(), src.data(), src.size(), c == kZstd1 ? 1 : 3);
}

size_t decompressWith(Codec c, Bytes* dst, const Bytes& frame, size_t frameSize) {
  if (c == kOurs) return zstd01::ZSTD_decompress(dst->data(), dst->size(), frame.data(), frameSize);
  return ZSTD_decompress(dst->data(), dst->size(), frame.data(), frameSize);
}

bool failed(Codec c, size_t r) { return c == kOurs ? zstd01::ZSTD_isError(r) != 0 : ZSTD_isError(r) != 0; }

std::map<std::string, size_t> gFrameSize;   // "set|codec" -> compressed bytes
std::map<std::string, double> gSeconds;     // "op|set|codec" -> seconds per iteration

void benchCompress(benchmark::State& state, size_t set, Codec c) {
  const Bytes& src = gSets[set].data;
  Bytes dst(ZSTD_compressBound(src.size()) + zstd01::ZSTD_compressBound(src.size()));
  size_t n = 0;
  for (auto _ : state) {
    n = compressWith(c, &dst, src);
    benchmark::DoNotOptimize(dst.data());
  }
  if (failed(c, n)) {
    state.SkipWithError("compression failed");
    return;
  }
  gFrameSize[gSets[set].name + "|" + kCodecNames[c]] = n;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * src.size()));
  state.counters["frame_bytes"] = static_cast<double>(n);
}

void benchDecompress(benchmark::State& state, size_t set, Codec c) {
  const Bytes& src = gSets[set].data;
  Bytes frame(ZSTD_compressBound(src.size()) + zstd01::ZSTD_compressBound(src.size()));
  size_t n = compressWith(c, &frame, src);
  Bytes out(src.size());  // exactly the input's size, as the store decodes
  size_t r = 0;
  for (auto _ : state) {
    r = decompressWith(c, &out, frame, n);
    benchmark::DoNotOptimize(out.data());
  }
  if (failed(c, r) || r != src.size() || out != src) {
    state.SkipWithError("decompression failed");
    return;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * src.size()));
}

class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred || r.iterations == 0) continue;
      // CPU time: one thread, and the build machines are shared.
      gSeconds[r.benchmark_name()] = r.cpu_accumulated_time / static_cast<double>(r.iterations);
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

double mbps(size_t bytes, double seconds) { return seconds > 0 ? bytes / seconds / 1e6 : 0; }

void printSummary() {
  std::printf("\nv0.1 codec against libzstd %s (MB/s of input; ratio = input / frame)\n", ZSTD_versionString());
  std::printf("%-26s %8s | %8s %8s %8s %8s | %7s %7s %7s | %7s %7s %7s | %6s %6s %6s\n", "data", "bytes", "ours",
              "zstd1", "zstd3", "v0.1 ref", "c ours", "c z1", "c z3", "d ours", "d z1", "d z3", "c/z1", "d/z1",
              "r/z1");
  size_t totIn = 0, tot[kCodecs] = {}, corpusOurs = 0, corpusRef = 0;
  double totC[kCodecs] = {}, totD[kCodecs] = {};
  for (const DataSet& s : gSets) {
    size_t size[kCodecs];
    double c[kCodecs], d[kCodecs];
    for (int k = 0; k < kCodecs; k++) {
      size[k] = gFrameSize[s.name + "|" + kCodecNames[k]];
      c[k] = gSeconds[std::string("compress/") + s.name + "/" + kCodecNames[k]];
      d[k] = gSeconds[std::string("decompress/") + s.name + "/" + kCodecNames[k]];
      tot[k] += size[k];
      totC[k] += c[k];
      totD[k] += d[k];
    }
    totIn += s.data.size();
    if (s.corpusFrame) {
      corpusOurs += size[kOurs];
      corpusRef += s.corpusFrame;
    }
    std::printf("%-26s %8zu | %8zu %8zu %8zu %8s | %7.0f %7.0f %7.0f | %7.0f %7.0f %7.0f | %6.2f %6.2f %6.2f\n",
                s.name.c_str(), s.data.size(), size[kOurs], size[kZstd1], size[kZstd3],
                s.corpusFrame ? std::to_string(s.corpusFrame).c_str() : "-", mbps(s.data.size(), c[kOurs]),
                mbps(s.data.size(), c[kZstd1]), mbps(s.data.size(), c[kZstd3]), mbps(s.data.size(), d[kOurs]),
                mbps(s.data.size(), d[kZstd1]), mbps(s.data.size(), d[kZstd3]), c[kZstd1] / c[kOurs],
                d[kZstd1] / d[kOurs], static_cast<double>(size[kZstd1]) / size[kOurs]);
  }
  double cr = totC[kZstd1] / totC[kOurs], dr = totD[kZstd1] / totD[kOurs];
  double rr = static_cast<double>(tot[kZstd1]) / tot[kOurs];
  std::printf("%-26s %8zu | %8zu %8zu %8zu %8s | %7.0f %7.0f %7.0f | %7.0f %7.0f %7.0f | %6.2f %6.2f %6.2f\n", "all",
              totIn, tot[kOurs], tot[kZstd1], tot[kZstd3], corpusRef ? std::to_string(corpusRef).c_str() : "-",
              mbps(totIn, totC[kOurs]), mbps(totIn, totC[kZstd1]), mbps(totIn, totC[kZstd3]), mbps(totIn, totD[kOurs]),
              mbps(totIn, totD[kZstd1]), mbps(totIn, totD[kZstd3]), cr, dr, rr);
  std::printf("\ngoal compress speed >= 0.50x level 1: %.2fx %s\n", cr, cr >= 0.5 ? "met" : "MISSED");
  std::printf("goal decompress speed >= 0.50x level 1: %.2fx %s\n", dr, dr >= 0.5 ? "met" : "MISSED");
  std::printf("goal ratio >= 0.85x level 1: %.2fx %s\n", rr, rr >= 0.85 ? "met" : "MISSED");
  if (corpusRef) {
    std::printf("goal frames no larger than the original compressor's on its inputs: %zu vs %zu bytes %s\n",
                corpusOurs, corpusRef, corpusOurs <= corpusRef ? "met" : "MISSED");
  }
}

}  // namespace

int main(int argc, char** argv) {
  loadSets();
  for (const char* op : {"compress", "decompress"}) {
    for (size_t i = 0; i < gSets.size(); i++) {
      for (int k = 0; k < kCodecs; k++) {
        std::string name = std::string(op) + "/" + gSets[i].name + "/" + kCodecNames[k];
        Codec c = static_cast<Codec>(k);
        if (op[0] == 'c') {
          benchmark::RegisterBenchmark(name.c_str(), [i, c](benchmark::State& st) { benchCompress(st, i, c); });
        } else {
          benchmark::RegisterBenchmark(name.c_str(), [i, c](benchmark::State& st) { benchDecompress(st, i, c); });
        }
      }
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::AddCustomContext("timing", "CPU time per call; ratios are ours against libzstd level 1");
  Collector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printSummary();
  benchmark::Shutdown();
  return 0;
}
