// Synthetic RGBA pictures that exercise every encoder path: flat areas (solid
// blocks), smooth gradients, noise, alpha that follows colour and alpha that
// does not.
#pragma once

#include <vector>

#include "platform/types.h"

inline std::vector<u8> sampleImage(u32 w, u32 h, u32 seed) {
  std::vector<u8> px((size_t)w * h * 4);
  u32 s = seed * 2654435761u + 1;
  auto rnd = [&s]() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  };
  for (u32 y = 0; y < h; y++)
    for (u32 x = 0; x < w; x++) {
      u8* p = &px[((size_t)y * w + x) * 4];
      u32 region = (x / 8 + y / 8) % 5;
      switch (region) {
        case 0:  // flat
          p[0] = 200, p[1] = 40, p[2] = 90, p[3] = 255;
          break;
        case 1:  // gradient, opaque
          p[0] = (u8)(x * 255 / (w ? w : 1)), p[1] = (u8)(y * 255 / (h ? h : 1)), p[2] = (u8)((x + y) * 3),
          p[3] = 255;
          break;
        case 2:  // noise, opaque
          p[0] = (u8)rnd(), p[1] = (u8)rnd(), p[2] = (u8)rnd(), p[3] = 255;
          break;
        case 3:  // alpha independent of colour
          p[0] = 30, p[1] = (u8)(100 + (x & 3) * 10), p[2] = 220, p[3] = (u8)(rnd() & 0xFF);
          break;
        default:  // alpha follows colour
          p[0] = p[1] = p[2] = p[3] = (u8)(x * 37 + y * 11);
          break;
      }
    }
  return px;
}
