#include "components/discovery.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "components/dht.h"
#include "components/dht_user.h"
#include "components/mdns.h"
#include "platform/memory.h"

namespace {

constexpr int kRecvBatch = 32;              // datagrams per socket per tick
constexpr i64 kMdnsAnnounceInterval = 2;    // seconds
constexpr i64 kReannounceInterval = 25 * 60;  // stored peers expire 32-38 min after an announce
constexpr i64 kResearchInterval = 30;       // an unanswered resolve searches again after this
constexpr i64 kBootstrapInterval = 30;
constexpr u32 kMdnsTtl = 120;

i64 nowSeconds() { return (i64)dht_now(); }

bool setNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int openUdp(int af, u16 port, int v6only) {
  int fd = socket(af, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  int one = 1;
  bool ok = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 && setNonBlocking(fd);
  if (ok && af == AF_INET6) ok = setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only) == 0;
  if (ok) {
    sockaddr_storage ss{};
    socklen_t len;
    if (af == AF_INET) {
      sockaddr_in* s = (sockaddr_in*)&ss;
      s->sin_family = AF_INET;
      s->sin_port = htons(port);
      len = sizeof *s;
    } else {
      sockaddr_in6* s = (sockaddr_in6*)&ss;
      s->sin6_family = AF_INET6;
      s->sin6_port = htons(port);
      len = sizeof *s;
    }
    ok = bind(fd, (sockaddr*)&ss, len) == 0;
  }
  if (!ok) {
    close(fd);
    return -1;
  }
  return fd;
}

bool isMapped(const in6_addr& a) {
  static const u8 prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return memcmp(a.s6_addr, prefix, 12) == 0;
}

// An IPv4-mapped IPv6 address becomes a plain IPv4 one.
socklen_t unmapSockaddr(sockaddr_storage* ss, socklen_t len) {
  if (ss->ss_family != AF_INET6) return len;
  sockaddr_in6 s6 = *(sockaddr_in6*)ss;
  if (!isMapped(s6.sin6_addr)) return len;
  sockaddr_in* s4 = (sockaddr_in*)ss;
  memset(ss, 0, sizeof *ss);
  s4->sin_family = AF_INET;
  s4->sin_port = s6.sin6_port;
  memcpy(&s4->sin_addr, &s6.sin6_addr.s6_addr[12], 4);
  return sizeof(sockaddr_in);
}

NetAddr v4Addr(u32 ipNet, u16 port) {
  NetAddr a;
  memset(&a, 0, sizeof a);
  a.type = NET_ADDR_V4;
  a.ipv4.ip = ipNet;
  a.ipv4.port = port;
  return a;
}

// A compact peer (4 or 16 address bytes, then the port big-endian); mapped
// IPv6 addresses come out as IPv4.
NetAddr peerAddr(const u8* p, int ipLen) {
  u16 port = (u16)(p[ipLen] << 8 | p[ipLen + 1]);
  if (ipLen == 4) {
    u32 ip;
    memcpy(&ip, p, 4);
    return v4Addr(ip, port);
  }
  in6_addr a6;
  memcpy(&a6, p, 16);
  if (isMapped(a6)) {
    u32 ip;
    memcpy(&ip, p + 12, 4);
    return v4Addr(ip, port);
  }
  NetAddr a;
  memset(&a, 0, sizeof a);
  a.type = NET_ADDR_V6;
  memcpy(a.ipv6.ip, p, 16);
  a.ipv6.port = port;
  return a;
}

void queueResult(Discovery* d, const u8* id, const NetAddr& addr) {
  for (int i = 0; i < d->numResults; i++)
    if (memcmp(d->results[i].id, id, 20) == 0 && netAddrEqual(&d->results[i].addr, &addr)) return;
  if (d->numResults >= kDiscoveryResults) return;
  memcpy(d->results[d->numResults].id, id, 20);
  d->results[d->numResults].addr = addr;
  d->numResults++;
}

// Hands queued results to every active resolve of their id. Callbacks may
// cancel or start resolves, so slots are looked up again for each result.
void deliverResults(Discovery* d) {
  int n = d->numResults;
  DiscoveryResult pending[kDiscoveryResults];
  memcpy(pending, d->results, sizeof(DiscoveryResult) * (size_t)n);
  d->numResults = 0;
  for (int r = 0; r < n; r++) {
    for (int i = 0; i < kDiscoverySearches; i++) {
      SearchEntry* s = &d->searches[i];
      if (!s->active || memcmp(s->id, pending[r].id, 20) != 0) continue;
      s->answered = true;
      if (s->cb) s->cb(s->closure, pending[r].id, pending[r].addr);
    }
  }
}

void discoDhtCallback(void* closure, int event, const unsigned char* infoHash, const void* data, size_t len) {
  Discovery* d = (Discovery*)closure;
  if (event == DHT_EVENT_VALUES && len >= 6) {
    queueResult(d, infoHash, peerAddr((const u8*)data, 4));
  } else if (event == DHT_EVENT_VALUES6 && len >= 18) {
    queueResult(d, infoHash, peerAddr((const u8*)data, 16));
  } else if (event == DHT_EVENT_SEARCH_DONE || event == DHT_EVENT_SEARCH_DONE6) {
    for (SearchEntry& s : d->searches)
      if (s.active && memcmp(s.id, infoHash, 20) == 0) s.dhtDone = true;
    if (d->dhtAdvActive && memcmp(d->dhtAdvId, infoHash, 20) == 0) {
      int good = 0;
      dht_nodes(event == DHT_EVENT_SEARCH_DONE ? AF_INET : AF_INET6, &good, nullptr, nullptr, nullptr);
      if (good == 0) d->dhtAdvRetry = true;
    }
  }
}

void dhtSearchAll(Discovery* d, const u8* id, int port, bool* anyOk) {
  bool ok = false;
  if (d->dhtFd4 >= 0 || d->dualStack) ok = dht_search(id, port, AF_INET, discoDhtCallback, d) >= 0 || ok;
  if (d->dhtFd6 >= 0) ok = dht_search(id, port, AF_INET6, discoDhtCallback, d) >= 0 || ok;
  if (anyOk) *anyOk = ok;
}

void pingBootstrap(Discovery* d) {
  d->lastBootstrap = nowSeconds();
  for (int i = 0; i < d->numBootstrap; i++) {
    sockaddr_storage ss;
    const NetAddr& a = d->bootstrap[i];
    socklen_t len = netAddrToSockaddr(&a, a.type == NET_ADDR_V4 ? AF_INET : AF_INET6, &ss);
    if (len == 0) continue;
    dht_ping_node((const sockaddr*)&ss, (int)len);
  }
}

// The local address the kernel would send from toward `dest` (network order);
// connecting a datagram socket sends nothing.
u32 sourceAddressToward(u32 destNet) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return 0;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kMdnsPort);
  to.sin_addr.s_addr = destNet;
  u32 result = 0;
  sockaddr_in me{};
  socklen_t len = sizeof me;
  if (connect(fd, (sockaddr*)&to, sizeof to) == 0 && getsockname(fd, (sockaddr*)&me, &len) == 0)
    result = me.sin_addr.s_addr;
  close(fd);
  return result;
}

// RFC 6762: unicast answers only to senders on one of our links.
bool onLink(u32 srcNet) {
  if ((ntohl(srcNet) >> 24) == 127) return true;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
    if (!i->ifa_addr || !i->ifa_netmask || i->ifa_addr->sa_family != AF_INET) continue;
    u32 a = ((sockaddr_in*)i->ifa_addr)->sin_addr.s_addr;
    u32 m = ((sockaddr_in*)i->ifa_netmask)->sin_addr.s_addr;
    found = (a & m) == (srcNet & m);
  }
  freeifaddrs(list);
  return found;
}

void mdnsSendTo(Discovery* d, const u8* buf, u32 len, u32 ipNet, u16 port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = ipNet;
  sendto(d->mdnsFd, buf, len, MSG_DONTWAIT, (sockaddr*)&to, sizeof to);
}

// SRV, TXT and A for the advertised instance; TTL 0 says goodbye.
u32 buildAdvert(Discovery* d, u8* buf, u32 cap, u32 ttl, u32 ipNet, u16 flags) {
  char name[kDnsMaxName + 1];
  mdnsInstanceName(d->mdnsAdvId, name);
  MdnsWriter w{buf, cap, 0, false};
  mdnsWriteHeader(&w, flags, 0, 2, 0, 1);
  mdnsWriteSrv(&w, name, ttl, d->mdnsAdvPort, name);
  mdnsWriteTxt(&w, name, kDnsClassIn | kDnsTopBit, ttl ? 60 : 0, "txtvers=1");
  mdnsWriteA(&w, name, ttl, ipNet);
  return w.failed ? 0 : w.length;
}

void mdnsAnnounce(Discovery* d, u32 ttl) {
  u8 buf[512];
  u32 group = htonl(kMdnsGroup);
  u32 len = buildAdvert(d, buf, sizeof buf, ttl, sourceAddressToward(group), 0x8400);
  if (len) mdnsSendTo(d, buf, len, group, kMdnsPort);
}

struct MdnsContext {
  Discovery* d;
  u32 srcIp;  // network order
  u16 srcPort;
};

void onMdnsQuestion(void* ctx, const MdnsQuestion& q) {
  MdnsContext* c = (MdnsContext*)ctx;
  Discovery* d = c->d;
  if (!d->mdnsAdvActive) return;
  u16 type = q.type;
  if (type != kDnsTypeAny && type != kDnsTypeA && type != kDnsTypeSrv && type != kDnsTypeTxt) return;
  char name[kDnsMaxName + 1];
  mdnsInstanceName(d->mdnsAdvId, name);
  if (!mdnsNameEqual(q.name, name)) return;
  // Unicast when asked for (QU bit, or a one-shot querier off port 5353), and
  // then only to a sender on one of our links; otherwise to the group, which
  // every process sharing port 5353 hears.
  bool unicast = (q.klass & kDnsTopBit) || c->srcPort != kMdnsPort;
  u32 dest = unicast ? c->srcIp : htonl(kMdnsGroup);
  if (unicast && !onLink(c->srcIp)) return;
  u8 buf[512];
  u32 len = buildAdvert(d, buf, sizeof buf, kMdnsTtl, sourceAddressToward(dest), 0x8400);
  if (len) mdnsSendTo(d, buf, len, dest, unicast ? c->srcPort : kMdnsPort);
}

void onMdnsRecord(void* ctx, const MdnsRecord& r) {
  MdnsContext* c = (MdnsContext*)ctx;
  Discovery* d = c->d;
  if (r.ttl == 0) return;  // a goodbye withdraws, it does not answer
  if (r.type != kDnsTypeA && r.type != kDnsTypeSrv) return;
  for (SearchEntry& s : d->searches) {
    if (!s.active) continue;
    char name[kDnsMaxName + 1];
    mdnsInstanceName(s.id, name);
    if (!mdnsNameEqual(r.name, name)) continue;
    if (r.type == kDnsTypeA && r.rdlength == 4) {
      memcpy(&s.mdnsIp, r.rdata, 4);
      if (s.mdnsIp == 0) s.mdnsIp = c->srcIp;  // an any-address record: the sender is the host
      s.mdnsMask |= 1;
    } else if (r.type == kDnsTypeSrv && r.rdlength >= 8) {
      s.mdnsPort = (u16)(r.rdata[4] << 8 | r.rdata[5]);
      s.mdnsMask |= 2;
    }
    if (s.mdnsMask == 3) {
      s.mdnsMask = 0;
      if (s.mdnsPort != 0 && s.mdnsIp != 0) queueResult(d, s.id, v4Addr(s.mdnsIp, s.mdnsPort));
    }
  }
}

void mdnsJoin(Discovery* d) {
  if (d->mdnsFd < 0 || d->mdnsJoined) return;
  ip_mreq mreq{};
  mreq.imr_multiaddr.s_addr = htonl(kMdnsGroup);
  mreq.imr_interface.s_addr = htonl(INADDR_ANY);
  if (setsockopt(d->mdnsFd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0)
    d->mdnsJoined = true;
  else
    fprintf(stderr, "discovery: mdns group membership failed\n");
}

// First advertise or resolve: from now on we may send.
void start(Discovery* d) {
  if (d->started) return;
  d->started = true;
  mdnsJoin(d);
  pingBootstrap(d);
}

void openMdns(Discovery* d) {
  d->mdnsFd = -1;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    fprintf(stderr, "discovery: mdns socket failed\n");
    return;
  }
  int one = 1;
  unsigned char ttl = 1, loop = 1;
  bool ok = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) == 0 &&
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
            setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0 && setNonBlocking(fd);
  if (ok) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kMdnsPort);
    if (bind(fd, (sockaddr*)&addr, sizeof addr) != 0) {
      // Another responder holds 5353 without sharing it: queries from other
      // hosts will not reach us, announcements and answers to ours still do.
      addr.sin_port = 0;
      ok = bind(fd, (sockaddr*)&addr, sizeof addr) == 0;
      if (ok) fprintf(stderr, "discovery: mdns port 5353 unavailable, using an ephemeral port\n");
    }
  }
  sockaddr_in me{};
  socklen_t len = sizeof me;
  if (!ok || getsockname(fd, (sockaddr*)&me, &len) != 0) {
    close(fd);
    fprintf(stderr, "discovery: mdns socket failed\n");
    return;
  }
  d->mdnsFd = fd;
  d->mdnsPort = ntohs(me.sin_port);
}

void tickDhtSocket(Discovery* d, int fd, time_t* tosleep) {
  for (int k = 0; k < kRecvBatch; k++) {
    sockaddr_storage from;
    socklen_t fromLen = sizeof from;
    ssize_t n = recvfrom(fd, d->recvBuf, sizeof d->recvBuf - 1, MSG_DONTWAIT | MSG_TRUNC, (sockaddr*)&from, &fromLen);
    if (n < 0) break;
    if (n == 0 || n >= (ssize_t)sizeof d->recvBuf - 1 || !d->started) continue;  // empty, oversized or too early
    d->recvBuf[n] = 0;
    fromLen = unmapSockaddr(&from, fromLen);
    dht_periodic(d->recvBuf, (size_t)n, (sockaddr*)&from, (int)fromLen, tosleep, discoDhtCallback, d);
  }
}

void tickMdns(Discovery* d) {
  for (int k = 0; k < kRecvBatch; k++) {
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = recvfrom(d->mdnsFd, d->recvBuf, sizeof d->recvBuf - 1, MSG_DONTWAIT | MSG_TRUNC, (sockaddr*)&from,
                         &fromLen);
    if (n < 0) break;
    if (n >= (ssize_t)sizeof d->recvBuf - 1 || !d->started || from.sin_family != AF_INET) continue;
    d->recvBuf[n] = 0;
    MdnsContext ctx{d, from.sin_addr.s_addr, ntohs(from.sin_port)};
    mdnsParse(d->recvBuf, (u32)n, MdnsHandlers{onMdnsQuestion, onMdnsRecord, &ctx});
  }
}

void tickNatPmp(Discovery* d, time_t* tosleep) {
  if (!d->pmpInited) return;
  i64 now = nowSeconds();
  if (d->mapActive && !d->mapPending && d->mapRenewAt && now >= d->mapRenewAt) {
    if (sendnewportmappingrequest(&d->pmp, NATPMP_PROTOCOL_UDP, d->mapPrivate, d->mapPublic, d->mapLifetime) >= 0)
      d->mapPending = true;
    d->mapRenewAt = now + (d->mapLifetime > 2 ? d->mapLifetime / 2 : 1);
  }
  if (!d->mapPending) return;
  natpmpresp_t resp;
  int r = readnatpmpresponseorretry(&d->pmp, &resp);
  if (r == NATPMP_TRYAGAIN) {
    timeval tv;
    if (getnatpmprequesttimeout(&d->pmp, &tv) == 0) {
      time_t s = tv.tv_sec + (tv.tv_usec > 0 ? 1 : 0);
      if (s < *tosleep) *tosleep = s;
    }
    return;
  }
  d->mapPending = false;
  if (r < 0) {
    d->mapResult = -1;
    return;
  }
  if (resp.type == NATPMP_RESPTYPE_UDPPORTMAPPING && d->mapActive) {
    u32 life = resp.pnu.newportmapping.lifetime;
    d->mapResult = resp.pnu.newportmapping.mappedpublicport;
    d->mapRenewAt = now + (life > 2 ? life / 2 : 1);
  } else if (!d->mapActive) {
    d->mapResult = 0;
  }
}

}  // namespace

Discovery* discoveryCreate(u16 port, const u8* id) {
  Discovery* d = (Discovery*)memCalloc(1, sizeof(Discovery));
  if (!d) return nullptr;
  d->dhtFd4 = d->dhtFd6 = d->mdnsFd = -1;
  if (id) {
    memcpy(d->myId, id, 20);
  } else if (dht_random_bytes(d->myId, 20) < 0) {
    memFree(d);
    return nullptr;
  }
  // With an IPv4 socket open the IPv6 one serves IPv6 only; alone it serves both.
  d->dhtFd4 = openUdp(AF_INET, port, 0);
  d->dhtFd6 = openUdp(AF_INET6, port, d->dhtFd4 >= 0 ? 1 : 0);
  if (d->dhtFd4 < 0 && d->dhtFd6 < 0) {
    memFree(d);
    return nullptr;
  }
  d->dualStack = d->dhtFd4 < 0;
  dhtUserSetDualStackSocket(d->dualStack ? d->dhtFd6 : -1);
  int s4 = d->dualStack ? d->dhtFd6 : d->dhtFd4;
  if (dht_init(s4, d->dhtFd6, d->myId, nullptr) < 0) {
    if (d->dhtFd4 >= 0) close(d->dhtFd4);
    if (d->dhtFd6 >= 0) close(d->dhtFd6);
    dhtUserSetDualStackSocket(-1);
    memFree(d);
    return nullptr;
  }
  openMdns(d);
  return d;
}

void discoveryDestroy(Discovery* d) {
  if (!d) return;
  dht_uninit();
  dhtUserSetDualStackSocket(-1);
  if (d->pmpInited) closenatpmp(&d->pmp);
  if (d->dhtFd4 >= 0) close(d->dhtFd4);
  if (d->dhtFd6 >= 0) close(d->dhtFd6);
  if (d->mdnsFd >= 0) close(d->mdnsFd);
  memFree(d);
}

void discoveryTick(Discovery* d, int* timeoutMs) {
  time_t tosleep = 10;
  // One look at all sockets; only the ready ones are read.
  pollfd fds[3] = {{d->dhtFd4, POLLIN, 0}, {d->dhtFd6, POLLIN, 0}, {d->mdnsFd, POLLIN, 0}};
  if (poll(fds, 3, 0) > 0) {
    if (fds[0].revents) tickDhtSocket(d, d->dhtFd4, &tosleep);
    if (fds[1].revents) tickDhtSocket(d, d->dhtFd6, &tosleep);
    if (fds[2].revents) tickMdns(d);
  }
  if (d->started) {
    dht_periodic(nullptr, 0, nullptr, 0, &tosleep, discoDhtCallback, d);
    i64 now = nowSeconds();
    if (d->numBootstrap && now - d->lastBootstrap >= kBootstrapInterval &&
        dht_nodes(AF_INET, nullptr, nullptr, nullptr, nullptr) + dht_nodes(AF_INET6, nullptr, nullptr, nullptr, nullptr) == 0)
      pingBootstrap(d);
    // Resolves that found nothing search again; advertisements are renewed
    // before stored peers expire.
    for (SearchEntry& s : d->searches) {
      if (!s.active || !s.dhtDone || s.answered || now - s.searchStart < kResearchInterval) continue;
      s.dhtDone = false;
      s.searchStart = now;
      dhtSearchAll(d, s.id, 0, nullptr);
    }
    if (d->dhtAdvActive && (now - d->lastDhtAnnounce >= kReannounceInterval ||
                            (d->dhtAdvRetry && now - d->lastDhtAnnounce >= kResearchInterval))) {
      d->dhtAdvRetry = false;
      d->lastDhtAnnounce = now;
      dhtSearchAll(d, d->dhtAdvId, d->dhtAdvPort, nullptr);
    }
    if (d->mdnsFd >= 0 && d->mdnsAdvActive && now - d->lastMdnsAdv >= kMdnsAnnounceInterval) {
      d->lastMdnsAdv = now;
      mdnsAnnounce(d, kMdnsTtl);
    }
    if (d->mdnsAdvActive && tosleep > kMdnsAnnounceInterval) tosleep = kMdnsAnnounceInterval;
  }
  tickNatPmp(d, &tosleep);  // requests exist only once the user mapped a port
  deliverResults(d);
  if (timeoutMs) *timeoutMs = (int)(tosleep * 1000);
}

void discoveryAdvertise(Discovery* d, const u8* id, u16 port) {
  start(d);
  memcpy(d->dhtAdvId, id, 20);
  d->dhtAdvPort = port;
  d->dhtAdvActive = true;
  d->dhtAdvRetry = false;
  d->lastDhtAnnounce = nowSeconds();
  dhtSearchAll(d, id, port, nullptr);
  d->mdnsAdvActive = 1;
  memcpy(d->mdnsAdvId, id, 20);
  d->mdnsAdvPort = port;
  d->lastMdnsAdv = 0;
  deliverResults(d);
}

void discoveryStopAdvertise(Discovery* d) {
  if (d->mdnsAdvActive && d->mdnsFd >= 0 && d->started) mdnsAnnounce(d, 0);
  d->mdnsAdvActive = 0;
  d->dhtAdvActive = false;
  d->dhtAdvRetry = false;
}

int discoveryResolve(Discovery* d, const u8* id, DiscoveryCb cb, void* closure) {
  SearchEntry* slot = nullptr;
  for (SearchEntry& s : d->searches)
    if (s.active && memcmp(s.id, id, 20) == 0) slot = &s;
  for (int i = 0; !slot && i < kDiscoverySearches; i++)
    if (!d->searches[i].active) slot = &d->searches[i];
  if (!slot) return -1;
  start(d);
  *slot = SearchEntry{};
  memcpy(slot->id, id, 20);
  slot->cb = cb;
  slot->closure = closure;
  slot->active = 1;
  slot->searchStart = nowSeconds();
  if (d->mdnsFd >= 0) {
    char name[kDnsMaxName + 1];
    mdnsInstanceName(id, name);
    u8 buf[128];
    MdnsWriter w{buf, sizeof buf, 0, false};
    mdnsWriteHeader(&w, 0, 1, 0, 0, 0);
    mdnsWriteQuestion(&w, name, kDnsTypeAny, d->mdnsPort == kMdnsPort ? kDnsClassIn : (kDnsClassIn | kDnsTopBit));
    if (!w.failed) mdnsSendTo(d, buf, w.length, htonl(kMdnsGroup), kMdnsPort);
  }
  bool ok = false;
  dhtSearchAll(d, id, 0, &ok);
  if (!ok) {
    slot->active = 0;
    return -1;
  }
  deliverResults(d);
  return 0;
}

void discoveryCancelResolve(Discovery* d, const u8* id) {
  for (SearchEntry& s : d->searches)
    if (s.active && memcmp(s.id, id, 20) == 0) s = SearchEntry{};
}

void discoveryAddBootstrap(Discovery* d, const NetAddr* addrs, int n) {
  for (int i = 0; i < n && d->numBootstrap < kDiscoveryBootstrap; i++) d->bootstrap[d->numBootstrap++] = addrs[i];
  if (d->started) pingBootstrap(d);
}

int discoveryMapPort(Discovery* d, u16 privatePort, u16 publicPort, u32 lifetime) {
  if (!d->pmpInited) {
    if (initnatpmp(&d->pmp, 0, 0) < 0) return -1;
    d->pmpInited = 1;
  }
  int r = sendnewportmappingrequest(&d->pmp, NATPMP_PROTOCOL_UDP, privatePort, publicPort, lifetime);
  if (r < 0) return r;
  d->mapActive = true;
  d->mapPending = true;
  d->mapPrivate = privatePort;
  d->mapPublic = publicPort;
  d->mapLifetime = lifetime;
  d->mapRenewAt = 0;
  d->mapResult = 0;
  return r;
}

int discoveryUnmapPort(Discovery* d, u16 privatePort) {
  if (!d->pmpInited) return -1;
  d->mapActive = false;
  d->mapRenewAt = 0;
  int r = sendnewportmappingrequest(&d->pmp, NATPMP_PROTOCOL_UDP, privatePort, 0, 0);
  if (r >= 0) d->mapPending = true;
  return r;
}

i32 discoveryMappedPort(const Discovery* d) { return d->mapResult; }
