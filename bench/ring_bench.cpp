// AsyncRing throughput between a producer and a consumer thread in 1 KiB
// records, against a bounded queue guarded by a mutex and condition variables
// (the same capacity, the same copies in and out).
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "bench/bench_table.h"
#include "platform/ring.h"

namespace {

constexpr u64 kRecord = 1024;
constexpr u64 kCapacity = 64 * 1024;
constexpr u64 kRecordsPerIteration = 32 * 1024;  // 32 MiB

struct MutexQueue {
  std::mutex m;
  std::condition_variable notFull, notEmpty;
  u8 buf[kCapacity];
  u64 head = 0, tail = 0;  // byte positions; tail - head bytes queued

  void push(const u8* rec) {
    std::unique_lock<std::mutex> lock(m);
    notFull.wait(lock, [&] { return tail - head + kRecord <= kCapacity; });
    u64 off = tail % kCapacity;
    u64 first = kCapacity - off < kRecord ? kCapacity - off : kRecord;
    std::memcpy(buf + off, rec, first);
    std::memcpy(buf, rec + first, kRecord - first);
    tail += kRecord;
    lock.unlock();
    notEmpty.notify_one();
  }
  void pop(u8* out) {
    std::unique_lock<std::mutex> lock(m);
    notEmpty.wait(lock, [&] { return tail - head >= kRecord; });
    u64 off = head % kCapacity;
    u64 first = kCapacity - off < kRecord ? kCapacity - off : kRecord;
    std::memcpy(out, buf + off, first);
    std::memcpy(out + first, buf, kRecord - first);
    head += kRecord;
    lock.unlock();
    notFull.notify_one();
  }
};

void BM_MutexQueue(benchmark::State& state) {
  static MutexQueue q;
  u8 in[kRecord], out[kRecord];
  std::memset(in, 7, sizeof in);
  u64 sum = 0;
  for (auto _ : state) {
    std::thread producer([&] {
      for (u64 i = 0; i < kRecordsPerIteration; ++i) {
        in[0] = (u8)i;
        q.push(in);
      }
    });
    for (u64 i = 0; i < kRecordsPerIteration; ++i) {
      q.pop(out);
      sum += out[0];
    }
    producer.join();
  }
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed((int64_t)(state.iterations() * kRecordsPerIteration * kRecord));
}

void BM_AsyncRing(benchmark::State& state) {
  AsyncRing ring = AsyncRingAlloc(kCapacity);
  if (!ring.Buf.Base) {
    state.SkipWithError("ring allocation failed");
    return;
  }
  u8 in[kRecord], out[kRecord];
  std::memset(in, 7, sizeof in);
  u64 sum = 0;
  for (auto _ : state) {
    std::thread producer([&] {
      for (u64 i = 0; i < kRecordsPerIteration; ++i) {
        in[0] = (u8)i;
        u8* w = AsyncRingWritePtrWait(&ring, kRecord);
        std::memcpy(w, in, kRecord);
        AsyncRingWriteCommit(&ring, kRecord);
      }
    });
    for (u64 i = 0; i < kRecordsPerIteration; ++i) {
      u64 len;
      const u8* r = AsyncRingReadPtrWait(&ring, &len);
      std::memcpy(out, r, kRecord);
      AsyncRingReadCommit(&ring, kRecord);
      sum += out[0];
    }
    producer.join();
  }
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed((int64_t)(state.iterations() * kRecordsPerIteration * kRecord));
  AsyncRingDealloc(&ring);
}

BENCHMARK(BM_MutexQueue)->UseRealTime()->MinTime(0.5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AsyncRing)->UseRealTime()->MinTime(0.5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchInitialize(argc, argv);
  CollectingReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  auto q = rep.results.find("BM_MutexQueue/min_time:0.500/real_time");
  auto r = rep.results.find("BM_AsyncRing/min_time:0.500/real_time");
  if (q != rep.results.end() && r != rep.results.end()) {
    double mq = q->second.bytesPerSecond / 1e9, ar = r->second.bytesPerSecond / 1e9;
    std::printf("\n1 KiB records, %llu KiB capacity\n%-22s %10s\n", (unsigned long long)(kCapacity / 1024), "queue", "GB/s");
    std::printf("%-22s %10.2f\n%-22s %10.2f\nratio ring / mutex queue: %.1fx (goal >= 5x)\n", "mutex + condvar", mq,
                "AsyncRing", ar, ar / mq);
  }
  benchmark::Shutdown();
  return 0;
}
