// Adding entries: the single-chunk path on the calling thread and the worker
// pipeline with its ring of in-flight items for larger buffers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <new>

#include "platform/hashmap.h"
#include "platform/memory.h"
#include "store/bs_internal.h"
#include "store/zstd01.h"

namespace {

const u8 kNoBytes[1] = {0};

// Compresses raw into pack when that makes it smaller; returns the stored bytes.
int packChunk(const u8* raw, u32 raw_len, u8* pack, size_t pack_cap, const u8** stored, u32* stored_len) {
  *stored = raw;
  *stored_len = raw_len;
  if (raw_len == 0) return 0;  // nothing is smaller than no bytes
  size_t n = zstd01::ZSTD_compress(pack, pack_cap, raw, raw_len);
  if (zstd01::ZSTD_isError(n)) return -1;
  if (n < raw_len) {
    *stored = pack;
    *stored_len = (u32)n;
  }
  return 0;
}

// Writes one record (header then sealed payload) at the append offset and indexes it.
int appendRecord(bs_store* s, const bs_work_item* it, const u8* sealed) {
  bs_chunk_header h{};
  h.magic = BS_CHUNK_MAGIC;
  h.raw_length = it->raw_length;
  h.stored_length = it->stored_length;
  h.sealed_length = it->sealed_length;
  h.id = it->id;
  h.sequence = it->check;  // the second hash, not a counter: see bs_chunk_check
  std::memcpy(h.iv, it->iv, 16);
  u8 head[BS_CHUNK_HEADER_SIZE];
  bs_chunk_header_store(&h, head);
  u64 record = BS_CHUNK_HEADER_SIZE + it->sealed_length;
  u64 at = bs_space_take(s, record);
  if (bs_pwrite(s->fd, head, BS_CHUNK_HEADER_SIZE, at) != 0 ||
      bs_pwrite(s->fd, sealed, it->sealed_length, at + BS_CHUNK_HEADER_SIZE) != 0)
    return -1;
  s->next_sequence++;
  if (at + record > s->record_end) s->record_end = at + record;
  s->records_since_flush += record;
  bs_index_entry e{it->id, at, it->raw_length, (u32)record};
  if (sm_put(s->index, &e.id, &e) < 0) return -1;
  s->stats.stored_chunks++;
  s->stats.stored_bytes += record;
  bs_crash_here("add:record");
  return 0;
}

void prepareItem(bs_store* s, bs_work_item* it, bs_slot* slot, u64 id, u32 raw_length) {
  it->keys = &s->keys;
  it->chunk_size = s->chunk_size;
  it->slot = slot;
  it->raw_length = raw_length;
  it->stored_length = it->sealed_length = 0;
  it->id = id;
  it->check = 0;
  it->result = -1;
  it->done.store(0, std::memory_order_relaxed);
}

int addSingle(bs_store* s, const u8* data, size_t len, u64* id_out) {
  const u8* bytes = len ? data : kNoBytes;
  u64 id = bs_chunk_id(bytes, len);
  *id_out = id;
  bs_slot* slot = &s->slots[0];
  // One id maps to one record: a stored chunk of other bytes under this id means
  // the add cannot be stored, and nothing is written.
  if (const bs_index_entry* x = static_cast<const bs_index_entry*>(sm_find(s->index, &id))) {
    if (bs_chunk_same(s, x, bytes, (u32)len, bs_chunk_check(bytes, len), slot) != 1) return -1;
    s->stats.logical_chunks++;
    s->stats.logical_bytes += len;
    return 0;
  }
  s->stats.logical_chunks++;
  s->stats.logical_bytes += len;
  bs_work_item it;
  prepareItem(s, &it, slot, id, (u32)len);
  it.check = bs_chunk_check(bytes, len);
  const u8* stored;
  u32 stored_len;
  if (packChunk(bytes, (u32)len, slot->pack, 2 * (size_t)s->chunk_size + 64, &stored, &stored_len) != 0) return -1;
  size_t sealed = 0;
  if (bs_seal_payload(&s->keys.enc, s->keys.mac_key, stored, stored_len, slot->seal, 2 * (size_t)s->chunk_size + 96,
                      &sealed, it.iv) != 0)
    return -1;
  it.stored_length = stored_len;
  it.sealed_length = (u32)sealed;
  return appendRecord(s, &it, slot->seal);
}

// Both hashes of a run of pieces, computed by a worker.
struct HashJob {
  const u8* data;
  size_t len;
  size_t cs;
  u64 first, end;
  u64* ids;
  u64* checks;
  std::atomic<u32> done;
};

void hashPieces(void* arg) {
  HashJob* j = static_cast<HashJob*>(arg);
  for (u64 p = j->first; p < j->end; p++) {
    const u8* piece = j->data + p * j->cs;
    size_t n = j->len - p * j->cs < j->cs ? j->len - p * j->cs : j->cs;
    j->ids[p] = bs_chunk_id(piece, n);
    j->checks[p] = bs_chunk_check(piece, n);
  }
  j->done.store(1, std::memory_order_release);
}

// The ids and second hashes of every piece, spread over the workers: hashing is
// nearly all the work of saving unchanged data again.
int hashPiecesAll(bs_store* s, const u8* data, size_t len, u64 pieces, u64* ids, u64* checks) {
  u64 jobs = pieces < 2 * (u64)s->worker_count ? pieces : 2 * (u64)s->worker_count;
  HashJob* js = static_cast<HashJob*>(memAlloc(jobs * sizeof(HashJob)));
  if (!js) return -1;
  for (u64 j = 0; j < jobs; j++) {
    new (&js[j]) HashJob{data, len, s->chunk_size, pieces * j / jobs, pieces * (j + 1) / jobs, ids, checks, {0}};
    if (tp_submit(&s->pool, hashPieces, &js[j]) != 0) hashPieces(&js[j]);  // no job record: here instead
  }
  for (u64 j = 0; j < jobs; j++) tp_wait_item(&s->pool, &js[j].done);
  memFree(js);
  return 0;
}

// Before anything is written, every piece's id is checked: against the chunk
// already stored under it, and against earlier pieces of this buffer that share it.
// Different bytes under one id fail the add.
int checkIds(bs_store* s, const u8* data, size_t len, u64 pieces, const u64* chunks, const u64* checks) {
  size_t cs = s->chunk_size;
  void* first = bs_map_new(pieces < 1024 ? 1024 : pieces, 8);  // new id -> its first piece
  if (!first) return -1;
  int r = 0;
  for (u64 p = 0; p < pieces && r == 0; p++) {
    const u8* piece = data + p * cs;
    u32 n = (u32)(len - p * cs < cs ? len - p * cs : cs);
    u64 id = chunks[p];
    if (const bs_index_entry* x = static_cast<const bs_index_entry*>(sm_find(s->index, &id))) {
      if (bs_chunk_same(s, x, piece, n, checks[p], &s->slots[0]) != 1) r = -1;
    } else if (const u64* q = static_cast<const u64*>(sm_find(first, &id))) {
      u64 qn = len - *q * cs < cs ? len - *q * cs : cs;
      if (qn != n || checks[*q] != checks[p] || std::memcmp(data + *q * cs, piece, n) != 0) r = -1;
    } else if (sm_put(first, &id, &p) < 0) {
      r = -1;
    }
  }
  sm_free(first);
  return r;
}

// Pieces go to the workers through a ring of slot_count items; the oldest is drained
// (its record written) when the ring is full and at the end, so records land in
// buffer order. Equality is checked against the index only: a piece equal to one
// still in flight is written again.
int addMulti(bs_store* s, const u8* data, size_t len, u64* chunks) {
  size_t cs = s->chunk_size;
  u64 pieces = (len + cs - 1) / cs;
  u64* checks = static_cast<u64*>(memAlloc(pieces * sizeof(u64)));
  if (!checks) return -1;
  if (hashPiecesAll(s, data, len, pieces, chunks, checks) != 0 || checkIds(s, data, len, pieces, chunks, checks) != 0) {
    memFree(checks);
    return -1;
  }
  u32 ring = s->slot_count;
  bs_work_item* items = static_cast<bs_work_item*>(memAlloc(ring * sizeof(bs_work_item)));
  if (!items) {
    memFree(checks);
    return -1;
  }
  for (u32 i = 0; i < ring; i++) new (&items[i]) bs_work_item{};
  u64 submitted = 0, drained = 0;
  int r = 0;
  auto drainOldest = [&]() {
    bs_work_item* it = &items[drained % ring];
    tp_wait_item(&s->pool, &it->done);
    drained++;
    if (r == 0 && (it->result != 0 || appendRecord(s, it, it->slot->seal) != 0)) r = -1;
  };
  for (u64 p = 0; p < pieces && r == 0; p++) {
    const u8* piece = data + p * cs;
    u32 n = (u32)(len - p * cs < cs ? len - p * cs : cs);
    u64 id = chunks[p];
    s->stats.logical_chunks++;
    s->stats.logical_bytes += n;
    if (sm_find(s->index, &id)) continue;
    bs_work_item* it = &items[submitted % ring];
    bs_slot* slot = &s->slots[submitted % ring];
    prepareItem(s, it, slot, id, n);
    it->check = checks[p];
    std::memcpy(slot->raw, piece, n);
    if (tp_submit(&s->pool, bs_add_worker, it) != 0) {
      r = -1;
      break;
    }
    submitted++;
    if (submitted - drained == ring) drainOldest();
  }
  // In-flight items are always awaited, also after a failure: workers use their slots.
  while (drained < submitted) drainOldest();
  memFree(items);
  memFree(checks);
  return r;
}

}  // namespace

void bs_add_worker(void* arg) {
  bs_work_item* it = static_cast<bs_work_item*>(arg);
  size_t cs = it->chunk_size;
  const u8* stored;
  u32 stored_len;
  size_t sealed = 0;
  int r = packChunk(it->slot->raw, it->raw_length, it->slot->pack, 2 * cs + 64, &stored, &stored_len);
  if (r == 0)
    r = bs_seal_payload(&it->keys->enc, it->keys->mac_key, stored, stored_len, it->slot->seal, 2 * cs + 96, &sealed,
                        it->iv);
  it->stored_length = stored_len;
  it->sealed_length = (u32)sealed;
  it->result = r == 0 ? 0 : -1;
  it->done.store(1, std::memory_order_release);
}

bs_status bs_add_buffer_nolock(bs_store* s, const u8* data, size_t len, const char* name) {
  if (!s || s->read_only || !bs_name_valid(name) || (!data && len)) return BS_ERR;
  bs_entry e{};
  std::strcpy(e.name, name);
  e.mtime = (u64)time(nullptr);
  e.size = len;
  u64 cs = s->chunk_size;
  e.chunk_count = len <= cs ? 1 : (len + cs - 1) / cs;
  e.chunks = static_cast<u64*>(memAlloc(e.chunk_count * sizeof(u64)));
  if (!e.chunks) return BS_ERR;
  int r = len <= cs ? addSingle(s, data, len, &e.chunks[0]) : addMulti(s, data, len, e.chunks);
  if (r != 0) {
    memFree(e.chunks);
    return BS_ERR;
  }
  i64 pos = bs_manifest_find(s, name);
  if (pos >= 0) {
    memFree(s->manifest[pos].chunks);
    s->manifest[pos] = e;
  } else if (bs_manifest_push(s, &e) != 0) {
    memFree(e.chunks);
    return BS_ERR;
  }
  s->dirty = true;
  return BS_OK;
}

bs_status bs_add_buffer(bs_store* s, const u8* data, size_t len, const char* name) {
  if (!s) return BS_ERR;
  threadMutexLock(&s->mutex);
  bs_status r = bs_add_buffer_nolock(s, data, len, name);
  threadMutexUnlock(&s->mutex);
  return r;
}

bs_status bs_add_file(bs_store* s, const char* path, const char* name) {
  if (!s || !path) return BS_ERR;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return BS_ERR;
  struct stat st;
  u64 size = 0;
  bs_status r = BS_ERR;
  // Only regular files have a size to trust; a pipe would read as empty.
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (size = (u64)st.st_size) <= SIZE_MAX) {
    u8* buf = size ? static_cast<u8*>(memAlloc(size)) : nullptr;
    if ((buf || size == 0) && bs_pread(fd, buf, size, 0) == 0) r = bs_add_buffer(s, buf, size, name);
    memFree(buf);
  }
  close(fd);
  return r;
}
