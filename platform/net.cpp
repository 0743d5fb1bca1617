#include "platform/net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/memory.h"

namespace {

// Epoll data for the wake descriptor; socket slots use their index.
constexpr u64 kWakeTag = ~0ull;
// Readiness entries taken per epoll_wait: fewer than the free ring entries
// whenever the ring is empty, and each yields at most one event.
constexpr int kReadyBatch = (int)kNetMaxSockets;
// Passes over ready sockets in one netPoll that produce no event (only
// dropped datagrams) before it gives up for now: a flood of junk cannot hold
// the caller.
constexpr int kIdlePasses = 64;

const u8 kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

u32 queuedCount(const NetContext* c) { return (c->eventTail - c->eventHead) % kNetEventRing; }

NetEvent* queueEvent(NetContext* c) {
  // The ring never overflows: sockets are read only while it is empty and each
  // read adds at most one event, far fewer than 255 (see netPoll).
  if (queuedCount(c) >= kNetEventRing - 1) return nullptr;
  NetEvent* e = &c->events[c->eventTail];
  std::memset(e, 0, sizeof *e);
  c->eventTail = (c->eventTail + 1) % kNetEventRing;
  return e;
}

NetSocket* takeSlot(NetContext* c) {
  for (u32 i = 0; i < kNetMaxSockets; ++i) {
    NetSocket* s = &c->sockets[i];
    if (!s->alive) {
      std::memset(s, 0, offsetof(NetSocket, recvBuf));
      s->ctx = c;
      s->slot = i;
      s->fd = -1;
      return s;
    }
  }
  return nullptr;
}

b8 watch(NetSocket* s, u32 events, int op) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = s->slot;
  return epoll_ctl(s->ctx->epfd, op, s->fd, &ev) == 0;
}

void releaseSlot(NetSocket* s) {
  if (s->fd >= 0) {
    epoll_ctl(s->ctx->epfd, EPOLL_CTL_DEL, s->fd, nullptr);
    close(s->fd);
  }
  s->fd = -1;
  s->alive = false;
  s->recvQueued = false;
  s->ctx->socketCount--;
}

// Finishes a slot around a fresh descriptor: watched for the given events.
NetSocket* adopt(NetContext* c, int fd, NetSocketKind kind, int family, u32 events) {
  NetSocket* s = takeSlot(c);
  if (!s) {
    close(fd);
    return nullptr;
  }
  s->fd = fd;
  s->kind = kind;
  s->family = family;
  if (!watch(s, events, EPOLL_CTL_ADD)) {
    close(fd);
    s->fd = -1;
    return nullptr;
  }
  s->alive = true;
  c->socketCount++;
  return s;
}

// A non-blocking socket of the given type: dual-stack IPv6 bound to the
// any-address, or IPv4 where the system has no IPv6.
int boundSocket(int type, u16 port, int* familyOut) {
  int fd = socket(AF_INET6, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    int off = 0, on = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    a.sin6_port = htons(port);
    if (bind(fd, (sockaddr*)&a, sizeof a) == 0) {
      *familyOut = AF_INET6;
      return fd;
    }
    close(fd);
    if (errno != EAFNOSUPPORT && errno != EADDRNOTAVAIL) return -1;
  } else if (errno != EAFNOSUPPORT) {
    return -1;
  }
  fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(port);
  if (bind(fd, (sockaddr*)&a, sizeof a) != 0) {
    close(fd);
    return -1;
  }
  *familyOut = AF_INET;
  return fd;
}

// One read or accept on a ready socket; true when it queued an event.
b8 serviceSocket(NetContext* c, NetSocket* s, u32 ready) {
  switch (s->kind) {
    case NET_SOCK_UDP: {
      sockaddr_storage from{};
      socklen_t fromLen = sizeof from;
      // MSG_TRUNC reports the datagram's real length: a cut one is dropped.
      ssize_t n = recvfrom(s->fd, s->recvBuf, kNetRecvBuf, MSG_TRUNC, (sockaddr*)&from, &fromLen);
      if (n <= 0) return false;  // nothing (EAGAIN), an error, or an empty datagram
      if ((size_t)n > kNetRecvBuf) {
        c->datagramsDropped.fetch_add(1, std::memory_order_relaxed);
        return false;
      }
      NetEvent* e = queueEvent(c);
      if (!e) return false;
      e->type = NET_EVENT_RECV;
      e->socket = s;
      e->recv.data = s->recvBuf;
      e->recv.len = (i32)n;
      netAddrFromSockaddr((sockaddr*)&from, fromLen, &e->recv.from);
      s->recvQueued = true;
      return true;
    }
    case NET_SOCK_TCP: {
      if (s->connecting) {
        if (!(ready & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return false;
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        s->connecting = false;
        NetEvent* e = queueEvent(c);
        if (err != 0) {
          if (e) {
            e->type = NET_EVENT_CLOSE;
            e->socket = s;
          }
          releaseSlot(s);
          return e != nullptr;
        }
        watch(s, EPOLLIN, EPOLL_CTL_MOD);
        if (e) {
          e->type = NET_EVENT_CONNECT;
          e->socket = s;
        }
        return e != nullptr;
      }
      ssize_t n = recv(s->fd, s->recvBuf, kNetRecvBuf, 0);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return false;
      NetEvent* e = queueEvent(c);
      if (!e) return false;
      e->socket = s;
      if (n > 0) {
        e->type = NET_EVENT_RECV;
        e->recv.data = s->recvBuf;
        e->recv.len = (i32)n;
        s->recvQueued = true;
      } else {
        e->type = NET_EVENT_CLOSE;
        releaseSlot(s);
      }
      return true;
    }
    case NET_SOCK_LISTENER: {
      sockaddr_storage from{};
      socklen_t fromLen = sizeof from;
      int fd = accept4(s->fd, (sockaddr*)&from, &fromLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return false;
      int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      // Without a free slot the connection is closed at once (adopt does it).
      NetSocket* client = adopt(c, fd, NET_SOCK_TCP, from.ss_family == AF_INET ? AF_INET : AF_INET6, EPOLLIN);
      if (!client) return false;
      NetEvent* e = queueEvent(c);
      if (!e) return false;
      e->type = NET_EVENT_ACCEPT;
      e->socket = s;
      e->accept.client = client;
      netAddrFromSockaddr((sockaddr*)&from, fromLen, &e->accept.addr);
      return true;
    }
  }
  return false;
}

void drainWake(NetContext* c) {
  u64 v;
  while (read(c->wakeFd, &v, sizeof v) > 0) {
  }
}

}  // namespace

int netAddrPack(const NetAddr* a, u8* buf) {
  if (!a || !buf) return 0;
  if (a->type == NET_ADDR_V6) {
    buf[0] = 1;
    std::memcpy(buf + 1, a->ipv6.ip, 16);
    buf[17] = (u8)(a->ipv6.port >> 8);
    buf[18] = (u8)a->ipv6.port;
    return kNetAddrPackedV6;
  }
  // The stored network-order bytes a.b.c.d go out as the big-endian integer of
  // the little-endian load: d, c, b, a.
  const u8* ip = (const u8*)&a->ipv4.ip;
  buf[0] = 0;
  buf[1] = ip[3];
  buf[2] = ip[2];
  buf[3] = ip[1];
  buf[4] = ip[0];
  buf[5] = (u8)(a->ipv4.port >> 8);
  buf[6] = (u8)a->ipv4.port;
  return kNetAddrPackedV4;
}

int netAddrUnpack(const u8* buf, size_t len, NetAddr* out) {
  if (!out) return 0;
  std::memset(out, 0, sizeof *out);
  if (!buf || len < 1) return 0;
  if (buf[0] == 1) {
    if (len < (size_t)kNetAddrPackedV6) return 0;
    NetAddr a{};
    a.type = NET_ADDR_V6;
    std::memcpy(a.ipv6.ip, buf + 1, 16);
    a.ipv6.port = (u16)(buf[17] << 8 | buf[18]);
    *out = netAddrNormalize(&a);
    return kNetAddrPackedV6;
  }
  if (len < (size_t)kNetAddrPackedV4) return 0;
  out->type = NET_ADDR_V4;
  u8* ip = (u8*)&out->ipv4.ip;
  ip[0] = buf[4];
  ip[1] = buf[3];
  ip[2] = buf[2];
  ip[3] = buf[1];
  out->ipv4.port = (u16)(buf[5] << 8 | buf[6]);
  return kNetAddrPackedV4;
}

b8 netAddrIsLinkLocal(const NetAddr* a) {
  return a && a->type == NET_ADDR_V6 && a->ipv6.ip[0] == 0xfe && (a->ipv6.ip[1] & 0xc0) == 0x80;
}

b8 netAddrEqual(const NetAddr* a, const NetAddr* b) {
  if (!a || !b || a->type != b->type) return false;
  if (a->type == NET_ADDR_V6)
    return a->ipv6.port == b->ipv6.port && std::memcmp(a->ipv6.ip, b->ipv6.ip, 16) == 0 &&
           (a->ipv6.scope == 0 || b->ipv6.scope == 0 || a->ipv6.scope == b->ipv6.scope);
  return a->ipv4.port == b->ipv4.port && a->ipv4.ip == b->ipv4.ip;
}

u16 netAddrPort(const NetAddr* a) {
  if (!a) return 0;
  return a->type == NET_ADDR_V6 ? a->ipv6.port : a->ipv4.port;
}

NetAddr netAddrNormalize(const NetAddr* a) {
  NetAddr out{};
  if (!a) return out;
  if (a->type == NET_ADDR_V6 && std::memcmp(a->ipv6.ip, kMappedPrefix, 12) == 0) {
    out.type = NET_ADDR_V4;
    std::memcpy(&out.ipv4.ip, a->ipv6.ip + 12, 4);
    out.ipv4.port = a->ipv6.port;
    return out;
  }
  if (a->type == NET_ADDR_V6) {
    out.type = NET_ADDR_V6;
    std::memcpy(out.ipv6.ip, a->ipv6.ip, 16);
    out.ipv6.port = a->ipv6.port;
    if (netAddrIsLinkLocal(a)) out.ipv6.scope = a->ipv6.scope;
  } else {
    out.type = NET_ADDR_V4;
    out.ipv4.ip = a->ipv4.ip;
    out.ipv4.port = a->ipv4.port;
  }
  return out;
}

NetAddr netAddrV4(u8 a, u8 b, u8 c, u8 d, u16 port) {
  NetAddr out{};
  std::memset(&out, 0, sizeof out);
  out.type = NET_ADDR_V4;
  u8* ip = (u8*)&out.ipv4.ip;
  ip[0] = a;
  ip[1] = b;
  ip[2] = c;
  ip[3] = d;
  out.ipv4.port = port;
  return out;
}

NetAddr netAddrV6(const u8 ip[16], u16 port) {
  NetAddr out{};
  std::memset(&out, 0, sizeof out);
  out.type = NET_ADDR_V6;
  std::memcpy(out.ipv6.ip, ip, 16);
  out.ipv6.port = port;
  return out;
}

b8 netAddrFromSockaddr(const sockaddr* sa, socklen_t len, NetAddr* out) {
  if (!out) return false;
  std::memset(out, 0, sizeof *out);
  if (!sa || len < (socklen_t)sizeof(sa_family_t)) return false;
  if (sa->sa_family == AF_INET && len >= (socklen_t)sizeof(sockaddr_in)) {
    sockaddr_in a;
    std::memcpy(&a, sa, sizeof a);
    out->type = NET_ADDR_V4;
    out->ipv4.ip = a.sin_addr.s_addr;
    out->ipv4.port = ntohs(a.sin_port);
    return true;
  }
  if (sa->sa_family == AF_INET6 && len >= (socklen_t)sizeof(sockaddr_in6)) {
    sockaddr_in6 a;
    std::memcpy(&a, sa, sizeof a);
    NetAddr v6 = netAddrV6(a.sin6_addr.s6_addr, ntohs(a.sin6_port));
    v6.ipv6.scope = a.sin6_scope_id;
    *out = netAddrNormalize(&v6);
    return true;
  }
  return false;
}

socklen_t netAddrToSockaddr(const NetAddr* a, int family, sockaddr_storage* out) {
  if (!a || !out) return 0;
  std::memset(out, 0, sizeof *out);
  if (a->type != NET_ADDR_V4 && a->type != NET_ADDR_V6) return 0;
  if (family == AF_INET6) {
    sockaddr_in6* s = (sockaddr_in6*)out;
    s->sin6_family = AF_INET6;
    if (a->type == NET_ADDR_V6) {
      std::memcpy(s->sin6_addr.s6_addr, a->ipv6.ip, 16);
      s->sin6_port = htons(a->ipv6.port);
      if (netAddrIsLinkLocal(a)) s->sin6_scope_id = a->ipv6.scope;
    } else {
      std::memcpy(s->sin6_addr.s6_addr, kMappedPrefix, 12);
      std::memcpy(s->sin6_addr.s6_addr + 12, &a->ipv4.ip, 4);
      s->sin6_port = htons(a->ipv4.port);
    }
    return sizeof(sockaddr_in6);
  }
  if (family == AF_INET) {
    NetAddr n = netAddrNormalize(a);
    if (n.type != NET_ADDR_V4) return 0;
    sockaddr_in* s = (sockaddr_in*)out;
    s->sin_family = AF_INET;
    s->sin_addr.s_addr = n.ipv4.ip;
    s->sin_port = htons(n.ipv4.port);
    return sizeof(sockaddr_in);
  }
  return 0;
}

b8 netAddrParse(const char* text, NetAddr* out) {
  if (!text || !out) return false;
  std::memset(out, 0, sizeof *out);
  char host[64];
  const char* portText;
  if (text[0] == '[') {
    const char* close = std::strchr(text, ']');
    if (!close || close[1] != ':' || (size_t)(close - text - 1) >= sizeof host) return false;
    std::memcpy(host, text + 1, close - text - 1);
    host[close - text - 1] = 0;
    portText = close + 2;
  } else {
    const char* colon = std::strrchr(text, ':');
    if (!colon || (size_t)(colon - text) >= sizeof host) return false;
    std::memcpy(host, text, colon - text);
    host[colon - text] = 0;
    portText = colon + 1;
  }
  if (!*portText) return false;
  char* end = nullptr;
  unsigned long port = std::strtoul(portText, &end, 10);
  if (*end || port > 65535 || portText[0] == '-' || portText[0] == '+') return false;
  in_addr v4;
  in6_addr v6;
  if (inet_pton(AF_INET, host, &v4) == 1) {
    out->type = NET_ADDR_V4;
    out->ipv4.ip = v4.s_addr;
    out->ipv4.port = (u16)port;
    return true;
  }
  // A scope: an interface index or a name (a local query, no look-up on the network).
  u32 scope = 0;
  if (char* pct = std::strchr(host, '%')) {
    *pct = 0;
    const char* sc = pct + 1;
    if (!*sc) return false;
    char* scEnd = nullptr;
    const unsigned long idx = std::strtoul(sc, &scEnd, 10);
    if (sc[0] >= '0' && sc[0] <= '9' && !*scEnd)
      scope = idx <= 0xffffffffu ? (u32)idx : 0;
    else
      scope = if_nametoindex(sc);
    if (scope == 0) return false;
  }
  if (inet_pton(AF_INET6, host, &v6) == 1) {
    NetAddr a = netAddrV6(v6.s6_addr, (u16)port);
    if (scope && !netAddrIsLinkLocal(&a)) return false;
    a.ipv6.scope = scope;
    *out = netAddrNormalize(&a);
    return true;
  }
  return false;
}

void netAddrFormat(const NetAddr* a, char* buf, size_t size) {
  if (!buf || size == 0) return;
  buf[0] = 0;
  if (!a) return;
  char host[INET6_ADDRSTRLEN] = "";
  if (a->type == NET_ADDR_V6) {
    inet_ntop(AF_INET6, a->ipv6.ip, host, sizeof host);
    if (netAddrIsLinkLocal(a) && a->ipv6.scope)
      std::snprintf(buf, size, "[%s%%%u]:%u", host, a->ipv6.scope, a->ipv6.port);
    else
      std::snprintf(buf, size, "[%s]:%u", host, a->ipv6.port);
  } else {
    inet_ntop(AF_INET, &a->ipv4.ip, host, sizeof host);
    std::snprintf(buf, size, "%s:%u", host, a->ipv4.port);
  }
}

NetContext* netCreate() {
  void* mem = memCalloc(1, sizeof(NetContext));
  if (!mem) return nullptr;
  NetContext* c = new (mem) NetContext;
  c->epfd = epoll_create1(EPOLL_CLOEXEC);
  c->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeTag;
  if (c->epfd < 0 || c->wakeFd < 0 || epoll_ctl(c->epfd, EPOLL_CTL_ADD, c->wakeFd, &ev) != 0) {
    if (c->epfd >= 0) close(c->epfd);
    if (c->wakeFd >= 0) close(c->wakeFd);
    c->~NetContext();
    memFree(c);
    return nullptr;
  }
  for (u32 i = 0; i < kNetMaxSockets; ++i) c->sockets[i].fd = -1;
  return c;
}

void netDestroy(NetContext* c) {
  if (!c) return;
  for (u32 i = 0; i < kNetMaxSockets; ++i)
    if (c->sockets[i].alive) releaseSlot(&c->sockets[i]);
  close(c->wakeFd);
  close(c->epfd);
  c->~NetContext();
  memFree(c);
}

NetSocket* netListen(NetContext* c, u16 port) {
  if (!c || c->socketCount >= kNetMaxSockets) return nullptr;
  int family;
  int fd = boundSocket(SOCK_STREAM, port, &family);
  if (fd < 0) return nullptr;
  if (listen(fd, SOMAXCONN) != 0) {
    close(fd);
    return nullptr;
  }
  return adopt(c, fd, NET_SOCK_LISTENER, family, EPOLLIN);
}

NetSocket* netConnect(NetContext* c, NetAddr addr) {
  if (!c || c->socketCount >= kNetMaxSockets) return nullptr;
  NetAddr a = netAddrNormalize(&addr);
  int family = a.type == NET_ADDR_V6 ? AF_INET6 : AF_INET;
  sockaddr_storage sa;
  socklen_t len = netAddrToSockaddr(&a, family, &sa);
  if (!len) return nullptr;
  int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  int r;
  do r = connect(fd, (sockaddr*)&sa, len);
  while (r != 0 && errno == EINTR);
  if (r != 0 && errno != EINPROGRESS) {
    close(fd);
    return nullptr;
  }
  NetSocket* s = adopt(c, fd, NET_SOCK_TCP, family, EPOLLOUT);
  if (s) s->connecting = true;
  return s;
}

NetSocket* netUdpOpen(NetContext* c, u16 port) {
  if (!c || c->socketCount >= kNetMaxSockets) return nullptr;
  int family;
  int fd = boundSocket(SOCK_DGRAM, port, &family);
  if (fd < 0) return nullptr;
  return adopt(c, fd, NET_SOCK_UDP, family, EPOLLIN);
}

u16 netSocketPort(const NetSocket* s) {
  if (!s || !s->alive) return 0;
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (getsockname(s->fd, (sockaddr*)&a, &len) != 0) return 0;
  NetAddr n;
  if (!netAddrFromSockaddr((sockaddr*)&a, len, &n)) return 0;
  return netAddrPort(&n);
}

i32 netSend(NetSocket* s, const void* data, i32 len) {
  if (!s || !s->alive || s->kind != NET_SOCK_TCP || s->connecting || len < 0 || (!data && len)) return -1;
  ssize_t n;
  do n = send(s->fd, data, (size_t)len, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : (i32)n;
}

i32 netSendTo(NetSocket* s, const void* data, i32 len, NetAddr addr) {
  if (!s || !s->alive || s->kind != NET_SOCK_UDP || len < 0 || (!data && len)) return -1;
  sockaddr_storage sa;
  socklen_t salen = netAddrToSockaddr(&addr, s->family, &sa);
  if (!salen) return -1;
  ssize_t n;
  do n = sendto(s->fd, data, (size_t)len, MSG_NOSIGNAL, (sockaddr*)&sa, salen);
  while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : (i32)n;
}

i32 netRecvFrom(NetSocket* s, void* buf, i32 cap, NetAddr* from) {
  if (!s || !s->alive || s->kind != NET_SOCK_UDP || !buf || cap <= 0 || !from) return -1;
  sockaddr_storage sa{};
  socklen_t saLen = sizeof sa;
  ssize_t n;
  do n = recvfrom(s->fd, buf, (size_t)cap, MSG_TRUNC | MSG_DONTWAIT, (sockaddr*)&sa, &saLen);
  while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  if (n > cap) {
    s->ctx->datagramsDropped.fetch_add(1, std::memory_order_relaxed);
    return -1;
  }
  return netAddrFromSockaddr((sockaddr*)&sa, saLen, from) ? (i32)n : -1;
}

b8 netPoll(NetContext* c, NetEvent* ev) {
  if (!c || !ev) return false;
  for (int idle = 0; idle <= kIdlePasses; ++idle) {
    while (c->eventHead != c->eventTail) {
      NetEvent* e = &c->events[c->eventHead];
      c->eventHead = (c->eventHead + 1) % kNetEventRing;
      if (e->type == NET_EVENT_NONE) continue;  // its socket was closed meanwhile
      if (e->type == NET_EVENT_RECV) e->socket->recvQueued = false;
      *ev = *e;
      return true;
    }
    // The ring is empty here, so no socket has a receive outstanding and the
    // batch below (one event per ready socket at most) always fits.
    epoll_event ready[kReadyBatch];
    int n;
    do n = epoll_wait(c->epfd, ready, kReadyBatch, 0);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    b8 anySocket = false;
    for (int i = 0; i < n; ++i) {
      if (ready[i].data.u64 == kWakeTag) {
        drainWake(c);
        continue;
      }
      anySocket = true;
      NetSocket* s = &c->sockets[ready[i].data.u64 % kNetMaxSockets];
      if (s->alive && !s->recvQueued) serviceSocket(c, s, ready[i].events);
    }
    if (!anySocket) return false;
  }
  return false;
}

void netWait(NetContext* c, i32 timeoutMs) {
  if (!c) return;
  epoll_event ready[1];
  int n = epoll_wait(c->epfd, ready, 1, timeoutMs);  // EINTR: return early, callers loop
  if (n == 1 && ready[0].data.u64 == kWakeTag) drainWake(c);
}

void netWake(NetContext* c) {
  if (!c) return;
  u64 one = 1;
  ssize_t r = write(c->wakeFd, &one, sizeof one);
  (void)r;  // EAGAIN: the counter is already raised, the waiter will wake
}

void netClose(NetSocket* s) {
  if (!s || !s->alive) return;
  NetContext* c = s->ctx;
  for (u32 i = c->eventHead; i != c->eventTail; i = (i + 1) % kNetEventRing) {
    NetEvent* e = &c->events[i];
    if (e->socket == s || (e->type == NET_EVENT_ACCEPT && e->accept.client == s)) e->type = NET_EVENT_NONE;
  }
  releaseSlot(s);
}
