// Writes seeds for fuzz_zstd01 into argv[1]: frames of our own compressor over
// varied inputs (every literal and table form), their truncations and bit flips.
#include <cstdio>
#include <string>
#include <vector>

#include "store/zstd01.h"

namespace {

using Bytes = std::vector<unsigned char>;

void writeSeed(const std::string& dir, const std::string& name, const Bytes& b) {
  std::string path = dir + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
  std::fclose(f);
}

Bytes inputNumber(int k) {
  Bytes b;
  unsigned s = 12345u + static_cast<unsigned>(k);
  auto rnd = [&s] { return s = s * 1103515245u + 12345u, (s >> 16) & 0x7fff; };
  switch (k) {
    case 0: break;
    case 1: b = {'a'}; break;
    case 2: {  // text with repeats: Huffman literals and described tables
      const char* t = "the store keeps chunks; the codec packs chunks; the world keeps the store. ";
      for (int i = 0; i < 40; i++) b.insert(b.end(), t, t + 60 + rnd() % 15);
      break;
    }
    case 3: b.assign(3000, 7); break;  // one long match
    case 4:  // runs of a few values
      while (b.size() < 5000) b.insert(b.end(), 1 + rnd() % 40, static_cast<unsigned char>("\x00\x07\xc8\xff"[rnd() % 4]));
      break;
    case 5:  // noise: raw blocks
      for (int i = 0; i < 700; i++) b.push_back(static_cast<unsigned char>(rnd()));
      break;
    case 6:  // 16-bit samples with small noise
      for (int i = 0; i < 3000; i++) {
        int v = 20000 + (i % 97) * 5 + static_cast<int>(rnd() % 4);
        b.push_back(static_cast<unsigned char>(v));
        b.push_back(static_cast<unsigned char>(v >> 8));
      }
      break;
    case 7:  // records with a fixed stride: repeat offsets
      for (int i = 0; i < 300; i++) {
        unsigned char r[16] = {static_cast<unsigned char>(i), static_cast<unsigned char>(i >> 8), 0, 0, 1, 2, 3, 4,
                               static_cast<unsigned char>(rnd()), 0, 0, 0x80, 0x3f, 0, 0, 9};
        b.insert(b.end(), r, r + 16);
      }
      break;
    default:  // two blocks, the second repeating the first
      for (int i = 0; i < 70000; i++) b.push_back(static_cast<unsigned char>((i * 7) ^ (i >> 5)));
      b.insert(b.end(), b.begin(), b.begin() + 70000);
      break;
  }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <seed directory>\n", argv[0]);
    return 1;
  }
  std::string dir = argv[1];
  for (int k = 0; k <= 8; k++) {
    Bytes in = inputNumber(k);
    Bytes frame(zstd01::ZSTD_compressBound(in.size()));
    size_t n = zstd01::ZSTD_compress(frame.data(), frame.size(), in.data(), in.size());
    if (zstd01::ZSTD_isError(n)) return 1;
    frame.resize(n);
    std::string base = "frame" + std::to_string(k);
    writeSeed(dir, base, frame);
    writeSeed(dir, base + "_cut_half", Bytes(frame.begin(), frame.begin() + static_cast<long>(n / 2)));
    writeSeed(dir, base + "_cut_end", Bytes(frame.begin(), frame.end() - 1));
    for (size_t bit : {n * 8 / 3, n * 8 / 2, n * 8 - 12}) {
      if (bit / 8 >= n) continue;
      Bytes flipped(frame);
      flipped[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
      writeSeed(dir, base + "_flip" + std::to_string(bit), flipped);
    }
  }
  return 0;
}
