// Mainline DHT node. Routing tables with variable-size buckets, searches that
// converge on the 8 closest nodes and announce to them, announce tokens and the
// storage of announced peers. Every received datagram is hostile: it goes
// through the strict bencode reader, and a reply counts only when it answers a
// query we sent to that address recently.
#include "components/dht.h"

#include <arpa/inet.h>
#include <errno.h>
#include <string.h>

#include <new>

#include "components/bencode.h"
#include "platform/memory.h"
#include "platform/types.h"

FILE* dht_debug = nullptr;

namespace {

constexpr int kIdLen = 20;
constexpr int kTokenSize = 8;
constexpr int kSearchNodes = 14;
constexpr int kInflight = 4;
constexpr int kRetransmit = 10;
constexpr int kSearchExpire = 62 * 60;
constexpr int kMaxBlacklisted = 10;
constexpr int kMaxBuckets = 161;
constexpr int kPendingSlots = 1024;
constexpr int kPendingWindow = 30;  // seconds a query waits for its reply
constexpr int kMaxReply = 1024;     // bytes of a reply we build
constexpr int kPeerLifetime = 32 * 60;

// An address in compact form; `port` in network order.
struct Addr {
  int af;
  u16 port;
  u8 ip[16];
};

struct Node {
  u8 id[kIdLen];
  Addr addr;
  time_t time;        // last message of any kind
  time_t replyTime;   // last reply to one of our queries
  time_t pingedTime;  // last query sent
  int pinged;         // queries since the last reply
};

struct Bucket {
  u8 first[kIdLen];
  int depth;  // bits of prefix shared by every id in the bucket
  int count;
  int max;
  time_t time;  // last reply from any node here
  bool haveCached;
  Addr cached;
  Node* nodes;
};

struct Table {
  bool exists;
  int numBuckets;
  Bucket buckets[kMaxBuckets];
};

struct SearchNode {
  u8 id[kIdLen];
  Addr addr;
  time_t requestTime;
  time_t replyTime;
  int pinged;
  u8 token[40];
  int tokenLen;
  bool replied;
  bool acked;
};

struct Search {
  u16 number;
  int af;
  time_t stepTime;
  u8 id[kIdLen];
  u16 port;
  bool done;
  SearchNode nodes[kSearchNodes];
  int numNodes;
  Search* next;
};

struct StoredPeer {
  u8 ip[16];
  u8 len;
  u16 port;  // host order
  time_t time;
};

struct Storage {
  u8 id[kIdLen];
  int numPeers;
  int maxPeers;
  StoredPeer* peers;
  Storage* next;
};

enum PendingKind : u8 { PENDING_NONE, PENDING_PING, PENDING_FIND, PENDING_GET, PENDING_ANNOUNCE };

struct Pending {
  PendingKind kind;
  u8 tid[4];
  Addr addr;
  time_t sent;
  u16 search;
};

struct State {
  int fd4 = -1, fd6 = -1;
  u8 myid[kIdLen];
  bool haveV;
  u8 v[4];
  Table tables[2];  // 0: IPv4, 1: IPv6
  Search* searches;
  int numSearches;
  u16 searchId;
  Storage* storage;
  int numStorage;
  int numStoredPeers;
  u8 secret[kTokenSize], oldSecret[kTokenSize];
  time_t rotateTime, expireTime, searchTime, confirmTime;
  time_t mybucketGrow[2];
  time_t initTime;
  int tokenBucket;
  time_t tokenBucketTime;
  Addr blacklist[kMaxBlacklisted];
  int nextBlacklisted;
  Pending pending[kPendingSlots];
  u64 rng;
  time_t now;
};

State g;
time_t (*gClock)(void) = nullptr;

time_t defaultClock() {
  // Whole seconds are all the node needs; the coarse clock never leaves user space.
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return (time_t)ts.tv_sec + 1000000000;  // far from zero, which means "never"
}

// Timer jitter, random targets and transaction ids; secrets use dht_random_bytes.
u32 rnd() {
  g.rng ^= g.rng >> 12;
  g.rng ^= g.rng << 25;
  g.rng ^= g.rng >> 27;
  return (u32)((g.rng * 0x2545F4914F6CDD1DULL) >> 32);
}

void debugf(const char* fmt, const char* a = "") {
  if (dht_debug) {
    fprintf(dht_debug, fmt, a);
    fflush(dht_debug);
  }
}

int tableIndex(int af) { return af == AF_INET ? 0 : 1; }
Table* tableFor(int af) {
  if (af != AF_INET && af != AF_INET6) return nullptr;
  Table* t = &g.tables[tableIndex(af)];
  return t->exists ? t : nullptr;
}

int ipLen(int af) { return af == AF_INET ? 4 : 16; }

bool addrFromSockaddr(const sockaddr* sa, int salen, Addr* out) {
  *out = Addr{};
  if (!sa || salen <= 0) return false;
  if (sa->sa_family == AF_INET && salen >= (int)sizeof(sockaddr_in)) {
    const sockaddr_in* s = (const sockaddr_in*)sa;
    out->af = AF_INET;
    out->port = s->sin_port;
    memcpy(out->ip, &s->sin_addr, 4);
    return true;
  }
  if (sa->sa_family == AF_INET6 && salen >= (int)sizeof(sockaddr_in6)) {
    const sockaddr_in6* s = (const sockaddr_in6*)sa;
    out->af = AF_INET6;
    out->port = s->sin6_port;
    memcpy(out->ip, &s->sin6_addr, 16);
    return true;
  }
  return false;
}

int addrToSockaddr(const Addr& a, sockaddr_storage* ss) {
  memset(ss, 0, sizeof *ss);
  if (a.af == AF_INET) {
    sockaddr_in* s = (sockaddr_in*)ss;
    s->sin_family = AF_INET;
    s->sin_port = a.port;
    memcpy(&s->sin_addr, a.ip, 4);
    return sizeof(sockaddr_in);
  }
  sockaddr_in6* s = (sockaddr_in6*)ss;
  s->sin6_family = AF_INET6;
  s->sin6_port = a.port;
  memcpy(&s->sin6_addr, a.ip, 16);
  return sizeof(sockaddr_in6);
}

bool addrEqual(const Addr& a, const Addr& b) {
  return a.af == b.af && a.port == b.port && memcmp(a.ip, b.ip, ipLen(a.af)) == 0;
}

bool martian(const Addr& a) {
  if (a.port == 0) return true;
  if (a.af == AF_INET) return a.ip[0] == 0 || a.ip[0] == 127 || a.ip[0] >= 224;
  static const u8 zeros[16] = {};
  static const u8 mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (a.ip[0] == 0xff) return true;
  if (a.ip[0] == 0xfe && (a.ip[1] & 0xc0) == 0x80) return true;
  if (memcmp(a.ip, zeros, 15) == 0 && (a.ip[15] == 0 || a.ip[15] == 1)) return true;
  return memcmp(a.ip, mapped, 12) == 0;
}

bool blacklisted(const Addr& a) {
  sockaddr_storage ss;
  int len = addrToSockaddr(a, &ss);
  if (dht_blacklisted((const sockaddr*)&ss, len)) return true;
  for (int i = 0; i < kMaxBlacklisted; i++)
    if (g.blacklist[i].af && addrEqual(g.blacklist[i], a)) return true;
  return false;
}

void blacklist(const Addr& a) {
  g.blacklist[g.nextBlacklisted] = a;
  g.nextBlacklisted = (g.nextBlacklisted + 1) % kMaxBlacklisted;
}

int idCmp(const u8* a, const u8* b) { return memcmp(a, b, kIdLen); }

// Which of two ids is closer to `target` in the XOR metric: -1, 0 or 1.
int xorCmp(const u8* a, const u8* b, const u8* target) {
  for (int i = 0; i < kIdLen; i++) {
    u8 xa = a[i] ^ target[i], xb = b[i] ^ target[i];
    if (xa != xb) return xa < xb ? -1 : 1;
  }
  return 0;
}

bool inBucket(const Bucket& b, const u8* id) {
  int full = b.depth / 8, rest = b.depth % 8;
  if (memcmp(b.first, id, full) != 0) return false;
  if (rest == 0) return true;
  u8 mask = (u8)(0xff << (8 - rest));
  return (b.first[full] & mask) == (id[full] & mask);
}

int findBucket(Table* t, const u8* id) {
  for (int i = 0; i < t->numBuckets; i++)
    if (inBucket(t->buckets[i], id)) return i;
  return -1;
}

void randomIdInBucket(const Bucket& b, u8* out) {
  for (int i = 0; i < kIdLen; i++) out[i] = (u8)rnd();
  int full = b.depth / 8, rest = b.depth % 8;
  memcpy(out, b.first, full);
  if (rest) {
    u8 mask = (u8)(0xff << (8 - rest));
    out[full] = (u8)((b.first[full] & mask) | (out[full] & ~mask));
  }
}

bool nodeGood(const Node& n) {
  return n.pinged <= 2 && n.replyTime >= g.now - 7200 && n.time >= g.now - 900;
}

// ---------------------------------------------------------------- sending

int sendRaw(const Addr& to, const u8* buf, u32 len) {
  if (blacklisted(to)) {
    errno = EPERM;
    return -1;
  }
  int fd = to.af == AF_INET ? g.fd4 : g.fd6;
  if (fd < 0) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  sockaddr_storage ss;
  int sl = addrToSockaddr(to, &ss);
  return dht_sendto(fd, buf, (int)len, 0, (const sockaddr*)&ss, sl);
}

// Registers a query we are about to send and writes its 4-byte transaction id.
void newPending(PendingKind kind, const Addr& to, u16 search, u8* tid) {
  static const char* prefixes[] = {"", "pn", "fn", "gp", "ap"};
  u32 slot = 0;
  for (int tries = 0; tries < 4; tries++) {
    slot = rnd() & 0xffff;
    const Pending& p = g.pending[slot % kPendingSlots];
    if (p.kind == PENDING_NONE || p.sent < g.now - kPendingWindow) break;
  }
  Pending& p = g.pending[slot % kPendingSlots];
  p.kind = kind;
  p.tid[0] = (u8)prefixes[kind][0];
  p.tid[1] = (u8)prefixes[kind][1];
  p.tid[2] = (u8)(slot >> 8);
  p.tid[3] = (u8)slot;
  p.addr = to;
  p.sent = g.now;
  p.search = search;
  memcpy(tid, p.tid, 4);
}

// The query this reply answers, or null: same id, same address, in time. Used once.
Pending* matchPending(const u8* tid, u32 tidLen, const Addr& from) {
  if (tidLen != 4) return nullptr;
  u32 slot = ((u32)tid[2] << 8 | tid[3]) % kPendingSlots;
  Pending* p = &g.pending[slot];
  if (p->kind == PENDING_NONE || memcmp(p->tid, tid, 4) != 0 || !addrEqual(p->addr, from)) return nullptr;
  if (p->sent < g.now - kPendingWindow) return nullptr;
  return p;
}

void beginMessage(BencWriter* w, u8* buf, u32 cap) { *w = BencWriter{buf, cap, 0, false}; }

void endMessage(BencWriter* w, const u8* tid, u32 tidLen, char y) {
  bencWriteRaw(w, "1:t", 3);
  bencWriteString(w, tid, tidLen);
  if (g.haveV) {
    bencWriteRaw(w, "1:v", 3);
    bencWriteString(w, g.v, 4);
  }
  char tail[6] = {'1', ':', 'y', '1', ':', y};
  bencWriteRaw(w, tail, 6);
  bencWriteRaw(w, "e", 1);
}

int sendQuery(const Addr& to, PendingKind kind, u16 search, const char* method, const u8* target,
              const char* want, const u8* token, int tokenLen, int port) {
  u8 buf[512];
  u8 tid[4];
  BencWriter w;
  beginMessage(&w, buf, sizeof buf);
  bencWriteRaw(&w, "d1:ad2:id", 9);
  bencWriteString(&w, g.myid, kIdLen);
  if (kind == PENDING_FIND) {
    bencWriteCString(&w, "target");
    bencWriteString(&w, target, kIdLen);
    if (want) {
      bencWriteCString(&w, "want");
      bencWriteRaw(&w, "l", 1);
      if (strchr(want, '4')) bencWriteCString(&w, "n4");
      if (strchr(want, '6')) bencWriteCString(&w, "n6");
      bencWriteRaw(&w, "e", 1);
    }
  } else if (kind == PENDING_GET || kind == PENDING_ANNOUNCE) {
    bencWriteCString(&w, "info_hash");
    bencWriteString(&w, target, kIdLen);
    if (kind == PENDING_ANNOUNCE) {
      bencWriteCString(&w, "port");
      bencWriteInt(&w, port);
      bencWriteCString(&w, "token");
      bencWriteString(&w, token, (u32)tokenLen);
    }
  }
  bencWriteRaw(&w, "e1:q", 4);
  bencWriteCString(&w, method);
  newPending(kind, to, search, tid);
  endMessage(&w, tid, 4, 'q');
  if (w.failed) {
    errno = ENOSPC;
    return -1;
  }
  return sendRaw(to, buf, w.length);
}

int sendPing(const Addr& to) { return sendQuery(to, PENDING_PING, 0, "ping", nullptr, nullptr, nullptr, 0, 0); }

void sendError(const Addr& to, const u8* tid, u32 tidLen, const char* message) {
  u8 buf[256];
  BencWriter w;
  beginMessage(&w, buf, sizeof buf);
  bencWriteRaw(&w, "d1:eli203e", 10);
  bencWriteCString(&w, message);
  bencWriteRaw(&w, "e", 1);
  endMessage(&w, tid, tidLen, 'e');
  if (!w.failed) sendRaw(to, buf, w.length);
}

// ---------------------------------------------------------------- routing table

Node* findNode(const u8* id, int af, Bucket** bucketOut) {
  Table* t = tableFor(af);
  if (!t) return nullptr;
  int bi = findBucket(t, id);
  if (bi < 0) return nullptr;
  Bucket* b = &t->buckets[bi];
  for (int i = 0; i < b->count; i++)
    if (idCmp(b->nodes[i].id, id) == 0) {
      if (bucketOut) *bucketOut = b;
      return &b->nodes[i];
    }
  return nullptr;
}

// A query went to a table node: its failed count rises; at three the bucket's
// replacement candidate gets a ping.
void nodePinged(Node* n, Bucket* b) {
  n->pinged++;
  n->pingedTime = g.now;
  if (n->pinged >= 3 && b && b->haveCached) {
    Addr c = b->cached;
    b->haveCached = false;
    sendPing(c);
  }
}

void nodePingedById(const u8* id, int af) {
  Bucket* b = nullptr;
  Node* n = findNode(id, af, &b);
  if (n) nodePinged(n, b);
}

bool splitBucket(Table* t, int bi) {
  if (t->numBuckets >= kMaxBuckets || t->buckets[bi].depth >= 159) return false;
  Bucket& old = t->buckets[bi];
  bool lowMine = !((g.myid[old.depth / 8] >> (7 - old.depth % 8)) & 1);
  int mineMax = old.max / 2 < 8 ? 8 : old.max / 2;
  Node* lowNodes = (Node*)memCalloc((size_t)(lowMine ? mineMax : old.max), sizeof(Node));
  Node* highNodes = (Node*)memCalloc((size_t)(lowMine ? old.max : mineMax), sizeof(Node));
  if (!lowNodes || !highNodes) {
    memFree(lowNodes);
    memFree(highNodes);
    return false;
  }
  Bucket low = old, high = old;
  low.depth = high.depth = old.depth + 1;
  high.first[old.depth / 8] |= (u8)(0x80 >> (old.depth % 8));
  low.max = lowMine ? mineMax : old.max;
  high.max = lowMine ? old.max : mineMax;
  low.count = high.count = 0;
  low.nodes = lowNodes;
  high.nodes = highNodes;
  high.haveCached = false;
  for (int i = 0; i < old.count; i++) {
    Bucket& dst = inBucket(high, old.nodes[i].id) ? high : low;
    if (dst.count < dst.max) dst.nodes[dst.count++] = old.nodes[i];
  }
  memFree(old.nodes);
  memmove(&t->buckets[bi + 2], &t->buckets[bi + 1], sizeof(Bucket) * (size_t)(t->numBuckets - bi - 1));
  t->buckets[bi] = low;
  t->buckets[bi + 1] = high;
  t->numBuckets++;
  return true;
}

void offerToSearches(const u8* id, const Addr& addr);

// Learns of a node. confirm: 0 hearsay, 1 heard from, 2 replied to us.
Node* newNode(const u8* id, const Addr& addr, int confirm) {
  Table* t = tableFor(addr.af);
  if (!t || idCmp(id, g.myid) == 0 || martian(addr) || blacklisted(addr)) return nullptr;
  for (int attempt = 0; attempt < kMaxBuckets; attempt++) {
    int bi = findBucket(t, id);
    if (bi < 0) return nullptr;
    Bucket* b = &t->buckets[bi];
    bool mine = inBucket(*b, g.myid);
    if (confirm == 2) b->time = g.now;
    for (int i = 0; i < b->count; i++) {
      Node* n = &b->nodes[i];
      if (idCmp(n->id, id) != 0) continue;
      if (confirm || n->time < g.now - 15 * 60) n->addr = addr;
      if (confirm) n->time = g.now;
      if (confirm >= 2) {
        n->replyTime = g.now;
        n->pinged = 0;
        n->pingedTime = 0;
        offerToSearches(id, addr);
      }
      return n;
    }
    if (mine) g.mybucketGrow[tableIndex(addr.af)] = g.now;
    // A node that failed three times and was not queried lately gives way.
    for (int i = 0; i < b->count; i++) {
      Node* n = &b->nodes[i];
      if (n->pinged >= 3 && n->pingedTime < g.now - 15) {
        *n = Node{};
        memcpy(n->id, id, kIdLen);
        n->addr = addr;
        n->time = confirm ? g.now : 0;
        n->replyTime = confirm >= 2 ? g.now : 0;
        if (confirm >= 2) offerToSearches(id, addr);
        return n;
      }
    }
    if (b->count >= b->max) {
      bool dubious = false;
      for (int i = 0; i < b->count; i++) {
        Node* n = &b->nodes[i];
        if (nodeGood(*n)) continue;
        dubious = true;
        if (n->pingedTime < g.now - 15) {
          sendPing(n->addr);
          nodePinged(n, b);
          break;
        }
      }
      if (mine && !dubious && splitBucket(t, bi)) continue;
      if (confirm || !b->haveCached) {
        b->cached = addr;
        b->haveCached = true;
      }
      return nullptr;
    }
    Node* n = &b->nodes[b->count++];
    *n = Node{};
    memcpy(n->id, id, kIdLen);
    n->addr = addr;
    n->time = confirm ? g.now : 0;
    n->replyTime = confirm >= 2 ? g.now : 0;
    if (confirm >= 2) offerToSearches(id, addr);
    return n;
  }
  return nullptr;
}

void removeFailedNodes(Table* t) {
  for (int bi = 0; bi < t->numBuckets; bi++) {
    Bucket* b = &t->buckets[bi];
    int kept = 0;
    for (int i = 0; i < b->count; i++)
      if (b->nodes[i].pinged < 4) b->nodes[kept++] = b->nodes[i];
    bool lost = kept < b->count;
    b->count = kept;
    if (lost && b->haveCached) {
      b->haveCached = false;
      sendPing(b->cached);
    }
  }
}

// Good nodes near `target`: its bucket and the two beside it, the 8 closest.
int closestGood(int af, const u8* target, const Node** out) {
  Table* t = tableFor(af);
  if (!t) return 0;
  int bi = findBucket(t, target);
  if (bi < 0) return 0;
  int n = 0;
  const int order[3] = {bi, bi + 1, bi - 1};
  for (int k = 0; k < 3; k++) {
    int j = order[k];
    if (j < 0 || j >= t->numBuckets) continue;
    const Bucket& b = t->buckets[j];
    for (int i = 0; i < b.count; i++) {
      const Node* cand = &b.nodes[i];
      if (!nodeGood(*cand)) continue;
      int pos = n;
      while (pos > 0 && xorCmp(cand->id, out[pos - 1]->id, target) < 0) pos--;
      if (pos >= 8) continue;
      int last = n < 8 ? n : 7;
      for (int m = last; m > pos; m--) out[m] = out[m - 1];
      out[pos] = cand;
      if (n < 8) n++;
    }
  }
  return n;
}

// ---------------------------------------------------------------- searches

Search* findSearch(u16 number, int af) {
  for (Search* s = g.searches; s; s = s->next)
    if (s->number == number && s->af == af) return s;
  return nullptr;
}

// Adds or updates a candidate, kept in XOR order; null when it is too far.
SearchNode* insertSearchNode(Search* sr, const u8* id, const Addr& addr, bool replied, const u8* token,
                             int tokenLen) {
  if (addr.af != sr->af) return nullptr;
  int i = 0;
  for (; i < sr->numNodes; i++) {
    if (idCmp(sr->nodes[i].id, id) == 0) goto found;
    if (xorCmp(id, sr->nodes[i].id, sr->id) < 0) break;
  }
  if (i >= kSearchNodes) return nullptr;
  if (sr->numNodes == kSearchNodes) sr->numNodes--;
  memmove(&sr->nodes[i + 1], &sr->nodes[i], sizeof(SearchNode) * (size_t)(sr->numNodes - i));
  sr->nodes[i] = SearchNode{};
  memcpy(sr->nodes[i].id, id, kIdLen);
  sr->numNodes++;
found:
  SearchNode* n = &sr->nodes[i];
  n->addr = addr;
  if (replied) {
    n->replied = true;
    n->replyTime = g.now;
    n->requestTime = 0;
    n->pinged = 0;
  }
  if (token) {
    if (tokenLen > 0 && tokenLen < 40) {
      memcpy(n->token, token, (size_t)tokenLen);
      n->tokenLen = tokenLen;
    } else {
      n->tokenLen = 0;
    }
  }
  return n;
}

bool searchEligible(const SearchNode& n) {
  return n.pinged < 3 && !n.replied && n.requestTime < g.now - kRetransmit;
}

// Sends get_peers to `n`, or to the farthest eligible candidate when null.
int searchSendGetPeers(Search* sr, SearchNode* n) {
  if (!n) {
    for (int i = sr->numNodes - 1; i >= 0; i--)
      if (searchEligible(sr->nodes[i])) {
        n = &sr->nodes[i];
        break;
      }
    if (!n) return 0;
  } else if (!searchEligible(*n)) {
    return 0;
  }
  sendQuery(n->addr, PENDING_GET, sr->number, "get_peers", sr->id, nullptr, nullptr, 0, 0);
  n->pinged++;
  n->requestTime = g.now;
  nodePingedById(n->id, n->addr.af);
  return 1;
}

void searchDone(Search* sr, dht_callback_t* cb, void* closure) {
  sr->done = true;
  sr->stepTime = g.now;
  if (cb) cb(closure, sr->af == AF_INET ? DHT_EVENT_SEARCH_DONE : DHT_EVENT_SEARCH_DONE6, sr->id, nullptr, 0);
}

void searchStep(Search* sr, dht_callback_t* cb, void* closure) {
  bool allReplied = true;
  int j = 0;
  for (int i = 0; i < sr->numNodes && j < 8; i++) {
    if (sr->nodes[i].pinged >= 3) continue;
    if (!sr->nodes[i].replied) {
      allReplied = false;
      break;
    }
    j++;
  }
  if (allReplied) {
    if (sr->port == 0) {
      searchDone(sr, cb, closure);
      return;
    }
    bool allAcked = true;
    j = 0;
    for (int i = 0; i < sr->numNodes && j < 8; i++) {
      SearchNode* n = &sr->nodes[i];
      if (n->pinged >= 3) continue;
      if (n->tokenLen == 0) n->acked = true;  // full nodes may omit the token
      if (!n->acked) {
        allAcked = false;
        sendQuery(n->addr, PENDING_ANNOUNCE, sr->number, "announce_peer", sr->id, nullptr, n->token, n->tokenLen,
                  sr->port);
        n->pinged++;
        n->requestTime = g.now;
        nodePingedById(n->id, n->addr.af);
      }
      j++;
    }
    if (allAcked) {
      searchDone(sr, cb, closure);
      return;
    }
    sr->stepTime = g.now;
    return;
  }
  if (sr->stepTime + kRetransmit >= g.now) return;
  j = 0;
  for (int i = 0; i < sr->numNodes && j < kInflight; i++) j += searchSendGetPeers(sr, &sr->nodes[i]);
  sr->stepTime = g.now;
}

void offerToSearches(const u8* id, const Addr& addr) {
  for (Search* sr = g.searches; sr; sr = sr->next) {
    if (sr->af != addr.af || sr->numNodes >= kSearchNodes) continue;
    SearchNode* n = insertSearchNode(sr, id, addr, false, nullptr, 0);
    if (n) searchSendGetPeers(sr, n);
  }
}

Search* newSearch() {
  Search* oldest = nullptr;
  for (Search* s = g.searches; s; s = s->next)
    if (s->done && (!oldest || s->stepTime < oldest->stepTime)) oldest = s;
  if (oldest && oldest->stepTime < g.now - kSearchExpire) return oldest;
  if (g.numSearches < kDhtMaxSearches) {
    Search* s = (Search*)memCalloc(1, sizeof(Search));
    if (s) {
      s->next = g.searches;
      g.searches = s;
      g.numSearches++;
      return s;
    }
  }
  return oldest;
}

void seedSearchFromBucket(Search* sr, const Bucket& b) {
  for (int i = 0; i < b.count; i++) insertSearchNode(sr, b.nodes[i].id, b.nodes[i].addr, false, nullptr, 0);
}

void expireSearches(dht_callback_t* cb, void* closure) {
  Search** link = &g.searches;
  while (*link) {
    Search* s = *link;
    if (s->stepTime < g.now - kSearchExpire) {
      if (!s->done && cb)
        cb(closure, s->af == AF_INET ? DHT_EVENT_SEARCH_DONE : DHT_EVENT_SEARCH_DONE6, s->id, nullptr, 0);
      *link = s->next;
      memFree(s);
      g.numSearches--;
    } else {
      link = &s->next;
    }
  }
}

// ---------------------------------------------------------------- storage and tokens

Storage* findStorage(const u8* id) {
  for (Storage* s = g.storage; s; s = s->next)
    if (idCmp(s->id, id) == 0) return s;
  return nullptr;
}

int peersFromSource(const u8* ip, int len) {
  int n = 0;
  for (Storage* s = g.storage; s; s = s->next)
    for (int i = 0; i < s->numPeers; i++)
      if (s->peers[i].len == len && memcmp(s->peers[i].ip, ip, (size_t)len) == 0) n++;
  return n;
}

// False when a limit refused it (the announcer is still acknowledged).
bool storePeer(const u8* id, const Addr& from, u16 port) {
  int len = ipLen(from.af);
  Storage* st = findStorage(id);
  if (st) {
    for (int i = 0; i < st->numPeers; i++) {
      StoredPeer& p = st->peers[i];
      if (p.len == len && p.port == port && memcmp(p.ip, from.ip, (size_t)len) == 0) {
        p.time = g.now;
        return true;
      }
    }
  }
  if (g.numStoredPeers >= kDhtMaxStoredPeers || peersFromSource(from.ip, len) >= kDhtMaxPerSource) return false;
  if (!st) {
    if (g.numStorage >= kDhtMaxHashes) return false;
    st = (Storage*)memCalloc(1, sizeof(Storage));
    if (!st) return false;
    memcpy(st->id, id, kIdLen);
    st->next = g.storage;
    g.storage = st;
    g.numStorage++;
  }
  if (st->numPeers >= st->maxPeers) {
    if (st->maxPeers >= kDhtMaxPeers) return false;
    int grow = st->maxPeers ? st->maxPeers * 2 : 2;
    if (grow > kDhtMaxPeers) grow = kDhtMaxPeers;
    StoredPeer* p = (StoredPeer*)memRealloc(st->peers, sizeof(StoredPeer) * (size_t)grow);
    if (!p) return false;
    st->peers = p;
    st->maxPeers = grow;
  }
  StoredPeer& p = st->peers[st->numPeers++];
  p = StoredPeer{};
  memcpy(p.ip, from.ip, (size_t)len);
  p.len = (u8)len;
  p.port = port;
  p.time = g.now;
  g.numStoredPeers++;
  return true;
}

void expireStorage() {
  Storage** link = &g.storage;
  while (*link) {
    Storage* st = *link;
    int kept = 0;
    for (int i = 0; i < st->numPeers; i++)
      if (st->peers[i].time >= g.now - kPeerLifetime) st->peers[kept++] = st->peers[i];
    g.numStoredPeers -= st->numPeers - kept;
    st->numPeers = kept;
    if (kept == 0) {
      *link = st->next;
      memFree(st->peers);
      memFree(st);
      g.numStorage--;
    } else {
      link = &st->next;
    }
  }
}

// Tokens bind the querier's IP address only, so a changed source port still announces.
void makeToken(const Addr& a, bool old, u8* out) {
  dht_hash(out, kTokenSize, old ? g.oldSecret : g.secret, kTokenSize, a.ip, ipLen(a.af), nullptr, 0);
}

bool tokenMatch(const u8* token, u32 len, const Addr& a) {
  if (len != kTokenSize) return false;
  u8 t[kTokenSize];
  makeToken(a, false, t);
  if (memcmp(t, token, kTokenSize) == 0) return true;
  makeToken(a, true, t);
  return memcmp(t, token, kTokenSize) == 0;
}

bool rotateSecrets() {
  u8 fresh[kTokenSize];
  if (dht_random_bytes(fresh, sizeof fresh) < 0) return false;
  memcpy(g.oldSecret, g.secret, kTokenSize);
  memcpy(g.secret, fresh, kTokenSize);
  g.rotateTime = g.now + 900 + (time_t)(rnd() % 1800);
  return true;
}

// ---------------------------------------------------------------- incoming messages

struct Message {
  BencDoc doc;
  char y;
  const u8* tid;
  u32 tidLen;
  const u8* id;
  const u8* target;  // target or info_hash
  const u8* token;
  u32 tokenLen;
  const u8* nodes;
  u32 nodesLen;
  const u8* nodes6;
  u32 nodes6Len;
  u8 values4[2048];
  u32 values4Len;
  u8 values6[2048];
  u32 values6Len;
  int port;
  int impliedPort;
  bool want4, want6, haveWant;
  char method[16];
};

const u8* exactString(const BencDoc* d, i32 dict, const char* key, u32 len) {
  u32 l = 0;
  const u8* s = bencString(d, bencDictGet(d, dict, key), &l);
  return s && l == len ? s : nullptr;
}

int portValue(const BencDoc* d, i32 dict, const char* key) {
  i32 n = bencDictGet(d, dict, key);
  if (n < 0 || d->nodes[n].type != BENC_INT) return 0;
  i64 v = d->nodes[n].value;
  return v >= 1 && v <= 65535 ? (int)v : 0;
}

// False for anything that is not a KRPC query or reply we understand.
bool parseMessage(Message* m, const void* buf, size_t len) {
  if (!bencParse(&m->doc, buf, len)) return false;
  const BencDoc* d = &m->doc;
  if (d->nodes[0].type != BENC_DICT) return false;
  u32 l = 0;
  const u8* y = bencString(d, bencDictGet(d, 0, "y"), &l);
  if (!y || l != 1) return false;
  m->y = (char)y[0];
  m->tid = bencString(d, bencDictGet(d, 0, "t"), &m->tidLen);
  if (m->tid && (m->tidLen < 1 || m->tidLen > 15)) m->tid = nullptr;
  if (!m->tid) m->tidLen = 0;
  i32 body;
  if (m->y == 'q') {
    const u8* q = bencString(d, bencDictGet(d, 0, "q"), &l);
    if (!q || l >= sizeof m->method) return false;
    memcpy(m->method, q, l);
    m->method[l] = 0;
    if (strcmp(m->method, "ping") != 0 && strcmp(m->method, "find_node") != 0 &&
        strcmp(m->method, "get_peers") != 0 && strcmp(m->method, "announce_peer") != 0)
      return false;  // unknown methods get no answer and teach us nothing
    body = bencDictGet(d, 0, "a");
  } else if (m->y == 'r') {
    body = bencDictGet(d, 0, "r");
  } else {
    return false;
  }
  if (body < 0 || d->nodes[body].type != BENC_DICT) return false;
  m->id = exactString(d, body, "id", kIdLen);
  static const u8 zeros[kIdLen] = {};
  if (!m->id || memcmp(m->id, zeros, kIdLen) == 0) return false;
  m->target = exactString(d, body, "info_hash", kIdLen);
  if (!m->target) m->target = exactString(d, body, "target", kIdLen);
  m->token = bencString(d, bencDictGet(d, body, "token"), &m->tokenLen);
  if (m->token && (m->tokenLen < 1 || m->tokenLen > 127)) m->token = nullptr;
  m->nodes = bencString(d, bencDictGet(d, body, "nodes"), &m->nodesLen);
  if (m->nodes && m->nodesLen > 16 * 26) m->nodes = nullptr;
  if (!m->nodes) m->nodesLen = 0;
  m->nodes6 = bencString(d, bencDictGet(d, body, "nodes6"), &m->nodes6Len);
  if (m->nodes6 && m->nodes6Len > 16 * 38) m->nodes6 = nullptr;
  if (!m->nodes6) m->nodes6Len = 0;
  m->port = portValue(d, body, "port");
  m->impliedPort = portValue(d, body, "implied_port");
  m->values4Len = m->values6Len = 0;
  i32 values = bencDictGet(d, body, "values");
  if (values >= 0 && d->nodes[values].type == BENC_LIST) {
    for (u32 i = (u32)values + 1; i < d->nodes[values].end; i = d->nodes[i].end) {
      const u8* s = bencString(d, (i32)i, &l);
      if (!s) continue;
      if (l == 6 && m->values4Len + 6 <= sizeof m->values4) {
        memcpy(m->values4 + m->values4Len, s, 6);
        m->values4Len += 6;
      } else if (l == 18 && m->values6Len + 18 <= sizeof m->values6) {
        memcpy(m->values6 + m->values6Len, s, 18);
        m->values6Len += 18;
      }
    }
  }
  m->want4 = m->want6 = m->haveWant = false;
  i32 want = bencDictGet(d, body, "want");
  if (want >= 0 && d->nodes[want].type == BENC_LIST) {
    for (u32 i = (u32)want + 1; i < d->nodes[want].end; i = d->nodes[i].end) {
      const u8* s = bencString(d, (i32)i, &l);
      if (s && l == 2 && s[0] == 'n' && s[1] == '4') m->want4 = m->haveWant = true;
      if (s && l == 2 && s[0] == 'n' && s[1] == '6') m->want6 = m->haveWant = true;
    }
  }
  return true;
}

void writeNodes(BencWriter* w, int af, const u8* target) {
  const Node* best[8];
  int n = closestGood(af, target, best);
  if (n == 0) return;
  int entry = af == AF_INET ? 26 : 38;
  bencWriteCString(w, af == AF_INET ? "nodes" : "nodes6");
  char head[16];
  int hl = snprintf(head, sizeof head, "%d:", n * entry);
  bencWriteRaw(w, head, (u32)hl);
  for (int i = 0; i < n; i++) {
    bencWriteRaw(w, best[i]->id, kIdLen);
    bencWriteRaw(w, best[i]->addr.ip, (u32)ipLen(af));
    bencWriteRaw(w, &best[i]->addr.port, 2);
  }
}

void sendNodesReply(const Addr& to, const Message& m, bool withToken, bool withValues) {
  u8 buf[2048];
  BencWriter w;
  beginMessage(&w, buf, sizeof buf);
  bencWriteRaw(&w, "d1:rd2:id", 9);
  bencWriteString(&w, g.myid, kIdLen);
  bool want4 = m.haveWant ? m.want4 : to.af == AF_INET;
  bool want6 = m.haveWant ? m.want6 : to.af == AF_INET6;
  if (want4) writeNodes(&w, AF_INET, m.target);
  if (want6) writeNodes(&w, AF_INET6, m.target);
  if (withToken) {
    u8 token[kTokenSize];
    makeToken(to, false, token);
    bencWriteCString(&w, "token");
    bencWriteString(&w, token, kTokenSize);
  }
  Storage* st = withValues ? findStorage(m.target) : nullptr;
  if (st) {
    int len = ipLen(to.af);
    bencWriteCString(&w, "values");
    bencWriteRaw(&w, "l", 1);
    // Values fill what is left of a small reply, at most 50.
    int room = (kMaxReply - (int)w.length - 48) / (len + 2 + 3);
    int limit = room < 50 ? room : 50;
    int start = st->numPeers ? (int)(rnd() % (u32)st->numPeers) : 0;
    int written = 0;
    for (int k = 0; k < st->numPeers && written < limit; k++) {
      const StoredPeer& p = st->peers[(start + k) % st->numPeers];
      if (p.len != len) continue;
      u8 entry[18];
      memcpy(entry, p.ip, (size_t)len);
      entry[len] = (u8)(p.port >> 8);
      entry[len + 1] = (u8)p.port;
      bencWriteString(&w, entry, (u32)len + 2);
      written++;
    }
    bencWriteRaw(&w, "e", 1);
  }
  bencWriteRaw(&w, "e", 1);
  endMessage(&w, m.tid, m.tidLen, 'r');
  if (!w.failed) sendRaw(to, buf, w.length);
}

void sendIdReply(const Addr& to, const Message& m) {
  u8 buf[128];
  BencWriter w;
  beginMessage(&w, buf, sizeof buf);
  bencWriteRaw(&w, "d1:rd2:id", 9);
  bencWriteString(&w, g.myid, kIdLen);
  bencWriteRaw(&w, "e", 1);
  endMessage(&w, m.tid, m.tidLen, 'r');
  if (!w.failed) sendRaw(to, buf, w.length);
}

bool rateLimitGrant() {
  if (g.tokenBucket == 0) {
    time_t elapsed = g.now - g.tokenBucketTime;
    long refill = elapsed > 4 ? 400 : (long)elapsed * 100;
    if (refill <= 0) return false;
    g.tokenBucket = (int)(refill > 400 ? 400 : refill);
    g.tokenBucketTime = g.now;
  }
  g.tokenBucket--;
  return true;
}

void handleReply(const Message& m, const Addr& from, dht_callback_t* cb, void* closure) {
  Pending* p = matchPending(m.tid, m.tidLen, from);
  if (!p) {
    debugf("dht: unmatched reply dropped\n");
    return;
  }
  PendingKind kind = p->kind;
  u16 number = p->search;
  p->kind = PENDING_NONE;
  if (kind == PENDING_PING) {
    newNode(m.id, from, 2);
    return;
  }
  if (kind == PENDING_ANNOUNCE) {
    Search* sr = findSearch(number, from.af);
    newNode(m.id, from, sr ? 2 : 1);
    if (sr) {
      SearchNode* n = insertSearchNode(sr, m.id, from, true, nullptr, 0);
      if (n) n->acked = true;
      searchSendGetPeers(sr, nullptr);
    }
    return;
  }
  if (m.nodesLen % 26 != 0 || m.nodes6Len % 38 != 0) {
    blacklist(from);
    Bucket* b = nullptr;
    if (Node* n = findNode(m.id, from.af, &b)) n->pinged = 4;
    return;
  }
  Search* sr = kind == PENDING_GET ? findSearch(number, from.af) : nullptr;
  if (kind == PENDING_GET && !sr) {
    newNode(m.id, from, 1);
    return;
  }
  newNode(m.id, from, 2);
  for (int fam = 0; fam < 2; fam++) {
    const u8* list = fam == 0 ? m.nodes : m.nodes6;
    u32 listLen = fam == 0 ? m.nodesLen : m.nodes6Len;
    int af = fam == 0 ? AF_INET : AF_INET6;
    u32 entry = fam == 0 ? 26 : 38;
    for (u32 off = 0; list && off + entry <= listLen; off += entry) {
      const u8* e = list + off;
      if (idCmp(e, g.myid) == 0) continue;
      Addr a{};
      a.af = af;
      memcpy(a.ip, e + kIdLen, (size_t)ipLen(af));
      memcpy(&a.port, e + kIdLen + ipLen(af), 2);
      newNode(e, a, 0);
      if (sr && sr->af == af && !martian(a)) insertSearchNode(sr, e, a, false, nullptr, 0);
    }
  }
  if (!sr) return;
  insertSearchNode(sr, m.id, from, true, m.token ? m.token : (const u8*)"", m.token ? (int)m.tokenLen : 0);
  searchSendGetPeers(sr, nullptr);
  if (cb && m.values4Len) cb(closure, DHT_EVENT_VALUES, sr->id, m.values4, m.values4Len);
  if (cb && m.values6Len) cb(closure, DHT_EVENT_VALUES6, sr->id, m.values6, m.values6Len);
}

void handleQuery(const Message& m, const Addr& from) {
  if (!rateLimitGrant()) {
    debugf("dht: query dropped by the rate limit\n");
    return;
  }
  newNode(m.id, from, 1);
  if (strcmp(m.method, "ping") == 0) {
    sendIdReply(from, m);
  } else if (strcmp(m.method, "find_node") == 0) {
    if (m.target) sendNodesReply(from, m, false, false);
  } else if (strcmp(m.method, "get_peers") == 0) {
    if (!m.target)
      sendError(from, m.tid, m.tidLen, "Get_peers with no info_hash");
    else
      sendNodesReply(from, m, true, true);
  } else if (strcmp(m.method, "announce_peer") == 0) {
    if (!m.target) {
      sendError(from, m.tid, m.tidLen, "Announce_peer with no info_hash");
      return;
    }
    if (!m.token || !tokenMatch(m.token, m.tokenLen, from)) {
      sendError(from, m.tid, m.tidLen, "Announce_peer with wrong token");
      return;
    }
    int port = m.impliedPort ? ntohs(from.port) : m.port;
    if (port == 0) {
      sendError(from, m.tid, m.tidLen, "Announce_peer with forbidden port number");
      return;
    }
    storePeer(m.target, from, (u16)port);
    sendIdReply(from, m);
  }
}

// ---------------------------------------------------------------- maintenance

// Sends find_node for a random id in the first stale bucket that has someone to ask.
bool bucketMaintenance(int af) {
  Table* t = tableFor(af);
  if (!t) return false;
  for (int bi = 0; bi < t->numBuckets; bi++) {
    Bucket* b = &t->buckets[bi];
    int fresh = 600 / (b->max / 8);
    if (fresh < 30) fresh = 30;
    if (b->time >= g.now - fresh) continue;
    u8 target[kIdLen];
    randomIdInBucket(*b, target);
    int qi = bi;
    if ((t->buckets[qi].count == 0 || rnd() % 8 == 0) && qi + 1 < t->numBuckets) qi++;
    if ((t->buckets[qi].count == 0 || rnd() % 8 == 0) && qi > 0 && t->buckets[qi - 1].count > 0) qi--;
    Bucket* q = &t->buckets[qi];
    if (q->count == 0) continue;
    Node* n = &q->nodes[rnd() % (u32)q->count];
    const char* want = nullptr;
    Table* other = tableFor(af == AF_INET ? AF_INET6 : AF_INET);
    if (other) {
      int oi = findBucket(other, target);
      if ((oi >= 0 && other->buckets[oi].count < other->buckets[oi].max) || rnd() % 37 == 0) want = "46";
    }
    sendQuery(n->addr, PENDING_FIND, 0, "find_node", target, want, nullptr, 0, 0);
    nodePinged(n, q);
    return true;
  }
  return false;
}

bool neighbourhoodMaintenance(int af) {
  Table* t = tableFor(af);
  if (!t) return false;
  int bi = findBucket(t, g.myid);
  if (bi < 0) return false;
  u8 target[kIdLen];
  memcpy(target, g.myid, kIdLen);
  target[kIdLen - 1] = (u8)rnd();
  int qi = bi;
  if ((t->buckets[qi].count == 0 || rnd() % 8 == 0) && qi + 1 < t->numBuckets) qi++;
  if ((t->buckets[qi].count == 0 || rnd() % 8 == 0) && qi > 0 && t->buckets[qi - 1].count > 0) qi--;
  Bucket* q = &t->buckets[qi];
  if (q->count == 0) return false;
  Node* n = &q->nodes[rnd() % (u32)q->count];
  bool both = tableFor(AF_INET) && tableFor(AF_INET6);
  sendQuery(n->addr, PENDING_FIND, 0, "find_node", target, both ? "46" : nullptr, nullptr, 0, 0);
  nodePinged(n, q);
  return true;
}

void freeAll() {
  for (Table& t : g.tables) {
    for (int i = 0; i < t.numBuckets; i++) memFree(t.buckets[i].nodes);
    t.numBuckets = 0;
    t.exists = false;
  }
  while (g.searches) {
    Search* s = g.searches;
    g.searches = s->next;
    memFree(s);
  }
  while (g.storage) {
    Storage* s = g.storage;
    g.storage = s->next;
    memFree(s->peers);
    memFree(s);
  }
  g.numSearches = g.numStorage = g.numStoredPeers = 0;
}

time_t clockNow() { return gClock ? gClock() : defaultClock(); }

}  // namespace

extern "C" {

void dht_set_clock(time_t (*now)(void)) { gClock = now; }

time_t dht_now(void) { return clockNow(); }

int dht_init(int s, int s6, const unsigned char* id, const unsigned char* v) {
  if (g.fd4 >= 0 || g.fd6 >= 0 || g.tables[0].exists || g.tables[1].exists) {
    errno = EBUSY;
    return -1;
  }
  Addr savedBlacklist[kMaxBlacklisted];
  memcpy(savedBlacklist, g.blacklist, sizeof savedBlacklist);
  int savedNext = g.nextBlacklisted;
  g.~State();
  new (&g) State();
  memcpy(g.blacklist, savedBlacklist, sizeof savedBlacklist);
  g.nextBlacklisted = savedNext;
  g.now = clockNow();
  memcpy(g.myid, id, kIdLen);
  if (v) {
    g.haveV = true;
    memcpy(g.v, v, 4);
  }
  u8 seed[8];
  // Both secrets are drawn now: a zero "previous" secret would let anyone forge tokens.
  if (dht_random_bytes(seed, sizeof seed) < 0 || dht_random_bytes(g.secret, kTokenSize) < 0 || !rotateSecrets()) {
    errno = EIO;
    return -1;
  }
  memcpy(&g.rng, seed, sizeof g.rng);
  g.rng |= 1;
  g.searchId = (u16)rnd();
  for (int f = 0; f < 2; f++) {
    if ((f == 0 ? s : s6) < 0) continue;
    Table& t = g.tables[f];
    t.buckets[0] = Bucket{};
    t.buckets[0].max = 128;
    t.buckets[0].nodes = (Node*)memCalloc(128, sizeof(Node));
    if (!t.buckets[0].nodes) {
      freeAll();
      errno = ENOMEM;
      return -1;
    }
    t.numBuckets = 1;
    t.exists = true;
  }
  g.fd4 = s;
  g.fd6 = s6;
  g.tokenBucket = 400;
  g.tokenBucketTime = g.now;
  g.initTime = g.now;
  g.confirmTime = g.now + (time_t)(rnd() % 3);
  g.expireTime = g.now + 120 + (time_t)(rnd() % 240);
  return 1;
}

int dht_uninit(void) {
  if (g.fd4 < 0 && g.fd6 < 0) {
    errno = EINVAL;
    return -1;
  }
  freeAll();
  g.fd4 = g.fd6 = -1;
  return 1;
}

int dht_periodic(const void* buf, size_t buflen, const struct sockaddr* from, int fromlen, time_t* tosleep,
                 dht_callback_t* callback, void* closure) {
  g.now = clockNow();
  if (buflen > 0 && buf) {
    Addr src;
    if (addrFromSockaddr(from, fromlen, &src) && !martian(src) && !blacklisted(src)) {
      if (((const u8*)buf)[buflen] != 0) {
        errno = EINVAL;
        return -1;
      }
      static Message m;  // large; one node per thread of control
      if (tableFor(src.af) && parseMessage(&m, buf, buflen) && idCmp(m.id, g.myid) != 0) {
        if (m.y == 'r')
          handleReply(m, src, callback, closure);
        else
          handleQuery(m, src);
      }
    }
  }
  if (g.now >= g.rotateTime) rotateSecrets();
  if (g.now >= g.expireTime) {
    for (Table& t : g.tables)
      if (t.exists) removeFailedNodes(&t);
    expireStorage();
    expireSearches(callback, closure);
    g.expireTime = g.now + 120 + (time_t)(rnd() % 240);
  }
  if (g.searchTime && g.now >= g.searchTime) {
    time_t next = 0;
    for (Search* sr = g.searches; sr; sr = sr->next) {
      if (sr->done) continue;
      if (sr->stepTime + kRetransmit / 2 + 1 <= g.now) searchStep(sr, callback, closure);
      if (sr->done) continue;
      time_t t = sr->stepTime + kRetransmit + (time_t)(rnd() % 10);
      if (!next || t < next) next = t;
    }
    g.searchTime = next;
  }
  if (g.now >= g.confirmTime) {
    bool soon = bucketMaintenance(AF_INET);
    soon = bucketMaintenance(AF_INET6) || soon;
    if (!soon) {
      for (int f = 0; f < 2; f++) {
        int af = f == 0 ? AF_INET : AF_INET6;
        if (g.mybucketGrow[f] >= g.now - 150 || g.initTime >= g.now - 150) soon = neighbourhoodMaintenance(af) || soon;
      }
    }
    g.confirmTime = g.now + (soon ? 5 + (time_t)(rnd() % 10) : 60 + (time_t)(rnd() % 120));
  }
  time_t sleep = g.confirmTime > g.now ? g.confirmTime - g.now : 0;
  if (g.searchTime) {
    time_t s = g.searchTime > g.now ? g.searchTime - g.now : 0;
    if (s < sleep) sleep = s;
  }
  *tosleep = sleep;
  return 1;
}

int dht_search(const unsigned char* id, int port, int af, dht_callback_t* callback, void* closure) {
  g.now = clockNow();
  Table* t = tableFor(af);
  if (!t) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  if (callback) {
    if (Storage* st = findStorage(id)) {
      for (int i = 0; i < st->numPeers; i++) {
        const StoredPeer& p = st->peers[i];
        u8 entry[18];
        memcpy(entry, p.ip, p.len);
        entry[p.len] = (u8)(p.port >> 8);
        entry[p.len + 1] = (u8)p.port;
        callback(closure, p.len == 4 ? DHT_EVENT_VALUES : DHT_EVENT_VALUES6, id, entry, (size_t)p.len + 2);
      }
    }
  }
  Search* sr = nullptr;
  for (Search* s = g.searches; s; s = s->next)
    if (s->af == af && idCmp(s->id, id) == 0) {
      sr = s;
      break;
    }
  int result = 1;
  if (sr) {
    if (!sr->done) result = 0;
    sr->done = false;
    int kept = 0;
    for (int i = 0; i < sr->numNodes; i++) {
      SearchNode n = sr->nodes[i];
      if (n.pinged >= 3 || n.replyTime < g.now - 7200) continue;
      n.pinged = 0;
      n.tokenLen = 0;
      n.replied = n.acked = false;
      sr->nodes[kept++] = n;
    }
    sr->numNodes = kept;
  } else {
    sr = newSearch();
    if (!sr) {
      errno = ENOSPC;
      return -1;
    }
    Search* next = sr->next;
    *sr = Search{};
    sr->next = next;
    sr->af = af;
    memcpy(sr->id, id, kIdLen);
    sr->number = ++g.searchId;
  }
  sr->port = (u16)port;
  int bi = findBucket(t, id);
  if (bi >= 0) {
    seedSearchFromBucket(sr, t->buckets[bi]);
    if (sr->numNodes < kSearchNodes) {
      if (bi + 1 < t->numBuckets) seedSearchFromBucket(sr, t->buckets[bi + 1]);
      if (bi > 0) seedSearchFromBucket(sr, t->buckets[bi - 1]);
    }
    if (sr->numNodes < kSearchNodes) {
      int mine = findBucket(t, g.myid);
      if (mine >= 0 && mine != bi) seedSearchFromBucket(sr, t->buckets[mine]);
    }
  }
  searchStep(sr, callback, closure);
  g.searchTime = g.now;
  return result;
}

int dht_ping_node(const struct sockaddr* sa, int salen) {
  g.now = clockNow();
  Addr a;
  if (salen <= 0 || !addrFromSockaddr(sa, salen, &a)) {
    errno = salen <= 0 ? EINVAL : EAFNOSUPPORT;
    return -1;
  }
  return sendPing(a);
}

int dht_insert_node(const unsigned char* id, struct sockaddr* sa, int salen) {
  g.now = clockNow();
  Addr a;
  if (!addrFromSockaddr(sa, salen, &a)) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  return newNode(id, a, 0) ? 1 : 0;
}

int dht_nodes(int af, int* good_return, int* dubious_return, int* cached_return, int* incoming_return) {
  g.now = clockNow();
  int good = 0, dubious = 0, cached = 0, incoming = 0;
  Table* t = tableFor(af == AF_INET ? AF_INET : AF_INET6);
  for (int bi = 0; t && bi < t->numBuckets; bi++) {
    const Bucket& b = t->buckets[bi];
    for (int i = 0; i < b.count; i++) {
      if (nodeGood(b.nodes[i])) {
        good++;
        if (b.nodes[i].time > b.nodes[i].replyTime) incoming++;
      } else {
        dubious++;
      }
    }
    if (b.haveCached) cached++;
  }
  if (good_return) *good_return = good;
  if (dubious_return) *dubious_return = dubious;
  if (cached_return) *cached_return = cached;
  if (incoming_return) *incoming_return = incoming;
  return good + dubious;
}

int dht_get_nodes(struct sockaddr_in* sin, int* num, struct sockaddr_in6* sin6, int* num6) {
  g.now = clockNow();
  int caps[2] = {num ? *num : 0, num6 ? *num6 : 0};
  int got[2] = {0, 0};
  for (int f = 0; f < 2; f++) {
    Table* t = tableFor(f == 0 ? AF_INET : AF_INET6);
    if (!t) continue;
    int mine = findBucket(t, g.myid);
    for (int pass = 0; pass < 2; pass++) {
      for (int bi = 0; bi < t->numBuckets; bi++) {
        if ((pass == 0) != (bi == mine)) continue;
        const Bucket& b = t->buckets[bi];
        for (int i = 0; i < b.count && got[f] < caps[f]; i++) {
          if (!nodeGood(b.nodes[i])) continue;
          sockaddr_storage ss;
          addrToSockaddr(b.nodes[i].addr, &ss);
          if (f == 0)
            memcpy(&sin[got[f]++], &ss, sizeof(sockaddr_in));
          else
            memcpy(&sin6[got[f]++], &ss, sizeof(sockaddr_in6));
        }
      }
    }
  }
  if (num) *num = got[0];
  if (num6) *num6 = got[1];
  return got[0] + got[1];
}

void dht_dump_tables(FILE* f) {
  g.now = clockNow();
  fprintf(f, "My id ");
  for (u8 b : g.myid) fprintf(f, "%02x", b);
  fprintf(f, "\n");
  for (int fam = 0; fam < 2; fam++) {
    const Table& t = g.tables[fam];
    for (int bi = 0; bi < t.numBuckets; bi++) {
      const Bucket& b = t.buckets[bi];
      fprintf(f, "Bucket %d/%d depth %d count %d/%d age %d%s%s\n", fam ? 6 : 4, bi, b.depth, b.count, b.max,
              (int)(g.now - b.time), inBucket(b, g.myid) ? " (mine)" : "", b.haveCached ? " (cached)" : "");
      for (int i = 0; i < b.count; i++) {
        const Node& n = b.nodes[i];
        char ip[INET6_ADDRSTRLEN] = "";
        inet_ntop(n.addr.af, n.addr.ip, ip, sizeof ip);
        fprintf(f, "  %s:%d age %d failed %d%s\n", ip, ntohs(n.addr.port), (int)(g.now - n.time), n.pinged,
                nodeGood(n) ? " good" : "");
      }
    }
  }
  for (Search* s = g.searches; s; s = s->next)
    fprintf(f, "Search%s %d candidates, age %d%s\n", s->af == AF_INET6 ? " (IPv6)" : "", s->numNodes,
            (int)(g.now - s->stepTime), s->done ? " done" : "");
  for (Storage* s = g.storage; s; s = s->next) fprintf(f, "Storage: %d peers\n", s->numPeers);
  fflush(f);
}

}  // extern "C"
