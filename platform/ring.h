// The mirrored circular buffer and the single-producer single-consumer byte ring
// built on it. The mirror maps the same pages several times in a row, so any run
// of up to Size bytes is contiguous wherever it starts: no copy at wrap-around.
#pragma once

#include <atomic>

#include "platform/types.h"

// Bytes Base - RepCount*Size up to Base + (RepCount+1)*Size are valid; addresses
// i and i + Size are the same byte.
struct CircBuffer {
  u8* Base;      // central copy, null when allocation failed
  u64 Size;      // bytes of one copy, a multiple of the page size
  u32 RepCount;  // copies mapped on each side of the central one
};

// Null Base on failure with errno set: EINVAL for a zero size, EOVERFLOW when
// the rounded size or the whole mapped range does not fit 64 bits, ENOMEM otherwise.
CircBuffer CircBufferAlloc(u64 MinimumSize, u32 RepCount);
// Nothing for an empty record or one this module did not hand out (so a second
// release of the same buffer cannot unmap someone else's pages).
void CircBufferDealloc(CircBuffer buf);

// One writer thread, one reader thread. Positions only grow; WritePos - ReadPos
// bytes are unread and never more than Size. Each field starts its own 64-byte
// line of the record, so the writer's and reader's stores never share a line.
// Copying is for set-up only, while no thread uses the ring.
struct AsyncRing {
  CircBuffer Buf;  // RepCount 1
  u8 pad0[64 - sizeof(CircBuffer)];
  std::atomic<u64> WritePos;  // stored by the writer (release), loaded by the reader (acquire)
  u8 pad1[56];
  std::atomic<u64> ReadPos;  // stored by the reader, loaded by the writer
  u8 pad2[56];
  std::atomic<u32> WaitSeq;  // bumped after every commit; waiters sleep on it
  // Raised by a waiting form while it may sleep: commits skip the wake-up
  // system call while the other side's flag is down.
  std::atomic<u32> ReadWaiting;
  std::atomic<u32> WriteWaiting;
  u8 pad3[52];

  AsyncRing() : Buf{}, pad0{}, WritePos(0), pad1{}, ReadPos(0), pad2{}, WaitSeq(0), ReadWaiting(0), WriteWaiting(0), pad3{} {}
  AsyncRing(const AsyncRing& o) : AsyncRing() { *this = o; }
  AsyncRing& operator=(const AsyncRing& o) {
    Buf = o.Buf;
    WritePos.store(o.WritePos.load(std::memory_order_relaxed), std::memory_order_relaxed);
    ReadPos.store(o.ReadPos.load(std::memory_order_relaxed), std::memory_order_relaxed);
    WaitSeq.store(o.WaitSeq.load(std::memory_order_relaxed), std::memory_order_relaxed);
    ReadWaiting.store(o.ReadWaiting.load(std::memory_order_relaxed), std::memory_order_relaxed);
    WriteWaiting.store(o.WriteWaiting.load(std::memory_order_relaxed), std::memory_order_relaxed);
    return *this;
  }
};

// Buf.Base null on failure (errno as for CircBufferAlloc).
AsyncRing AsyncRingAlloc(u64 MinimumSize);
// Releases the buffer and zeroes the record; nothing for null.
void AsyncRingDealloc(AsyncRing* r);

// Where len bytes may be written (contiguous even across the end of the central
// copy); null for len 0, len > Size, or not enough free space.
u8* AsyncRingWritePtr(AsyncRing* r, u64 len);
// Publishes len written bytes and wakes a waiting reader. -1 (nothing done) when
// len exceeds the free space.
i32 AsyncRingWriteCommit(AsyncRing* r, u64 len);
// The unread run (*len bytes, all contiguous), or null with *len 0 when empty.
u8* AsyncRingReadPtr(AsyncRing* r, u64* len);
// Frees len read bytes and wakes a waiting writer. -1 (nothing done) when len
// exceeds the unread count.
i32 AsyncRingReadCommit(AsyncRing* r, u64 len);

// Blocking forms without timeout. A length that can never fit (0 or above
// Size) returns null at once instead of waiting forever.
u8* AsyncRingWritePtrWait(AsyncRing* r, u64 len);
u8* AsyncRingReadPtrWait(AsyncRing* r, u64* len);
