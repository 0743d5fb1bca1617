// On-disk record layouts and positional file I/O.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "store/bs_endian.h"
#include "store/bs_internal.h"

void bs_superblock_load(bs_superblock* sb, const u8 raw[BS_SUPERBLOCK_SIZE]) {
  sb->magic = le_load32(raw);
  sb->version = le_load32(raw + 4);
  sb->data_end = le_load64(raw + 8);
  sb->index_offset = le_load64(raw + 16);
  sb->index_length = le_load64(raw + 24);
  sb->manifest_offset = le_load64(raw + 32);
  sb->manifest_length = le_load64(raw + 40);
  std::memcpy(sb->crypto, raw + BS_CRYPTO_OFFSET, BS_CRYPTO_HEADER_SIZE);
}

void bs_superblock_store(const bs_superblock* sb, u8 raw[BS_SUPERBLOCK_SIZE]) {
  std::memset(raw, 0, BS_SUPERBLOCK_SIZE);
  le_store32(raw, sb->magic);
  le_store32(raw + 4, sb->version);
  le_store64(raw + 8, sb->data_end);
  le_store64(raw + 16, sb->index_offset);
  le_store64(raw + 24, sb->index_length);
  le_store64(raw + 32, sb->manifest_offset);
  le_store64(raw + 40, sb->manifest_length);
  std::memcpy(raw + BS_CRYPTO_OFFSET, sb->crypto, BS_CRYPTO_HEADER_SIZE);
}

void bs_chunk_header_load(bs_chunk_header* h, const u8 raw[BS_CHUNK_HEADER_SIZE]) {
  h->magic = le_load32(raw);
  h->raw_length = le_load32(raw + 4);
  h->stored_length = le_load32(raw + 8);
  h->sealed_length = le_load32(raw + 12);
  h->id = le_load64(raw + 16);
  h->sequence = le_load64(raw + 24);
  std::memcpy(h->iv, raw + 32, 16);
}

void bs_chunk_header_store(const bs_chunk_header* h, u8 raw[BS_CHUNK_HEADER_SIZE]) {
  le_store32(raw, h->magic);
  le_store32(raw + 4, h->raw_length);
  le_store32(raw + 8, h->stored_length);
  le_store32(raw + 12, h->sealed_length);
  le_store64(raw + 16, h->id);
  le_store64(raw + 24, h->sequence);
  std::memcpy(raw + 32, h->iv, 16);
}

void bs_index_entry_load(bs_index_entry* e, const u8 raw[BS_INDEX_ENTRY_SIZE]) {
  e->id = le_load64(raw);
  e->record_offset = le_load64(raw + 8);
  e->raw_length = le_load32(raw + 16);
  e->record_length = le_load32(raw + 20);
}

void bs_index_entry_store(const bs_index_entry* e, u8 raw[BS_INDEX_ENTRY_SIZE]) {
  le_store64(raw, e->id);
  le_store64(raw + 8, e->record_offset);
  le_store32(raw + 16, e->raw_length);
  le_store32(raw + 20, e->record_length);
}

namespace {
// One call moves at most this much; larger transfers loop.
constexpr u64 kMaxIo = 1ull << 30;
}  // namespace

namespace {

// Moves len bytes at offset with op (pread or pwrite), looping over short transfers.
template <typename Byte, typename Op>
int transferAll(i32 fd, Byte* p, u64 len, u64 offset, Op op) {
  if (fd < 0 || (!p && len)) return -1;
  while (len) {
    ssize_t r = op(fd, p, len < kMaxIo ? len : kMaxIo, (off_t)offset);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return -1;
    p += r;
    len -= (u64)r;
    offset += (u64)r;
  }
  return 0;
}

}  // namespace

int bs_pread(i32 fd, void* buf, u64 len, u64 offset) {
  return transferAll(fd, static_cast<u8*>(buf), len, offset, ::pread);
}

int bs_pwrite(i32 fd, const void* buf, u64 len, u64 offset) {
  return transferAll(fd, static_cast<const u8*>(buf), len, offset, ::pwrite);
}

int bs_fsync(i32 fd) { return fd >= 0 && fsync(fd) == 0 ? 0 : -1; }

int bs_file_size(i32 fd, u64* size) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < 0) return -1;
  *size = (u64)st.st_size;
  return 0;
}

int bs_fsync_dir_of(const char* path) {
  char dir[BS_PATH_MAX + 1];
  size_t n = std::strlen(path);
  if (n > BS_PATH_MAX) return -1;
  std::memcpy(dir, path, n + 1);
  char* slash = std::strrchr(dir, '/');
  if (!slash) {
    dir[0] = '.';
    dir[1] = 0;
  } else if (slash == dir) {
    dir[1] = 0;
  } else {
    *slash = 0;
  }
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int r = fsync(fd);
  close(fd);
  return r == 0 ? 0 : -1;
}
