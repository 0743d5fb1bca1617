// The worker pool under real concurrency: several workers per store, and several
// threads calling into one store.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "store/blob_store.h"
#include "store/crypto.h"
#include "store/thread_pool.h"
#include "store_fixture.h"

namespace {

using namespace storetest;

struct Counter {
  std::atomic<u32> runs{0};
  std::atomic<u32> done{0};
};

void bump(void* arg) {
  Counter* c = static_cast<Counter*>(arg);
  c->runs.fetch_add(1);
  c->done.store(1, std::memory_order_release);
}

TEST(ThreadPool, RunsEveryJobAndStopsCleanly) {
  tp_pool pool;
  ASSERT_EQ(tp_start(&pool, 4), 0);
  std::vector<Counter> items(200);
  for (Counter& c : items) ASSERT_EQ(tp_submit(&pool, bump, &c), 0);
  for (Counter& c : items) tp_wait_item(&pool, &c.done);
  for (Counter& c : items) EXPECT_EQ(c.runs.load(), 1u);
  tp_stop(&pool);
}

class ThreadedStore : public StoreDir {};

TEST_F(ThreadedStore, ManyWorkersAddRestoreAndVerify) {
  u8 priv[32], pub[32];
  ASSERT_EQ(random_bytes(priv, 32), 0);
  ASSERT_EQ(x25519_public_key(pub, priv), 0);
  ASSERT_EQ(write_file_exact_0600(file("k").c_str(), priv, 32), 0);
  ASSERT_EQ(write_file_exact_0600(file("k.pub").c_str(), pub, 32), 0);
  std::string kp = file("k"), pp = file("k.pub");
  for (bool sealed : {false, true}) {
    std::remove(path.c_str());
    bs_cfg cfg = smallCfg(4096, 4);
    if (sealed) cfg.recipient_pub_path = pp.c_str();
    bs_store* s = nullptr;
    ASSERT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
    Bytes a = text(300000, 1), b = noise(200000, 2);
    ASSERT_EQ(bs_add_buffer(s, a.data(), a.size(), "a"), BS_OK);
    ASSERT_EQ(bs_add_buffer(s, b.data(), b.size(), "b"), BS_OK);
    EXPECT_EQ(restore(s, "a"), a);
    EXPECT_EQ(restore(s, "b"), b);
    ASSERT_EQ(bs_close(s), BS_OK);
    cfg.recipient_pub_path = nullptr;
    cfg.privkey_path = sealed ? kp.c_str() : nullptr;
    ASSERT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
    EXPECT_EQ(restore(s, "a"), a);
    testing::internal::CaptureStderr();
    EXPECT_EQ(bs_verify(s), BS_OK);
    testing::internal::GetCapturedStderr();
    bs_close(s);
  }
}

TEST_F(ThreadedStore, CallersOnSeveralThreadsShareOneStore) {
  bs_cfg cfg = smallCfg(4096, 3);
  bs_store* s = nullptr;
  ASSERT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; t++) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 4; round++) {
        Bytes d = noise(20000 + 1000 * t, 10 * t + round);
        std::string name = nm("t", t);
        if (bs_add_buffer(s, d.data(), d.size(), name.c_str()) != BS_OK) failures++;
        if (restore(s, name.c_str()) != d) failures++;
        if (round == 2 && bs_flush(s) != BS_OK) failures++;
        bs_manifest_count(s);
        bs_get_stats(s);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(bs_manifest_count(s), 3u);
  ASSERT_EQ(bs_compact(s), BS_OK);
  EXPECT_EQ(restore(s, "t1"), noise(21000, 13));
  bs_close(s);
}

}  // namespace
