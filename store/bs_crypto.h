// Store encryption: the crypto header in the superblock (master key wrapped for one
// X25519 recipient) and per-chunk AES-256-CTR with HMAC-SHA256 (encrypt-then-MAC).
// Every function returns 0 on success and -1 (non-zero) on failure.
#pragma once

#include <cstddef>

#include "platform/types.h"
#include "store/crypto.h"

constexpr u32 BS_CRYPTO_MAGIC = 0x30595243;
constexpr size_t BS_CRYPTO_HEADER_SIZE = 184;
constexpr size_t BS_CRYPTO_OFFSET = 48;  // of the header inside the superblock
constexpr size_t BS_TAG_SIZE = 32;

struct bs_crypto_header {
  u32 magic;
  u32 version;
  u8 salt[32];
  u8 recipient_pub[32];
  u8 ephemeral_pub[32];
  u8 wrap_nonce[16];
  u8 wrapped_master[64];
};

// The keys an open store holds; all zero when the store is unencrypted.
struct bs_crypto_keys {
  aes256_schedule enc;
  u8 mac_key[32];
  u8 header[BS_CRYPTO_HEADER_SIZE];  // on-disk copy of the crypto header
};

void bs_crypto_header_load(bs_crypto_header* h, const u8 raw[BS_CRYPTO_HEADER_SIZE]);
void bs_crypto_header_store(const bs_crypto_header* h, u8 raw[BS_CRYPTO_HEADER_SIZE]);

// Fills the crypto header inside a new store's 256-byte superblock (whose first 8
// bytes must already hold magic and version) and the keys. A null path makes an
// unencrypted store: header and keys zero.
int bs_crypto_init_new_store(bs_crypto_keys* keys, u8 superblock[256], const char* recipient_pub_path);
// Opens the header of a superblock read from disk. An encrypted store needs the
// private key; an unencrypted one refuses a key.
int bs_crypto_open_existing_store(bs_crypto_keys* keys, const u8 superblock[256], const char* privkey_path);
int bs_keys_from_store_master(bs_crypto_keys* keys, const u8 master[32], const u8 salt[32]);
// True when the keys encrypt (the MAC key has a non-zero byte).
bool bs_crypto_enabled(const u8 mac_key[32]);

int bs_seal_payload(const aes256_schedule* enc, const u8 mac_key[32], const u8* in, size_t in_len, u8* out,
                    size_t out_capacity, size_t* out_len, u8 iv_out[16]);
int bs_open_payload(const aes256_schedule* enc, const u8 mac_key[32], const u8* in, size_t in_len,
                    const u8 iv[16], u8* out, size_t out_capacity, size_t* out_len);

// Authenticated wrapping of small secrets: AES-256-CTR then HMAC-SHA256 over
// aad || nonce || ciphertext.
struct aead_wrap_ctx {
  aes256_schedule enc;
  u8 mac_key[32];
};
int aead_wrap_init(aead_wrap_ctx* ctx, const u8 key32[32], const void* salt, size_t salt_len, const char* label);
int aead_wrap_init_raw(aead_wrap_ctx* ctx, const u8 enc_key32[32], const u8 mac_key32[32]);
int aead_wrap_seal(const aead_wrap_ctx* ctx, const u8 nonce16[16], const u8* aad, size_t aad_len, const u8* pt,
                   size_t pt_len, u8* out, size_t out_capacity, size_t* out_len);
int aead_wrap_open(const aead_wrap_ctx* ctx, const u8 nonce16[16], const u8* aad, size_t aad_len, const u8* in,
                   size_t in_len, u8* out, size_t out_capacity, size_t* out_len);
void aead_wrap_ctx_wipe(aead_wrap_ctx* ctx);
