// Cryptographic primitives of the store: thin wrappers over libcrypto, plus the
// key-file and OS-random helpers. Every function returns 0 on success, -1 on failure.
#pragma once

#include <cstddef>

#include "platform/types.h"

struct evp_md_ctx_st;
struct evp_mac_ctx_st;

// SHA-256 (the library picks the processor's SHA instructions when present).
struct sha256_ctx {
  evp_md_ctx_st* md;
};
int sha256_init(sha256_ctx* ctx);
int sha256_update(sha256_ctx* ctx, const void* data, size_t len);
// Writes 32 bytes and releases the context (also on failure).
int sha256_final(sha256_ctx* ctx, u8 out[32]);

// HMAC-SHA256; keys longer than 64 bytes are hashed first.
struct hmac256_ctx {
  evp_mac_ctx_st* mac;
};
int hmac256_init(hmac256_ctx* ctx, const void* key, size_t key_len);
int hmac256_update(hmac256_ctx* ctx, const void* data, size_t len);
// Writes the 32-byte tag and releases the context (also on failure).
int hmac256_final(hmac256_ctx* ctx, u8 out[32]);
// Releases a context that will not be finalised.
void hmac256_abort(hmac256_ctx* ctx);

// HKDF-SHA256. A null or empty salt means 32 zero bytes; a null or empty info is omitted.
int hkdf_sha256_extract(u8 prk[32], const void* salt, size_t salt_len, const void* ikm, size_t ikm_len);
// out_len at most 255 * 32.
int hkdf_sha256_expand(u8* out, size_t out_len, const u8 prk[32], const void* info, size_t info_len);
int hkdf_sha256(u8* out, size_t out_len, const void* salt, size_t salt_len, const void* ikm, size_t ikm_len,
                const void* info, size_t info_len);

// AES-256 key. The library expands the round keys itself (with the processor's AES
// instructions), so the record keeps the key those are made from.
struct aes256_schedule {
  u8 key[32];
};
void aes256_key_expansion(aes256_schedule* s, const u8 key[32]);
// Counter mode: iv is the first counter block, incremented as one 128-bit big-endian
// number. Encryption and decryption are the same; in and out may be the same buffer.
int aes_ctr_crypt(const aes256_schedule* s, const u8 iv[16], const u8* in, u8* out, size_t len);

// X25519: out = scalar * point (u-coordinates, 32 bytes little-endian). Fails when the
// result is all zero (a low-order point).
int curve25519_donna(u8 out[32], const u8 secret[32], const u8 point[32]);
// The public key of a private scalar (scalar times the base point u = 9).
int x25519_public_key(u8 pub[32], const u8 secret[32]);

// Operating-system cryptographic random bytes; safe from any thread.
int random_bytes(void* buf, size_t n);

// Sets n bytes to zero in a way the compiler keeps.
void secure_wipe(void* p, size_t n);
// Constant-time comparison: 0 when equal.
int secure_compare(const void* a, const void* b, size_t n);

// Reads exactly n bytes from the start of the file; a short file gives -1.
int read_file_exact(const char* path, void* buf, size_t n);
// Reads a raw 32-byte key file. Anything but a regular file of exactly 32 bytes gives -1:
// a key saved in another form (hex, PEM) would otherwise become a wrong key, and a store
// sealed to it could never be opened again.
int read_key_file(const char* path, u8 key[32]);
// Creates or truncates with permission 0600 and writes all n bytes.
int write_file_exact_0600(const char* path, const void* buf, size_t n);
// As above, but fails when the file already exists (never replaces a key).
int write_file_new_0600(const char* path, const void* buf, size_t n);
