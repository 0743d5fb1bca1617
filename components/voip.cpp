#include "components/voip.h"

#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/memory.h"
#include "platform/profiler_hook.h"

namespace {

constexpr u64 kMicRingFrames = 64;  // mic, reference and playout rings hold 64 frames
constexpr u64 kRxRingBytes = 83584;
constexpr u32 kNetBatch = 64;  // network events handled per net-thread pass
constexpr u32 kSinkReads = 32;  // datagrams the playback callback reads itself, at most
constexpr i32 kNetIdleWaitMs = 100;  // longest idle wait: timers are checked this often

// ---- rings ---------------------------------------------------------------

// Unread bytes, with the reader's view of the write position refreshed so that
// the run AsyncRingReadPtr returns covers all of them. Reader only.
u64 ringReadable(AsyncRing* r) {
  r->ReadSeenWrite = r->WritePos.load(std::memory_order_acquire);
  return r->ReadSeenWrite - r->ReadPos.load(std::memory_order_relaxed);
}

b8 ringWriteBytes(AsyncRing* r, const void* data, u64 len) {
  u8* w = AsyncRingWritePtr(r, len);
  if (!w) return false;
  std::memcpy(w, data, len);
  AsyncRingWriteCommit(r, len);
  return true;
}

// Reader side: the next whole packet record in place. 1 with *data/*len, 0
// when empty. A record whose length exceeds maxLen is consumed and skipped, so
// it can never block the ring.
int ringPeekPacket(AsyncRing* r, u32 maxLen, const u8** data, u32* len, u64* recordBytes) {
  for (;;) {
    u64 avail = ringReadable(r);
    if (avail < 2) return 0;
    u64 runLen = 0;
    u8* p = AsyncRingReadPtr(r, &runLen);
    if (!p || runLen < 2) return 0;
    u16 n;
    std::memcpy(&n, p, 2);
    if (2u + n > runLen) {
      // Writers commit whole records, so this is a damaged ring: drop what is there.
      AsyncRingReadCommit(r, runLen);
      return 0;
    }
    if (n > maxLen) {
      AsyncRingReadCommit(r, 2u + n);
      continue;
    }
    *data = p + 2;
    *len = n;
    *recordBytes = 2u + n;
    return 1;
  }
}

// Writes one packet record from up to three pieces in a single commit.
b8 ringWritePacket(AsyncRing* r, const u8* a, u32 alen, const u8* b = nullptr, u32 blen = 0) {
  const u32 n = alen + blen;
  if (n > 0xffff) return false;
  u8* w = AsyncRingWritePtr(r, 2u + n);
  if (!w) return false;
  u16 len = (u16)n;
  std::memcpy(w, &len, 2);
  std::memcpy(w + 2, a, alen);
  if (blen) std::memcpy(w + 2 + alen, b, blen);
  AsyncRingWriteCommit(r, 2u + n);
  return true;
}

// Consumer side: throws away everything queued. Caller holds peerMu.
void ringDiscardAll(AsyncRing* r) {
  u64 n = ringReadable(r);
  if (n) AsyncRingReadCommit(r, n);
}

u64 nowNs() { return (u64)clockNanos(); }

// ---- wake-ups --------------------------------------------------------------

// The wake syscall is made only when the net thread has announced its sleep.
void wakeNet(Voip* v) {
  v->netWakeSeq.fetch_add(1, std::memory_order_seq_cst);
  if (v->netSleeping.exchange(0, std::memory_order_seq_cst)) netWake(v->net);
}

// ---- peers (caller holds peerMu) -------------------------------------------

VoipPeer* findPeerLocked(Voip* v, const NetAddr* a) {
  for (VoipPeer& p : v->peers)
    if (p.active && netAddrEqual(&p.addr, a)) return &p;
  return nullptr;
}

void peerResetLocked(VoipPeer* p) {
  p->active = false;
  std::memset(&p->addr, 0, sizeof p->addr);
  ringDiscardAll(&p->playout);
  p->minQueuedBytes = ~0ull;
  p->windowFrames = 0;
  if (p->decoder) opus_decoder_ctl(p->decoder, OPUS_RESET_STATE);
}

// The peer of this address, taking the first free slot when there is none;
// null when all slots are taken.
VoipPeer* ensurePeerLocked(Voip* v, const NetAddr* a, b8* created) {
  *created = false;
  if (VoipPeer* p = findPeerLocked(v, a)) return p;
  for (VoipPeer& p : v->peers) {
    if (p.active) continue;
    peerResetLocked(&p);
    p.addr = netAddrNormalize(a);
    p.active = true;
    p.lastHeardNs = nowNs();
    *created = true;
    return &p;
  }
  return nullptr;
}

void sendRosterToLocked(Voip* v, const VoipPeer* to) {
  u8 buf[kVoipHeader + kVoipMaxPeers * kNetAddrPackedMax];
  u32 len = kVoipHeader, count = 0;
  for (const VoipPeer& q : v->peers) {
    if (!q.active || &q == to) continue;
    len += (u32)netAddrPack(&q.addr, buf + len);
    ++count;
  }
  voipWriteHeader(buf, VOIP_PKT_ROSTER, (u8)count);
  netSendTo(v->sock, buf, (i32)len, to->addr);
}

void broadcastRosterLocked(Voip* v) {
  for (const VoipPeer& p : v->peers)
    if (p.active) sendRosterToLocked(v, &p);
}

// Client: the roster names the other participants. Peers it no longer lists
// are released (the host's own peer stays: the roster never lists the host);
// listed peers already known keep their decoder and queued audio.
void applyRosterLocked(Voip* v, const u8* data, u32 len, const NetAddr* from) {
  NetAddr entries[kVoipMaxPeers];
  u32 n = voipParseRoster(data, len, entries, kVoipMaxPeers);
  // Packed addresses carry no interface: a link-local entry is on the link the
  // roster came over (the host reached that participant on it).
  for (u32 i = 0; i < n; ++i)
    if (netAddrIsLinkLocal(&entries[i]) && netAddrIsLinkLocal(from)) entries[i].ipv6.scope = from->ipv6.scope;
  for (VoipPeer& p : v->peers) {
    if (!p.active || netAddrEqual(&p.addr, &v->hostAddr)) continue;
    b8 listed = false;
    for (u32 i = 0; i < n && !listed; ++i) listed = netAddrEqual(&p.addr, &entries[i]);
    if (!listed) peerResetLocked(&p);
  }
  for (u32 i = 0; i < n; ++i) {
    if (netAddrEqual(&entries[i], &v->hostAddr)) continue;
    b8 created;
    ensurePeerLocked(v, &entries[i], &created);
  }
}

// ---- net thread ------------------------------------------------------------

// Joins and rosters are applied here; true for audio from a peer, to be decoded.
b8 acceptDatagram(Voip* v, const u8* data, u32 len, const NetAddr* from, u64 now) {
  const u8 type = voipParseHeader(data, len);
  if (!type) {
    v->datagramsRejected.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  b8 forward = false, accepted = false;
  threadMutexLock(&v->peerMu);
  const b8 host = v->hostMode;
  switch (type) {
    case VOIP_PKT_JOIN:
      if (host) {
        b8 created;
        if (VoipPeer* p = ensurePeerLocked(v, from, &created)) {
          p->lastHeardNs = now;
          // A repeated join (the keep-alive) gets the roster again, so a lost
          // roster datagram is repaired within one keep-alive period.
          if (created)
            broadcastRosterLocked(v);
          else
            sendRosterToLocked(v, p);
          accepted = true;
        }
      }
      break;
    case VOIP_PKT_ROSTER:
      // Only the host may rewrite a client's peer list.
      if (!host && netAddrPort(&v->hostAddr) != 0 && netAddrEqual(from, &v->hostAddr)) {
        v->hostHeard.store(1, std::memory_order_relaxed);
        applyRosterLocked(v, data, len, from);
        accepted = true;
      }
      break;
    case VOIP_PKT_AUDIO: {
      VoipPeer* p = nullptr;
      b8 created = false;
      if (host) {
        p = ensurePeerLocked(v, from, &created);
        if (created) broadcastRosterLocked(v);
      } else if (netAddrPort(&v->hostAddr) != 0 && netAddrEqual(from, &v->hostAddr)) {
        v->hostHeard.store(1, std::memory_order_relaxed);
        p = ensurePeerLocked(v, from, &created);
      } else {
        // Only roster entries: anyone else could otherwise take a slot and
        // receive this participant's microphone.
        p = findPeerLocked(v, from);
      }
      if (p) {
        p->lastHeardNs = now;
        forward = accepted = true;
      }
      break;
    }
    default:
      break;
  }
  threadMutexUnlock(&v->peerMu);
  if (!accepted) v->datagramsRejected.fetch_add(1, std::memory_order_relaxed);
  return forward;
}

}  // namespace

b8 voipHandleDatagram(Voip* v, const u8* data, u32 len, const NetAddr* from, u64 now) {
  if (!acceptDatagram(v, data, len, from, now)) return false;
  u8 sender[kNetAddrPackedMax];
  const u32 senderLen = (u32)netAddrPack(from, sender);
  const u16 dlen = (u16)len;
  std::memcpy(v->rxBuf, sender, senderLen);
  std::memcpy(v->rxBuf + senderLen, &dlen, 2);
  // A full ring drops the datagram (audio only: late audio is worthless). The
  // playback callback drains the ring at its own pace: nobody is woken.
  return ringWritePacket(&v->rxRing, v->rxBuf, senderLen + 2, data, len);
}

namespace {

void releaseSilentPeers(Voip* v, u64 now) {
  const u64 timeout = (u64)v->cfg.peerTimeoutMs * 1000000ull;
  threadMutexLock(&v->peerMu);
  if (v->hostMode) {
    b8 released = false;
    for (VoipPeer& p : v->peers) {
      if (p.active && now > p.lastHeardNs && now - p.lastHeardNs > timeout) {
        peerResetLocked(&p);
        released = true;
      }
    }
    if (released) broadcastRosterLocked(v);
  }
  threadMutexUnlock(&v->peerMu);
}

i32 netThreadMain(void* arg) {
  Voip* v = static_cast<Voip*>(arg);
  profilerHookThreadStart("voip-net");
  const u64 keepAlive = (u64)v->cfg.keepAliveMs * 1000000ull;
  u64 nextJoin = 0, nextTimeoutCheck = 0;
  while (v->running.load(std::memory_order_acquire)) {
    const u64 now = nowNs();
    b8 did = false;

    // The join goes out under peerMu, so joinSent always speaks of the
    // current host: the capture callback sends it no audio before that.
    threadMutexLock(&v->peerMu);
    const b8 client = !v->hostMode && netAddrPort(&v->hostAddr) != 0;
    if (client && (v->joinDue.exchange(0) || now >= nextJoin)) {
      u8 join[kVoipHeader];
      voipWriteHeader(join, VOIP_PKT_JOIN, 0);
      netSendTo(v->sock, join, kVoipHeader, v->hostAddr);
      v->joinSent.store(1, std::memory_order_release);
      nextJoin = now + keepAlive;
    }
    threadMutexUnlock(&v->peerMu);

    NetEvent ev;
    u32 handled = 0;
    while (handled < kNetBatch && netPoll(v->net, &ev)) {
      ++handled;
      if (ev.type != NET_EVENT_RECV || ev.socket != v->sock) continue;
      voipHandleDatagram(v, (const u8*)ev.recv.data, (u32)ev.recv.len, &ev.recv.from, now);
    }
    if (handled) did = true;

    if (now >= nextTimeoutCheck) {
      releaseSilentPeers(v, now);
      nextTimeoutCheck = now + 50000000ull;
    }

    if (!did) {
      v->netSleeping.store(1, std::memory_order_seq_cst);
      if (!v->running.load(std::memory_order_seq_cst) || v->joinDue.load(std::memory_order_seq_cst)) {
        v->netSleeping.store(0, std::memory_order_relaxed);
        continue;
      }
      i32 waitMs = kNetIdleWaitMs;
      if (client) {
        const u64 due = nextJoin > now ? (nextJoin - now) / 1000000ull + 1 : 0;
        if (due < (u64)waitMs) waitMs = (i32)due;
      }
      netWait(v->net, waitMs);  // a datagram, a wake, a signal or the time-out ends it
      v->netSleeping.store(0, std::memory_order_relaxed);
    }
  }
  profilerHookThreadEnd();
  return 0;
}

// ---- the audio engine's thread -----------------------------------------------
// The callbacks encode, send and decode themselves: every hand-off to another
// thread costs a scheduling delay that, on a loaded machine, is as long as
// half a device period and made frames miss their playback period.

// Encodes one frame from the microphone ring (with its echo reference) and
// sends it to the host and every peer. False when no whole frame is queued.
b8 encodeAndSendFrame(Voip* v) {
  const u64 frameBytes = (u64)v->cfg.frameSize * (u64)v->cfg.channels * sizeof(f32);
  if (ringReadable(&v->micRing) < frameBytes) return false;
  u64 n;
  std::memcpy(v->micFrame, AsyncRingReadPtr(&v->micRing, &n), frameBytes);
  AsyncRingReadCommit(&v->micRing, frameBytes);
  if (ringReadable(&v->refRing) >= frameBytes) {
    std::memcpy(v->refFrame, AsyncRingReadPtr(&v->refRing, &n), frameBytes);
    AsyncRingReadCommit(&v->refRing, frameBytes);
  } else {
    std::memset(v->refFrame, 0, frameBytes);
  }
  voipNlmsProcess(&v->nlms, v->micFrame, v->refFrame, v->cleanFrame, v->cfg.frameSize);
  const i32 size = opus_encode_float(v->encoder, v->cleanFrame, (int)v->cfg.frameSize, v->packetBuf + kVoipHeader,
                                     (opus_int32)kVoipMaxOpus);
  if (size <= 0) return true;
  voipWriteHeader(v->packetBuf, VOIP_PKT_AUDIO, 0);
  // Destinations: a client's host first (once its join is out), then every
  // other active peer. Sent outside the lock.
  NetAddr dests[kVoipMaxPeers + 1];
  u32 nd = 0;
  threadMutexLock(&v->peerMu);
  const b8 client = !v->hostMode && netAddrPort(&v->hostAddr) != 0;
  const NetAddr host = v->hostAddr;
  if (!client || v->joinSent.load(std::memory_order_acquire)) {
    if (client) dests[nd++] = host;
    for (const VoipPeer& p : v->peers) {
      if (!p.active || (client && netAddrEqual(&p.addr, &host))) continue;
      dests[nd++] = p.addr;
    }
  }
  threadMutexUnlock(&v->peerMu);
  for (u32 i = 0; i < nd; ++i) netSendTo(v->sock, v->packetBuf, (i32)(kVoipHeader + (u32)size), dests[i]);
  if (nd) v->framesSent.fetch_add(1, std::memory_order_relaxed);
  return true;
}

// An audio datagram into its sender's playout. Caller holds peerMu.
b8 decodeAudioLocked(Voip* v, const NetAddr* from, const u8* d, u32 dlen) {
  if (voipParseHeader(d, dlen) != VOIP_PKT_AUDIO || dlen == kVoipHeader) return false;
  VoipPeer* p = findPeerLocked(v, from);
  if (!p) return false;
  const int frames =
      opus_decode_float(p->decoder, d + kVoipHeader, (opus_int32)(dlen - kVoipHeader), v->decodeFrame, (int)kVoipMaxDecode, 0);
  if (frames <= 0) return false;
  // Dropped when the playout is full: nobody is playing it.
  ringWriteBytes(&p->playout, v->decodeFrame, (u64)frames * (u64)v->cfg.channels * sizeof(f32));
  v->framesDecoded.fetch_add(1, std::memory_order_relaxed);
  return true;
}

b8 handleRxRecordLocked(Voip* v, const u8* rec, u32 len) {
  NetAddr from;
  const u8* d;
  u32 dlen;
  if (!voipUnpackRxRecord(rec, len, &from, &d, &dlen)) return false;
  return decodeAudioLocked(v, &from, d, dlen);
}

// Datagrams still waiting in the socket, read and decoded here: when the net
// thread is slow to be scheduled, the frame would otherwise miss this period.
// Called after the receive ring was drained, so they are newer than anything
// queued there. Bounded: a flood cannot hold the engine's thread.
void receiveNow(Voip* v) {
  const u64 now = nowNs();
  for (u32 i = 0; i < kSinkReads; ++i) {
    NetAddr from;
    const i32 n = netRecvFrom(v->sock, v->sinkRecvBuf, (i32)sizeof v->sinkRecvBuf, &from);
    if (n == 0) break;
    if (n < 0 || !acceptDatagram(v, v->sinkRecvBuf, (u32)n, &from, now)) continue;
    threadMutexLock(&v->peerMu);
    decodeAudioLocked(v, &from, v->sinkRecvBuf, (u32)n);
    threadMutexUnlock(&v->peerMu);
  }
}

// Decodes the queued receive records into the peers' playouts. After a stall
// (the callbacks stopped while datagrams kept coming) only the newest
// `keepRecords` are decoded, the rest consumed unread: the playout bound
// would throw their audio away anyway, and decoding them would stall the
// engine's thread in turn. Caller holds peerMu. True when a record was read.
b8 drainRxLocked(Voip* v, u32 keepRecords) {
  u32 queued = 0;
  if (keepRecords != ~0u) {
    u64 run = 0;
    const u64 avail = ringReadable(&v->rxRing);
    const u8* p = avail ? AsyncRingReadPtr(&v->rxRing, &run) : nullptr;
    for (u64 off = 0; p && off + 2 <= run;) {
      u16 n;
      std::memcpy(&n, p + off, 2);
      off += 2u + n;
      ++queued;
    }
  }
  const u8* rec;
  u32 recLen;
  u64 recBytes;
  b8 did = false;
  while (ringPeekPacket(&v->rxRing, kVoipMaxRxRecord, &rec, &recLen, &recBytes)) {
    if (queued > keepRecords)
      --queued;
    else
      handleRxRecordLocked(v, rec, recLen);
    AsyncRingReadCommit(&v->rxRing, recBytes);
    did = true;
  }
  return did;
}

}  // namespace

b8 voipAudioPass(Voip* v) {
  threadMutexLock(&v->peerMu);
  b8 did = drainRxLocked(v, ~0u);
  threadMutexUnlock(&v->peerMu);
  did |= encodeAndSendFrame(v);
  return did;
}

namespace {

b8 validFrameSize(u32 rate, u32 frameSize) {
  const u32 unit = rate / 400;  // 2.5 ms
  for (u32 m : {1u, 2u, 4u, 8u, 16u, 24u})
    if (frameSize == unit * m) return true;
  return false;
}

}  // namespace

// ---- records and parsing ---------------------------------------------------

void voipConfigDefault(VoipConfig* cfg) {
  if (!cfg) return;
  *cfg = VoipConfig{};
  cfg->sampleRate = 48000;
  cfg->channels = 1;
  cfg->frameSize = 960;
  cfg->bitrate = 24000;
  cfg->fec = 1;
  cfg->dtx = 0;
  cfg->nlmsTaps = 64;
  cfg->nlmsStep = 0.02f;
  cfg->nlmsEpsilon = 0.0001f;
  cfg->peerTimeoutMs = 5000;
  cfg->keepAliveMs = 2000;
}

u8 voipParseHeader(const u8* data, u32 len) {
  if (!data || len < kVoipHeader || len > kVoipMaxDatagram) return 0;
  u32 magic;
  std::memcpy(&magic, data, 4);
  if (magic != kVoipMagic) return 0;
  const u8 type = data[4];
  return type >= VOIP_PKT_JOIN && type <= VOIP_PKT_AUDIO ? type : 0;
}

void voipWriteHeader(u8* out, u8 type, u8 count) {
  const u32 magic = kVoipMagic;
  std::memcpy(out, &magic, 4);
  out[4] = type;
  out[5] = count;
  out[6] = 0;
  out[7] = 0;
}

u32 voipParseRoster(const u8* data, u32 len, NetAddr* out, u32 maxOut) {
  if (voipParseHeader(data, len) != VOIP_PKT_ROSTER) return 0;
  const u32 count = data[5];
  u32 off = kVoipHeader, n = 0;
  for (u32 i = 0; i < count && n < maxOut; ++i) {
    NetAddr a;
    const int used = netAddrUnpack(data + off, len - off, &a);
    if (!used) break;
    // Only the two packed forms are addresses; another first byte ends the list.
    if (data[off] != 0 && data[off] != 1) break;
    if (netAddrPort(&a) == 0) break;
    off += (u32)used;
    out[n++] = a;
  }
  return n;
}

u32 voipPackRxRecord(u8* out, const NetAddr* from, const u8* datagram, u32 len) {
  u8 sender[kNetAddrPackedMax];
  const u32 s = (u32)netAddrPack(from, sender);
  if (!s || len > 0xffff || s + 2 + len > kVoipMaxRxRecord) return 0;
  std::memcpy(out, sender, s);
  const u16 l = (u16)len;
  std::memcpy(out + s, &l, 2);
  std::memcpy(out + s + 2, datagram, len);
  return s + 2 + len;
}

b8 voipUnpackRxRecord(const u8* rec, u32 len, NetAddr* from, const u8** datagram, u32* dlen) {
  if (!rec || len < kNetAddrPackedV4 + 2) return false;
  if (rec[0] != 0 && rec[0] != 1) return false;
  const int s = netAddrUnpack(rec, len, from);
  if (!s || (u32)s + 2 > len) return false;
  u16 l;
  std::memcpy(&l, rec + s, 2);
  if ((u32)s + 2 + l > len) return false;
  *datagram = rec + s + 2;
  *dlen = l;
  return true;
}

b8 voipHandleRxRecord(Voip* v, const u8* rec, u32 len) {
  threadMutexLock(&v->peerMu);
  const b8 decoded = handleRxRecordLocked(v, rec, len);
  threadMutexUnlock(&v->peerMu);
  return decoded;
}

// ---- echo canceller --------------------------------------------------------

b8 voipNlmsInit(VoipNlms* n, i32 channels, u32 taps, f32 step, f32 epsilon) {
  if (!n) return false;
  *n = VoipNlms{};
  if (channels < 1 || taps == 0) return false;
  n->channels = channels;
  n->taps = taps;
  n->step = step > 0 ? step : 0.02f;
  n->epsilon = epsilon > 0 ? epsilon : 0.0001f;
  n->weights = (f32*)memCalloc((size_t)channels * taps, sizeof(f32));
  n->history = (f32*)memCalloc((size_t)channels * taps, sizeof(f32));
  if (!n->weights || !n->history) {
    voipNlmsDestroy(n);
    return false;
  }
  return true;
}

void voipNlmsDestroy(VoipNlms* n) {
  if (!n) return;
  memFree(n->weights);
  memFree(n->history);
  *n = VoipNlms{};
}

void voipNlmsProcess(VoipNlms* n, const f32* mic, const f32* ref, f32* out, u32 frames) {
  const u32 ch = (u32)n->channels;
  if (n->taps == 0) {
    std::memmove(out, mic, (size_t)frames * ch * sizeof(f32));
    return;
  }
  const u32 taps = n->taps;
  for (u32 t = 0; t < frames; ++t) {
    for (u32 c = 0; c < ch; ++c) {
      f32* h = n->history + (size_t)c * taps;
      f32* w = n->weights + (size_t)c * taps;
      h[n->histPos] = ref[(size_t)t * ch + c];
      // Newest first: x[k] = h[histPos - k], walked as two straight runs.
      f32 y = 0, energy = n->epsilon;
      u32 k = 0;
      for (i64 i = n->histPos; i >= 0; --i, ++k) {
        y += w[k] * h[i];
        energy += h[i] * h[i];
      }
      for (i64 i = taps - 1; i > (i64)n->histPos; --i, ++k) {
        y += w[k] * h[i];
        energy += h[i] * h[i];
      }
      const f32 e = mic[(size_t)t * ch + c] - y;
      out[(size_t)t * ch + c] = e;
      const f32 g = n->step * e / energy;
      k = 0;
      for (i64 i = n->histPos; i >= 0; --i, ++k) w[k] += g * h[i];
      for (i64 i = taps - 1; i > (i64)n->histPos; --i, ++k) w[k] += g * h[i];
    }
    n->histPos = (n->histPos + 1) % taps;
  }
}

// ---- life cycle ------------------------------------------------------------

Voip* voipCreate(const VoipConfig* cfgIn, u16 localPort, const NetAddr* peerOrNull) {
  VoipConfig cfg;
  if (cfgIn)
    cfg = *cfgIn;
  else
    voipConfigDefault(&cfg);
  if (cfg.peerTimeoutMs == 0) cfg.peerTimeoutMs = 5000;
  if (cfg.keepAliveMs == 0) cfg.keepAliveMs = 2000;
  if (cfg.channels < 1 || cfg.channels > 2) return nullptr;
  if (cfg.sampleRate != 8000 && cfg.sampleRate != 12000 && cfg.sampleRate != 16000 && cfg.sampleRate != 24000 &&
      cfg.sampleRate != 48000)
    return nullptr;
  if (!validFrameSize(cfg.sampleRate, cfg.frameSize)) return nullptr;

  void* mem = alignedAlloc(64, sizeof(Voip));
  if (!mem) return nullptr;
  std::memset(mem, 0, sizeof(Voip));
  Voip* v = new (mem) Voip;
  v->cfg = cfg;
  threadMutexInit(&v->peerMu);
  const u32 ch = (u32)cfg.channels;
  b8 ok = true;
  if (peerOrNull) {
    v->hostAddr = netAddrNormalize(peerOrNull);
    v->hostMode = false;
  } else {
    v->hostMode = true;
  }
  v->net = netCreate();
  v->sock = v->net ? netUdpOpen(v->net, localPort) : nullptr;
  ok = v->sock != nullptr;
  const u64 audioRing = (u64)ch * cfg.frameSize * sizeof(f32) * kMicRingFrames;
  if (ok) {
    v->micRing = AsyncRingAlloc(audioRing);
    v->refRing = AsyncRingAlloc(audioRing);
    v->rxRing = AsyncRingAlloc(kRxRingBytes);
    ok = v->micRing.Buf.Base && v->refRing.Buf.Base && v->rxRing.Buf.Base;
  }
  if (ok) {
    v->encoder = (OpusEncoder*)memAlloc((size_t)opus_encoder_get_size(cfg.channels));
    ok = v->encoder && opus_encoder_init(v->encoder, (opus_int32)cfg.sampleRate, cfg.channels,
                                         OPUS_APPLICATION_VOIP) == OPUS_OK;
    if (ok) {
      opus_encoder_ctl(v->encoder, OPUS_SET_BITRATE(cfg.bitrate));
      opus_encoder_ctl(v->encoder, OPUS_SET_INBAND_FEC(cfg.fec ? 1 : 0));
      opus_encoder_ctl(v->encoder, OPUS_SET_DTX(cfg.dtx ? 1 : 0));
    }
  }
  if (ok) ok = voipNlmsInit(&v->nlms, cfg.channels, cfg.nlmsTaps, cfg.nlmsStep, cfg.nlmsEpsilon);
  // Every slot's decoder and playout exist from the start: taking a slot on the
  // net thread then allocates nothing.
  for (u32 i = 0; ok && i < kVoipMaxPeers; ++i) {
    VoipPeer& p = v->peers[i];
    p.decoder = (OpusDecoder*)memAlloc((size_t)opus_decoder_get_size(cfg.channels));
    ok = p.decoder && opus_decoder_init(p.decoder, (opus_int32)cfg.sampleRate, cfg.channels) == OPUS_OK;
    if (ok) {
      p.playout = AsyncRingAlloc(audioRing);
      ok = p.playout.Buf.Base != nullptr;
    }
  }
  if (ok) {
    const size_t frame = (size_t)ch * cfg.frameSize * sizeof(f32);
    v->micFrame = (f32*)memAlloc(frame);
    v->refFrame = (f32*)memAlloc(frame);
    v->cleanFrame = (f32*)memAlloc(frame);
    v->decodeFrame = (f32*)memAlloc((size_t)ch * kVoipMaxDecode * sizeof(f32));
    ok = v->micFrame && v->refFrame && v->cleanFrame && v->decodeFrame;
  }
  if (!ok) {
    voipDestroy(v);
    return nullptr;
  }
  return v;
}

i32 voipStart(Voip* v) {
  if (!v) return -1;
  if (v->netThread) return v->running.load() ? 0 : -1;
  v->running.store(1, std::memory_order_release);
  v->netThread = threadCreate(netThreadMain, v);
  if (!v->netThread) {
    v->running.store(0);
    return -1;
  }
  threadMutexLock(&v->peerMu);
  const b8 client = !v->hostMode && netAddrPort(&v->hostAddr) != 0;
  threadMutexUnlock(&v->peerMu);
  if (client) {
    v->joinDue.store(1);
    wakeNet(v);
  }
  return 0;
}

void voipStop(Voip* v) {
  if (!v) return;
  v->running.store(0, std::memory_order_seq_cst);
  v->netWakeSeq.fetch_add(1);
  if (v->net) netWake(v->net);
}

void voipDestroy(Voip* v) {
  if (!v) return;
  voipStop(v);
  if (v->netThread) {
    threadJoin(v->netThread);
    threadDestroy(v->netThread);
    v->netThread = nullptr;
  }
  memFree(v->encoder);
  voipNlmsDestroy(&v->nlms);
  for (VoipPeer& p : v->peers) {
    memFree(p.decoder);
    AsyncRingDealloc(&p.playout);
  }
  AsyncRingDealloc(&v->micRing);
  AsyncRingDealloc(&v->refRing);
  AsyncRingDealloc(&v->rxRing);
  memFree(v->micFrame);
  memFree(v->refFrame);
  memFree(v->cleanFrame);
  memFree(v->decodeFrame);
  netDestroy(v->net);  // closes the socket too
  threadMutexDestroy(&v->peerMu);
  v->~Voip();
  alignedFree(v);
}

void voipSetPeer(Voip* v, const NetAddr* peerOrNull) {
  if (!v) return;
  threadMutexLock(&v->peerMu);
  if (peerOrNull) {
    v->hostAddr = netAddrNormalize(peerOrNull);
    v->hostMode = false;
  } else {
    std::memset(&v->hostAddr, 0, sizeof v->hostAddr);
    v->hostMode = true;
  }
  v->hostHeard.store(0);
  v->joinSent.store(0);
  threadMutexUnlock(&v->peerMu);
  if (peerOrNull && v->running.load()) {
    v->joinDue.store(1);
    wakeNet(v);
  }
}

void voipSetHostMode(Voip* v, b8 on) {
  if (!v) return;
  threadMutexLock(&v->peerMu);
  v->hostMode = on;
  if (on) std::memset(&v->hostAddr, 0, sizeof v->hostAddr);
  threadMutexUnlock(&v->peerMu);
}

b8 voipIsHost(Voip* v) {
  if (!v) return false;
  threadMutexLock(&v->peerMu);
  const b8 h = v->hostMode;
  threadMutexUnlock(&v->peerMu);
  return h;
}

b8 voipHostHeard(Voip* v) { return v && v->hostHeard.load(std::memory_order_relaxed) != 0; }

u16 voipLocalPort(Voip* v) { return v ? netSocketPort(v->sock) : 0; }

u32 voipPeerCount(Voip* v) {
  if (!v) return 0;
  u32 n = 0;
  threadMutexLock(&v->peerMu);
  for (const VoipPeer& p : v->peers) n += p.active;
  threadMutexUnlock(&v->peerMu);
  return n;
}

b8 voipPeerInfoAt(Voip* v, u32 index, VoipPeerInfo* out) {
  if (!v || !out) return false;
  b8 found = false;
  threadMutexLock(&v->peerMu);
  u32 n = 0;
  for (const VoipPeer& p : v->peers) {
    if (!p.active) continue;
    if (n++ == index) {
      out->addr = p.addr;
      found = true;
      break;
    }
  }
  threadMutexUnlock(&v->peerMu);
  return found;
}

// ---- audio engine callbacks --------------------------------------------------

i32 voipAudioSource(const f32* captureSamples, u32 frames, i32 channels, Voip* v) {
  if (!v || channels != v->cfg.channels || (!captureSamples && frames)) return -1;
  if (frames == 0) return 0;
  const u64 bytes = (u64)frames * (u64)channels * sizeof(f32);
  // The ring gathers whole frames, which go out at once: it only ever holds
  // less than one between calls.
  const b8 ok = ringWriteBytes(&v->micRing, captureSamples, bytes);
  while (encodeAndSendFrame(v)) {
  }
  return ok ? 0 : -1;
}

i32 voipAudioSink(f32* out, u32 frames, i32 channels, Voip* v) {
  if (!v || channels != v->cfg.channels || (!out && frames)) return -1;
  if (frames == 0) return 0;
  const u64 want = (u64)frames * (u64)channels * sizeof(f32);
  // Queued audio kept per peer: a few device periods past one frame. More is
  // latency a stall left behind; the oldest goes.
  const u64 bound = ((u64)v->cfg.frameSize * 4 + (u64)frames * 2) * (u64)channels * sizeof(f32);
  v->playoutBoundFrames = (u32)(bound / ((u64)channels * sizeof(f32)));
  const u64 n = (u64)frames * (u64)channels;
  // Per peer, frames the bound can hold and one more.
  const u32 keepRecords = (u32)(bound / ((u64)v->cfg.frameSize * (u64)channels * sizeof(f32)) + 1) * kVoipMaxPeers;
  threadMutexLock(&v->peerMu);
  drainRxLocked(v, keepRecords);
  threadMutexUnlock(&v->peerMu);
  receiveNow(v);
  threadMutexLock(&v->peerMu);
  for (VoipPeer& p : v->peers) {
    if (!p.active) continue;
    u64 avail = ringReadable(&p.playout);
    if (avail > bound) {
      AsyncRingReadCommit(&p.playout, avail - bound);
      avail = bound;
    }
    if (avail >= want) {
      u64 run;
      const f32* src = (const f32*)AsyncRingReadPtr(&p.playout, &run);
      for (u64 i = 0; i < n; ++i) out[i] += src[i];
      AsyncRingReadCommit(&p.playout, want);
      avail -= want;
    }  // else the peer waits for the next period
    // Slack no period needed for a whole second is latency left by a late
    // burst (start-up, a stall): it goes. Jitter that keeps recurring keeps
    // the slack it uses.
    if (avail < p.minQueuedBytes) p.minQueuedBytes = avail;
    p.windowFrames += frames;
    if (p.windowFrames >= v->cfg.sampleRate) {
      if (p.minQueuedBytes > 0 && p.minQueuedBytes != ~0ull) AsyncRingReadCommit(&p.playout, p.minQueuedBytes);
      p.minQueuedBytes = ~0ull;
      p.windowFrames = 0;
    }
  }
  threadMutexUnlock(&v->peerMu);
  for (u64 i = 0; i < n; ++i) out[i] = out[i] > 1.0f ? 1.0f : (out[i] < -1.0f ? -1.0f : out[i]);
  // The echo reference (dropped when full), read beside the next microphone frame.
  ringWriteBytes(&v->refRing, out, want);
  return 0;
}
