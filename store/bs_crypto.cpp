#include "store/bs_crypto.h"

#include <cstring>

#include "store/bs_endian.h"

namespace {

const char kKekLabel[] = "qel:kek:v1";
const char kWrapLabel[] = "qel:wrap:v1";
const char kEncLabel[] = "qel:enc:v1";
const char kMacLabel[] = "qel:mac:v1";

constexpr size_t kAadSize = 8 + 32 + 32 + 32;

void buildAad(u8 aad[kAadSize], const u8 superblock[256], const bs_crypto_header& h) {
  std::memcpy(aad, superblock, 8);
  std::memcpy(aad + 8, h.salt, 32);
  std::memcpy(aad + 40, h.recipient_pub, 32);
  std::memcpy(aad + 72, h.ephemeral_pub, 32);
}

// Tag over [aad] || nonce-or-iv || [data].
int macOver(const u8 key[32], const u8* aad, size_t aad_len, const u8 nonce[16], const u8* data, size_t len,
            u8 tag[32]) {
  hmac256_ctx h;
  if (hmac256_init(&h, key, 32) != 0) return -1;
  if ((aad && aad_len && hmac256_update(&h, aad, aad_len) != 0) || hmac256_update(&h, nonce, 16) != 0 ||
      (len && hmac256_update(&h, data, len) != 0)) {
    hmac256_abort(&h);
    return -1;
  }
  return hmac256_final(&h, tag);
}

bool allZero(const u8* p, size_t n) {
  u8 acc = 0;
  for (size_t i = 0; i < n; i++) acc |= p[i];
  return acc == 0;
}

}  // namespace

void bs_crypto_header_load(bs_crypto_header* h, const u8 raw[BS_CRYPTO_HEADER_SIZE]) {
  h->magic = le_load32(raw);
  h->version = le_load32(raw + 4);
  std::memcpy(h->salt, raw + 8, 32);
  std::memcpy(h->recipient_pub, raw + 40, 32);
  std::memcpy(h->ephemeral_pub, raw + 72, 32);
  std::memcpy(h->wrap_nonce, raw + 104, 16);
  std::memcpy(h->wrapped_master, raw + 120, 64);
}

void bs_crypto_header_store(const bs_crypto_header* h, u8 raw[BS_CRYPTO_HEADER_SIZE]) {
  le_store32(raw, h->magic);
  le_store32(raw + 4, h->version);
  std::memcpy(raw + 8, h->salt, 32);
  std::memcpy(raw + 40, h->recipient_pub, 32);
  std::memcpy(raw + 72, h->ephemeral_pub, 32);
  std::memcpy(raw + 104, h->wrap_nonce, 16);
  std::memcpy(raw + 120, h->wrapped_master, 64);
}

bool bs_crypto_enabled(const u8 mac_key[32]) { return !allZero(mac_key, 32); }

int bs_keys_from_store_master(bs_crypto_keys* keys, const u8 master[32], const u8 salt[32]) {
  u8 enc[32];
  int r = hkdf_sha256(enc, 32, salt, 32, master, 32, kEncLabel, sizeof kEncLabel - 1);
  if (r == 0) r = hkdf_sha256(keys->mac_key, 32, salt, 32, master, 32, kMacLabel, sizeof kMacLabel - 1);
  if (r == 0) aes256_key_expansion(&keys->enc, enc);
  secure_wipe(enc, sizeof enc);
  return r;
}

int bs_crypto_init_new_store(bs_crypto_keys* keys, u8 superblock[256], const char* recipient_pub_path) {
  if (!keys || !superblock) return -1;
  secure_wipe(keys, sizeof *keys);
  std::memset(superblock + BS_CRYPTO_OFFSET, 0, BS_CRYPTO_HEADER_SIZE);
  if (!recipient_pub_path) return 0;

  bs_crypto_header h{};
  u8 master[32], eph[32], shared[32], kek[32], aad[kAadSize];
  aead_wrap_ctx wrap{};
  size_t wrapped_len = 0;
  int r = read_key_file(recipient_pub_path, h.recipient_pub);
  h.magic = BS_CRYPTO_MAGIC;
  h.version = 1;
  if (r == 0) r = random_bytes(h.salt, 32);
  if (r == 0) r = random_bytes(master, 32);
  if (r == 0) r = random_bytes(eph, 32);
  if (r == 0) r = x25519_public_key(h.ephemeral_pub, eph);
  if (r == 0) r = curve25519_donna(shared, eph, h.recipient_pub);
  if (r == 0) r = hkdf_sha256(kek, 32, h.salt, 32, shared, 32, kKekLabel, sizeof kKekLabel - 1);
  if (r == 0) r = random_bytes(h.wrap_nonce, 16);
  if (r == 0) r = aead_wrap_init(&wrap, kek, nullptr, 0, kWrapLabel);
  if (r == 0) {
    buildAad(aad, superblock, h);
    r = aead_wrap_seal(&wrap, h.wrap_nonce, aad, sizeof aad, master, 32, h.wrapped_master,
                       sizeof h.wrapped_master, &wrapped_len);
    if (r == 0 && wrapped_len != 64) r = -1;
  }
  if (r == 0) r = bs_keys_from_store_master(keys, master, h.salt);
  if (r == 0) {
    bs_crypto_header_store(&h, superblock + BS_CRYPTO_OFFSET);
    std::memcpy(keys->header, superblock + BS_CRYPTO_OFFSET, BS_CRYPTO_HEADER_SIZE);
  } else {
    secure_wipe(keys, sizeof *keys);
    std::memset(superblock + BS_CRYPTO_OFFSET, 0, BS_CRYPTO_HEADER_SIZE);
  }
  secure_wipe(master, sizeof master);
  secure_wipe(eph, sizeof eph);
  secure_wipe(shared, sizeof shared);
  secure_wipe(kek, sizeof kek);
  secure_wipe(aad, sizeof aad);
  aead_wrap_ctx_wipe(&wrap);
  return r;
}

int bs_crypto_open_existing_store(bs_crypto_keys* keys, const u8 superblock[256], const char* privkey_path) {
  if (!keys || !superblock) return -1;
  secure_wipe(keys, sizeof *keys);
  bs_crypto_header h;
  bs_crypto_header_load(&h, superblock + BS_CRYPTO_OFFSET);
  if (h.magic != BS_CRYPTO_MAGIC) return privkey_path ? -1 : 0;
  if (!privkey_path || h.version != 1) return -1;

  u8 priv[32], pub[32], shared[32], kek[32], aad[kAadSize], master[32];
  aead_wrap_ctx wrap{};
  size_t master_len = 0;
  int r = read_key_file(privkey_path, priv);
  if (r == 0) r = x25519_public_key(pub, priv);
  // A key for someone else is refused before any unwrapping.
  if (r == 0 && secure_compare(pub, h.recipient_pub, 32) != 0) r = -1;
  if (r == 0) r = curve25519_donna(shared, priv, h.ephemeral_pub);
  if (r == 0) r = hkdf_sha256(kek, 32, h.salt, 32, shared, 32, kKekLabel, sizeof kKekLabel - 1);
  if (r == 0) r = aead_wrap_init(&wrap, kek, nullptr, 0, kWrapLabel);
  if (r == 0) {
    buildAad(aad, superblock, h);
    r = aead_wrap_open(&wrap, h.wrap_nonce, aad, sizeof aad, h.wrapped_master, sizeof h.wrapped_master, master,
                       sizeof master, &master_len);
    if (r == 0 && master_len != 32) r = -1;
  }
  if (r == 0) r = bs_keys_from_store_master(keys, master, h.salt);
  if (r == 0)
    std::memcpy(keys->header, superblock + BS_CRYPTO_OFFSET, BS_CRYPTO_HEADER_SIZE);
  else
    secure_wipe(keys, sizeof *keys);
  secure_wipe(priv, sizeof priv);
  secure_wipe(shared, sizeof shared);
  secure_wipe(kek, sizeof kek);
  secure_wipe(aad, sizeof aad);
  secure_wipe(master, sizeof master);
  aead_wrap_ctx_wipe(&wrap);
  return r;
}

int bs_seal_payload(const aes256_schedule* enc, const u8 mac_key[32], const u8* in, size_t in_len, u8* out,
                    size_t out_capacity, size_t* out_len, u8 iv_out[16]) {
  if (!enc || !mac_key || !out_len || !iv_out || (in_len && (!in || !out))) return -1;
  if (!bs_crypto_enabled(mac_key)) {
    if (out_capacity < in_len) return -1;
    if (in_len) std::memmove(out, in, in_len);
    std::memset(iv_out, 0, 16);
    *out_len = in_len;
    return 0;
  }
  if (!out || out_capacity < in_len + BS_TAG_SIZE) return -1;
  u8 iv[16];
  if (random_bytes(iv, 16) != 0) return -1;
  if (aes_ctr_crypt(enc, iv, in, out, in_len) != 0) return -1;
  if (macOver(mac_key, nullptr, 0, iv, out, in_len, out + in_len) != 0) return -1;
  std::memcpy(iv_out, iv, 16);
  *out_len = in_len + BS_TAG_SIZE;
  return 0;
}

int bs_open_payload(const aes256_schedule* enc, const u8 mac_key[32], const u8* in, size_t in_len,
                    const u8 iv[16], u8* out, size_t out_capacity, size_t* out_len) {
  if (!enc || !mac_key || !iv || !out_len || (in_len && !in)) return -1;
  if (!bs_crypto_enabled(mac_key)) {
    if (in_len > out_capacity || (in_len && !out)) return -1;
    if (in_len) std::memmove(out, in, in_len);
    *out_len = in_len;
    return 0;
  }
  if (in_len < BS_TAG_SIZE || in_len - BS_TAG_SIZE > out_capacity) return -1;
  size_t n = in_len - BS_TAG_SIZE;
  if (n && !out) return -1;
  u8 tag[32];
  if (macOver(mac_key, nullptr, 0, iv, in, n, tag) != 0) return -1;
  if (secure_compare(tag, in + n, 32) != 0) return -1;
  if (aes_ctr_crypt(enc, iv, in, out, n) != 0) return -1;
  *out_len = n;
  return 0;
}

int aead_wrap_init(aead_wrap_ctx* ctx, const u8 key32[32], const void* salt, size_t salt_len, const char* label) {
  if (!ctx || !key32) return -1;
  u8 okm[64];
  int r = hkdf_sha256(okm, 64, salt, salt_len, key32, 32, label, label ? std::strlen(label) : 0);
  if (r == 0) r = aead_wrap_init_raw(ctx, okm, okm + 32);
  secure_wipe(okm, sizeof okm);
  return r;
}

int aead_wrap_init_raw(aead_wrap_ctx* ctx, const u8 enc_key32[32], const u8 mac_key32[32]) {
  if (!ctx || !enc_key32 || !mac_key32) return -1;
  aes256_key_expansion(&ctx->enc, enc_key32);
  std::memcpy(ctx->mac_key, mac_key32, 32);
  return 0;
}

int aead_wrap_seal(const aead_wrap_ctx* ctx, const u8 nonce16[16], const u8* aad, size_t aad_len, const u8* pt,
                   size_t pt_len, u8* out, size_t out_capacity, size_t* out_len) {
  if (!ctx || !nonce16 || !out || !out_len || (pt_len && !pt) || out_capacity < pt_len + BS_TAG_SIZE) return -1;
  if (aes_ctr_crypt(&ctx->enc, nonce16, pt, out, pt_len) != 0) return -1;
  if (macOver(ctx->mac_key, aad, aad_len, nonce16, out, pt_len, out + pt_len) != 0) return -1;
  *out_len = pt_len + BS_TAG_SIZE;
  return 0;
}

int aead_wrap_open(const aead_wrap_ctx* ctx, const u8 nonce16[16], const u8* aad, size_t aad_len, const u8* in,
                   size_t in_len, u8* out, size_t out_capacity, size_t* out_len) {
  if (!ctx || !nonce16 || !in || !out_len || in_len < BS_TAG_SIZE || out_capacity < in_len - BS_TAG_SIZE)
    return -1;
  size_t n = in_len - BS_TAG_SIZE;
  if (n && !out) return -1;
  u8 tag[32];
  if (macOver(ctx->mac_key, aad, aad_len, nonce16, in, n, tag) != 0) return -1;
  if (secure_compare(tag, in + n, 32) != 0) return -1;
  if (aes_ctr_crypt(&ctx->enc, nonce16, in, out, n) != 0) return -1;
  *out_len = n;
  return 0;
}

void aead_wrap_ctx_wipe(aead_wrap_ctx* ctx) {
  if (ctx) secure_wipe(ctx, sizeof *ctx);
}
