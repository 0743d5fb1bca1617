#include "store/crypto.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Fetched once; the library's objects are immutable and shared across threads.
EVP_MAC* hmacAlgorithm() {
  static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  return mac;
}

EVP_KDF* hkdfAlgorithm() {
  static EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  return kdf;
}

const u8 kZeroSalt[32] = {};

int hkdfRun(int mode, u8* out, size_t out_len, const void* key, size_t key_len, const void* salt,
            size_t salt_len, const void* info, size_t info_len) {
  EVP_KDF* kdf = hkdfAlgorithm();
  if (!kdf) return -1;
  EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
  if (!ctx) return -1;
  char digest[] = "SHA256";
  OSSL_PARAM params[6];
  int n = 0;
  params[n++] = OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode);
  params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<void*>(key), key_len);
  if (salt) params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<void*>(salt), salt_len);
  if (info && info_len)
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<void*>(info), info_len);
  params[n] = OSSL_PARAM_construct_end();
  int ok = EVP_KDF_derive(ctx, out, out_len, params);
  EVP_KDF_CTX_free(ctx);
  return ok == 1 ? 0 : -1;
}

}  // namespace

int sha256_init(sha256_ctx* ctx) {
  if (!ctx) return -1;
  ctx->md = EVP_MD_CTX_new();
  if (!ctx->md) return -1;
  if (EVP_DigestInit_ex(ctx->md, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx->md);
    ctx->md = nullptr;
    return -1;
  }
  return 0;
}

int sha256_update(sha256_ctx* ctx, const void* data, size_t len) {
  if (!ctx || !ctx->md || (!data && len)) return -1;
  if (len == 0) return 0;
  return EVP_DigestUpdate(ctx->md, data, len) == 1 ? 0 : -1;
}

int sha256_final(sha256_ctx* ctx, u8 out[32]) {
  if (!ctx || !ctx->md) return -1;
  unsigned int n = 0;
  int ok = EVP_DigestFinal_ex(ctx->md, out, &n);
  EVP_MD_CTX_free(ctx->md);
  ctx->md = nullptr;
  return ok == 1 && n == 32 ? 0 : -1;
}

int hmac256_init(hmac256_ctx* ctx, const void* key, size_t key_len) {
  if (!ctx || (!key && key_len)) return -1;
  ctx->mac = nullptr;
  EVP_MAC* alg = hmacAlgorithm();
  if (!alg) return -1;
  EVP_MAC_CTX* mac = EVP_MAC_CTX_new(alg);
  if (!mac) return -1;
  char digest[] = "SHA256";
  OSSL_PARAM params[2] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                          OSSL_PARAM_construct_end()};
  static const u8 empty = 0;
  if (EVP_MAC_init(mac, key_len ? static_cast<const u8*>(key) : &empty, key_len, params) != 1) {
    EVP_MAC_CTX_free(mac);
    return -1;
  }
  ctx->mac = mac;
  return 0;
}

int hmac256_update(hmac256_ctx* ctx, const void* data, size_t len) {
  if (!ctx || !ctx->mac || (!data && len)) return -1;
  if (len == 0) return 0;
  return EVP_MAC_update(ctx->mac, static_cast<const u8*>(data), len) == 1 ? 0 : -1;
}

int hmac256_final(hmac256_ctx* ctx, u8 out[32]) {
  if (!ctx || !ctx->mac) return -1;
  size_t n = 0;
  int ok = EVP_MAC_final(ctx->mac, out, &n, 32);
  EVP_MAC_CTX_free(ctx->mac);
  ctx->mac = nullptr;
  return ok == 1 && n == 32 ? 0 : -1;
}

void hmac256_abort(hmac256_ctx* ctx) {
  if (!ctx) return;
  EVP_MAC_CTX_free(ctx->mac);
  ctx->mac = nullptr;
}

int hkdf_sha256_extract(u8 prk[32], const void* salt, size_t salt_len, const void* ikm, size_t ikm_len) {
  if (!prk || (!ikm && ikm_len)) return -1;
  if (!salt || salt_len == 0) {
    salt = kZeroSalt;
    salt_len = sizeof kZeroSalt;
  }
  static const u8 empty = 0;
  return hkdfRun(EVP_KDF_HKDF_MODE_EXTRACT_ONLY, prk, 32, ikm_len ? ikm : &empty, ikm_len, salt, salt_len,
                 nullptr, 0);
}

int hkdf_sha256_expand(u8* out, size_t out_len, const u8 prk[32], const void* info, size_t info_len) {
  if (!out || !prk || out_len == 0 || out_len > 255 * 32 || (!info && info_len)) return -1;
  return hkdfRun(EVP_KDF_HKDF_MODE_EXPAND_ONLY, out, out_len, prk, 32, nullptr, 0, info, info_len);
}

int hkdf_sha256(u8* out, size_t out_len, const void* salt, size_t salt_len, const void* ikm, size_t ikm_len,
                const void* info, size_t info_len) {
  if (!out || out_len == 0 || out_len > 255 * 32) return -1;
  u8 prk[32];
  int r = hkdf_sha256_extract(prk, salt, salt_len, ikm, ikm_len);
  if (r == 0) r = hkdf_sha256_expand(out, out_len, prk, info, info_len);
  secure_wipe(prk, sizeof prk);
  return r;
}

void aes256_key_expansion(aes256_schedule* s, const u8 key[32]) { std::memcpy(s->key, key, 32); }

int aes_ctr_crypt(const aes256_schedule* s, const u8 iv[16], const u8* in, u8* out, size_t len) {
  if (!s || !iv || (len && (!in || !out))) return -1;
  if (len == 0) return 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (!ctx) return -1;
  int ok = EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, s->key, iv);
  // The library takes int lengths; feed large inputs in pieces, the counter carries on.
  size_t done = 0;
  while (ok == 1 && done < len) {
    size_t piece = len - done;
    if (piece > (1u << 30)) piece = 1u << 30;
    int n = 0;
    ok = EVP_EncryptUpdate(ctx, out + done, &n, in + done, (int)piece);
    if (ok == 1 && (size_t)n != piece) ok = 0;
    done += piece;
  }
  EVP_CIPHER_CTX_free(ctx);
  return ok == 1 ? 0 : -1;
}

int curve25519_donna(u8 out[32], const u8 secret[32], const u8 point[32]) {
  if (!out || !secret || !point) return -1;
  EVP_PKEY* priv = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, secret, 32);
  EVP_PKEY* peer = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, point, 32);
  EVP_PKEY_CTX* ctx = priv ? EVP_PKEY_CTX_new(priv, nullptr) : nullptr;
  size_t n = 32;
  int ok = ctx && peer && EVP_PKEY_derive_init(ctx) == 1 && EVP_PKEY_derive_set_peer(ctx, peer) == 1 &&
           EVP_PKEY_derive(ctx, out, &n) == 1 && n == 32;
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(peer);
  EVP_PKEY_free(priv);
  return ok ? 0 : -1;
}

int x25519_public_key(u8 pub[32], const u8 secret[32]) {
  if (!pub || !secret) return -1;
  EVP_PKEY* priv = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, secret, 32);
  size_t n = 32;
  int ok = priv && EVP_PKEY_get_raw_public_key(priv, pub, &n) == 1 && n == 32;
  EVP_PKEY_free(priv);
  return ok ? 0 : -1;
}

int random_bytes(void* buf, size_t n) {
  if (!buf && n) return -1;
  u8* p = static_cast<u8*>(buf);
  while (n) {
    ssize_t r = getrandom(p, n, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += r;
    n -= (size_t)r;
  }
  return 0;
}

void secure_wipe(void* p, size_t n) {
  if (p && n) OPENSSL_cleanse(p, n);
}

int secure_compare(const void* a, const void* b, size_t n) { return CRYPTO_memcmp(a, b, n) == 0 ? 0 : 1; }

int read_file_exact(const char* path, void* buf, size_t n) {
  if (!path || (!buf && n)) return -1;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  u8* p = static_cast<u8*>(buf);
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, p + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += (size_t)r;
  }
  close(fd);
  return got == n ? 0 : -1;
}

int read_key_file(const char* path, u8 key[32]) {
  if (!path || !key) return -1;
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 32) return -1;
  return read_file_exact(path, key, 32);
}

namespace {

int writeAllAndClose(int fd, const void* buf, size_t n) {
  const u8* p = static_cast<const u8*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t w = write(fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += (size_t)w;
  }
  bool ok = done == n && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  return ok ? 0 : -1;
}

}  // namespace

int write_file_exact_0600(const char* path, const void* buf, size_t n) {
  if (!path || (!buf && n)) return -1;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  return writeAllAndClose(fd, buf, n);
}

int write_file_new_0600(const char* path, const void* buf, size_t n) {
  if (!path || (!buf && n)) return -1;
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  if (writeAllAndClose(fd, buf, n) != 0) {
    unlink(path);  // we created it: leave no half-written key behind
    return -1;
  }
  return 0;
}
