#include "components/dht_user.h"

#include <netinet/in.h>
#include <openssl/evp.h>
#include <string.h>
#include <sys/random.h>

#include <atomic>

#include "components/dht.h"

namespace {
std::atomic<int> gDualStackFd{-1};
std::atomic<DhtSendHook> gSendHook{nullptr};
}  // namespace

void dhtUserSetDualStackSocket(int fd) { gDualStackFd = fd; }
void dhtUserSetSendHook(DhtSendHook hook) { gSendHook = hook; }

extern "C" {

int dht_sendto(int sockfd, const void* buf, int len, int /*flags*/, const struct sockaddr* to, int tolen) {
  if (!to || len < 0) return -1;
  sockaddr_in6 mapped;
  if (to->sa_family == AF_INET) {
    if (tolen < (int)sizeof(sockaddr_in)) return -1;
    tolen = sizeof(sockaddr_in);
    if (sockfd == gDualStackFd.load()) {
      const sockaddr_in* v4 = (const sockaddr_in*)to;
      memset(&mapped, 0, sizeof mapped);
      mapped.sin6_family = AF_INET6;
      mapped.sin6_port = v4->sin_port;
      mapped.sin6_addr.s6_addr[10] = 0xff;
      mapped.sin6_addr.s6_addr[11] = 0xff;
      memcpy(&mapped.sin6_addr.s6_addr[12], &v4->sin_addr, 4);
      to = (const sockaddr*)&mapped;
      tolen = sizeof mapped;
    }
  } else if (to->sa_family == AF_INET6) {
    if (tolen < (int)sizeof(sockaddr_in6)) return -1;
    tolen = sizeof(sockaddr_in6);
  } else {
    return -1;
  }
  if (DhtSendHook hook = gSendHook.load()) return hook(sockfd, buf, len, to, tolen);
  return (int)sendto(sockfd, buf, (size_t)len, MSG_DONTWAIT, to, (socklen_t)tolen);
}

int dht_blacklisted(const struct sockaddr*, int) { return 0; }

void dht_hash(void* hash_return, int hash_size, const void* v1, int len1, const void* v2, int len2, const void* v3,
              int len3) {
  // SHA-1 of the three parts (at most 256 bytes together), zero-padded past 20 bytes.
  constexpr int kDigest = 20;
  unsigned char joined[256];
  unsigned char digest[EVP_MAX_MD_SIZE] = {};
  const void* parts[3] = {v1, v2, v3};
  int lens[3] = {len1, len2, len3};
  size_t total = 0;
  for (int i = 0; i < 3; i++) {
    if (!parts[i] || lens[i] <= 0) continue;
    if ((size_t)lens[i] > sizeof joined - total) {  // outside the contract: a fixed answer
      if (hash_size > 0) memset(hash_return, 0, (size_t)hash_size);
      return;
    }
    memcpy(joined + total, parts[i], (size_t)lens[i]);
    total += (size_t)lens[i];
  }
  // The digest and its context are fetched once per thread: a token is made for
  // every get_peers answered.
  thread_local EVP_MD* md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  thread_local EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned int dl = 0;
  if (!md || !ctx || EVP_DigestInit_ex(ctx, md, nullptr) != 1 || EVP_DigestUpdate(ctx, joined, total) != 1 ||
      EVP_DigestFinal_ex(ctx, digest, &dl) != 1)
    memset(digest, 0, sizeof digest);
  if (hash_size <= 0) return;
  int n = hash_size < kDigest ? hash_size : kDigest;
  memcpy(hash_return, digest, (size_t)n);
  if (hash_size > n) memset((unsigned char*)hash_return + n, 0, (size_t)(hash_size - n));
}

int dht_random_bytes(void* buf, size_t size) {
  unsigned char* p = (unsigned char*)buf;
  while (size > 0) {
    ssize_t got = getrandom(p, size, 0);
    if (got <= 0) return -1;
    p += got;
    size -= (size_t)got;
  }
  return 0;
}

}  // extern "C"
