// AsyncRing throughput between a producer and a consumer thread in 1 KiB
// records, against a bounded queue guarded by a mutex and condition variables
// and against a minimal lock-free single-producer single-consumer byte ring
// written here (the practical limit: cached opposite index, positions on their
// own lines, copies in place, a short spin then a futex sleep). Same capacity,
// same copies in and out. Measured idle and with three busy threads per core;
// the three queues take turns within each round so that load hits them alike.
#include <immintrin.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ring.h"

namespace {

constexpr u64 kRecord = 1024;
constexpr u64 kCapacity = 64 * 1024;
constexpr int kRounds = 9;

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

void futexWait(std::atomic<u32>* w, u32 v) {
  syscall(SYS_futex, reinterpret_cast<u32*>(w), FUTEX_WAIT_PRIVATE, v, nullptr, nullptr, 0);
}
void futexWake(std::atomic<u32>* w) {
  syscall(SYS_futex, reinterpret_cast<u32*>(w), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// The minimal ring: records never straddle the end (the capacity is a multiple
// of the record), so no mirror is needed.
struct MinimalRing {
  alignas(64) std::atomic<u64> head{0};  // producer's line
  u64 seenTail = 0;
  alignas(64) std::atomic<u64> tail{0};  // consumer's line
  u64 seenHead = 0;
  alignas(64) std::atomic<u32> consumerSleeps{0};
  std::atomic<u32> producerSleeps{0};
  std::atomic<u64> wakes{0}, sleeps{0};
  alignas(64) u8 buf[kCapacity];

  void wakeIf(std::atomic<u32>* w) {
    if (w->load(std::memory_order_seq_cst) && w->exchange(0, std::memory_order_seq_cst)) {
      wakes.fetch_add(1, std::memory_order_relaxed);
      futexWake(w);
    }
  }
  template <typename Ready>
  void waitUntil(std::atomic<u32>* w, Ready ready) {
    for (int i = 0; i < 256; ++i) {
      if (ready()) return;
      _mm_pause();
    }
    for (;;) {
      w->store(1, std::memory_order_seq_cst);
      sleeps.fetch_add(1, std::memory_order_relaxed);
      if (ready()) {
        w->exchange(0, std::memory_order_seq_cst);
        return;
      }
      while (w->load(std::memory_order_acquire)) futexWait(w, 1);
      if (ready()) return;
    }
  }
  void push(const u8* rec) {
    const u64 h = head.load(std::memory_order_relaxed);
    if (h + kRecord - seenTail > kCapacity) {
      waitUntil(&producerSleeps, [&] {
        seenTail = tail.load(std::memory_order_seq_cst);
        return h + kRecord - seenTail <= kCapacity;
      });
    }
    std::memcpy(buf + h % kCapacity, rec, kRecord);
    head.store(h + kRecord, std::memory_order_seq_cst);
    wakeIf(&consumerSleeps);
  }
  void pop(u8* out) {
    const u64 t = tail.load(std::memory_order_relaxed);
    if (seenHead == t) {
      waitUntil(&consumerSleeps, [&] {
        seenHead = head.load(std::memory_order_seq_cst);
        return seenHead != t;
      });
    }
    std::memcpy(out, buf + t % kCapacity, kRecord);
    tail.store(t + kRecord, std::memory_order_seq_cst);
    wakeIf(&producerSleeps);
  }
};

struct Result {
  double gbps = 0;
  double wakesPerRecord = -1;  // -1: not counted
  double sleepsPerRecord = -1;
};

double seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <typename Produce, typename Consume>
double transfer(u64 records, Produce produce, Consume consume) {
  double t0 = seconds();
  std::thread producer([&] {
    u8 in[kRecord];
    std::memset(in, 7, sizeof in);
    for (u64 i = 0; i < records; ++i) {
      in[0] = (u8)i;
      produce(in);
    }
  });
  u8 out[kRecord];
  u64 sum = 0;
  for (u64 i = 0; i < records; ++i) {
    consume(out);
    sum += out[0];
  }
  producer.join();
  double dt = seconds() - t0;
  if (sum == 1) std::printf(" ");  // keeps the copies
  return (double)(records * kRecord) / dt / 1e9;
}

Result runMutex(u64 records) {
  static MutexQueue q;
  return {transfer(records, [&](const u8* r) { q.push(r); }, [&](u8* o) { q.pop(o); })};
}

Result runMinimal(u64 records) {
  static MinimalRing ring;
  ring.wakes = 0;
  ring.sleeps = 0;
  Result r;
  r.gbps = transfer(records, [&](const u8* rec) { ring.push(rec); }, [&](u8* o) { ring.pop(o); });
  r.wakesPerRecord = (double)ring.wakes.load() / (double)records;
  r.sleepsPerRecord = (double)ring.sleeps.load() / (double)records;
  return r;
}

Result runAsyncRing(u64 records) {
  AsyncRing ring = AsyncRingAlloc(kCapacity);
  if (!ring.Buf.Base) return {};
  Result r;
  r.gbps = transfer(
      records,
      [&](const u8* rec) {
        u8* w = AsyncRingWritePtrWait(&ring, kRecord);
        std::memcpy(w, rec, kRecord);
        AsyncRingWriteCommit(&ring, kRecord);
      },
      [&](u8* o) {
        u64 len;
        const u8* p = AsyncRingReadPtrWait(&ring, &len);
        std::memcpy(o, p, kRecord);
        AsyncRingReadCommit(&ring, kRecord);
      });
  r.wakesPerRecord = (double)(ring.ReadWakes.load() + ring.WriteWakes.load()) / (double)records;
  r.sleepsPerRecord = (double)(ring.ReadSleeps.load() + ring.WriteSleeps.load()) / (double)records;
  AsyncRingDealloc(&ring);
  return r;
}

// Threads that only burn CPU, so that the pair competes for cores.
struct BusyThreads {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  explicit BusyThreads(unsigned n) {
    for (unsigned i = 0; i < n; ++i) {
      threads.emplace_back([this] {
        volatile u64 x = 0;
        while (!stop.load(std::memory_order_relaxed)) x = x + 1;
      });
    }
  }
  ~BusyThreads() {
    stop = true;
    for (auto& t : threads) t.join();
  }
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void runMode(const char* mode, unsigned busy, u64 records) {
  std::vector<double> mq, mr, ar, arWakes, arSleeps, mrWakes, mrSleeps, ratioMin, ratioMutex;
  for (int round = 0; round < kRounds; ++round) {
    BusyThreads load(busy);
    // The order rotates each round.
    Result m, n, a;
    for (int k = 0; k < 3; ++k) {
      switch ((k + round) % 3) {
        case 0: m = runMutex(records); break;
        case 1: n = runMinimal(records); break;
        default: a = runAsyncRing(records); break;
      }
    }
    mq.push_back(m.gbps);
    mr.push_back(n.gbps);
    ar.push_back(a.gbps);
    arWakes.push_back(a.wakesPerRecord);
    arSleeps.push_back(a.sleepsPerRecord);
    mrWakes.push_back(n.wakesPerRecord);
    mrSleeps.push_back(n.sleepsPerRecord);
    ratioMin.push_back(n.gbps / a.gbps);
    ratioMutex.push_back(a.gbps / m.gbps);
  }
  std::printf("\n%s (%u busy threads), 1 KiB records, %llu KiB capacity, %d rounds, medians (GB/s):\n", mode, busy,
              (unsigned long long)(kCapacity / 1024), kRounds);
  std::printf("  %-34s %8.2f\n", "mutex + condvar queue", median(mq));
  std::printf("  %-34s %8.2f   wakes/record %.4f  sleeps/record %.4f\n", "minimal lock-free ring", median(mr),
              median(mrWakes), median(mrSleeps));
  std::printf("  %-34s %8.2f   wakes/record %.4f  sleeps/record %.4f\n", "AsyncRing", median(ar), median(arWakes),
              median(arSleeps));
  auto range = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return std::make_pair(v.front(), v.back());
  };
  auto rm = range(ratioMin), rq = range(ratioMutex);
  std::printf("  AsyncRing time / minimal ring time: %.2fx (rounds %.2f-%.2f)\n",
              median(ratioMin), rm.first, rm.second);
  std::printf("  AsyncRing / mutex queue throughput: %.2fx (rounds %.2f-%.2f)\n", median(ratioMutex), rq.first,
              rq.second);
}

}  // namespace

int main(int argc, char** argv) {
  bool idle = true, loaded = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--idle") == 0) loaded = false;
    if (std::strcmp(argv[i], "--loaded") == 0) idle = false;
  }
  unsigned cores = std::thread::hardware_concurrency();
  if (cores == 0) cores = 2;
  std::printf("goals: idle AsyncRing within 1.25x of the minimal ring; loaded >= the mutex queue, <= 0.1 wakes/record\n");
  if (idle) runMode("idle", 0, 512 * 1024);
  if (loaded) runMode("loaded", 3 * cores, 128 * 1024);
  return 0;
}
