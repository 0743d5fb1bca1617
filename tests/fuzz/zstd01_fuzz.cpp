// Frame decoder on arbitrary bytes, both modes and two capacities; then the
// compressor on the same bytes, checked by a strict decode at exact capacity.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "store/zstd01.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out(1 << 18), strictOut(1 << 18);
  size_t lenient = zstd01::ZSTD_decompress(out.data(), out.size(), data, size);
  size_t strict = zstd01::ZSTD_decompressStrict(strictOut.data(), strictOut.size(), data, size);
  // Strict mode only refuses more; what it accepts decodes the same.
  if (!zstd01::ZSTD_isError(strict) &&
      (strict != lenient || std::memcmp(out.data(), strictOut.data(), strict) != 0)) {
    std::abort();
  }
  if (!zstd01::ZSTD_isError(lenient)) {
    // The lenient reader needs no room beyond the output itself.
    std::vector<uint8_t> first(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(lenient));
    std::vector<uint8_t> exact(lenient);
    size_t again = zstd01::ZSTD_decompress(exact.data(), exact.size(), data, size);
    if (again != lenient || exact != first) std::abort();
  }
  std::vector<uint8_t> small(37);
  zstd01::ZSTD_decompress(small.data(), small.size(), data, size);
  zstd01::ZSTD_decompressStrict(small.data(), small.size(), data, size);

  std::vector<uint8_t> frame(zstd01::ZSTD_compressBound(size));
  size_t n = zstd01::ZSTD_compress(frame.data(), frame.size(), data, size);
  if (zstd01::ZSTD_isError(n)) std::abort();
  frame.resize(n);
  std::vector<uint8_t> back(size);
  size_t r = zstd01::ZSTD_decompressStrict(back.data(), back.size(), frame.data(), frame.size());
  if (r != size || (size && std::memcmp(back.data(), data, size) != 0)) std::abort();
  return 0;
}
