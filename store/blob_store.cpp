// Open, close, flush, delete, expire, listings and the manifest of the blob store.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/hashmap.h"
#include "platform/memory.h"
#include "store/bs_endian.h"
#include "store/bs_internal.h"

void (*bs_crash_point)(const char* where) = nullptr;
u64 (*bs_chunk_id_hook)(const void* bytes, size_t len) = nullptr;

namespace {

void* mapAlloc(void*, size_t bytes) { return memAlloc(bytes); }
void mapFree(void*, void* p) { memFree(p); }
const sm_allocator_t kMapAlloc = {nullptr, mapAlloc, mapFree, nullptr, nullptr};

u32 defaultWorkers() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? (u32)(2 * n) : 4;
}

void freeSlots(bs_store* s) {
  if (!s->slots) return;
  for (u32 i = 0; i < s->slot_count; i++) {
    memFree(s->slots[i].raw);
    memFree(s->slots[i].pack);
    memFree(s->slots[i].seal);
  }
  memFree(s->slots);
  s->slots = nullptr;
}

int allocSlots(bs_store* s) {
  s->slot_count = 4 * s->worker_count;
  s->slots = static_cast<bs_slot*>(memCalloc(s->slot_count, sizeof(bs_slot)));
  if (!s->slots) return -1;
  size_t cs = s->chunk_size;
  for (u32 i = 0; i < s->slot_count; i++) {
    s->slots[i].raw = static_cast<u8*>(memAlloc(2 * cs + 144));
    s->slots[i].pack = static_cast<u8*>(memAlloc(2 * cs + 64));
    s->slots[i].seal = static_cast<u8*>(memAlloc(2 * cs + 96));
    if (!s->slots[i].raw || !s->slots[i].pack || !s->slots[i].seal) return -1;
  }
  return 0;
}

// Releases everything the record owns; the record itself stays allocated.
void releaseStore(bs_store* s) {
  if (s->pool_started) tp_stop(&s->pool);
  s->pool_started = false;
  if (s->fd >= 0) close(s->fd);
  s->fd = -1;
  freeSlots(s);
  bs_space_free(s);
  sm_free(s->index);
  sm_free(s->names);
  s->index = s->names = nullptr;
  bs_manifest_free(s->manifest, s->manifest_count);
  s->manifest = nullptr;
  s->manifest_count = s->manifest_capacity = 0;
}

void destroyStore(bs_store* s) {
  releaseStore(s);
  threadMutexDestroy(&s->mutex);
  secure_wipe(s, sizeof *s);
  memFree(s);
}

bool rangeInFile(u64 offset, u64 length, u64 limit) { return offset <= limit && length <= limit - offset; }

int loadIndex(bs_store* s, i32 fd, const bs_superblock& sb) {
  if (sb.index_length == 0) return 0;
  if (sb.index_length % BS_INDEX_ENTRY_SIZE != 0) return -1;
  u8* blob = static_cast<u8*>(memAlloc(sb.index_length));
  if (!blob) return -1;
  int r = bs_pread(fd, blob, sb.index_length, sb.index_offset);
  for (u64 off = 0; r == 0 && off < sb.index_length; off += BS_INDEX_ENTRY_SIZE) {
    bs_index_entry e;
    bs_index_entry_load(&e, blob + off);
    // Every listed record must lie inside the data region, after the superblock.
    if (e.record_offset < BS_SUPERBLOCK_SIZE || e.record_length < BS_CHUNK_HEADER_SIZE ||
        !rangeInFile(e.record_offset, e.record_length, sb.data_end))
      r = -1;
    else if (sm_put(s->index, &e.id, &e) < 0)
      r = -1;
  }
  memFree(blob);
  return r;
}

int loadManifest(bs_store* s, i32 fd, const bs_superblock& sb) {
  if (sb.manifest_length == 0) return 0;
  if (sb.manifest_length < 4) return -1;
  u8* blob = static_cast<u8*>(memAlloc(sb.manifest_length));
  if (!blob) return -1;
  int r = bs_pread(fd, blob, sb.manifest_length, sb.manifest_offset);
  u64 count = r == 0 ? le_load32(blob) : 0;
  u64 pos = 4;
  if (count > (sb.manifest_length - 4) / BS_MANIFEST_FIXED) r = -1;
  for (u64 i = 0; r == 0 && i < count; i++) {
    u64 left = sb.manifest_length - pos;
    if (left < BS_MANIFEST_FIXED) {
      r = -1;
      break;
    }
    const u8* p = blob + pos;
    bs_entry e{};
    if (!std::memchr(p, 0, 256)) {  // a name must end inside its field
      r = -1;
      break;
    }
    std::memcpy(e.name, p, 256);
    e.size = le_load64(p + 256);
    e.mtime = le_load64(p + 264);
    e.deleted = p[272] ? 1 : 0;
    e.chunk_count = le_load32(p + 273);
    if (e.chunk_count > (left - BS_MANIFEST_FIXED) / 8) {
      r = -1;
      break;
    }
    if (e.chunk_count) {
      e.chunks = static_cast<u64*>(memAlloc(e.chunk_count * 8));
      if (!e.chunks) {
        r = -1;
        break;
      }
      for (u64 c = 0; c < e.chunk_count; c++) e.chunks[c] = le_load64(p + BS_MANIFEST_FIXED + 8 * c);
    }
    if (bs_manifest_push(s, &e) != 0) {
      memFree(e.chunks);
      r = -1;
      break;
    }
    pos += BS_MANIFEST_FIXED + 8 * e.chunk_count;
  }
  memFree(blob);
  return r;
}

int createNewStore(bs_store* s, const bs_cfg* cfg) {
  u8 raw[BS_SUPERBLOCK_SIZE] = {};
  le_store32(raw, BS_MAGIC);
  le_store32(raw + 4, BS_VERSION);
  le_store64(raw + 8, BS_SUPERBLOCK_SIZE);
  le_store64(raw + 16, BS_SUPERBLOCK_SIZE);
  le_store64(raw + 32, BS_SUPERBLOCK_SIZE);
  if (bs_crypto_init_new_store(&s->keys, raw, cfg ? cfg->recipient_pub_path : nullptr) != 0) return -1;
  // The directory too: a new store must not vanish with its first flush.
  if (bs_pwrite(s->fd, raw, BS_SUPERBLOCK_SIZE, 0) != 0 || bs_fsync(s->fd) != 0 || bs_fsync_dir_of(s->path) != 0)
    return -1;
  bs_superblock_load(&s->disk, raw);
  return bs_space_rebuild(s, false);
}

int openExistingStore(bs_store* s, const bs_cfg* cfg, u64 file_size) {
  if (file_size < BS_SUPERBLOCK_SIZE) return -1;
  u8 raw[BS_SUPERBLOCK_SIZE];
  if (bs_pread(s->fd, raw, BS_SUPERBLOCK_SIZE, 0) != 0) return -1;
  bs_superblock sb;
  bs_superblock_load(&sb, raw);
  if (sb.magic != BS_MAGIC || sb.version != BS_VERSION) return -1;
  if (sb.data_end < BS_SUPERBLOCK_SIZE || sb.data_end > file_size ||
      !rangeInFile(sb.index_offset, sb.index_length, file_size) ||
      !rangeInFile(sb.manifest_offset, sb.manifest_length, file_size))
    return -1;
  if (bs_crypto_open_existing_store(&s->keys, raw, cfg ? cfg->privkey_path : nullptr) != 0) return -1;
  s->disk = sb;
  // New records go after the trailer the superblock points to, never over it.
  u64 end = sb.data_end;
  if (sb.index_length && sb.index_offset + sb.index_length > end) end = sb.index_offset + sb.index_length;
  if (sb.manifest_length && sb.manifest_offset + sb.manifest_length > end)
    end = sb.manifest_offset + sb.manifest_length;
  s->append_offset = end;
  if (loadIndex(s, s->fd, sb) != 0 || loadManifest(s, s->fd, sb) != 0) return -1;
  // Records the trailer on disk lists stay where they are until a flush drops them,
  // even those no live entry needs: a reader of that trailer may still check them.
  return s->read_only ? 0 : bs_space_rebuild(s, false);
}

// Opens the file and takes its lock (exclusive to write, shared to read), never
// waiting. The lock must cover the file the path names: a compaction elsewhere may
// have renamed a new file over it between our open and our lock, so the path is
// checked again and reopened when it moved. A writer then removes a compaction
// file left by a killed process: only the lock holder may.
bs_status lockedOpen(bs_store* s, bool* created) {
  for (int attempt = 0; attempt < 16; attempt++) {
    *created = false;
    i32 fd = -1;
    if (s->read_only) {
      fd = open(s->path, O_RDONLY | O_CLOEXEC);
    } else {
      fd = open(s->path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd >= 0)
        *created = true;
      else if (errno == EEXIST)
        fd = open(s->path, O_RDWR | O_CLOEXEC);
    }
    if (fd < 0) return BS_ERR;
    bs_crash_here("open:opened");
    if (flock(fd, (s->read_only ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
      bool busy = errno == EWOULDBLOCK;
      close(fd);
      return busy ? BS_BUSY : BS_ERR;
    }
    struct stat held, named;
    if (fstat(fd, &held) != 0) {
      close(fd);
      return BS_ERR;
    }
    if (stat(s->path, &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
      s->fd = fd;
      if (!s->read_only) {
        char tmp[BS_PATH_MAX + 16];
        std::snprintf(tmp, sizeof tmp, "%s.compact", s->path);
        unlink(tmp);
      }
      return BS_OK;
    }
    close(fd);  // replaced or removed meanwhile: open what the path names now
  }
  return BS_ERR;
}

bool liveEntry(const bs_entry& e) { return !e.deleted; }

const bs_entry* nthLive(bs_store* s, u64 i) {
  for (u64 k = 0; k < s->manifest_count; k++) {
    if (!liveEntry(s->manifest[k])) continue;
    if (i == 0) return &s->manifest[k];
    i--;
  }
  return nullptr;
}

}  // namespace

void* bs_map_new(u64 cap, u64 val_size) { return sm_new(cap, 8, val_size, &kMapAlloc); }

u64 bs_name_hash(const char* name) { return XXH3_64bits(name, std::strlen(name)); }

bool bs_name_valid(const char* name) {
  if (!name || !name[0]) return false;
  return std::memchr(name, 0, BS_NAME_MAX + 1) != nullptr;
}

int bs_manifest_push(bs_store* s, const bs_entry* e) {
  if (s->manifest_count == s->manifest_capacity) {
    u64 cap = s->manifest_capacity ? 2 * s->manifest_capacity : 16;
    void* grown = memRealloc(s->manifest, cap * sizeof(bs_entry));
    if (!grown) return -1;
    s->manifest = static_cast<bs_entry*>(grown);
    s->manifest_capacity = cap;
  }
  if (!e->deleted) {
    u64 h = bs_name_hash(e->name);
    u64 pos = s->manifest_count;
    if (sm_put(s->names, &h, &pos) < 0) return -1;
  }
  s->manifest[s->manifest_count++] = *e;
  if (e->deleted) s->deleted_count++;
  return 0;
}

i64 bs_manifest_find(bs_store* s, const char* name) {
  if (!bs_name_valid(name)) return -1;
  u64 h = bs_name_hash(name);
  const u64* pos = static_cast<const u64*>(sm_find(s->names, &h));
  if (!pos || *pos >= s->manifest_count) return -1;
  const bs_entry& e = s->manifest[*pos];
  if (e.deleted || std::strncmp(e.name, name, 256) != 0) return -1;
  return (i64)*pos;
}

void bs_manifest_free(bs_entry* entries, u64 count) {
  if (!entries) return;
  for (u64 i = 0; i < count; i++) memFree(entries[i].chunks);
  memFree(entries);
}

int bs_trailer_build(void* index, void* keep, const bs_entry* entries, u64 count, u8** out, u64* index_len,
                     u64* manifest_len) {
  u64 kept = 0;
  for (u64 i = 0, cap = sm_cap(index); i < cap; i++)
    if (sm_slot_full(index, i) && (!keep || sm_find(keep, sm_slot(index, i)))) kept++;
  u64 ilen = kept * BS_INDEX_ENTRY_SIZE;
  u64 mlen = 4;
  for (u64 i = 0; i < count; i++) mlen += BS_MANIFEST_FIXED + 8 * entries[i].chunk_count;
  if (count > 0xFFFFFFFFull) return -1;
  u8* buf = static_cast<u8*>(memAlloc(ilen + mlen));
  if (!buf) return -1;
  u8* p = buf;
  for (u64 i = 0, cap = sm_cap(index); i < cap; i++) {
    if (!sm_slot_full(index, i) || (keep && !sm_find(keep, sm_slot(index, i)))) continue;
    bs_index_entry e;
    std::memcpy(&e, sm_slot(index, i) + 8, sizeof e);
    bs_index_entry_store(&e, p);
    p += BS_INDEX_ENTRY_SIZE;
  }
  le_store32(p, (u32)count);
  p += 4;
  for (u64 i = 0; i < count; i++) {
    const bs_entry& e = entries[i];
    std::memset(p, 0, 256);
    std::memcpy(p, e.name, std::strlen(e.name));
    le_store64(p + 256, e.size);
    le_store64(p + 264, e.mtime);
    p[272] = e.deleted;
    le_store32(p + 273, (u32)e.chunk_count);
    for (u64 c = 0; c < e.chunk_count; c++) le_store64(p + BS_MANIFEST_FIXED + 8 * c, e.chunks[c]);
    p += BS_MANIFEST_FIXED + 8 * e.chunk_count;
  }
  *out = buf;
  *index_len = ilen;
  *manifest_len = mlen;
  return 0;
}

bool bs_space_due(const bs_store* s) {
  // The size a compaction would leave is as of the last flush or open: records
  // added since count as dead until the next flush, which only brings this forward.
  u64 end = s->append_offset > s->file_end ? s->append_offset : s->file_end;
  return s->compact_size > 0 && end > (s->compact_size + s->compact_trailer) * 3 / 2;
}

bool bs_compaction_due(const bs_store* s) {
  return (s->deleted_count > 0 && s->deleted_count >= s->manifest_count / 2) || bs_space_due(s);
}

bs_status bs_open(bs_store** out, const char* path, const bs_cfg* cfg) {
  if (!out || !path) return BS_ERR;
  *out = nullptr;
  size_t path_len = std::strlen(path);
  if (path_len == 0 || path_len > BS_PATH_MAX) return BS_ERR;
  bs_store* s = static_cast<bs_store*>(memCalloc(1, sizeof(bs_store)));
  if (!s) return BS_ERR;
  new (s) bs_store{};
  s->fd = -1;
  threadMutexInit(&s->mutex);
  s->chunk_size = cfg && cfg->chunk_size ? cfg->chunk_size : 65536;
  s->window_size = cfg && cfg->nz_window_size ? cfg->nz_window_size : 1;
  s->worker_count = cfg && cfg->nz_block_size ? cfg->nz_block_size : defaultWorkers();
  std::memcpy(s->path, path, path_len + 1);
  // Chunk lengths are u32 on disk and the scratch buffers are twice a chunk.
  if (s->chunk_size > (1u << 30) || s->worker_count > 1024) {
    destroyStore(s);
    return BS_ERR;
  }

  s->read_only = cfg && cfg->read_only;
  bool created = false;
  bs_status locked = lockedOpen(s, &created);
  if (locked != BS_OK) {
    destroyStore(s);
    return locked;
  }
  u64 size = 0;
  s->index = bs_map_new(1024, sizeof(bs_index_entry));
  s->names = bs_map_new(1024, 8);
  bool ok = s->fd >= 0 && s->index && s->names && bs_file_size(s->fd, &size) == 0;
  if (ok) ok = tp_start(&s->pool, s->worker_count) == 0;
  s->pool_started = ok;
  // A reader never sets up an empty file: it is not a store yet.
  if (ok && size == 0 && s->read_only) ok = false;
  if (ok) ok = (size == 0 ? createNewStore(s, cfg) : openExistingStore(s, cfg, size)) == 0;
  if (ok) ok = allocSlots(s) == 0;
  if (!ok) {
    releaseStore(s);
    if (created) unlink(path);
    destroyStore(s);
    return BS_ERR;
  }
  // A failed compaction leaves the store as it was; the open still succeeds and
  // bs_compaction_pending tells.
  if (!s->read_only && bs_compaction_due(s)) bs_compact_nolock(s);
  *out = s;
  return BS_OK;
}

bs_status bs_close(bs_store* s) {
  if (!s) return BS_OK;
  threadMutexLock(&s->mutex);
  bs_status r = s->dirty ? bs_flush_nolock(s) : BS_OK;
  // A failed compaction leaves the flushed store as it was.
  if (r == BS_OK && !s->read_only && bs_compaction_due(s)) bs_compact_nolock(s);
  threadMutexUnlock(&s->mutex);
  destroyStore(s);
  return r;
}

bs_status bs_flush_nolock(bs_store* s) {
  if (!s->dirty) return BS_OK;
  if (s->read_only) return BS_ERR;
  // The new trailer lists only chunks live entries use; the others become dead
  // space once it is on disk.
  void* live = bs_live_chunks(s);
  if (!live) return BS_ERR;
  u8* trailer = nullptr;
  u64 ilen = 0, mlen = 0, record_end = BS_SUPERBLOCK_SIZE;
  for (u64 i = 0, cap = sm_cap(s->index); i < cap; i++) {
    if (!sm_slot_full(s->index, i) || !sm_find(live, sm_slot(s->index, i))) continue;
    bs_index_entry e;
    std::memcpy(&e, sm_slot(s->index, i) + 8, sizeof e);
    if (e.record_offset + e.record_length > record_end) record_end = e.record_offset + e.record_length;
  }
  int built = bs_trailer_build(s->index, live, s->manifest, s->manifest_count, &trailer, &ilen, &mlen);
  sm_free(live);
  if (built != 0) return BS_ERR;
  // Never over the trailer the superblock points to: that one is not free space.
  u64 at = bs_space_take_trailer(s, ilen + mlen, s->disk.index_length + s->disk.manifest_length);
  int r = bs_pwrite(s->fd, trailer, ilen + mlen, at);
  memFree(trailer);
  if (r != 0 || bs_fsync(s->fd) != 0) return BS_ERR;
  bs_crash_here("flush:trailer");
  bs_superblock sb{};
  sb.magic = BS_MAGIC;
  sb.version = BS_VERSION;
  // One past the last record, as always; the trailer starts there unless it went
  // into a dead range, or past the end with room below it.
  sb.data_end = record_end;
  sb.index_offset = at;
  sb.index_length = ilen;
  sb.manifest_offset = at + ilen;
  sb.manifest_length = mlen;
  std::memcpy(sb.crypto, s->keys.header, BS_CRYPTO_HEADER_SIZE);
  u8 raw[BS_SUPERBLOCK_SIZE];
  bs_superblock_store(&sb, raw);
  if (bs_pwrite(s->fd, raw, BS_SUPERBLOCK_SIZE, 0) != 0 || bs_fsync(s->fd) != 0) return BS_ERR;
  s->disk = sb;
  s->dirty = false;
  s->records_since_flush = 0;
  bs_crash_here("flush:superblock");
  // Should this fail (memory), the old dead ranges stay valid: they are still dead.
  bs_space_rebuild(s, true);
  return BS_OK;
}

bool bs_compaction_pending(bs_store* s) {
  if (!s) return false;
  threadMutexLock(&s->mutex);
  bool due = !s->read_only && bs_compaction_due(s);
  threadMutexUnlock(&s->mutex);
  return due;
}

bs_status bs_flush(bs_store* s) {
  if (!s) return BS_ERR;
  threadMutexLock(&s->mutex);
  bs_status r = bs_flush_nolock(s);
  // Dead space beyond its bound is compacted away; should that fail, the flushed
  // store stands and bs_compaction_pending tells.
  if (r == BS_OK && !s->read_only && bs_space_due(s)) bs_compact_nolock(s);
  threadMutexUnlock(&s->mutex);
  return r;
}

bs_status bs_delete(bs_store* s, const char* name) {
  if (!s) return BS_ERR;
  threadMutexLock(&s->mutex);
  i64 pos = s->read_only ? -1 : bs_manifest_find(s, name);
  if (pos >= 0) {
    s->manifest[pos].deleted = 1;
    s->deleted_count++;
    u64 h = bs_name_hash(name);
    sm_delete(s->names, &h);
    s->dirty = true;
  }
  threadMutexUnlock(&s->mutex);
  return pos >= 0 ? BS_OK : BS_ERR;
}

bool bs_contains(bs_store* s, const char* name) {
  if (!s || !name) return false;
  threadMutexLock(&s->mutex);
  bool found = bs_manifest_find(s, name) >= 0;
  threadMutexUnlock(&s->mutex);
  return found;
}

i64 bs_expire(bs_store* s, u64 size_threshold, u64 max_age_seconds) {
  if (!s) return -1;
  threadMutexLock(&s->mutex);
  i64 flagged = 0;
  if (s->read_only || bs_flush_nolock(s) != BS_OK) {
    flagged = -1;
  } else {
    u64 now = (u64)time(nullptr);
    for (u64 i = 0; i < s->manifest_count; i++) {
      bs_entry& e = s->manifest[i];
      if (e.deleted || e.size <= size_threshold || e.mtime >= now || now - e.mtime <= max_age_seconds) continue;
      e.deleted = 1;
      flagged++;
    }
    if (flagged > 0) {
      s->dirty = true;
      if (bs_flush_nolock(s) != BS_OK)
        flagged = -1;
      else if (bs_space_due(s))
        bs_compact_nolock(s);  // a failure leaves the flushed store as it is
    }
  }
  threadMutexUnlock(&s->mutex);
  return flagged;
}

bs_stats bs_get_stats(bs_store* s) {
  if (!s) return bs_stats{};
  threadMutexLock(&s->mutex);
  bs_stats st = s->stats;
  threadMutexUnlock(&s->mutex);
  return st;
}

u64 bs_chunk_count(bs_store* s) {
  if (!s) return 0;
  threadMutexLock(&s->mutex);
  u64 n = sm_size(s->index);
  threadMutexUnlock(&s->mutex);
  return n;
}

u64 bs_manifest_count(bs_store* s) {
  if (!s) return 0;
  threadMutexLock(&s->mutex);
  u64 n = 0;
  for (u64 i = 0; i < s->manifest_count; i++) n += liveEntry(s->manifest[i]) ? 1 : 0;
  threadMutexUnlock(&s->mutex);
  return n;
}

const char* bs_manifest_name(bs_store* s, u64 i) {
  if (!s) return nullptr;
  threadMutexLock(&s->mutex);
  const bs_entry* e = nthLive(s, i);
  threadMutexUnlock(&s->mutex);
  return e ? e->name : nullptr;
}

bs_status bs_manifest_entry_info(bs_store* s, u64 i, u64* size, u64* chunks, u64* mtime) {
  if (!s) return BS_ERR;
  threadMutexLock(&s->mutex);
  const bs_entry* e = nthLive(s, i);
  if (e) {
    if (size) *size = e->size;
    if (chunks) *chunks = e->chunk_count;
    if (mtime) *mtime = e->mtime;
  }
  threadMutexUnlock(&s->mutex);
  return e ? BS_OK : BS_ERR;
}
