// Verification: every record the index lists, in file order, read and checked by the
// same job as a restore.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/hashmap.h"
#include "platform/memory.h"
#include "store/bs_internal.h"

namespace {

// The index entries sorted by record offset; null (with count 0) when empty.
bs_index_entry* sortedIndex(void* index, u64* count, bool* ok) {
  *count = sm_size(index);
  *ok = true;
  if (*count == 0) return nullptr;
  bs_index_entry* v = static_cast<bs_index_entry*>(memAlloc(*count * sizeof(bs_index_entry)));
  if (!v) {
    *ok = false;
    return nullptr;
  }
  u64 n = 0;
  for (u64 i = 0, cap = sm_cap(index); i < cap; i++)
    if (sm_slot_full(index, i)) std::memcpy(&v[n++], sm_slot(index, i) + 8, sizeof(bs_index_entry));
  std::sort(v, v + n, [](const bs_index_entry& a, const bs_index_entry& b) { return a.record_offset < b.record_offset; });
  return v;
}

// Every live entry against the index: each chunk it lists must be stored, and their
// lengths must add up to the entry's size. Returns the number of damaged entries.
u64 checkManifest(bs_store* s) {
  u64 damaged = 0;
  for (u64 i = 0; i < s->manifest_count; i++) {
    const bs_entry& e = s->manifest[i];
    if (e.deleted) continue;
    u64 sum = 0, missing = 0;
    for (u64 c = 0; c < e.chunk_count; c++) {
      const bs_index_entry* x = static_cast<const bs_index_entry*>(sm_find(s->index, &e.chunks[c]));
      if (!x) {
        if (missing++ == 0)
          std::fprintf(stderr, "verify: entry '%s': chunk #%llu (id=%llx) is not stored\n", e.name,
                       (unsigned long long)c + 1, (unsigned long long)e.chunks[c]);
        continue;
      }
      sum += x->raw_length;
    }
    if (missing == 0 && sum != e.size)
      std::fprintf(stderr, "verify: entry '%s': its chunks hold %llu bytes, the entry says %llu\n", e.name,
                   (unsigned long long)sum, (unsigned long long)e.size);
    if (missing || sum != e.size) damaged++;
  }
  return damaged;
}

// Information, not errors: records no live entry lists, and file ranges that hold
// neither a listed record nor the trailer (both go at the next compaction).
void reportUnused(bs_store* s, const bs_index_entry* v, u64 count) {
  void* used = bs_map_new(1024, 1);
  if (!used) return;
  u8 one = 1;
  for (u64 i = 0; i < s->manifest_count; i++) {
    const bs_entry& e = s->manifest[i];
    for (u64 c = 0; !e.deleted && c < e.chunk_count; c++) sm_put(used, &e.chunks[c], &one);
  }
  u64 unlisted = 0, unlistedBytes = 0;
  for (u64 i = 0; i < count; i++)
    if (!sm_find(used, &v[i].id)) {
      unlisted++;
      unlistedBytes += v[i].record_length;
    }
  sm_free(used);
  if (unlisted)
    std::fprintf(stderr, "verify: info: %llu chunk records (%llu bytes) belong to no live entry\n",
                 (unsigned long long)unlisted, (unsigned long long)unlistedBytes);
  u64 fileSize = 0;
  if (bs_file_size(s->fd, &fileSize) != 0) return;
  u64 trailerAt = s->disk.index_offset, trailerEnd = s->disk.manifest_offset + s->disk.manifest_length;
  u64 at = BS_SUPERBLOCK_SIZE, ranges = 0, bytes = 0;
  auto gapTo = [&](u64 to) {
    if (to > at) {
      ranges++;
      bytes += to - at;
    }
  };
  bool trailerSeen = trailerEnd <= trailerAt;
  for (u64 i = 0; i <= count; i++) {
    u64 next = i < count ? v[i].record_offset : fileSize;
    if (!trailerSeen && trailerAt <= next) {
      gapTo(trailerAt);
      if (trailerEnd > at) at = trailerEnd;
      trailerSeen = true;
    }
    gapTo(next);
    if (i < count && v[i].record_offset + v[i].record_length > at) at = v[i].record_offset + v[i].record_length;
  }
  if (ranges)
    std::fprintf(stderr, "verify: info: %llu bytes in %llu ranges hold no listed record or the trailer\n",
                 (unsigned long long)bytes, (unsigned long long)ranges);
}

}  // namespace

bs_index_entry* bs_index_sorted(void* index, u64* count, bool* ok) { return sortedIndex(index, count, ok); }

bs_status bs_verify_nolock(bs_store* s) {
  if (bs_flush_nolock(s) != BS_OK) return BS_ERR;
  u64 count = 0;
  bool ok = true;
  bs_index_entry* v = sortedIndex(s->index, &count, &ok);
  if (!ok) return BS_ERR;
  u32 window = s->worker_count < s->slot_count ? s->worker_count : s->slot_count;
  bs_work_item* items = static_cast<bs_work_item*>(memAlloc(window * sizeof(bs_work_item)));
  if (!items) {
    memFree(v);
    return BS_ERR;
  }
  for (u32 i = 0; i < window; i++) new (&items[i]) bs_work_item{};
  u64 checked = 0, errors = 0, submitted = 0, drained = 0;
  auto drainOldest = [&]() {
    bs_work_item* it = &items[drained % window];
    tp_wait_item(&s->pool, &it->done);
    drained++;
    if (it->result != 0) {
      std::fprintf(stderr, "verify: failed at chunk id=%llx\n", (unsigned long long)it->id);
      errors++;
    }
  };
  size_t cs = s->chunk_size;
  for (u64 i = 0; i < count; i++) {
    const bs_index_entry& x = v[i];
    unsigned long long at = x.record_offset, nr = i + 1;
    checked++;
    bs_slot* slot = &s->slots[submitted % window];
    bs_chunk_header h;
    if (bs_pread(s->fd, slot->raw, BS_CHUNK_HEADER_SIZE, x.record_offset) != 0) {
      std::fprintf(stderr, "verify: read error at offset %llu\n", at);
      errors++;
      continue;
    }
    bs_chunk_header_load(&h, slot->raw);
    if (h.magic != BS_CHUNK_MAGIC) {
      std::fprintf(stderr, "verify: bad magic at offset %llu (chunk #%llu)\n", at, nr);
      errors++;
      continue;
    }
    u64 end = x.record_offset + BS_CHUNK_HEADER_SIZE + h.sealed_length;
    if (end > s->disk.data_end || h.sealed_length > 2 * cs + 96) {
      std::fprintf(stderr, "verify: truncated payload at offset %llu (chunk #%llu)\n", at, nr);
      errors++;
      continue;
    }
    if (bs_pread(s->fd, slot->raw + BS_CHUNK_HEADER_SIZE, h.sealed_length, x.record_offset + BS_CHUNK_HEADER_SIZE) !=
        0) {
      std::fprintf(stderr, "verify: payload read error at offset %llu (chunk #%llu)\n", at, nr);
      errors++;
      continue;
    }
    if (!bs_chunk_header_plausible(s, &h, &x)) {
      std::fprintf(stderr, "verify: failed at chunk id=%llx\n", (unsigned long long)x.id);
      errors++;
      continue;
    }
    bs_work_item* it = &items[submitted % window];
    it->keys = &s->keys;
    it->chunk_size = s->chunk_size;
    it->slot = slot;
    it->raw_length = x.raw_length;
    it->id = x.id;
    it->out = slot->seal;  // free while a record is checked: room for a chunk
    it->result = -1;
    it->done.store(0, std::memory_order_relaxed);
    if (tp_submit(&s->pool, bs_restore_worker, it) != 0) {
      bs_restore_worker(it);  // no job record: check it here instead
    }
    submitted++;
    if (submitted - drained == window) drainOldest();
  }
  while (drained < submitted) drainOldest();
  errors += checkManifest(s);
  reportUnused(s, v, count);
  std::fprintf(stderr, "verify: %llu chunks checked, %llu errors\n", (unsigned long long)checked,
               (unsigned long long)errors);
  memFree(items);
  memFree(v);
  return errors == 0 ? BS_OK : BS_ERR;
}

bs_status bs_verify(bs_store* s) {
  if (!s) return BS_ERR;
  threadMutexLock(&s->mutex);
  bs_status r = bs_verify_nolock(s);
  threadMutexUnlock(&s->mutex);
  return r;
}
