// Blob store throughput on 256 MiB of world-like entries (16-bit heightmaps with
// noise, 4-channel splat maps, entity arrays) with the default worker count:
// adding them (then flushing to disk), saving them again unchanged and restoring
// them, against copying a file of the same bytes (then flushing it to disk), all in
// the same run. Then the file growth of many small flushed saves.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "store/blob_store.h"

namespace {

struct Entry {
  std::string name;
  std::vector<u8> bytes;
};

std::vector<Entry> gEntries;
u64 gTotal = 0;
std::string gDir, gSource, gCopy, gStore;

u32 hash32(u32 x) {
  x ^= x >> 16;
  x *= 0x7feb352du;
  x ^= x >> 15;
  x *= 0x846ca68bu;
  return x ^ (x >> 16);
}

// Smooth value noise in [0, 1) with a few octaves.
double valueNoise(double x, double y, u32 seed) {
  double sum = 0, amp = 0.5, freq = 1.0 / 256;
  for (int o = 0; o < 5; o++, amp *= 0.5, freq *= 2) {
    double fx = x * freq, fy = y * freq;
    int ix = (int)std::floor(fx), iy = (int)std::floor(fy);
    double tx = fx - ix, ty = fy - iy;
    auto at = [&](int a, int b) { return (hash32((u32)a * 73856093u ^ (u32)b * 19349663u ^ seed * 83492791u) & 0xFFFF) / 65536.0; };
    double sx = tx * tx * (3 - 2 * tx), sy = ty * ty * (3 - 2 * ty);
    double top = at(ix, iy) + (at(ix + 1, iy) - at(ix, iy)) * sx;
    double bot = at(ix, iy + 1) + (at(ix + 1, iy + 1) - at(ix, iy + 1)) * sx;
    sum += amp * (top + (bot - top) * sy);
  }
  return sum;
}

std::vector<u8> heightmap(int side, u32 seed) {
  std::vector<u8> b((size_t)side * side * 2);
  u32 r = seed;
  for (int y = 0; y < side; y++)
    for (int x = 0; x < side; x++) {
      r = r * 1664525u + 1013904223u;
      int h = (int)(valueNoise(x, y, seed) * 20000) - 5000 + (int)((r >> 24) & 7) - 3;  // sensor-like noise
      i16 v = (i16)h;
      std::memcpy(&b[((size_t)y * side + x) * 2], &v, 2);
    }
  return b;
}

std::vector<u8> splatmap(int side, u32 seed) {
  std::vector<u8> b((size_t)side * side * 4);
  for (int y = 0; y < side; y++)
    for (int x = 0; x < side; x++) {
      double n = valueNoise(x * 2, y * 2, seed);
      u8* p = &b[((size_t)y * side + x) * 4];
      // Mostly one material, blends near the borders between regions.
      int layer = (int)(n * 4) & 3;
      double blend = n * 4 - std::floor(n * 4);
      std::memset(p, 0, 4);
      p[layer] = (u8)(255 * (1 - blend * 0.5));
      p[(layer + 1) & 3] = (u8)(255 - p[layer]);
    }
  return b;
}

std::vector<u8> entities(size_t count, u32 seed) {
  struct Rec { u32 kind; f32 pos[3]; f32 rot[4]; f32 scale; u32 flags; u32 pad[2]; };
  std::vector<u8> b(count * sizeof(Rec));
  u32 r = seed;
  for (size_t i = 0; i < count; i++) {
    Rec e{};
    r = hash32(r + (u32)i);
    e.kind = r % 24;
    e.pos[0] = (f32)((r >> 8) % 4096) + 0.25f * (r & 3);
    e.pos[1] = (f32)(valueNoise((double)(r % 997), (double)(i % 991), seed) * 300);
    e.pos[2] = (f32)((hash32(r) >> 8) % 4096);
    f32 angle = (f32)((r >> 5) % 360) * 0.0174533f;
    e.rot[1] = std::sin(angle * 0.5f);
    e.rot[3] = std::cos(angle * 0.5f);
    e.scale = 1.0f + 0.125f * (f32)(r % 5);
    e.flags = (r >> 28) & 1;
    std::memcpy(&b[i * sizeof(Rec)], &e, sizeof(Rec));
  }
  return b;
}

void makeEntries() {
  // 10 heightmaps of 8 MiB, 6 splat maps of 16 MiB, 80 entity arrays of 1 MiB.
  for (u32 i = 0; i < 10; i++) gEntries.push_back({"terrain/height/" + std::to_string(i), heightmap(2048, 11 + i)});
  for (u32 i = 0; i < 6; i++) gEntries.push_back({"terrain/splat/" + std::to_string(i), splatmap(2048, 31 + i)});
  for (u32 i = 0; i < 80; i++)
    gEntries.push_back({"tiles/" + std::to_string(i) + "/entities", entities((1 << 20) / 48, 71 + i)});
  for (Entry& e : gEntries) {
    e.bytes.resize(e.bytes.size() - e.bytes.size() % 16);
    gTotal += e.bytes.size();
  }
}

bool writeFileAll(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  for (const Entry& e : gEntries)
    if (write(fd, e.bytes.data(), e.bytes.size()) != (ssize_t)e.bytes.size()) return close(fd), false;
  fsync(fd);
  return close(fd) == 0;
}

void fileCopy(benchmark::State& st) {
  std::vector<u8> buf(1 << 20);
  for (auto _ : st) {
    int in = open(gSource.c_str(), O_RDONLY);
    int out = open(gCopy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ssize_t n;
    while ((n = read(in, buf.data(), buf.size())) > 0)
      if (write(out, buf.data(), (size_t)n) != n) st.SkipWithError("write failed");
    fsync(out);
    close(in);
    close(out);
  }
  st.SetBytesProcessed((i64)st.iterations() * (i64)gTotal);
}

void storeAdd(benchmark::State& st) {
  for (auto _ : st) {
    st.PauseTiming();
    std::remove(gStore.c_str());
    st.ResumeTiming();
    bs_store* s = nullptr;
    if (bs_open(&s, gStore.c_str(), nullptr) != BS_OK) {
      st.SkipWithError("open failed");
      break;
    }
    for (const Entry& e : gEntries)
      if (bs_add_buffer(s, e.bytes.data(), e.bytes.size(), e.name.c_str()) != BS_OK) st.SkipWithError("add failed");
    if (bs_flush(s) != BS_OK) st.SkipWithError("flush failed");
    bs_close(s);
  }
  st.SetBytesProcessed((i64)st.iterations() * (i64)gTotal);
  FILE* f = std::fopen(gStore.c_str(), "rb");
  if (f) {
    std::fseek(f, 0, SEEK_END);
    st.counters["file_vs_raw"] = (double)std::ftell(f) / (double)gTotal;
    std::fclose(f);
  }
}

// Saving an unchanged world again: every chunk is found by its id, nothing but a
// trailer is written.
void storeResave(benchmark::State& st) {
  bs_store* s = nullptr;
  if (bs_open(&s, gStore.c_str(), nullptr) != BS_OK) {
    st.SkipWithError("open failed (run the add benchmark first)");
    return;
  }
  for (auto _ : st) {
    for (const Entry& e : gEntries)
      if (bs_add_buffer(s, e.bytes.data(), e.bytes.size(), e.name.c_str()) != BS_OK) st.SkipWithError("add failed");
    if (bs_flush(s) != BS_OK) st.SkipWithError("flush failed");
  }
  st.counters["stored_bytes"] = (double)bs_get_stats(s).stored_bytes;
  bs_close(s);
  st.SetBytesProcessed((i64)st.iterations() * (i64)gTotal);
}

void storeRestore(benchmark::State& st) {
  bs_store* s = nullptr;
  if (bs_open(&s, gStore.c_str(), nullptr) != BS_OK) {
    st.SkipWithError("open failed (run the add benchmark first)");
    return;
  }
  std::vector<std::vector<u8>> out(gEntries.size());
  for (size_t i = 0; i < gEntries.size(); i++) out[i].resize(gEntries[i].bytes.size());
  for (auto _ : st) {
    for (size_t i = 0; i < gEntries.size(); i++) {
      size_t n = 0;
      if (bs_restore_buffer_into(s, gEntries[i].name.c_str(), out[i].data(), out[i].size(), &n) != BS_OK)
        st.SkipWithError("restore failed");
    }
  }
  for (size_t i = 0; i < gEntries.size(); i++)
    if (out[i] != gEntries[i].bytes) st.SkipWithError("restored bytes differ");
  bs_close(s);
  st.SetBytesProcessed((i64)st.iterations() * (i64)gTotal);
}

// A world saved after every small edit: 1,000 single-entry adds, each flushed. The
// file must stay near what a compaction leaves; the ratio is measured once, after
// the last flush, against the compacted size plus one trailer.
double gGrowthRatio = 0;
u64 gGrowthFile = 0, gGrowthLargest = 0, gGrowthCompacted = 0, gGrowthTrailer = 0;

u64 sizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (u64)st.st_size : 0;
}

void storeSmallFlushes(benchmark::State& st) {
  std::string path = gDir + "/flushes.qel";
  for (auto _ : st) {
    st.PauseTiming();
    std::remove(path.c_str());
    st.ResumeTiming();
    bs_store* s = nullptr;
    if (bs_open(&s, path.c_str(), nullptr) != BS_OK) {
      st.SkipWithError("open failed");
      break;
    }
    char name[64], text[64];
    for (int i = 0; i < 1000; i++) {
      std::snprintf(name, sizeof name, "tiles/%d/%d/objects", i % 37, i);
      int n = std::snprintf(text, sizeof text, "object %d at %d,%d", i, (i * 7919) % 4096, (i * 104729) % 4096);
      if (bs_add_buffer(s, (const u8*)text, (size_t)n, name) != BS_OK || bs_flush(s) != BS_OK) {
        st.SkipWithError("add or flush failed");
        break;
      }
      st.PauseTiming();
      u64 now = sizeOf(path);
      gGrowthLargest = now > gGrowthLargest ? now : gGrowthLargest;
      st.ResumeTiming();
    }
    st.PauseTiming();
    gGrowthFile = sizeOf(path);
    bs_compact(s);
    bs_close(s);
    gGrowthCompacted = sizeOf(path);
    u8 sb[48] = {};
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
      if (std::fread(sb, 1, sizeof sb, f) != sizeof sb) st.SkipWithError("short superblock");
      std::fclose(f);
    }
    u64 ilen = 0, mlen = 0;
    std::memcpy(&ilen, sb + 24, 8);  // little-endian machine
    std::memcpy(&mlen, sb + 40, 8);
    gGrowthTrailer = ilen + mlen;
    gGrowthRatio = (double)gGrowthFile / (double)(gGrowthCompacted + gGrowthTrailer);
    st.ResumeTiming();
  }
  st.counters["file_ratio"] = gGrowthRatio;
  st.counters["flushes_per_s"] = benchmark::Counter(1000.0 * (double)st.iterations(), benchmark::Counter::kIsRate);
  std::remove(path.c_str());
}

class Collector : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rate;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (!r.error_occurred && r.counters.count("bytes_per_second"))
        rate[r.benchmark_name()] = r.counters.at("bytes_per_second");
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  gDir = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_store_" + std::to_string(getpid());
  if (mkdir(gDir.c_str(), 0755) != 0) return 1;
  gSource = gDir + "/source.bin";
  gCopy = gDir + "/copy.bin";
  gStore = gDir + "/world.qel";
  makeEntries();
  if (!writeFileAll(gSource)) return 1;
  const char* copyName = "file_copy";
  const char* addName = "store_add";
  const char* restoreName = "store_restore";
  benchmark::RegisterBenchmark(copyName, fileCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
  benchmark::RegisterBenchmark(addName, storeAdd)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
  benchmark::RegisterBenchmark("store_resave_unchanged", storeResave)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Iterations(3);
  benchmark::RegisterBenchmark(restoreName, storeRestore)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
  benchmark::RegisterBenchmark("store_1000_single_entry_flushes", storeSmallFlushes)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Iterations(1);
  benchmark::Initialize(&argc, argv);
  benchmark::AddCustomContext("data", std::to_string(gTotal >> 20) + " MiB, " + std::to_string(gEntries.size()) +
                                          " entries, default workers");
  Collector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto get = [&](const char* n) {
    for (auto& [k, v] : reporter.rate)
      if (k.rfind(n, 0) == 0) return v;
    return 0.0;
  };
  double copy = get(copyName), add = get(addName), restore = get(restoreName), resave = get("store_resave");
  std::printf("\n%-22s %10s %12s\n", "operation", "MiB/s", "vs copy");
  for (auto [n, v] : {std::pair{"file copy", copy}, {"store add", add}, {"store resave unchanged", resave},
                      {"store restore", restore}})
    std::printf("%-22s %10.1f %11.2fx\n", n, v / (1 << 20), copy > 0 ? v / copy : 0.0);
  if (add > 0) std::printf("restore / add: %.2fx (goal >= 2x)\n", restore / add);
  if (gGrowthRatio > 0)
    std::printf("after 1000 single-entry flushes: file %llu bytes, compacted %llu + trailer %llu: %.3f (goal <= 1.5);"
                " largest file during the run %.3f of the final compacted size + trailer\n",
                (unsigned long long)gGrowthFile, (unsigned long long)gGrowthCompacted,
                (unsigned long long)gGrowthTrailer, gGrowthRatio,
                (double)gGrowthLargest / (double)(gGrowthCompacted + gGrowthTrailer));
  benchmark::Shutdown();
  std::remove(gSource.c_str());
  std::remove(gCopy.c_str());
  std::remove(gStore.c_str());
  rmdir(gDir.c_str());
  return 0;
}
