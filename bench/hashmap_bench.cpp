// The engine's hash map against absl::flat_hash_map (with absl's hasher, and with
// XXH3 so that tables rather than hash functions are compared) and
// std::unordered_map: 8-byte keys with 4-byte values (physics pair cache) and
// 24-byte values (blob-store index), at 1e3, 1e5 and 1e6 entries.
#include <absl/container/flat_hash_map.h>
#include <benchmark/benchmark.h>
// Inlined XXH3, as the engine's map uses it, so that the tables are compared.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <unordered_map>
#include <vector>

#include "bench/bench_table.h"
#include "platform/hashmap.h"

namespace {

struct Val4 { u32 v; };
struct Val24 { u64 a, b, c; };

struct Xxh3Hash {
  size_t operator()(u64 k) const { return (size_t)XXH3_64bits(&k, sizeof k); }
};

u64 splitmix(u64& s) {
  u64 z = (s += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

// Keys to insert, the same keys shuffled for lookups and deletes, absent keys.
struct KeySet {
  std::vector<u64> keys, shuffled, absent;
};

const KeySet& keySet(size_t n) {
  static std::map<size_t, KeySet> cache;
  auto it = cache.find(n);
  if (it != cache.end()) return it->second;
  KeySet& ks = cache[n];
  u64 s = 0x1234567 + n;
  for (size_t i = 0; i < n; ++i) ks.keys.push_back(splitmix(s) | 1);  // odd: present
  for (size_t i = 0; i < n; ++i) ks.absent.push_back(splitmix(s) & ~1ull);  // even: absent
  ks.shuffled = ks.keys;
  std::shuffle(ks.shuffled.begin(), ks.shuffled.end(), std::mt19937_64(n));
  return ks;
}

template <typename V>
V valueOf(u64 k) {
  V v;
  std::memset(&v, (int)(k & 0xFF), sizeof v);
  return v;
}

// Adapters with one shape: insert, find (returns a value byte or 0), erase.
template <typename V>
struct SmMap {
  void* m = sm_new(0, 8, sizeof(V), nullptr);
  ~SmMap() { sm_free(m); }
  void insert(u64 k, const V& v) { sm_put_(&m, &k, &v); }
  u64 find(u64 k) {
    const V* v = sm_find_t<V>(m, k);
    return v ? *reinterpret_cast<const u8*>(v) + 1 : 0;
  }
  void erase(u64 k) { sm_delete(m, &k); }
};

template <typename V, typename Map>
struct StdLike {
  Map m;
  void insert(u64 k, const V& v) { m.insert_or_assign(k, v); }
  u64 find(u64 k) {
    auto it = m.find(k);
    return it == m.end() ? 0 : *reinterpret_cast<const u8*>(&it->second) + 1;
  }
  void erase(u64 k) { m.erase(k); }
};

template <typename V> using AbslMap = StdLike<V, absl::flat_hash_map<u64, V>>;
template <typename V> using AbslXxh3Map = StdLike<V, absl::flat_hash_map<u64, V, Xxh3Hash>>;
template <typename V> using StdMap = StdLike<V, std::unordered_map<u64, V>>;

enum Op { kInsert, kFindHit, kFindMiss, kDelete };

// Thread CPU time: on a shared machine, time spent descheduled is not the map's.
double cpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

template <typename MapT, typename V>
void runOp(benchmark::State& state, Op op) {
  const size_t n = (size_t)state.range(0);
  const KeySet& ks = keySet(n);
  u64 sink = 0;
  for (auto _ : state) {
    double secs = 0;
    if (op == kInsert) {
      double t0 = cpuSeconds();
      {
        MapT map;
        for (u64 k : ks.keys) map.insert(k, valueOf<V>(k));
        sink += map.find(ks.keys[0]);
        secs = cpuSeconds() - t0;
      }
    } else {
      MapT map;
      for (u64 k : ks.keys) map.insert(k, valueOf<V>(k));
      double t0 = cpuSeconds();
      if (op == kFindHit) {
        for (u64 k : ks.shuffled) sink += map.find(k);
      } else if (op == kFindMiss) {
        for (u64 k : ks.absent) sink += map.find(k);
      } else {
        for (u64 k : ks.shuffled) map.erase(k);
      }
      secs = cpuSeconds() - t0;
    }
    state.SetIterationTime(secs);
  }
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed((int64_t)state.iterations() * (int64_t)n);
}

const char* kOpNames[] = {"insert", "find_hit", "find_miss", "delete"};
const char* kImplNames[] = {"sm", "absl_xxh3", "absl", "std"};
const size_t kSizes[] = {1000, 100000, 1000000};

template <typename V>
void registerAll(const char* valName) {
  for (int op = 0; op < 4; ++op) {
    for (int impl = 0; impl < 4; ++impl) {
      std::string name = std::string("hashmap/") + valName + "/" + kOpNames[op] + "/" + kImplNames[impl];
      Op o = (Op)op;
      benchmark::internal::Benchmark* b;
      switch (impl) {
        case 0: b = benchmark::RegisterBenchmark(name.c_str(), [o](benchmark::State& s) { runOp<SmMap<V>, V>(s, o); }); break;
        case 1: b = benchmark::RegisterBenchmark(name.c_str(), [o](benchmark::State& s) { runOp<AbslXxh3Map<V>, V>(s, o); }); break;
        case 2: b = benchmark::RegisterBenchmark(name.c_str(), [o](benchmark::State& s) { runOp<AbslMap<V>, V>(s, o); }); break;
        default: b = benchmark::RegisterBenchmark(name.c_str(), [o](benchmark::State& s) { runOp<StdMap<V>, V>(s, o); }); break;
      }
      for (size_t n : kSizes) b->Arg((int64_t)n);
      b->UseManualTime()->MinTime(0.1)->Unit(benchmark::kMicrosecond);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  registerAll<Val4>("v4");
  registerAll<Val24>("v24");
  benchInitialize(argc, argv);
  CollectingReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);

  // ns per operation, and the engine map's time over each anchor's (< 1: faster).
  std::printf("\nns/op; ratio = sm time / anchor time (goal vs absl_xxh3: <= 1.00 find, <= 1.25 insert/delete)\n");
  std::printf("%-4s %-9s %8s | %8s %9s %8s %8s | %9s %7s %7s\n", "val", "op", "n", "sm", "absl_xxh3", "absl", "std",
              "/xxh3", "/absl", "/std");
  bool allMet = true;
  int rows = 0;
  for (const char* val : {"v4", "v24"}) {
    for (int op = 0; op < 4; ++op) {
      for (size_t n : kSizes) {
        double t[4];
        for (int impl = 0; impl < 4; ++impl) {
          std::string prefix = std::string("hashmap/") + val + "/" + kOpNames[op] + "/" + kImplNames[impl] + "/" +
                               std::to_string(n) + "/";
          auto it = rep.results.lower_bound(prefix);
          bool have = it != rep.results.end() && it->first.compare(0, prefix.size(), prefix) == 0;
          t[impl] = have ? it->second.seconds * 1e9 / (double)n : 0.0;
        }
        if (t[0] == 0 || t[1] == 0) continue;  // filtered out
        double goal = (op == kFindHit || op == kFindMiss) ? 1.0 : 1.25;
        bool met = t[0] / t[1] <= goal;
        allMet &= met;
        ++rows;
        auto ratio = [&](double a) { return a > 0 ? t[0] / a : 0.0; };
        std::printf("%-4s %-9s %8zu | %8.2f %9.2f %8.2f %8.2f | %8.2f%s %7.2f %7.2f\n", val, kOpNames[op], n, t[0],
                    t[1], t[2], t[3], t[0] / t[1], met ? " " : "!", ratio(t[2]), ratio(t[3]));
      }
    }
  }
  if (rows) std::printf("goals %s\n", allMet ? "met" : "missed where marked !");
  benchmark::Shutdown();
  return 0;
}
