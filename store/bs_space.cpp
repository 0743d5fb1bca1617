// Space inside the store file. Records and trailers go into dead ranges (old
// trailers, records no live entry lists any more) before the file grows. A range
// only becomes reusable once a superblock that no longer points into it is on
// disk, so a crash at any moment still finds the last flushed trailer and every
// record it lists intact.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/hashmap.h"
#include "platform/memory.h"
#include "store/bs_internal.h"

namespace {

u64 manifestBytes(const bs_entry& e) { return BS_MANIFEST_FIXED + 8 * e.chunk_count; }

}  // namespace

void* bs_live_chunks(bs_store* s) {
  u64 refs = 0;
  for (u64 i = 0; i < s->manifest_count; i++) refs += s->manifest[i].deleted ? 0 : s->manifest[i].chunk_count;
  void* live = bs_map_new(refs > 512 ? 2 * refs : 1024, 1);
  if (!live) return nullptr;
  u8 one = 1;
  for (u64 i = 0; i < s->manifest_count; i++) {
    const bs_entry& e = s->manifest[i];
    for (u64 c = 0; !e.deleted && c < e.chunk_count; c++)
      if (sm_put(live, &e.chunks[c], &one) < 0) {
        sm_free(live);
        return nullptr;
      }
  }
  return live;
}

u64 bs_space_take(bs_store* s, u64 len) {
  for (u64 i = 0; i < s->free_count; i++) {
    bs_extent& f = s->free_list[i];
    if (f.length < len) continue;
    u64 at = f.offset;
    f.offset += len;
    f.length -= len;
    if (f.length == 0) {
      std::memmove(&s->free_list[i], &s->free_list[i + 1], (s->free_count - i - 1) * sizeof(bs_extent));
      s->free_count--;
    }
    return at;
  }
  u64 at = s->append_offset;
  s->append_offset += len;
  return at;
}

u64 bs_space_take_trailer(bs_store* s, u64 len, u64 durable_len) {
  // Room below the trailer for the records of the next few adds, estimated from
  // those since the last flush: they go there rather than past the trailer, where
  // they would split the ranges this trailer and the next need to take turns in.
  u64 room = 2 * s->records_since_flush + 64;
  for (u64 i = 0; i < s->free_count; i++) {
    bs_extent& f = s->free_list[i];
    if (f.length < len) continue;
    // As much of the room as the range has; the part above the trailer is found
    // again when the flush rebuilds the list.
    f.length = f.length - len < room ? f.length - len : room;
    return f.offset + f.length;
  }
  // At the end, with room below for the next trailer's growth: once this one is on
  // disk, the one before it, the room and what lies below make the range the next
  // trailer takes. Without it a growing trailer never fits there.
  u64 growth = durable_len && len > durable_len ? len - durable_len : 0;
  u64 at = s->append_offset + 2 * growth + len / 64 + 64;
  s->append_offset = at + len;
  return at;
}

int bs_space_rebuild(bs_store* s, bool flushed) {
  void* live = bs_live_chunks(s);
  if (!live) return -1;
  // After a flush the trailer on disk lists only live chunks: the others are
  // forgotten and their records become dead space.
  if (flushed) {
    u64 n = 0;
    u64* drop = static_cast<u64*>(memAlloc((sm_size(s->index) + 1) * sizeof(u64)));
    if (!drop) {
      sm_free(live);
      return -1;
    }
    for (u64 i = 0, cap = sm_cap(s->index); i < cap; i++) {
      if (!sm_slot_full(s->index, i)) continue;
      u64 id;
      std::memcpy(&id, sm_slot(s->index, i), 8);
      if (!sm_find(live, &id)) drop[n++] = id;
    }
    for (u64 i = 0; i < n; i++) sm_delete(s->index, &drop[i]);
    memFree(drop);
  }
  u64 count = sm_size(s->index);
  bs_extent* used = static_cast<bs_extent*>(memAlloc((count + 1) * sizeof(bs_extent)));
  if (!used) {
    sm_free(live);
    return -1;
  }
  u64 n = 0, liveRecords = 0, liveCount = 0;
  s->record_end = BS_SUPERBLOCK_SIZE;
  for (u64 i = 0, cap = sm_cap(s->index); i < cap; i++) {
    if (!sm_slot_full(s->index, i)) continue;
    bs_index_entry e;
    std::memcpy(&e, sm_slot(s->index, i) + 8, sizeof e);
    used[n++] = {e.record_offset, e.record_length};
    s->record_end = std::max(s->record_end, e.record_offset + e.record_length);
    if (sm_find(live, &e.id)) {
      liveRecords += e.record_length;
      liveCount++;
    }
  }
  sm_free(live);
  u64 trailer = s->disk.index_length + s->disk.manifest_length;
  if (trailer) used[n++] = {s->disk.index_offset, trailer};
  std::sort(used, used + n, [](const bs_extent& a, const bs_extent& b) { return a.offset < b.offset; });

  // The gaps between used ranges are free; the file ends where the last one does.
  u64 gaps = 0, at = BS_SUPERBLOCK_SIZE;
  for (u64 i = 0; i < n; i++) {
    gaps += used[i].offset > at ? 1 : 0;
    at = std::max(at, used[i].offset + used[i].length);
  }
  if (gaps > s->free_cap) {
    void* grown = memRealloc(s->free_list, gaps * sizeof(bs_extent));
    if (!grown) {
      memFree(used);
      return -1;
    }
    s->free_list = static_cast<bs_extent*>(grown);
    s->free_cap = gaps;
  }
  s->free_count = 0;
  at = BS_SUPERBLOCK_SIZE;
  for (u64 i = 0; i < n; i++) {
    if (used[i].offset > at) s->free_list[s->free_count++] = {at, used[i].offset - at};
    at = std::max(at, used[i].offset + used[i].length);
  }
  memFree(used);
  s->append_offset = at;
  // Beyond the last used byte there is nothing to keep. A tail the size of a
  // trailer or two is left: the next trailer past the end goes there anyway, and
  // cutting the file at every other flush costs time.
  u64 size = 0;
  if (bs_file_size(s->fd, &size) != 0) size = at;
  u64 trailer_len = s->disk.index_length + s->disk.manifest_length;
  if (flushed && size > at && size - at > 2 * trailer_len && ftruncate(s->fd, (off_t)at) == 0) size = at;
  s->file_end = size > at ? size : at;

  // What a compaction would leave: superblock, live records and their trailer.
  u64 manifest = 4;
  for (u64 i = 0; i < s->manifest_count; i++)
    if (!s->manifest[i].deleted) manifest += manifestBytes(s->manifest[i]);
  s->compact_trailer = liveCount * BS_INDEX_ENTRY_SIZE + manifest;
  s->compact_size = BS_SUPERBLOCK_SIZE + liveRecords + s->compact_trailer;
  return 0;
}

void bs_space_reset(bs_store* s, u64 end) {
  s->free_count = 0;
  s->append_offset = s->file_end = end;
}

void bs_space_free(bs_store* s) {
  memFree(s->free_list);
  s->free_list = nullptr;
  s->free_count = s->free_cap = 0;
}
