#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "store/bs_crypto.h"
#include "store/crypto.h"

namespace {

std::vector<u8> hex(const char* s) {
  std::vector<u8> v;
  for (size_t i = 0; s[i] && s[i + 1]; i += 2) v.push_back((u8)std::stoul(std::string(s + i, 2), nullptr, 16));
  return v;
}

TEST(Crypto, KnownAnswers) {
  u8 out[32];
  sha256_ctx sh;
  ASSERT_EQ(sha256_init(&sh), 0);
  ASSERT_EQ(sha256_update(&sh, "ab", 2), 0);
  ASSERT_EQ(sha256_update(&sh, "c", 1), 0);
  ASSERT_EQ(sha256_final(&sh, out), 0);
  EXPECT_EQ(std::vector<u8>(out, out + 32), hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));

  hmac256_ctx h;
  ASSERT_EQ(hmac256_init(&h, "Jefe", 4), 0);
  const char* msg = "what do ya want for nothing?";
  ASSERT_EQ(hmac256_update(&h, msg, std::strlen(msg)), 0);
  ASSERT_EQ(hmac256_final(&h, out), 0);
  EXPECT_EQ(std::vector<u8>(out, out + 32), hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));

  // A key longer than a block is hashed first (RFC 4231 case 6).
  std::vector<u8> longKey(131, 0xaa);
  const char* big = "Test Using Larger Than Block-Size Key - Hash Key First";
  ASSERT_EQ(hmac256_init(&h, longKey.data(), longKey.size()), 0);
  ASSERT_EQ(hmac256_update(&h, big, std::strlen(big)), 0);
  ASSERT_EQ(hmac256_final(&h, out), 0);
  EXPECT_EQ(std::vector<u8>(out, out + 32), hex("60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"));
}

TEST(Crypto, HkdfVectorsAndLimits) {
  std::vector<u8> ikm(22, 0x0b), salt = hex("000102030405060708090a0b0c"), info = hex("f0f1f2f3f4f5f6f7f8f9");
  u8 okm[42];
  ASSERT_EQ(hkdf_sha256(okm, 42, salt.data(), salt.size(), ikm.data(), ikm.size(), info.data(), info.size()), 0);
  EXPECT_EQ(std::vector<u8>(okm, okm + 42),
            hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"));
  // No salt and no info: salt is 32 zero bytes, info omitted (RFC 5869 case 3).
  ASSERT_EQ(hkdf_sha256(okm, 42, nullptr, 0, ikm.data(), ikm.size(), nullptr, 0), 0);
  EXPECT_EQ(std::vector<u8>(okm, okm + 42),
            hex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"));
  std::vector<u8> big(8161);
  EXPECT_EQ(hkdf_sha256(big.data(), 8160, nullptr, 0, ikm.data(), ikm.size(), nullptr, 0), 0);
  EXPECT_EQ(hkdf_sha256(big.data(), 8161, nullptr, 0, ikm.data(), ikm.size(), nullptr, 0), -1);
}

TEST(Crypto, X25519Rfc7748) {
  auto a = hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a");
  auto b = hex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb");
  u8 pa[32], pb[32], s1[32], s2[32], base[32] = {9};
  ASSERT_EQ(x25519_public_key(pa, a.data()), 0);
  ASSERT_EQ(curve25519_donna(pb, b.data(), base), 0);
  EXPECT_EQ(std::vector<u8>(pa, pa + 32), hex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a"));
  EXPECT_EQ(std::vector<u8>(pb, pb + 32), hex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f"));
  ASSERT_EQ(curve25519_donna(s1, a.data(), pb), 0);
  ASSERT_EQ(curve25519_donna(s2, b.data(), pa), 0);
  EXPECT_EQ(std::vector<u8>(s1, s1 + 32), hex("4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742"));
  EXPECT_EQ(0, std::memcmp(s1, s2, 32));
  // A low-order point gives an all-zero secret, which is refused.
  u8 zero[32] = {};
  EXPECT_EQ(curve25519_donna(s1, a.data(), zero), -1);
}

TEST(Crypto, AesCtrSp800Vector) {
  auto key = hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  auto iv = hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  auto pt = hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
  aes256_schedule ks;
  aes256_key_expansion(&ks, key.data());
  std::vector<u8> ct(pt.size());
  ASSERT_EQ(aes_ctr_crypt(&ks, iv.data(), pt.data(), ct.data(), pt.size()), 0);
  EXPECT_EQ(ct, hex("601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"));
}

// The counter is one 128-bit big-endian number: a run crossing a block whose low
// bytes are all FF carries into the higher bytes (and wraps at 2^128).
TEST(Crypto, CounterCarriesAcrossBlocks) {
  u8 key[32];
  for (int i = 0; i < 32; i++) key[i] = (u8)i;
  aes256_schedule ks;
  aes256_key_expansion(&ks, key);
  struct Case { const char* iv; const char* next; } cases[] = {
      {"000000000000000000ffffffffffffff", "00000000000000000100000000000000"},
      {"0000000000000001ffffffffffffffff", "00000000000000020000000000000000"},
      {"ffffffffffffffffffffffffffffffff", "00000000000000000000000000000000"},
  };
  for (const Case& c : cases) {
    auto iv = hex(c.iv), next = hex(c.next);
    next.resize(16);
    std::vector<u8> zeros(40, 0), run(40), b0(16), rest(24);
    ASSERT_EQ(aes_ctr_crypt(&ks, iv.data(), zeros.data(), run.data(), 40), 0);
    ASSERT_EQ(aes_ctr_crypt(&ks, iv.data(), zeros.data(), b0.data(), 16), 0);
    ASSERT_EQ(aes_ctr_crypt(&ks, next.data(), zeros.data(), rest.data(), 24), 0);
    EXPECT_EQ(std::vector<u8>(run.begin(), run.begin() + 16), b0) << c.iv;
    EXPECT_EQ(std::vector<u8>(run.begin() + 16, run.end()), rest) << c.iv;
  }
}

TEST(Crypto, SealedPayloads) {
  u8 master[32], salt[32];
  ASSERT_EQ(random_bytes(master, 32), 0);
  ASSERT_EQ(random_bytes(salt, 32), 0);
  bs_crypto_keys k{};
  ASSERT_EQ(bs_keys_from_store_master(&k, master, salt), 0);
  ASSERT_TRUE(bs_crypto_enabled(k.mac_key));
  std::vector<u8> in(1000, 'q'), a(1100), b(1100), back(1000);
  u8 iva[16], ivb[16];
  size_t na = 0, nb = 0, nback = 0;
  ASSERT_EQ(bs_seal_payload(&k.enc, k.mac_key, in.data(), in.size(), a.data(), a.size(), &na, iva), 0);
  ASSERT_EQ(bs_seal_payload(&k.enc, k.mac_key, in.data(), in.size(), b.data(), b.size(), &nb, ivb), 0);
  EXPECT_EQ(na, 1032u);
  EXPECT_NE(0, std::memcmp(iva, ivb, 16));  // fresh IV per seal
  EXPECT_NE(0, std::memcmp(a.data(), b.data(), na));
  ASSERT_EQ(bs_open_payload(&k.enc, k.mac_key, a.data(), na, iva, back.data(), back.size(), &nback), 0);
  EXPECT_EQ(back, in);
  // No room for the tag, a short input, a flipped bit of payload or IV: refused.
  EXPECT_NE(bs_seal_payload(&k.enc, k.mac_key, in.data(), in.size(), a.data(), 1031, &na, iva), 0);
  EXPECT_NE(bs_open_payload(&k.enc, k.mac_key, a.data(), 31, iva, back.data(), back.size(), &nback), 0);
  a[500] ^= 1;
  EXPECT_NE(bs_open_payload(&k.enc, k.mac_key, a.data(), na, iva, back.data(), back.size(), &nback), 0);
  a[500] ^= 1;
  iva[15] ^= 0x80;
  EXPECT_NE(bs_open_payload(&k.enc, k.mac_key, a.data(), na, iva, back.data(), back.size(), &nback), 0);
  // Zero bytes seal to the tag alone.
  ASSERT_EQ(bs_seal_payload(&k.enc, k.mac_key, nullptr, 0, a.data(), 32, &na, iva), 0);
  EXPECT_EQ(na, 32u);
  ASSERT_EQ(bs_open_payload(&k.enc, k.mac_key, a.data(), na, iva, nullptr, 0, &nback), 0);
  EXPECT_EQ(nback, 0u);
}

TEST(Crypto, WrapBindsAssociatedData) {
  u8 key[32] = {1, 2, 3}, nonce[16] = {9}, secret[32] = {7, 7, 7}, out[64], back[32];
  const u8 aad[] = {'h', 'd', 'r'};
  aead_wrap_ctx w;
  ASSERT_EQ(aead_wrap_init(&w, key, nullptr, 0, "qel:wrap:v1"), 0);
  size_t n = 0, m = 0;
  ASSERT_EQ(aead_wrap_seal(&w, nonce, aad, 3, secret, 32, out, 64, &n), 0);
  EXPECT_EQ(n, 64u);
  ASSERT_EQ(aead_wrap_open(&w, nonce, aad, 3, out, n, back, 32, &m), 0);
  EXPECT_EQ(0, std::memcmp(back, secret, 32));
  const u8 other[] = {'h', 'd', 's'};
  std::memset(back, 0xEE, 32);
  EXPECT_EQ(aead_wrap_open(&w, nonce, other, 3, out, n, back, 32, &m), -1);
  EXPECT_EQ(back[0], 0xEE);  // nothing written on failure
  aead_wrap_ctx_wipe(&w);
  u8 zero[sizeof w] = {};
  EXPECT_EQ(0, std::memcmp(&w, zero, sizeof w));
}

}  // namespace
