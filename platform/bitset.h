// A set of small indices (bodies, entities): bit i of words[i / 64] set means i is in.
#pragma once

#include "platform/types.h"

struct Bitset {
  u64* words;
  u32 wordCount;  // a multiple of 4 where queries combine four words at a time
};
