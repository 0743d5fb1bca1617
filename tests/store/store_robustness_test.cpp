// Damaged and hostile store files: refused with BS_ERR, never a crash, and nothing
// readable is lost.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "store/blob_store.h"
#include "store_fixture.h"

namespace {

using namespace storetest;

class Hostile : public StoreDir {
 protected:
  // A small valid store: a multi-chunk entry and a single-chunk one.
  Bytes makeStore() {
    bs_cfg cfg = smallCfg();
    bs_store* s = nullptr;
    EXPECT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
    Bytes big = text(10000, 1), small = noise(100, 2);
    EXPECT_EQ(bs_add_buffer(s, big.data(), big.size(), "big"), BS_OK);
    EXPECT_EQ(bs_add_buffer(s, small.data(), small.size(), "small"), BS_OK);
    EXPECT_EQ(bs_close(s), BS_OK);
    return readFile(path);
  }
  bs_status openBytes(const Bytes& b, bs_store** out) {
    writeFile(path, b);
    bs_cfg cfg = smallCfg();
    return bs_open(out, path.c_str(), &cfg);
  }
};

TEST_F(Hostile, OpenRefusesBadSuperblocks) {
  Bytes good = makeStore();
  u64 ioff = le64(good, 16), moff = le64(good, 32);
  struct Case { const char* what; std::function<void(Bytes&)> damage; } cases[] = {
      {"1 byte", [](Bytes& b) { b.resize(1); }},
      {"255 bytes", [](Bytes& b) { b.resize(255); }},
      {"wrong magic", [](Bytes& b) { b[0] ^= 1; }},
      {"version 2", [](Bytes& b) { put32(b, 4, 2); }},
      {"index length not a multiple of 24", [](Bytes& b) { put64(b, 24, le64(b, 24) + 1); }},
      {"data end before the superblock", [](Bytes& b) { put64(b, 8, 100); }},
      {"data end past the file", [](Bytes& b) { put64(b, 8, b.size() + 1); }},
      {"index past the file", [](Bytes& b) { put64(b, 16, b.size()); }},
      {"huge index", [](Bytes& b) { put64(b, 24, 24ull << 58); }},
      {"manifest offset overflows", [](Bytes& b) { put64(b, 32, ~0ull - 2); }},
      {"manifest shorter than its count", [](Bytes& b) { put64(b, 40, 3); }},
      {"manifest count too large", [moff](Bytes& b) { put32(b, moff, 0x7FFFFFFF); }},
      {"chunk count past the manifest", [moff](Bytes& b) { put32(b, moff + 4 + 273, 0xFFFFFFFF); }},
      {"name without terminator", [moff](Bytes& b) { std::memset(&b[moff + 4], 'x', 256); }},
      {"record offset inside the superblock", [ioff](Bytes& b) { put64(b, ioff + 8, 8); }},
      {"record past the data", [ioff](Bytes& b) { put64(b, ioff + 8, le64(b, 8) - 10); }},
      {"record shorter than a header", [ioff](Bytes& b) { put32(b, ioff + 20, 47); }},
      {"truncated trailer", [](Bytes& b) { b.pop_back(); }},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    c.damage(b);
    bs_store* s = reinterpret_cast<bs_store*>(&b);
    EXPECT_EQ(openBytes(b, &s), BS_ERR) << c.what;
    EXPECT_EQ(s, nullptr) << c.what;
    EXPECT_EQ(readFile(path), b) << c.what << ": a refused file is left as it was";
  }
}

// Damage the open cannot see (record contents, sizes in the manifest) makes the
// restores that meet it fail, leaving the others working.
TEST_F(Hostile, RestoreRefusesDamagedRecordsAndSizes) {
  Bytes good = makeStore();
  u64 moff = le64(good, 32);
  const size_t big = moff + 4, small = big + 277 + 8 * 3;
  ASSERT_STREQ((const char*)&good[small], "small");
  struct Case { const char* what; const char* broken; std::function<void(Bytes&)> damage; } cases[] = {
      {"payload byte of a raw chunk", "small", [&](Bytes& b) { b[le64(good, 8) - 50] ^= 0x10; }},
      {"first record magic", "big", [](Bytes& b) { b[256] ^= 1; }},
      {"first record raw length", "big", [](Bytes& b) { b[256 + 4] ^= 1; }},
      {"first record stored length", "big", [](Bytes& b) { b[256 + 8] ^= 2; }},
      {"first record id", "big", [](Bytes& b) { b[256 + 16] ^= 1; }},
      {"first compressed payload", "big", [](Bytes& b) { b[256 + 60] ^= 0x55; }},
      {"size above the chunks' sum", "big", [big](Bytes& b) { put64(b, big + 256, 10001); }},
      {"size below the chunks' sum", "big", [big](Bytes& b) { put64(b, big + 256, 9999); }},
      {"enormous size", "big", [big](Bytes& b) { put64(b, big + 256, 1ull << 62); }},
      {"unknown chunk id", "small", [small](Bytes& b) { put64(b, small + 277, 12345); }},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    c.damage(b);
    bs_store* s = nullptr;
    ASSERT_EQ(openBytes(b, &s), BS_OK) << c.what;
    bs_status st;
    restore(s, c.broken, &st);
    EXPECT_EQ(st, BS_ERR) << c.what;
    const char* other = std::string(c.broken) == "big" ? "small" : "big";
    restore(s, other, &st);
    EXPECT_EQ(st, BS_OK) << c.what;
    u8 dst[16];
    size_t n = 0;
    EXPECT_EQ(bs_restore_buffer_into(s, c.broken, dst, sizeof dst, &n), BS_ERR) << c.what;
    testing::internal::CaptureStderr();
    bs_status v = bs_verify(s);
    std::string log = testing::internal::GetCapturedStderr();
    if (std::string(c.what).find("size") == std::string::npos && std::string(c.what) != "unknown chunk id") {
      EXPECT_EQ(v, BS_ERR) << c.what;
      EXPECT_NE(log.find(" 1 errors\n"), std::string::npos) << log;
    }
    bs_close(s);
  }
}

TEST_F(Hostile, VerifyReportsEachDamagedRecordByOffset) {
  Bytes good = makeStore();
  Bytes b = good;
  b[256] ^= 1;  // magic of the first record
  bs_store* s = nullptr;
  ASSERT_EQ(openBytes(b, &s), BS_OK);
  testing::internal::CaptureStderr();
  EXPECT_EQ(bs_verify(s), BS_ERR);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("verify: bad magic at offset 256 (chunk #1)\n"), std::string::npos) << log;
  EXPECT_NE(log.find("verify: 4 chunks checked, 1 errors\n"), std::string::npos) << log;
  bs_close(s);
}

TEST_F(Hostile, AStaleCompactFileIsReplacedNotTrusted) {
  Bytes good = makeStore();
  writeFile(path + ".compact", noise(5000, 7));
  bs_cfg cfg = smallCfg();
  bs_store* s = nullptr;
  ASSERT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
  ASSERT_EQ(bs_delete(s, "small"), BS_OK);
  ASSERT_EQ(bs_compact(s), BS_OK);
  EXPECT_FALSE(exists(path + ".compact"));
  EXPECT_EQ(restore(s, "big"), text(10000, 1));
  bs_close(s);
}

// A compaction that cannot complete leaves the store exactly as it was.
TEST_F(Hostile, FailedCompactionChangesNothing) {
  Bytes good = makeStore();
  bs_cfg cfg = smallCfg();
  bs_store* s = nullptr;
  ASSERT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
  ASSERT_EQ(bs_delete(s, "small"), BS_OK);
  ASSERT_EQ(bs_flush(s), BS_OK);
  Bytes before = readFile(path);
  // A live record damaged on disk: it cannot be copied faithfully.
  Bytes damaged = before;
  damaged[256] ^= 1;
  writeFile(path, damaged);
  EXPECT_EQ(bs_compact(s), BS_ERR);
  EXPECT_EQ(readFile(path), damaged);
  EXPECT_FALSE(exists(path + ".compact"));
  writeFile(path, before);
  EXPECT_EQ(restore(s, "big"), text(10000, 1));
  // The temporary path taken by a directory: the new file cannot be made.
  ASSERT_EQ(mkdir((path + ".compact").c_str(), 0755), 0);
  EXPECT_EQ(bs_compact(s), BS_ERR);
  EXPECT_EQ(readFile(path), before);
  EXPECT_EQ(bs_manifest_count(s), 1u);
  // The compactions due at close and at open fail the same way; both still succeed.
  EXPECT_EQ(bs_close(s), BS_OK);
  EXPECT_EQ(readFile(path), before);
  ASSERT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
  EXPECT_EQ(readFile(path), before);
  EXPECT_EQ(restore(s, "big"), text(10000, 1));
  rmdir((path + ".compact").c_str());
  // Close compacts now that it can.
  EXPECT_EQ(bs_close(s), BS_OK);
  EXPECT_LT(fileSize(path), before.size());
  ASSERT_EQ(bs_open(&s, path.c_str(), &cfg), BS_OK);
  EXPECT_EQ(restore(s, "big"), text(10000, 1));
  bs_close(s);
}

}  // namespace
