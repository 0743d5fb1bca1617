// Multicast DNS messages: a bounded reader for hostile datagrams and the few
// records discovery writes (A, SRV, TXT and an ANY question).
#pragma once

#include "platform/types.h"

constexpr u16 kMdnsPort = 5353;
constexpr u32 kMdnsGroup = 0xE00000FBu;  // 224.0.0.251, host order
constexpr u16 kDnsTypeA = 1;
constexpr u16 kDnsTypeTxt = 16;
constexpr u16 kDnsTypeSrv = 33;
constexpr u16 kDnsTypeAny = 255;
constexpr u16 kDnsClassIn = 1;
constexpr u16 kDnsTopBit = 0x8000;  // questions: unicast response; records: cache flush
constexpr u32 kDnsMaxName = 255;    // bytes of a name in dotted text, trailing dot included

struct MdnsQuestion {
  char name[kDnsMaxName + 1];
  u16 type;
  u16 klass;
};

struct MdnsRecord {
  char name[kDnsMaxName + 1];
  u16 type;
  u16 klass;
  u32 ttl;
  const u8* rdata;
  u16 rdlength;
};

struct MdnsHandlers {
  void (*question)(void* ctx, const MdnsQuestion& q);
  void (*record)(void* ctx, const MdnsRecord& r);
  void* ctx;
};

// Reads a possibly compressed name at `offset` into dotted text ending in '.'.
// Pointers may only go backwards, the text is at most 255 bytes, labels at most
// 63 and without NUL bytes. Returns the offset just past the name in the
// message, or -1.
i32 mdnsReadName(const u8* msg, u32 len, u32 offset, char* out);

// Walks questions, then answer, authority and additional records, each section
// only when the one before parsed completely. Returns false when the header or
// any part was malformed (handlers have seen what came before).
bool mdnsParse(const u8* msg, u32 len, const MdnsHandlers& handlers);

// True when two dotted names are equal ignoring ASCII case.
bool mdnsNameEqual(const char* a, const char* b);

// "<40 lowercase hex digits>._gamepeer._udp.local."
void mdnsInstanceName(const u8 id[20], char out[kDnsMaxName + 1]);

// Message writer over a fixed buffer; `failed` once something did not fit.
struct MdnsWriter {
  u8* buf;
  u32 capacity;
  u32 length;
  bool failed;
};

void mdnsWriteHeader(MdnsWriter* w, u16 flags, u16 questions, u16 answers, u16 authority, u16 additional);
void mdnsWriteQuestion(MdnsWriter* w, const char* name, u16 type, u16 klass);
// ipv4 in network byte order.
void mdnsWriteA(MdnsWriter* w, const char* name, u32 ttl, u32 ipv4);
void mdnsWriteSrv(MdnsWriter* w, const char* name, u32 ttl, u16 port, const char* target);
void mdnsWriteTxt(MdnsWriter* w, const char* name, u16 klass, u32 ttl, const char* text);
