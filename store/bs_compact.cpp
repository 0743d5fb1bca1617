// Compaction: live chunks are copied into a fresh file that replaces the store only
// once it is complete and on disk. Until the rename, nothing of the open store
// changes, so any failure leaves file and memory exactly as they were.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/hashmap.h"
#include "platform/memory.h"
#include "store/bs_internal.h"

namespace {

struct Compaction {
  void* live = nullptr;    // ids listed by live entries
  void* index = nullptr;   // the new file's index
  void* names = nullptr;   // the new manifest's name map
  bs_entry* manifest = nullptr;  // live entries, sharing chunk lists with the old manifest
  u64 manifest_count = 0;
  bs_index_entry* order = nullptr;
  i32 fd = -1;
  char tmp[BS_PATH_MAX + 1] = {};
  bs_superblock sb{};
  u64 end = 0;  // end of the new file's trailer
};

void discard(Compaction& c) {
  if (c.fd >= 0) {
    close(c.fd);
    unlink(c.tmp);
  }
  sm_free(c.live);
  sm_free(c.index);
  sm_free(c.names);
  memFree(c.manifest);  // chunk lists still belong to the old manifest
  memFree(c.order);
}

int buildLive(bs_store* s, Compaction& c) {
  u64 live = 0;
  for (u64 i = 0; i < s->manifest_count; i++) live += s->manifest[i].deleted ? 0 : 1;
  c.live = bs_map_new(1024, 1);
  c.index = bs_map_new(1024, sizeof(bs_index_entry));
  c.names = bs_map_new(live > 16 ? live : 16, 8);
  c.manifest = static_cast<bs_entry*>(memAlloc((live ? live : 1) * sizeof(bs_entry)));
  if (!c.live || !c.index || !c.names || !c.manifest) return -1;
  for (u64 i = 0; i < s->manifest_count; i++) {
    const bs_entry& e = s->manifest[i];
    if (e.deleted) continue;
    u8 one = 1;
    for (u64 k = 0; k < e.chunk_count; k++)
      if (sm_put(c.live, &e.chunks[k], &one) < 0) return -1;
    u64 h = bs_name_hash(e.name), pos = c.manifest_count;
    if (sm_put(c.names, &h, &pos) < 0) return -1;
    c.manifest[c.manifest_count++] = e;
  }
  return 0;
}

// Copies every live record, in file order, after a fresh superblock.
int copyRecords(bs_store* s, Compaction& c) {
  u64 count = 0;
  bool ok = true;
  c.order = bs_index_sorted(s->index, &count, &ok);
  if (!ok) return -1;
  u8* buf = s->slots[0].raw;
  u64 cap = 2 * (u64)s->chunk_size + 144;
  u64 at = BS_SUPERBLOCK_SIZE;
  for (u64 i = 0; i < count; i++) {
    const bs_index_entry& x = c.order[i];
    if (!sm_find(c.live, &x.id)) continue;
    bs_chunk_header h;
    // A record that cannot be read whole, or is not what the index says, stops
    // the compaction: nothing is ever left behind.
    if (x.record_length > cap || bs_pread(s->fd, buf, x.record_length, x.record_offset) != 0) return -1;
    bs_chunk_header_load(&h, buf);
    if (!bs_chunk_header_plausible(s, &h, &x)) return -1;
    if (bs_pwrite(c.fd, buf, x.record_length, at) != 0) return -1;
    bs_index_entry e{x.id, at, x.raw_length, x.record_length};
    if (sm_put(c.index, &e.id, &e) < 0) return -1;
    at += x.record_length;
  }
  bs_crash_here("compact:copied");
  u8* trailer = nullptr;
  u64 ilen = 0, mlen = 0;
  if (bs_trailer_build(c.index, nullptr, c.manifest, c.manifest_count, &trailer, &ilen, &mlen) != 0) return -1;
  int r = bs_pwrite(c.fd, trailer, ilen + mlen, at);
  memFree(trailer);
  if (r != 0) return -1;
  c.sb.magic = BS_MAGIC;
  c.sb.version = BS_VERSION;
  c.sb.data_end = c.sb.index_offset = at;
  c.sb.index_length = ilen;
  c.sb.manifest_offset = at + ilen;
  c.sb.manifest_length = mlen;
  std::memcpy(c.sb.crypto, s->keys.header, BS_CRYPTO_HEADER_SIZE);
  c.end = at + ilen + mlen;
  u8 raw[BS_SUPERBLOCK_SIZE];
  bs_superblock_store(&c.sb, raw);
  if (bs_pwrite(c.fd, raw, BS_SUPERBLOCK_SIZE, 0) != 0 || bs_fsync(c.fd) != 0) return -1;
  bs_crash_here("compact:synced");
  return 0;
}

}  // namespace

bs_status bs_compact_nolock(bs_store* s) {
  if (s->read_only || bs_flush_nolock(s) != BS_OK) return BS_ERR;
  Compaction c;
  int n = std::snprintf(c.tmp, sizeof c.tmp, "%s.compact", s->path);
  if (n < 0 || (size_t)n > BS_PATH_MAX) return BS_ERR;
  if (buildLive(s, c) != 0) {
    discard(c);
    return BS_ERR;
  }
  // Only the holder of the store's lock gets here, so a file already at the
  // temporary path is a leftover. The new file is locked before the rename puts it
  // under the store's name: no other process can take it in between.
  unlink(c.tmp);
  c.fd = open(c.tmp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (c.fd >= 0 && flock(c.fd, LOCK_EX | LOCK_NB) != 0) {
    close(c.fd);
    unlink(c.tmp);
    c.fd = -1;
  }
  if (c.fd < 0 || copyRecords(s, c) != 0 || rename(c.tmp, s->path) != 0) {
    discard(c);
    return BS_ERR;
  }
  bs_crash_here("compact:renamed");
  // The new file is in place: adopt it. Its descriptor stays open, so there is no
  // reopen that could fail.
  bs_status r = bs_fsync_dir_of(s->path) == 0 ? BS_OK : BS_ERR;
  close(s->fd);
  s->fd = c.fd;
  c.fd = -1;
  for (u64 i = 0; i < s->manifest_count; i++)
    if (s->manifest[i].deleted) memFree(s->manifest[i].chunks);
  memFree(s->manifest);
  s->manifest = c.manifest;
  s->manifest_count = s->manifest_capacity = c.manifest_count;
  if (s->manifest_capacity == 0) s->manifest_capacity = 1;
  c.manifest = nullptr;
  sm_free(s->index);
  s->index = c.index;
  c.index = nullptr;
  sm_free(s->names);
  s->names = c.names;
  c.names = nullptr;
  s->deleted_count = 0;
  bs_space_reset(s, c.end);
  s->record_end = c.sb.data_end;
  s->compact_size = c.end;
  s->compact_trailer = c.sb.index_length + c.sb.manifest_length;
  s->disk = c.sb;
  s->dirty = false;
  discard(c);
  return r;
}

bs_status bs_compact(bs_store* s) {
  if (!s) return BS_ERR;
  threadMutexLock(&s->mutex);
  bs_status r = bs_compact_nolock(s);
  threadMutexUnlock(&s->mutex);
  return r;
}
