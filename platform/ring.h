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
// bytes are unread and never more than Size. Buf, WritePos, ReadPos and WaitSeq
// start their own 64-byte lines (offsets 0, 64, 128, 192). Each side keeps its
// private fields on its own position's line, so a commit writes only its own
// line; the waiting words share the last line, which changes only when a side
// goes to sleep or is woken. Copying is for set-up only, while no thread uses
// the ring.
//
// Sleeping: a side that must wait raises its own word (ReadSleep or WriteSleep),
// re-checks the ring, and waits on the word while it stays raised. A commit
// reads the other side's word and, only when it is raised, takes it with one
// exchange and wakes that side: one wake-up per sleep, none when nobody sleeps.
struct AsyncRing {
  CircBuffer Buf;  // RepCount 1
  u8 pad0[64 - sizeof(CircBuffer)];
  std::atomic<u64> WritePos;  // stored by the writer, loaded by the reader
  u64 WriteSeenRead;          // writer only: ReadPos as last loaded
  u8 pad1[48];
  std::atomic<u64> ReadPos;  // stored by the reader, loaded by the writer
  u64 ReadSeenWrite;         // reader only: WritePos as last loaded
  u8 pad2[48];
  std::atomic<u32> WaitSeq;     // wake-ups issued by either side
  std::atomic<u32> ReadSleep;   // 1 while the reader sleeps or is about to
  std::atomic<u32> WriteSleep;  // 1 while the writer sleeps or is about to
  // Counts for tests and benchmarks, touched only on the sleeping path:
  // announced sleeps per side, and wake-up calls made for each side.
  std::atomic<u32> ReadSleeps, ReadWakes, WriteSleeps, WriteWakes;
  u8 pad3[36];

  AsyncRing()
      : Buf{}, pad0{}, WritePos(0), WriteSeenRead(0), pad1{}, ReadPos(0), ReadSeenWrite(0), pad2{}, WaitSeq(0),
        ReadSleep(0), WriteSleep(0), ReadSleeps(0), ReadWakes(0), WriteSleeps(0), WriteWakes(0), pad3{} {}
  AsyncRing(const AsyncRing& o) : AsyncRing() { *this = o; }
  AsyncRing& operator=(const AsyncRing& o) {
    auto copy = [](std::atomic<u32>& d, const std::atomic<u32>& s) {
      d.store(s.load(std::memory_order_relaxed), std::memory_order_relaxed);
    };
    Buf = o.Buf;
    WritePos.store(o.WritePos.load(std::memory_order_relaxed), std::memory_order_relaxed);
    ReadPos.store(o.ReadPos.load(std::memory_order_relaxed), std::memory_order_relaxed);
    WriteSeenRead = o.WriteSeenRead;
    ReadSeenWrite = o.ReadSeenWrite;
    copy(WaitSeq, o.WaitSeq);
    copy(ReadSleep, o.ReadSleep);
    copy(WriteSleep, o.WriteSleep);
    copy(ReadSleeps, o.ReadSleeps);
    copy(ReadWakes, o.ReadWakes);
    copy(WriteSleeps, o.WriteSleeps);
    copy(WriteWakes, o.WriteWakes);
    return *this;
  }
};

// Buf.Base null on failure (errno as for CircBufferAlloc).
AsyncRing AsyncRingAlloc(u64 MinimumSize);
// Releases the buffer and zeroes the record; nothing for null.
void AsyncRingDealloc(AsyncRing* r);

// Where len bytes may be written (contiguous even across the end of the central
// copy); null for len 0, len > Size, or not enough free space. Writer only.
u8* AsyncRingWritePtr(AsyncRing* r, u64 len);
// Publishes len written bytes and wakes a waiting reader. -1 (nothing done) when
// len exceeds the free space.
i32 AsyncRingWriteCommit(AsyncRing* r, u64 len);
// An unread run (*len bytes, all contiguous), or null with *len 0 when empty.
// Reader only. The run ends at the last write position this side has seen,
// which is refreshed once that much has been read.
u8* AsyncRingReadPtr(AsyncRing* r, u64* len);
// Frees len read bytes and wakes a waiting writer. -1 (nothing done) when len
// exceeds the unread count.
i32 AsyncRingReadCommit(AsyncRing* r, u64 len);

// Blocking forms without timeout. A length that can never fit (0 or above
// Size) returns null at once instead of waiting forever.
u8* AsyncRingWritePtrWait(AsyncRing* r, u64 len);
u8* AsyncRingReadPtrWait(AsyncRing* r, u64* len);
