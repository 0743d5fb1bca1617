// Writes seeds for fuzz_ktx2 into argv[1]: small KTX2 files of the shapes the
// reader meets (BC7 and RGBA8, 1D, cube, array, 3D, several levels,
// supercompressed), their truncations, and a few pixel blocks.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void writeSeed(const std::string& dir, const std::string& name, const Bytes& b) {
  FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
  if (!f) return;
  if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
  std::fclose(f);
}

Bytes ktx2(unsigned format, unsigned w, unsigned h, unsigned depth, unsigned layers, unsigned faces, unsigned levels,
           unsigned scheme, size_t payload) {
  unsigned entries = levels ? levels : 1;
  size_t start = 80 + 24 * entries;
  Bytes f(start, 0);
  const unsigned char id[12] = {0xAB, 'K', 'T', 'X', ' ', '2', '0', 0xBB, '\r', '\n', 0x1A, '\n'};
  std::memcpy(f.data(), id, 12);
  unsigned hdr[9] = {format, 1, w, h, depth, layers, faces, levels, scheme};
  std::memcpy(&f[12], hdr, sizeof hdr);
  unsigned long long lvl[3] = {start, payload, payload};
  std::memcpy(&f[80], lvl, sizeof lvl);
  for (size_t i = 0; i < payload; i++) f.push_back((unsigned char)(i * 37 + 11));
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  std::string dir = argv[1];
  std::vector<Bytes> files = {
      ktx2(145, 8, 8, 0, 0, 1, 1, 0, 64),     ktx2(145, 5, 3, 0, 0, 1, 1, 0, 32),
      ktx2(37, 8, 0, 0, 0, 1, 1, 0, 32),      ktx2(43, 4, 4, 0, 0, 6, 1, 0, 6 * 64),
      ktx2(37, 4, 4, 0, 3, 1, 1, 0, 3 * 64),  ktx2(37, 4, 4, 2, 0, 1, 1, 0, 128),
      ktx2(145, 16, 16, 0, 0, 1, 3, 0, 256),  ktx2(145, 8, 8, 0, 0, 1, 1, 2, 40),
      ktx2(158, 8, 8, 0, 0, 1, 1, 0, 64),     ktx2(97, 2, 2, 0, 0, 1, 1, 0, 32),
  };
  int n = 0;
  for (const Bytes& f : files) {
    writeSeed(dir, "ktx2_" + std::to_string(n), f);
    Bytes cut(f.begin(), f.begin() + (long)(f.size() * 2 / 3));
    writeSeed(dir, "ktx2_cut_" + std::to_string(n), cut);
    n++;
  }
  Bytes opaque(64), alpha(64);
  for (int i = 0; i < 64; i++) {
    opaque[i] = (unsigned char)(i % 4 == 3 ? 255 : i * 5);
    alpha[i] = (unsigned char)(i * 13);
  }
  writeSeed(dir, "pixels_opaque", opaque);
  writeSeed(dir, "pixels_alpha", alpha);
  return 0;
}
