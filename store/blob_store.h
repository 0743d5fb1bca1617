// Blob store: named byte strings ("entries") in one file, cut into content-addressed,
// deduplicated, compressed and optionally encrypted chunks. Every operation returns
// BS_OK or BS_ERR unless said otherwise; nothing is printed except by bs_verify.
#pragma once

#include <cstddef>

#include "platform/types.h"

// BS_BUSY: only from bs_open, when another process holds the store.
enum bs_status { BS_OK = 0, BS_ERR = -1, BS_BUSY = -2 };

struct bs_cfg {
  u32 chunk_size;      // 0: 65536
  u32 nz_window_size;  // kept, 0 becomes 1; does not affect the format
  u32 nz_block_size;   // worker threads; 0: twice the processors (4 if unknown)
  u32 nthreads;        // not read
  const char* privkey_path;        // X25519 private key, to open an encrypted store
  const char* recipient_pub_path;  // X25519 public key, to create an encrypted store
  // Non-zero: open an existing store to read only. It shares the file with other
  // readers and never creates, sets up, compacts, flushes or writes it. Zero: the
  // store is opened for writing, created if missing, and no other process may
  // open it until it is closed.
  u32 read_only;
};

struct bs_stats {
  u64 logical_chunks;  // chunks presented to add, duplicates included
  u64 stored_chunks;   // records written
  u64 logical_bytes;   // raw bytes presented
  u64 stored_bytes;    // record bytes written, headers included
};

struct bs_store;

// Opens or creates the store file; cfg may be null (defaults). The file stays locked
// until bs_close: exclusively for a writer, shared for a reader. A store another
// process holds in a conflicting way gives BS_BUSY at once.
bs_status bs_open(bs_store** out, const char* path, const bs_cfg* cfg);
// Compacts if due, flushes if dirty, stops the workers and frees the store. Null is ignored.
bs_status bs_close(bs_store* s);

// Names are 1 to 255 bytes. data may be null only when len is 0.
bs_status bs_add_buffer(bs_store* s, const u8* data, size_t len, const char* name);
bs_status bs_add_file(bs_store* s, const char* path, const char* name);
// *out is a new memAlloc block (release with memFree); an empty entry gives null and 0.
bs_status bs_restore_buffer(bs_store* s, const char* name, u8** out, size_t* outLen);
bs_status bs_restore_buffer_into(bs_store* s, const char* name, u8* dst, size_t capacity, size_t* outLen);
bs_status bs_restore_file(bs_store* s, const char* name, const char* path);
bs_status bs_delete(bs_store* s, const char* name);
// True when a live entry has this name (whether or not its bytes still read back).
bool bs_contains(bs_store* s, const char* name);

// Writes the index and manifest and makes every add so far durable.
bs_status bs_flush(bs_store* s);
bs_status bs_compact(bs_store* s);
// True when the store is due for a compaction that has not happened: one the store
// started by itself failed (the file is unchanged) and bs_compact may retry it.
bool bs_compaction_pending(bs_store* s);
// Checks every chunk record; reports to stderr; BS_OK only when no error was found.
bs_status bs_verify(bs_store* s);
// Flags deleted every live entry larger than size_threshold and older than
// max_age_seconds; returns the number flagged, or -1.
i64 bs_expire(bs_store* s, u64 size_threshold, u64 max_age_seconds);

bs_stats bs_get_stats(bs_store* s);
// Chunk records the index lists (each distinct chunk once).
u64 bs_chunk_count(bs_store* s);
// Live entries in manifest order.
u64 bs_manifest_count(bs_store* s);
const char* bs_manifest_name(bs_store* s, u64 i);
bs_status bs_manifest_entry_info(bs_store* s, u64 i, u64* size, u64* chunks, u64* mtime);
