// The open store record, the on-disk records and the functions the store's modules
// share. Not for callers of the store.
#pragma once

#include <xxhash.h>

#include <atomic>
#include <cstddef>

#include "platform/threads.h"
#include "store/blob_store.h"
#include "store/bs_crypto.h"
#include "store/thread_pool.h"

constexpr u32 BS_MAGIC = 0x51454C30;
constexpr u32 BS_VERSION = 1;
constexpr u32 BS_CHUNK_MAGIC = 0x00305342;
constexpr u64 BS_SUPERBLOCK_SIZE = 256;
constexpr u64 BS_CHUNK_HEADER_SIZE = 48;
constexpr u64 BS_INDEX_ENTRY_SIZE = 24;
constexpr u64 BS_MANIFEST_FIXED = 277;  // on-disk manifest entry before its chunk ids
constexpr size_t BS_NAME_MAX = 255;
constexpr size_t BS_PATH_MAX = 259;

struct bs_superblock {
  u32 magic;
  u32 version;
  u64 data_end;
  u64 index_offset;
  u64 index_length;
  u64 manifest_offset;
  u64 manifest_length;
  u8 crypto[BS_CRYPTO_HEADER_SIZE];
};

struct bs_chunk_header {
  u32 magic;
  u32 raw_length;
  u32 stored_length;
  u32 sealed_length;
  u64 id;
  u64 sequence;
  u8 iv[16];
};

struct bs_index_entry {
  u64 id;
  u64 record_offset;
  u32 raw_length;
  u32 record_length;
};

// A byte range of the file.
struct bs_extent {
  u64 offset;
  u64 length;
};

struct bs_entry {
  char name[256];
  u64 size;
  u64 chunk_count;
  u64* chunks;
  u64 mtime;
  u8 deleted;
};

// One scratch slot: a work item's buffers.
struct bs_slot {
  u8* raw;   // 2 * chunk_size + 144
  u8* pack;  // 2 * chunk_size + 64
  u8* seal;  // 2 * chunk_size + 96
};

// A chunk handed to a worker (compress and seal, or open and decompress).
struct bs_work_item {
  const bs_crypto_keys* keys;
  u32 chunk_size;
  bs_slot* slot;
  u32 raw_length;
  u32 stored_length;
  u32 sealed_length;
  u64 id;
  u8 iv[16];
  u8* out;  // restore: where the raw bytes go (raw_length of room)
  u64 check;  // add: the second hash of the raw bytes (bs_chunk_check)
  i32 result;
  std::atomic<u32> done;
};

struct bs_store {
  u32 chunk_size;
  u32 window_size;
  u32 worker_count;
  bs_stats stats;
  char path[BS_PATH_MAX + 1];
  i32 fd;
  u64 append_offset;
  u64 next_sequence;
  bs_crypto_keys keys;
  void* index;  // u64 id -> bs_index_entry
  bs_entry* manifest;
  u64 manifest_count;
  u64 manifest_capacity;
  void* names;  // XXH3-64 of the name -> u64 manifest position of the live entry
  tp_pool pool;
  b8 pool_started;
  bs_slot* slots;
  u32 slot_count;
  b8 dirty;
  u64 deleted_count;
  ThreadMutex mutex;
  b8 read_only;  // shared lock; nothing is ever written
  // Dead ranges below append_offset that new records and trailers may fill, in
  // file order (see bs_space.cpp).
  bs_extent* free_list;
  u64 free_count;
  u64 free_cap;
  u64 record_end;       // one past the last record the index lists
  u64 file_end;         // the file's size as of the last flush or open
  u64 records_since_flush;  // bytes of records written since the last flush
  u64 compact_size;     // the file a compaction would leave, as of the last flush or open
  u64 compact_trailer;  // of which the trailer
  // Superblock as last written or read: where the durable trailer lies.
  bs_superblock disk;
};

// Record layouts.
void bs_superblock_load(bs_superblock* sb, const u8 raw[BS_SUPERBLOCK_SIZE]);
void bs_superblock_store(const bs_superblock* sb, u8 raw[BS_SUPERBLOCK_SIZE]);
void bs_chunk_header_load(bs_chunk_header* h, const u8 raw[BS_CHUNK_HEADER_SIZE]);
void bs_chunk_header_store(const bs_chunk_header* h, u8 raw[BS_CHUNK_HEADER_SIZE]);
void bs_index_entry_load(bs_index_entry* e, const u8 raw[BS_INDEX_ENTRY_SIZE]);
void bs_index_entry_store(const bs_index_entry* e, u8 raw[BS_INDEX_ENTRY_SIZE]);

// Positional file I/O; each returns 0 only when every byte moved.
int bs_pread(i32 fd, void* buf, u64 len, u64 offset);
int bs_pwrite(i32 fd, const void* buf, u64 len, u64 offset);
int bs_fsync(i32 fd);
int bs_file_size(i32 fd, u64* size);
// Makes a rename inside the directory of path durable.
int bs_fsync_dir_of(const char* path);

// Hash maps and the manifest.
void* bs_map_new(u64 cap, u64 val_size);
u64 bs_name_hash(const char* name);
// 1 when the name is a usable entry name (1 to 255 bytes).
bool bs_name_valid(const char* name);
int bs_manifest_push(bs_store* s, const bs_entry* e);
// Position of the live entry of that name, or -1.
i64 bs_manifest_find(bs_store* s, const char* name);
void bs_manifest_free(bs_entry* entries, u64 count);
// Serialises index and manifest into one new memAlloc block; with keep, only the
// index entries whose ids are in that map.
int bs_trailer_build(void* index, void* keep, const bs_entry* entries, u64 count, u8** out, u64* index_len,
                     u64* manifest_len);

// File space. The ids that live entries list (a new map, null when out of memory).
void* bs_live_chunks(bs_store* s);
// Where len bytes go: the first dead range that holds them, else the end.
u64 bs_space_take(bs_store* s, u64 len);
// For a trailer of len bytes when the one on disk has durable_len: the first dead
// range that holds it above some room for records, else past the end. The trailer
// on disk and the next one take turns there, and the file keeps about two of them.
u64 bs_space_take_trailer(bs_store* s, u64 len, u64 durable_len);
// Recomputes the dead ranges from the index and the trailer on disk, and the size a
// compaction would leave. flushed: the trailer on disk is the current one, so chunks
// no live entry lists leave the index and the file's dead tail is cut off.
int bs_space_rebuild(bs_store* s, bool flushed);
// After a compaction: no dead ranges, the file ends at end.
void bs_space_reset(bs_store* s, u64 end);
void bs_space_free(bs_store* s);
// Chunk ids: XXH3-64 of the raw bytes. Tests may replace the hash to make ids collide.
extern u64 (*bs_chunk_id_hook)(const void* bytes, size_t len);
inline u64 bs_chunk_id(const void* bytes, size_t len) {
  return bs_chunk_id_hook ? bs_chunk_id_hook(bytes, len) : XXH3_64bits(bytes, len);
}
// A second, independent hash of a chunk's raw bytes. Records keep it in their
// header's sequence field, which no reader depends on; it tells at the cost of one
// header read whether a chunk already stored under an id holds the same bytes.
inline u64 bs_chunk_check(const void* bytes, size_t len) {
  return XXH3_64bits_withSeed(bytes, len, 0x3053454C51434B31ull);
}
// Whether the stored chunk x holds exactly these bytes (whose second hash is
// check): 1 yes, 0 no (the ids collide), -1 when the record cannot be read or
// opened. A header whose second hash does not match (records written before it
// existed too) is settled by opening the chunk and comparing bytes. Uses the
// slot's buffers.
int bs_chunk_same(bs_store* s, const bs_index_entry* x, const u8* bytes, u32 len, u64 check, bs_slot* slot);

// Hook for durability tests: called at named points of the write paths.
extern void (*bs_crash_point)(const char* where);
inline void bs_crash_here(const char* where) {
  if (bs_crash_point) bs_crash_point(where);
}

// The operations for callers that already hold the store mutex.
bs_status bs_flush_nolock(bs_store* s);
bs_status bs_compact_nolock(bs_store* s);
bs_status bs_add_buffer_nolock(bs_store* s, const u8* data, size_t len, const char* name);
bs_status bs_restore_buffer_into_nolock(bs_store* s, const char* name, u8* dst, size_t capacity, size_t* outLen);
bs_status bs_verify_nolock(bs_store* s);
// True when dead space takes the file beyond 1.5 times what a compaction would
// leave plus one trailer (checked after every flush).
bool bs_space_due(const bs_store* s);
// The same, or deleted entries make up at least half the manifest (checked at open
// and close).
bool bs_compaction_due(const bs_store* s);

// The index entries sorted by record offset (a memAlloc block, null when empty);
// *ok is false when the copy could not be allocated.
bs_index_entry* bs_index_sorted(void* index, u64* count, bool* ok);

// Worker jobs.
void bs_add_worker(void* item);
void bs_restore_worker(void* item);
// Checks a record header against what the index says it holds.
bool bs_chunk_header_plausible(const bs_store* s, const bs_chunk_header* h, const bs_index_entry* e);
