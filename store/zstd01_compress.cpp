// Compressor for zstd v0.1 frames.
#include "store/zstd01_bits.h"

namespace zstd01 {

size_t ZSTD_compressBound(size_t srcSize) {
  // Worst case: every block stored raw, plus magic and end block.
  size_t blocks = (srcSize + kMaxBlockSize - 1) / kMaxBlockSize;
  return 4 + srcSize + blocks * kBlockHeaderSize + kBlockHeaderSize;
}

namespace {

u8* writeBlockHeader(u8* p, u32 type, size_t size) {
  p[0] = static_cast<u8>((type << 6) | (size >> 16));
  p[1] = static_cast<u8>(size >> 8);
  p[2] = static_cast<u8>(size);
  return p + 3;
}

}  // namespace

size_t ZSTD_compress(void* dst, size_t dstCapacity, const void* src, size_t srcSize) {
  if ((srcSize > 0 && src == nullptr) || (dstCapacity > 0 && dst == nullptr)) return errorCode(ZSTD_error_GENERIC);
  u8* op = static_cast<u8*>(dst);
  u8* const oend = op + dstCapacity;
  const u8* ip = static_cast<const u8*>(src);
  if (dstCapacity < 7) return errorCode(ZSTD_error_dstSize_tooSmall);
  std::memcpy(op, kMagic, 4);
  op += 4;
  size_t left = srcSize;
  while (left > 0) {
    size_t n = left < kMaxBlockSize ? left : kMaxBlockSize;
    if (static_cast<size_t>(oend - op) < kBlockHeaderSize + n + kBlockHeaderSize) return errorCode(ZSTD_error_dstSize_tooSmall);
    op = writeBlockHeader(op, kBlockRaw, n);
    std::memcpy(op, ip, n);
    op += n;
    ip += n;
    left -= n;
  }
  op = writeBlockHeader(op, kBlockEnd, 0);
  return static_cast<size_t>(op - static_cast<u8*>(dst));
}

}  // namespace zstd01
