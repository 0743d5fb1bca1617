// Strict bencode reader for datagrams from the network: one value filling the
// whole buffer, every length inside it, bounded nesting and node count,
// integers in 64-bit range without leading zeros, dictionary keys as strings in
// strictly ascending order. Parsing never allocates.
#pragma once

#include "platform/types.h"

enum BencType : u8 { BENC_INT, BENC_STR, BENC_LIST, BENC_DICT };

struct BencNode {
  BencType type;
  u32 offset;  // strings: first byte of the data
  u32 length;  // strings: byte count
  u32 end;     // index of the first node after this one's subtree
  i64 value;   // integers
};

constexpr u32 kBencMaxNodes = 512;
constexpr u32 kBencMaxDepth = 16;

struct BencDoc {
  const u8* data;
  u32 count;
  BencNode nodes[kBencMaxNodes];
};

// False for anything that is not exactly one well-formed value.
bool bencParse(BencDoc* doc, const void* buf, size_t len);

// The value under `key` in the dictionary at `dict`, or -1.
i32 bencDictGet(const BencDoc* doc, i32 dict, const char* key);
// The string at `node` (its bytes and length), or null when it is not a string.
const u8* bencString(const BencDoc* doc, i32 node, u32* length);

// Small writer over a fixed buffer; `failed` is set once anything did not fit.
struct BencWriter {
  u8* buf;
  u32 capacity;
  u32 length;
  bool failed;
};

void bencWriteRaw(BencWriter* w, const void* data, u32 len);
void bencWriteString(BencWriter* w, const void* data, u32 len);
void bencWriteCString(BencWriter* w, const char* s);
void bencWriteInt(BencWriter* w, i64 value);
