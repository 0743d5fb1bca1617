#include "font/rune.h"

#include <cstring>

// Tables generated at build time by tools/runetables (see font/CMakeLists.txt).
extern const unsigned char kRuneZeroWidthIndex[512];
extern const unsigned char kRuneZeroWidthBlocks[][32];
extern const unsigned char kRuneWideIndex[512];
extern const unsigned char kRuneWideBlocks[][32];
extern const unsigned char kRuneAlphaIndex[512];
extern const unsigned char kRuneAlphaBlocks[][32];
extern const unsigned char kRuneUpperIndex[512];
extern const unsigned char kRuneUpperBlocks[][32];
extern const unsigned char kRuneLowerIndex[512];
extern const unsigned char kRuneLowerBlocks[][32];
extern const unsigned char kRuneSpaceIndex[512];
extern const unsigned char kRuneSpaceBlocks[][32];
extern const unsigned kRuneToUpperCount;
extern const unsigned kRuneToUpperPairs[];
extern const unsigned kRuneToLowerCount;
extern const unsigned kRuneToLowerPairs[];

namespace {

constexpr Rune kBitmapLimit = 0x20000;

b8 bitmapHas(const unsigned char* index, const unsigned char (*blocks)[32], Rune r) {
  if (r >= kBitmapLimit) return false;
  const unsigned char* block = blocks[index[r >> 8]];
  u32 bit = r & 0xFF;
  return (block[bit >> 3] >> (bit & 7)) & 1;
}

// The length the shortest encoding of v takes (v below 2^31).
int naturalLength(Rune v) {
  if (v < 0x80) return 1;
  if (v < 0x800) return 2;
  if (v < 0x10000) return 3;
  if (v < 0x200000) return 4;
  if (v < 0x4000000) return 5;
  return 6;
}

b8 isScalar(Rune v) { return v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF); }

b8 isNonCharacter(Rune v) { return (v >= 0xFDD0 && v <= 0xFDEF) || (v & 0xFFFE) == 0xFFFE; }

Rune mapRune(const unsigned* pairs, unsigned count, Rune r) {
  unsigned lo = 0, hi = count;
  while (lo < hi) {
    unsigned mid = (lo + hi) / 2;
    if (pairs[2 * mid] < r) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo < count && pairs[2 * lo] == r ? pairs[2 * lo + 1] : r;
}

}  // namespace

int charntorune(Rune* r, const char* s, int len) {
  if (len <= 0) return 0;
  u8 c = (u8)s[0];
  int n;
  Rune v;
  if (c < 0x80) {
    *r = c;
    return 1;
  } else if (c < 0xC0) {
    *r = kRuneError;  // stray continuation byte
    return 1;
  } else if (c < 0xE0) {
    n = 2, v = c & 0x1F;
  } else if (c < 0xF0) {
    n = 3, v = c & 0x0F;
  } else if (c < 0xF8) {
    n = 4, v = c & 0x07;
  } else if (c < 0xFC) {
    n = 5, v = c & 0x03;
  } else if (c < 0xFE) {
    n = 6, v = c & 0x01;
  } else {
    *r = kRuneError;
    return 1;
  }
  for (int k = 1; k < n; k++) {
    if (k >= len) return 0;
    u8 cc = (u8)s[k];
    if ((cc & 0xC0) != 0x80) {
      *r = kRuneError;
      return k;
    }
    v = (v << 6) | (cc & 0x3F);
  }
  if (!isScalar(v) || isNonCharacter(v) || n > naturalLength(v)) v = kRuneError;
  *r = v;
  return n;
}

int chartorune(Rune* r, const char* s) { return charntorune(r, s, kUtfMax); }

int runelen(Rune r) {
  if (!isScalar(r)) r = kRuneError;
  return naturalLength(r);
}

int runetochar(char* s, Rune r) {
  if (!isScalar(r)) r = kRuneError;
  if (r < 0x80) {
    s[0] = (char)r;
    return 1;
  }
  if (r < 0x800) {
    s[0] = (char)(0xC0 | (r >> 6));
    s[1] = (char)(0x80 | (r & 0x3F));
    return 2;
  }
  if (r < 0x10000) {
    s[0] = (char)(0xE0 | (r >> 12));
    s[1] = (char)(0x80 | ((r >> 6) & 0x3F));
    s[2] = (char)(0x80 | (r & 0x3F));
    return 3;
  }
  s[0] = (char)(0xF0 | (r >> 18));
  s[1] = (char)(0x80 | ((r >> 12) & 0x3F));
  s[2] = (char)(0x80 | ((r >> 6) & 0x3F));
  s[3] = (char)(0x80 | (r & 0x3F));
  return 4;
}

int utflen(const char* s) {
  int n = 0;
  while (*s) {
    Rune r;
    s += chartorune(&r, s);
    n++;
  }
  return n;
}

const char* utfrune(const char* s, Rune r) {
  for (;;) {
    Rune c;
    int n = chartorune(&c, s);
    if (c == r) return s;
    if (c == 0) return nullptr;
    s += n;
  }
}

const char* utfutf(const char* s, const char* needle) {
  size_t len = strlen(needle);
  if (len == 0) return s;
  for (; *s;) {
    if (strncmp(s, needle, len) == 0) return s;
    Rune c;
    s += chartorune(&c, s);  // advance by whole runes so a match starts on a boundary
  }
  return nullptr;
}

int runewidth(Rune r) {
  if (r < 255) {
    if (r == 0) return 0;
    if (r < 0x20 || (r >= 0x7F && r < 0xA0)) return -1;
    return 1;
  }
  if ((r & 0xFFFE) == 0xFFFE) return -1;
  if (r < kBitmapLimit) {
    if (bitmapHas(kRuneZeroWidthIndex, kRuneZeroWidthBlocks, r)) return 0;
    if (bitmapHas(kRuneWideIndex, kRuneWideBlocks, r)) return 2;
    return 1;
  }
  if (r < 0x40000) return 2;
  if (r == 0xE0001 || (r >= 0xE0020 && r <= 0xE007E) || (r >= 0xE0100 && r <= 0xE01EE)) return 0;
  return 1;
}

b8 isalpharune(Rune r) { return bitmapHas(kRuneAlphaIndex, kRuneAlphaBlocks, r); }
b8 isupperrune(Rune r) { return bitmapHas(kRuneUpperIndex, kRuneUpperBlocks, r); }
b8 islowerrune(Rune r) { return bitmapHas(kRuneLowerIndex, kRuneLowerBlocks, r); }
b8 isspacerune(Rune r) { return bitmapHas(kRuneSpaceIndex, kRuneSpaceBlocks, r); }
b8 isdigitrune(Rune r) { return r >= '0' && r <= '9'; }
Rune toupperrune(Rune r) { return mapRune(kRuneToUpperPairs, kRuneToUpperCount, r); }
Rune tolowerrune(Rune r) { return mapRune(kRuneToLowerPairs, kRuneToLowerCount, r); }
