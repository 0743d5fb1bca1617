// Codec for zstd's early 0.1 frame format (frames start FD 2F B5 1E, end C0 00 00).
// The decoder works in the caller's buffers plus fixed-size tables on the stack; the
// compressor takes one work area (about 0.7 MiB) from the accounted heap per call.
// Functions return a size, or an error code recognised by ZSTD_isError. After a
// failed decode the destination's contents are unspecified.
// The namespace keeps these names apart from libzstd's, which the benchmarks link.
#pragma once

#include <cstddef>

namespace zstd01 {

enum ZSTD_ErrorCode {
  ZSTD_error_no_error = 0,
  ZSTD_error_GENERIC,
  ZSTD_error_prefix_unknown,     // not a v0.1 frame (magic)
  ZSTD_error_srcSize_wrong,      // truncated frame, or bytes after the end block
  ZSTD_error_dstSize_tooSmall,   // output does not fit the destination
  ZSTD_error_corruption_detected,
  ZSTD_error_blockType_unsupported,  // frame-level RLE block, or type 3 literals
  ZSTD_error_emptyBlock,         // raw or compressed block with size field 0
  ZSTD_error_tableLog_tooLarge,
  ZSTD_error_maxSymbolValue_tooLarge,
  ZSTD_error_strictRule,         // legal for lenient readers, but breaks a rule strict mode enforces
  ZSTD_error_memory_allocation,  // the compressor's work area (accounted heap) was refused
  ZSTD_error_maxCode
};

// Largest frame ZSTD_compress can write for srcSize bytes of input.
size_t ZSTD_compressBound(size_t srcSize);

// Compresses src into one frame. Every frame written here decodes with
// ZSTD_decompressStrict into a buffer of exactly srcSize bytes.
size_t ZSTD_compress(void* dst, size_t dstCapacity, const void* src, size_t srcSize);

// Decodes one frame that fills src exactly. Accepts what the original v0.1 reader
// accepts, except that it never returns garbage for an inconsistent frame and
// rejects empty (size 0) blocks instead of silently stopping at them.
size_t ZSTD_decompress(void* dst, size_t dstCapacity, const void* src, size_t srcSize);

// As ZSTD_decompress, but also fails every frame that some v0.1 reader may refuse
// or decode differently: each match must start at least 8 bytes before the end of
// dstCapacity, blocks decode to at most 128 KiB, offsets stay below 2^26, table
// descriptions have 4 bytes of room, the end block is exactly C0 00 00 and none of
// the original reader's leniencies (unused extension bytes, non-zero final states,
// unused Huffman streams, table mode 3, header bits) is relied upon.
size_t ZSTD_decompressStrict(void* dst, size_t dstCapacity, const void* src, size_t srcSize);

unsigned ZSTD_isError(size_t code);
ZSTD_ErrorCode ZSTD_getErrorCode(size_t code);
const char* ZSTD_getErrorName(size_t code);

}  // namespace zstd01
