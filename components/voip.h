// Peer-to-peer voice chat over UDP with Opus. One participant hosts: it takes
// joins, keeps the participant list and sends each participant the others (the
// roster). Everyone cancels the echo of their own loudspeaker, encodes 20 ms
// frames and sends them to the host and every known peer; received frames are
// decoded per sender and mixed into the loudspeaker output.
//
// Threads: the audio engine's thread calls voipAudioSource/voipAudioSink,
// which encode and send, and decode and mix, themselves; "voip-net" receives,
// answers joins and rosters, keeps time-outs and queues audio datagrams in a
// single-producer single-consumer ring for the playback callback, which also
// reads datagrams still waiting in the socket. peerMu guards the peer table.
// Every datagram is hostile until parsed.
#pragma once

#include <opus/opus.h>

#include <atomic>

#include "platform/net.h"
#include "platform/ring.h"
#include "platform/threads.h"
#include "platform/types.h"

inline constexpr u32 kVoipMaxPeers = 8;
inline constexpr u32 kVoipHeader = 8;
inline constexpr u32 kVoipMaxOpus = 1276;
inline constexpr u32 kVoipMaxDatagram = kVoipHeader + kVoipMaxOpus;  // 1284
inline constexpr u32 kVoipMaxDecode = 5760;  // frames of the longest Opus packet (120 ms)
// Receive records carry the packed sender and the datagram length before the
// datagram: the largest (an IPv6 sender) is 1284 + 21 bytes.
inline constexpr u32 kVoipMaxRxRecord = kVoipMaxDatagram + kNetAddrPackedV6 + 2;
inline constexpr u32 kVoipMagic = 0x50494F56;  // "VOIP" read little-endian

enum VoipPacketType : u8 { VOIP_PKT_JOIN = 1, VOIP_PKT_ROSTER = 2, VOIP_PKT_AUDIO = 3 };

struct VoipConfig {
  u32 sampleRate;
  i32 channels;  // must equal the audio engine's
  u32 frameSize;  // samples per channel per encoded frame
  i32 bitrate;
  i32 fec;
  i32 dtx;
  u32 nlmsTaps;
  f32 nlmsStep;
  f32 nlmsEpsilon;
  // A peer the host has not heard for this long is released (0: 5000 ms).
  u32 peerTimeoutMs;
  // A client repeats its join this often as keep-alive (0: 2000 ms).
  u32 keepAliveMs;
};

struct VoipNlms {
  i32 channels;
  u32 taps;
  f32 step;
  f32 epsilon;
  f32* weights;  // channels * taps
  f32* history;  // channels * taps: one ring of reference samples per channel
  u32 histPos;
};

struct VoipPeer {
  b8 active;
  NetAddr addr;
  OpusDecoder* decoder;  // made at creation for every slot, reset on reuse
  AsyncRing playout;  // decoded float audio: the playback callback's jitter buffer
  u64 lastHeardNs;  // net thread only
  // Engine thread (under peerMu): the least audio left queued after a period
  // in the current one-second window, and that window's frames so far.
  u64 minQueuedBytes;
  u64 windowFrames;
};

struct VoipPeerInfo {
  NetAddr addr;
};

struct Voip {
  VoipConfig cfg;
  NetContext* net;
  NetSocket* sock;
  NetAddr hostAddr;  // under peerMu
  b8 hostMode;  // under peerMu
  Thread* netThread;
  std::atomic<i32> running;
  std::atomic<u32> netWakeSeq;
  std::atomic<u32> netSleeping;  // the net thread is in (or entering) netWait
  std::atomic<u32> joinDue;  // a client should send its join now
  std::atomic<u32> joinSent;  // set under peerMu: the join to hostAddr is out, audio may follow
  std::atomic<u32> hostHeard;  // a client heard from its current host
  ThreadMutex peerMu;
  OpusEncoder* encoder;
  VoipNlms nlms;
  VoipPeer peers[kVoipMaxPeers];
  // micRing, refRing: the engine thread's own frame accumulators; rxRing:
  // voip-net to the playback callback.
  AsyncRing micRing, refRing, rxRing;
  f32 *micFrame, *refFrame, *cleanFrame;  // channels * frameSize, engine thread
  f32* decodeFrame;  // channels * 5760, engine thread
  u8 packetBuf[kVoipMaxDatagram];  // engine thread
  u8 sinkRecvBuf[kVoipMaxDatagram + 1];  // engine thread: one longer is cut, so dropped
  u8 rxBuf[kVoipMaxRxRecord];  // net thread: a receive record being built
  u32 playoutBoundFrames;  // per-peer queued audio kept at most, set from device periods
  std::atomic<u64> framesSent, framesDecoded, datagramsRejected;  // diagnostics and tests
};

void voipConfigDefault(VoipConfig* cfg);

// With peerOrNull the voice chat is a client of that host, otherwise the host.
// Null on any failure (bad configuration, socket, codec, memory).
Voip* voipCreate(const VoipConfig* cfg, u16 localPort, const NetAddr* peerOrNull);
// Starts the net thread; a client then sends its join. 0 or -1.
i32 voipStart(Voip* v);
// Clears running and wakes the net thread.
void voipStop(Voip* v);
// Stops, joins the thread and releases everything; nothing for null.
void voipDestroy(Voip* v);

// Client of this host (sends a join at once when running), or host for null.
void voipSetPeer(Voip* v, const NetAddr* peerOrNull);
void voipSetHostMode(Voip* v, b8 on);
b8 voipIsHost(Voip* v);
// A client's current host has answered (roster or audio) since it was set.
b8 voipHostHeard(Voip* v);
u16 voipLocalPort(Voip* v);

u32 voipPeerCount(Voip* v);
b8 voipPeerInfoAt(Voip* v, u32 index, VoipPeerInfo* out);

// Audio engine callbacks, both on the engine's one thread: interleaved float
// frames. The source encodes and sends every whole frame gathered; the sink
// decodes what arrived, then mixes. -1 when channels differ.
i32 voipAudioSource(const f32* captureSamples, u32 frames, i32 channels, Voip* v);
i32 voipAudioSink(f32* outSamples, u32 frames, i32 channels, Voip* v);

// Building blocks, exposed for tests and the fuzz target.
b8 voipNlmsInit(VoipNlms* n, i32 channels, u32 taps, f32 step, f32 epsilon);
void voipNlmsDestroy(VoipNlms* n);
void voipNlmsProcess(VoipNlms* n, const f32* mic, const f32* ref, f32* out, u32 frames);

// Header check: 8..1284 bytes with the magic. Returns the type, 0 when invalid.
u8 voipParseHeader(const u8* data, u32 len);
// Writes a header for the given type and roster count.
void voipWriteHeader(u8* out, u8 type, u8 count);
// Roster entries of a roster datagram (count as in the header, stopping at the
// first entry that does not unpack or does not fit). Returns entries read.
u32 voipParseRoster(const u8* data, u32 len, NetAddr* out, u32 maxOut);
// A receive record: packed sender, u16 length, datagram. Returns bytes written
// (0 when it does not fit kVoipMaxRxRecord).
u32 voipPackRxRecord(u8* out, const NetAddr* from, const u8* datagram, u32 len);
// Splits a receive record; false when it is malformed.
b8 voipUnpackRxRecord(const u8* rec, u32 len, NetAddr* from, const u8** datagram, u32* dlen);
// One datagram as the net thread handles it (joins, rosters, audio forwarded
// to the receive ring). True when forwarded. The net thread's own step; the
// fuzz target calls it on a voice chat whose thread is not running.
b8 voipHandleDatagram(Voip* v, const u8* data, u32 len, const NetAddr* from, u64 nowNs);
// The callbacks' audio work without a device period: decode every queued
// receive record, then encode and send a frame if the microphone ring holds
// one. False when there was nothing to do. For tests and the fuzz target.
b8 voipAudioPass(Voip* v);
// One whole receive record as the playback callback handles it: parse, find
// the sender's peer, decode into its playout. Returns true when audio was
// decoded. For the fuzz target and tests.
b8 voipHandleRxRecord(Voip* v, const u8* rec, u32 len);
