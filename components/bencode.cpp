#include "components/bencode.h"

#include <cstdio>
#include <cstring>

namespace {

struct Parser {
  BencDoc* doc;
  const u8* p;
  u32 len;
  u32 pos;
};

// Decimal digits up to `stop`; no leading zeros, no overflow past `limit`.
bool readDecimal(Parser* ps, u8 stop, u64 limit, u64* out) {
  u32 start = ps->pos;
  u64 v = 0;
  while (ps->pos < ps->len && ps->p[ps->pos] >= '0' && ps->p[ps->pos] <= '9') {
    u64 d = ps->p[ps->pos] - '0';
    if (v > (limit - d) / 10) return false;
    v = v * 10 + d;
    ps->pos++;
  }
  u32 digits = ps->pos - start;
  if (digits == 0 || (digits > 1 && ps->p[start] == '0')) return false;
  if (ps->pos >= ps->len || ps->p[ps->pos] != stop) return false;
  ps->pos++;
  *out = v;
  return true;
}

i32 parseValue(Parser* ps, u32 depth);

bool keyLess(const BencDoc* doc, const BencNode& a, const BencNode& b) {
  u32 n = a.length < b.length ? a.length : b.length;
  int c = memcmp(doc->data + a.offset, doc->data + b.offset, n);
  return c < 0 || (c == 0 && a.length < b.length);
}

i32 parseValue(Parser* ps, u32 depth) {
  if (depth > kBencMaxDepth || ps->pos >= ps->len || ps->doc->count >= kBencMaxNodes) return -1;
  i32 idx = (i32)ps->doc->count++;
  BencNode* n = &ps->doc->nodes[idx];
  *n = BencNode{};
  u8 c = ps->p[ps->pos];
  if (c == 'i') {
    ps->pos++;
    bool neg = ps->pos < ps->len && ps->p[ps->pos] == '-';
    if (neg) ps->pos++;
    u64 v = 0;
    if (!readDecimal(ps, 'e', neg ? (u64)INT64_MAX + 1 : (u64)INT64_MAX, &v)) return -1;
    if (neg && v == 0) return -1;  // "-0"
    n->type = BENC_INT;
    n->value = neg ? (i64)(0 - v) : (i64)v;
  } else if (c >= '0' && c <= '9') {
    u64 l = 0;
    if (!readDecimal(ps, ':', ps->len, &l)) return -1;
    if (l > ps->len - ps->pos) return -1;
    n->type = BENC_STR;
    n->offset = ps->pos;
    n->length = (u32)l;
    ps->pos += (u32)l;
  } else if (c == 'l' || c == 'd') {
    ps->pos++;
    n->type = c == 'l' ? BENC_LIST : BENC_DICT;
    i32 lastKey = -1;
    for (;;) {
      if (ps->pos >= ps->len) return -1;
      if (ps->p[ps->pos] == 'e') {
        ps->pos++;
        break;
      }
      i32 child = parseValue(ps, depth + 1);
      if (child < 0) return -1;
      if (n->type == BENC_DICT) {
        const BencNode& key = ps->doc->nodes[child];
        if (key.type != BENC_STR) return -1;
        if (lastKey >= 0 && !keyLess(ps->doc, ps->doc->nodes[lastKey], key)) return -1;
        lastKey = child;
        if (parseValue(ps, depth + 1) < 0) return -1;
      }
    }
  } else {
    return -1;
  }
  ps->doc->nodes[idx].end = ps->doc->count;
  return idx;
}

}  // namespace

bool bencParse(BencDoc* doc, const void* buf, size_t len) {
  doc->data = (const u8*)buf;
  doc->count = 0;
  if (!buf || len == 0 || len > 0x7fffffffu) return false;
  Parser ps{doc, (const u8*)buf, (u32)len, 0};
  if (parseValue(&ps, 0) != 0) return false;
  return ps.pos == ps.len;
}

i32 bencDictGet(const BencDoc* doc, i32 dict, const char* key) {
  if (dict < 0 || (u32)dict >= doc->count || doc->nodes[dict].type != BENC_DICT) return -1;
  size_t klen = strlen(key);
  u32 i = (u32)dict + 1;
  while (i < doc->nodes[dict].end) {
    const BencNode& k = doc->nodes[i];
    u32 v = i + 1;
    if (k.length == klen && memcmp(doc->data + k.offset, key, klen) == 0) return (i32)v;
    i = doc->nodes[v].end;
  }
  return -1;
}

const u8* bencString(const BencDoc* doc, i32 node, u32* length) {
  if (node < 0 || (u32)node >= doc->count || doc->nodes[node].type != BENC_STR) return nullptr;
  *length = doc->nodes[node].length;
  return doc->data + doc->nodes[node].offset;
}

void bencWriteRaw(BencWriter* w, const void* data, u32 len) {
  if (w->failed || len > w->capacity - w->length) {
    w->failed = true;
    return;
  }
  memcpy(w->buf + w->length, data, len);
  w->length += len;
}

void bencWriteString(BencWriter* w, const void* data, u32 len) {
  char head[16];
  int n = snprintf(head, sizeof head, "%u:", len);
  bencWriteRaw(w, head, (u32)n);
  bencWriteRaw(w, data, len);
}

void bencWriteCString(BencWriter* w, const char* s) { bencWriteString(w, s, (u32)strlen(s)); }

void bencWriteInt(BencWriter* w, i64 value) {
  char tmp[32];
  int n = snprintf(tmp, sizeof tmp, "i%llde", (long long)value);
  bencWriteRaw(w, tmp, (u32)n);
}
