// Restoring entries: records are read on the calling thread, opened, decompressed
// and checked against their ids by the workers, straight into the destination.
#include <fcntl.h>
#include <unistd.h>
#include <xxhash.h>

#include <cstring>
#include <new>

#include "platform/hashmap.h"
#include "platform/memory.h"
#include "store/bs_internal.h"
#include "store/zstd01.h"

namespace {

u8 gNoBytes[1];

const bs_index_entry* lookup(bs_store* s, u64 id) { return static_cast<const bs_index_entry*>(sm_find(s->index, &id)); }

// The entry's size checked against its chunks before it sizes anything: every chunk
// indexed, lengths summing to size, and no more than a chunk's worth per chunk.
int checkedSize(bs_store* s, const bs_entry& e, u64* size) {
  u64 sum = 0;
  for (u64 i = 0; i < e.chunk_count; i++) {
    const bs_index_entry* x = lookup(s, e.chunks[i]);
    if (!x || x->raw_length > s->chunk_size) return -1;
    sum += x->raw_length;
  }
  if (sum != e.size || e.size > e.chunk_count * (u64)s->chunk_size) return -1;
  *size = sum;
  return 0;
}

// Reads a whole record into the slot's raw buffer and checks its header.
int readRecord(bs_store* s, const bs_index_entry* x, bs_slot* slot) {
  if (x->record_length > 2 * (u64)s->chunk_size + 144) return -1;
  if (bs_pread(s->fd, slot->raw, x->record_length, x->record_offset) != 0) return -1;
  bs_chunk_header h;
  bs_chunk_header_load(&h, slot->raw);
  return bs_chunk_header_plausible(s, &h, x) ? 0 : -1;
}

void prepareItem(bs_store* s, bs_work_item* it, bs_slot* slot, const bs_index_entry* x, u8* out) {
  it->keys = &s->keys;
  it->chunk_size = s->chunk_size;
  it->slot = slot;
  it->raw_length = x->raw_length;
  it->id = x->id;
  it->out = out ? out : gNoBytes;
  it->result = -1;
  it->done.store(0, std::memory_order_relaxed);
}

}  // namespace

bool bs_chunk_header_plausible(const bs_store* s, const bs_chunk_header* h, const bs_index_entry* e) {
  u64 cs = s->chunk_size;
  u64 tag = bs_crypto_enabled(s->keys.mac_key) ? BS_TAG_SIZE : 0;
  return h->magic == BS_CHUNK_MAGIC && h->id == e->id && h->raw_length == e->raw_length && h->raw_length <= cs &&
         h->stored_length <= 2 * cs + 64 && h->sealed_length <= 2 * cs + 96 &&
         (u64)h->sealed_length + BS_CHUNK_HEADER_SIZE == e->record_length &&
         (u64)h->sealed_length == h->stored_length + tag;
}

void bs_restore_worker(void* arg) {
  bs_work_item* it = static_cast<bs_work_item*>(arg);
  const bs_crypto_keys* k = it->keys;
  size_t cs = it->chunk_size;
  const u8* record = it->slot->raw;
  bs_chunk_header h;
  bs_chunk_header_load(&h, record);
  const u8* payload = record + BS_CHUNK_HEADER_SIZE;
  int r = 0;
  const u8* stored = payload;
  if (bs_crypto_enabled(k->mac_key)) {
    size_t opened = 0;
    r = bs_open_payload(&k->enc, k->mac_key, payload, h.sealed_length, h.iv, it->slot->pack, 2 * cs + 64, &opened);
    if (r == 0 && opened != h.stored_length) r = -1;
    stored = it->slot->pack;
  }
  if (r == 0) {
    if (h.stored_length != h.raw_length) {
      size_t n = zstd01::ZSTD_decompress(it->out, it->raw_length, stored, h.stored_length);
      if (zstd01::ZSTD_isError(n) || n != it->raw_length) r = -1;
    } else if (h.raw_length) {
      std::memcpy(it->out, stored, h.raw_length);
    }
  }
  // The id is the hash of the raw bytes: a damaged record never passes as data.
  if (r == 0 && bs_chunk_id(it->out, it->raw_length) != it->id) r = -1;
  it->result = r == 0 ? 0 : -1;
  it->done.store(1, std::memory_order_release);
}

int bs_chunk_same(bs_store* s, const bs_index_entry* x, const u8* bytes, u32 len, u64 check, bs_slot* slot) {
  if (x->raw_length != len) return 0;
  bs_chunk_header h;
  if (bs_pread(s->fd, slot->raw, BS_CHUNK_HEADER_SIZE, x->record_offset) != 0) return -1;
  bs_chunk_header_load(&h, slot->raw);
  if (!bs_chunk_header_plausible(s, &h, x)) return -1;
  if (h.sequence == check) return 1;
  // The seal buffer has room for a chunk and is free while a record is read.
  bs_work_item it;
  prepareItem(s, &it, slot, x, slot->seal);
  if (readRecord(s, x, slot) != 0) return -1;
  bs_restore_worker(&it);
  if (it.result != 0) return -1;
  return len == 0 || std::memcmp(slot->seal, bytes, len) == 0 ? 1 : 0;
}

bs_status bs_restore_buffer_into_nolock(bs_store* s, const char* name, u8* dst, size_t capacity, size_t* outLen) {
  if (!s || !outLen || (!dst && capacity)) return BS_ERR;
  i64 pos = bs_manifest_find(s, name);
  if (pos < 0) return BS_ERR;
  const bs_entry& e = s->manifest[pos];
  u64 size = 0;
  if (checkedSize(s, e, &size) != 0 || size > capacity) return BS_ERR;
  if (e.chunk_count == 0) {
    *outLen = 0;
    return BS_OK;
  }
  if (e.chunk_count == 1) {
    const bs_index_entry* x = lookup(s, e.chunks[0]);
    bs_work_item it;
    prepareItem(s, &it, &s->slots[0], x, dst);
    if (readRecord(s, x, &s->slots[0]) != 0) return BS_ERR;
    bs_restore_worker(&it);
    if (it.result != 0) return BS_ERR;
    *outLen = x->raw_length;
    return BS_OK;
  }
  // Offsets into the destination are known from the index, so every chunk is
  // decompressed in place. The window uses every slot, as adds do: with only one
  // item per worker, workers idle whenever the reading thread is descheduled.
  u32 window = s->slot_count;
  bs_work_item* items = static_cast<bs_work_item*>(memAlloc(window * sizeof(bs_work_item)));
  if (!items) return BS_ERR;
  for (u32 i = 0; i < window; i++) new (&items[i]) bs_work_item{};
  u64 submitted = 0, drained = 0, offset = 0;
  int r = 0;
  auto drainOldest = [&]() {
    bs_work_item* it = &items[drained % window];
    tp_wait_item(&s->pool, &it->done);
    drained++;
    if (it->result != 0) r = -1;
  };
  for (u64 i = 0; i < e.chunk_count && r == 0; i++) {
    const bs_index_entry* x = lookup(s, e.chunks[i]);
    bs_work_item* it = &items[submitted % window];
    bs_slot* slot = &s->slots[submitted % window];
    prepareItem(s, it, slot, x, dst + offset);
    offset += x->raw_length;
    if (readRecord(s, x, slot) != 0 || tp_submit(&s->pool, bs_restore_worker, it) != 0) {
      r = -1;
      break;
    }
    submitted++;
    if (submitted - drained == window) drainOldest();
  }
  while (drained < submitted) drainOldest();
  memFree(items);
  if (r != 0) return BS_ERR;
  *outLen = offset;
  return BS_OK;
}

bs_status bs_restore_buffer_into(bs_store* s, const char* name, u8* dst, size_t capacity, size_t* outLen) {
  if (!s) return BS_ERR;
  threadMutexLock(&s->mutex);
  bs_status r = bs_restore_buffer_into_nolock(s, name, dst, capacity, outLen);
  threadMutexUnlock(&s->mutex);
  return r;
}

bs_status bs_restore_buffer(bs_store* s, const char* name, u8** out, size_t* outLen) {
  if (!s || !out || !outLen) return BS_ERR;
  *out = nullptr;
  *outLen = 0;
  threadMutexLock(&s->mutex);
  bs_status r = BS_ERR;
  i64 pos = bs_manifest_find(s, name);
  u64 size = 0;
  if (pos >= 0 && checkedSize(s, s->manifest[pos], &size) == 0 && size <= SIZE_MAX) {
    u8* buf = size ? static_cast<u8*>(memAlloc(size)) : nullptr;
    size_t n = 0;
    if ((buf || size == 0) && bs_restore_buffer_into_nolock(s, name, buf, size, &n) == BS_OK) {
      *out = buf;
      *outLen = n;
      r = BS_OK;
    } else {
      memFree(buf);
    }
  }
  threadMutexUnlock(&s->mutex);
  return r;
}

bs_status bs_restore_file(bs_store* s, const char* name, const char* path) {
  if (!s || !path) return BS_ERR;
  u8* buf = nullptr;
  size_t n = 0;
  if (bs_restore_buffer(s, name, &buf, &n) != BS_OK) return BS_ERR;
  bs_status r = BS_ERR;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    if (bs_pwrite(fd, buf, n, 0) == 0 && bs_fsync(fd) == 0) r = BS_OK;
    if (close(fd) != 0) r = BS_ERR;
  }
  memFree(buf);
  return r;
}
