// Encrypted stores: sealed to one recipient key, refused without it or with another.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "store/blob_store.h"
#include "store/crypto.h"
#include "store_fixture.h"

namespace {

using namespace storetest;

class Sealed : public StoreDir {
 protected:
  void SetUp() override {
    StoreDir::SetUp();
    makeKeyPair("me");
    makeKeyPair("other");
  }
  void makeKeyPair(const char* who) {
    u8 priv[32], pub[32];
    ASSERT_EQ(random_bytes(priv, 32), 0);
    ASSERT_EQ(x25519_public_key(pub, priv), 0);
    ASSERT_EQ(write_file_exact_0600(file((std::string(who) + ".key").c_str()).c_str(), priv, 32), 0);
    ASSERT_EQ(write_file_exact_0600(file((std::string(who) + ".pub").c_str()).c_str(), pub, 32), 0);
  }
  bs_status openWith(bs_store** s, const char* priv, const char* pub = nullptr) {
    bs_cfg cfg = smallCfg();
    std::string privPath = priv ? file(priv) : "", pubPath = pub ? file(pub) : "";
    cfg.privkey_path = priv ? privPath.c_str() : nullptr;
    cfg.recipient_pub_path = pub ? pubPath.c_str() : nullptr;
    *s = nullptr;
    return bs_open(s, path.c_str(), &cfg);
  }
  // An encrypted store with a multi-chunk, a single-chunk and an empty entry.
  Bytes makeStore() {
    bs_store* s;
    EXPECT_EQ(openWith(&s, nullptr, "me.pub"), BS_OK);
    Bytes big = text(10000, 1), small = noise(100, 2);
    EXPECT_EQ(bs_add_buffer(s, big.data(), big.size(), "big"), BS_OK);
    EXPECT_EQ(bs_add_buffer(s, small.data(), small.size(), "small"), BS_OK);
    EXPECT_EQ(bs_add_buffer(s, nullptr, 0, "empty"), BS_OK);
    EXPECT_EQ(bs_close(s), BS_OK);
    return readFile(path);
  }
};

TEST_F(Sealed, RightKeyRestoresEverything) {
  Bytes f = makeStore();
  EXPECT_EQ(le32(f, 48), 0x30595243u);
  // No plaintext reaches the file.
  Bytes big = text(10000, 1);
  EXPECT_EQ(std::search(f.begin(), f.end(), big.begin(), big.begin() + 16), f.end());
  bs_store* s;
  ASSERT_EQ(openWith(&s, "me.key"), BS_OK);
  EXPECT_EQ(restore(s, "big"), big);
  EXPECT_EQ(restore(s, "small"), noise(100, 2));
  bs_status st;
  EXPECT_EQ(restore(s, "empty", &st), Bytes{});
  EXPECT_EQ(st, BS_OK);
  EXPECT_EQ(bs_verify(s), BS_OK);
  // Compaction keeps it sealed and readable.
  ASSERT_EQ(bs_delete(s, "small"), BS_OK);
  ASSERT_EQ(bs_compact(s), BS_OK);
  bs_close(s);
  ASSERT_EQ(openWith(&s, "me.key"), BS_OK);
  EXPECT_EQ(restore(s, "big"), big);
  bs_close(s);
}

TEST_F(Sealed, KeysAreCheckedAtOpen) {
  makeStore();
  bs_store* s;
  EXPECT_EQ(openWith(&s, nullptr), BS_ERR);       // encrypted needs a key
  EXPECT_EQ(openWith(&s, "other.key"), BS_ERR);   // someone else's key
  EXPECT_EQ(openWith(&s, "missing.key"), BS_ERR);
  writeFile(file("short.key"), Bytes(31, 1));
  EXPECT_EQ(openWith(&s, "short.key"), BS_ERR);
  EXPECT_EQ(s, nullptr);
  // An unencrypted store refuses a key.
  std::string plain = path;
  path = file("plain.qel");
  ASSERT_EQ(openWith(&s, nullptr), BS_OK);
  bs_close(s);
  EXPECT_EQ(openWith(&s, "me.key"), BS_ERR);
  // A missing recipient key creates nothing.
  path = file("new.qel");
  EXPECT_EQ(openWith(&s, nullptr, "missing.pub"), BS_ERR);
  EXPECT_FALSE(exists(path));
}

// Key files are raw 32 bytes; a key in another form must not be taken by its first 32 bytes.
TEST_F(Sealed, KeyFilesOfAnyOtherSizeAreRefused) {
  Bytes pub = readFile(file("me.pub")), priv = readFile(file("me.key"));
  auto hex = [](const Bytes& b) {
    std::string h;
    for (u8 c : b) h += "0123456789abcdef"[c >> 4], h += "0123456789abcdef"[c & 15];
    return Bytes(h.begin(), h.end());
  };
  Bytes pubLong = pub;
  pubLong.push_back('\n');
  writeFile(file("hex.pub"), hex(pub));
  writeFile(file("nl.pub"), pubLong);
  bs_store* s;
  for (const char* bad : {"hex.pub", "nl.pub"}) {
    path = file((std::string(bad) + ".qel").c_str());
    EXPECT_EQ(openWith(&s, nullptr, bad), BS_ERR) << bad;
    EXPECT_FALSE(exists(path)) << bad;
  }
  path = file("sealed.qel");
  makeStore();
  writeFile(file("hex.key"), hex(priv));
  EXPECT_EQ(openWith(&s, "hex.key"), BS_ERR);
  ASSERT_EQ(openWith(&s, "me.key"), BS_OK);
  bs_close(s);
}

TEST_F(Sealed, EveryHeaderFieldIsBound) {
  Bytes good = makeStore();
  struct Field { const char* name; size_t offset, size; } fields[] = {
      {"magic and version", 0, 8},   {"crypto version", 52, 4}, {"salt", 56, 32},
      {"recipient_pub", 88, 32},     {"ephemeral_pub", 120, 32}, {"wrap_nonce", 152, 16},
      {"wrapped key", 168, 32},      {"wrap tag", 200, 32},
  };
  for (const Field& f : fields) {
    for (size_t byte : {f.offset, f.offset + f.size - 1}) {
      Bytes b = good;
      b[byte] ^= 0x04;
      writeFile(path, b);
      bs_store* s;
      EXPECT_EQ(openWith(&s, "me.key"), BS_ERR) << f.name << " byte " << byte;
    }
  }
  writeFile(path, good);
  bs_store* s;
  ASSERT_EQ(openWith(&s, "me.key"), BS_OK);
  bs_close(s);
}

TEST_F(Sealed, FlippedPayloadOrIvFailsTheRestore) {
  Bytes good = makeStore();
  // The first record belongs to "big"; its sealed payload is stored + 32 bytes.
  u32 stored = le32(good, 256 + 8), sealed = le32(good, 256 + 12);
  EXPECT_EQ(sealed, stored + 32);
  struct Case { const char* what; size_t at; } cases[] = {
      {"iv", 256 + 32}, {"iv last byte", 256 + 47}, {"ciphertext", 256 + 48},
      {"tag", 256 + 48 + sealed - 1}, {"raw_length", 256 + 4},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    b[c.at] ^= 0x01;
    writeFile(path, b);
    bs_store* s;
    ASSERT_EQ(openWith(&s, "me.key"), BS_OK) << c.what;
    bs_status st;
    restore(s, "big", &st);
    EXPECT_EQ(st, BS_ERR) << c.what;
    EXPECT_EQ(restore(s, "small", &st), noise(100, 2)) << c.what;
    bs_close(s);
  }
}

TEST_F(Sealed, SameBytesSealDifferentlyButShareTheirId) {
  bs_store* s;
  ASSERT_EQ(openWith(&s, nullptr, "me.pub"), BS_OK);
  // One worker, ring of four: the second A is in flight with the first, so both
  // are written, under the same id, with different IVs and payloads.
  Bytes a = noise(4096, 1), b = noise(4096, 2), data = a;
  data.insert(data.end(), b.begin(), b.end());
  data.insert(data.end(), a.begin(), a.end());
  ASSERT_EQ(bs_add_buffer(s, data.data(), data.size(), "aba"), BS_OK);
  ASSERT_EQ(bs_get_stats(s).stored_chunks, 3u);
  ASSERT_EQ(bs_add_buffer(s, nullptr, 0, "empty"), BS_OK);
  ASSERT_EQ(bs_close(s), BS_OK);
  Bytes f = readFile(path);
  u32 len1 = 48 + le32(f, 256 + 12), len2 = 48 + le32(f, 256 + len1 + 12);
  size_t r1 = 256, r3 = 256 + len1 + len2;
  EXPECT_EQ(le64(f, r1 + 16), le64(f, r3 + 16));                   // same id
  EXPECT_NE(0, std::memcmp(&f[r1 + 32], &f[r3 + 32], 16));         // different IV
  EXPECT_NE(0, std::memcmp(&f[r1 + 48], &f[r3 + 48], 64));         // different payload
  // The empty entry's record is a header and a 32-byte tag.
  size_t r4 = r3 + 48 + le32(f, r3 + 12);
  EXPECT_EQ(le32(f, r4 + 4), 0u);
  EXPECT_EQ(le32(f, r4 + 12), 32u);
  ASSERT_EQ(openWith(&s, "me.key"), BS_OK);
  EXPECT_EQ(restore(s, "aba"), data);
  bs_close(s);
}

}  // namespace
