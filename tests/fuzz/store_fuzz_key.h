// The fixed key pair shared by the store fuzz target and its seed generator, so that
// encrypted seeds open and the fuzzer reaches the sealed-chunk paths.
#pragma once

#include <string>

#include "store/crypto.h"

inline const u8* storeFuzzPrivateKey() {
  static const u8 key[32] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb,
                             0xcc, 0xdd, 0xee, 0xf0, 0x01, 0x12, 0x23, 0x34, 0x45, 0x56, 0x67,
                             0x78, 0x89, 0x9a, 0xab, 0xbc, 0xcd, 0xde, 0xef, 0xf1, 0x02};
  return key;
}

// Writes the private and public key files under prefix; false on failure.
inline bool storeFuzzWriteKeys(const std::string& prefix, std::string* priv, std::string* pub) {
  u8 p[32];
  *priv = prefix + ".key";
  *pub = prefix + ".pub";
  return x25519_public_key(p, storeFuzzPrivateKey()) == 0 &&
         write_file_exact_0600(priv->c_str(), storeFuzzPrivateKey(), 32) == 0 &&
         write_file_exact_0600(pub->c_str(), p, 32) == 0;
}
