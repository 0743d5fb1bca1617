#include "components/mdns.h"

#include <stdio.h>
#include <string.h>

namespace {

u16 rd16(const u8* p) { return (u16)(p[0] << 8 | p[1]); }
u32 rd32(const u8* p) { return (u32)p[0] << 24 | (u32)p[1] << 16 | (u32)p[2] << 8 | p[3]; }

void put(MdnsWriter* w, const void* data, u32 n) {
  if (w->failed || n > w->capacity - w->length) {
    w->failed = true;
    return;
  }
  memcpy(w->buf + w->length, data, n);
  w->length += n;
}

void put16(MdnsWriter* w, u16 v) {
  u8 b[2] = {(u8)(v >> 8), (u8)v};
  put(w, b, 2);
}

void put32(MdnsWriter* w, u32 v) {
  u8 b[4] = {(u8)(v >> 24), (u8)(v >> 16), (u8)(v >> 8), (u8)v};
  put(w, b, 4);
}

void putName(MdnsWriter* w, const char* name) {
  const char* p = name;
  while (*p) {
    const char* dot = strchr(p, '.');
    size_t n = dot ? (size_t)(dot - p) : strlen(p);
    if (n == 0 || n > 63) {
      if (n > 63) w->failed = true;
      break;
    }
    u8 l = (u8)n;
    put(w, &l, 1);
    put(w, p, (u32)n);
    p += n;
    if (*p == '.') p++;
  }
  u8 zero = 0;
  put(w, &zero, 1);
}

void putRecordHead(MdnsWriter* w, const char* name, u16 type, u16 klass, u32 ttl, u16 rdlength) {
  putName(w, name);
  put16(w, type);
  put16(w, klass);
  put32(w, ttl);
  put16(w, rdlength);
}

i32 readRecord(const u8* msg, u32 len, u32 off, MdnsRecord* r) {
  i32 next = mdnsReadName(msg, len, off, r->name);
  if (next < 0 || (u32)next + 10 > len) return -1;
  const u8* p = msg + next;
  r->type = rd16(p);
  r->klass = rd16(p + 2);
  r->ttl = rd32(p + 4);
  r->rdlength = rd16(p + 8);
  u32 data = (u32)next + 10;
  if (r->rdlength > len - data) return -1;
  r->rdata = msg + data;
  return (i32)(data + r->rdlength);
}

}  // namespace

i32 mdnsReadName(const u8* msg, u32 len, u32 offset, char* out) {
  u32 pos = offset;
  u32 outLen = 0;
  i32 end = -1;      // where the name ends in the message (before the first jump)
  u32 limit = offset;  // every pointer must land before the previous one
  out[0] = 0;
  for (;;) {
    if (pos >= len) return -1;
    u8 l = msg[pos];
    if ((l & 0xC0) == 0xC0) {
      if (pos + 1 >= len) return -1;
      u32 target = (u32)(l & 0x3F) << 8 | msg[pos + 1];
      if (end < 0) end = (i32)(pos + 2);
      if (target >= limit) return -1;
      limit = target;
      pos = target;
      continue;
    }
    if (l & 0xC0) return -1;  // reserved label types
    if (l == 0) {
      if (end < 0) end = (i32)(pos + 1);
      if (outLen == 0) {
        out[0] = '.';
        out[1] = 0;
      }
      return end;
    }
    if (pos + 1 + l > len || outLen + l + 1 > kDnsMaxName) return -1;
    if (memchr(msg + pos + 1, 0, l)) return -1;  // the dotted text could not carry it
    memcpy(out + outLen, msg + pos + 1, l);
    outLen += l;
    out[outLen++] = '.';
    out[outLen] = 0;
    pos += 1 + l;
  }
}

bool mdnsParse(const u8* msg, u32 len, const MdnsHandlers& h) {
  if (!msg || len < 12) return false;
  u16 counts[4] = {rd16(msg + 4), rd16(msg + 6), rd16(msg + 8), rd16(msg + 10)};
  u32 off = 12;
  for (u32 i = 0; i < counts[0]; i++) {
    MdnsQuestion q;
    i32 next = mdnsReadName(msg, len, off, q.name);
    if (next < 0 || (u32)next + 4 > len) return false;
    q.type = rd16(msg + next);
    q.klass = rd16(msg + next + 2);
    off = (u32)next + 4;
    if (h.question && !mdnsNameEqual(q.name, "_services._dns-sd._udp.local.")) h.question(h.ctx, q);
  }
  for (int section = 1; section < 4; section++) {
    for (u32 i = 0; i < counts[section]; i++) {
      MdnsRecord r;
      i32 next = readRecord(msg, len, off, &r);
      if (next < 0) return false;
      off = (u32)next;
      if (h.record) h.record(h.ctx, r);
    }
  }
  return true;
}

bool mdnsNameEqual(const char* a, const char* b) {
  for (;; a++, b++) {
    char ca = *a, cb = *b;
    if (ca >= 'A' && ca <= 'Z') ca = (char)(ca - 'A' + 'a');
    if (cb >= 'A' && cb <= 'Z') cb = (char)(cb - 'A' + 'a');
    if (ca != cb) return false;
    if (!ca) return true;
  }
}

void mdnsInstanceName(const u8 id[20], char out[kDnsMaxName + 1]) {
  for (int i = 0; i < 20; i++) snprintf(out + 2 * i, 3, "%02x", id[i]);
  strcpy(out + 40, "._gamepeer._udp.local.");
}

void mdnsWriteHeader(MdnsWriter* w, u16 flags, u16 questions, u16 answers, u16 authority, u16 additional) {
  put16(w, 0);
  put16(w, flags);
  put16(w, questions);
  put16(w, answers);
  put16(w, authority);
  put16(w, additional);
}

void mdnsWriteQuestion(MdnsWriter* w, const char* name, u16 type, u16 klass) {
  putName(w, name);
  put16(w, type);
  put16(w, klass);
}

void mdnsWriteA(MdnsWriter* w, const char* name, u32 ttl, u32 ipv4) {
  putRecordHead(w, name, kDnsTypeA, kDnsClassIn, ttl, 4);
  put(w, &ipv4, 4);
}

void mdnsWriteSrv(MdnsWriter* w, const char* name, u32 ttl, u16 port, const char* target) {
  MdnsWriter t{};
  u8 tmp[kDnsMaxName + 2];
  t.buf = tmp;
  t.capacity = sizeof tmp;
  putName(&t, target);
  if (t.failed) {
    w->failed = true;
    return;
  }
  putRecordHead(w, name, kDnsTypeSrv, kDnsClassIn, ttl, (u16)(6 + t.length));
  put16(w, 0);
  put16(w, 0);
  put16(w, port);
  put(w, tmp, t.length);
}

void mdnsWriteTxt(MdnsWriter* w, const char* name, u16 klass, u32 ttl, const char* text) {
  size_t n = strlen(text);
  if (n > 255) n = 255;
  putRecordHead(w, name, kDnsTypeTxt, klass, ttl, (u16)(n + 1));
  u8 l = (u8)n;
  put(w, &l, 1);
  put(w, text, (u32)n);
}
