// Asynchronous sockets: one NetContext owns a fixed table of TCP listeners, TCP
// connections and UDP sockets (dual-stack IPv6, IPv4 peers as mapped addresses),
// all watched by one epoll set. The owner polls without blocking and receives
// events in the order they were queued. NetAddr and its packed form are shared
// by voice chat and discovery.
#pragma once

#include <sys/socket.h>

#include <atomic>

#include "platform/types.h"

enum NetAddrType : u32 { NET_ADDR_V4 = 0, NET_ADDR_V6 = 1 };

// Always zero-filled before use, so that padding never differs between two
// records of the same address; compare with netAddrEqual, never memcmp.
struct NetAddr {
  NetAddrType type;
  union {
    struct {
      u32 ip;  // the four bytes in network order, as in a socket address
      u16 port;  // host order
    } ipv4;
    struct {
      u8 ip[16];
      u16 port;  // host order
      // Interface index of a link-local address (fe80::/10), 0 when unknown.
      // Received datagrams carry it; the packed form does not.
      u32 scope;
    } ipv6;
  };
};

inline constexpr int kNetAddrPackedV4 = 7;
inline constexpr int kNetAddrPackedV6 = 19;
inline constexpr int kNetAddrPackedMax = kNetAddrPackedV6;

// Bytes written (7 or 19); 0 for null arguments.
int netAddrPack(const NetAddr* a, u8* buf);
// Bytes consumed (7 or 19); 0 for null arguments or when len is shorter than
// the form the first byte announces (1: IPv6, anything else: IPv4). A packed
// IPv4-mapped IPv6 address comes out as IPv4.
int netAddrUnpack(const u8* buf, size_t len, NetAddr* out);
// Same family, address and port; two link-local addresses whose scopes are
// both known must also share the scope (one learnt from a packed form has none).
b8 netAddrEqual(const NetAddr* a, const NetAddr* b);
// The port of either family.
u16 netAddrPort(const NetAddr* a);
// IPv4-mapped IPv6 (::ffff:a.b.c.d) becomes IPv4; anything else is copied.
NetAddr netAddrNormalize(const NetAddr* a);
NetAddr netAddrV4(u8 a, u8 b, u8 c, u8 d, u16 port);
NetAddr netAddrV6(const u8 ip[16], u16 port);
// fe80::/10: only meaningful together with an interface.
b8 netAddrIsLinkLocal(const NetAddr* a);
// From a socket address of len bytes: AF_INET stays IPv4, a mapped AF_INET6
// becomes IPv4, other AF_INET6 stays IPv6. False (and a zeroed record) for
// other families or a length too short for the family.
b8 netAddrFromSockaddr(const sockaddr* sa, socklen_t len, NetAddr* out);
// For a socket of the given family (AF_INET or AF_INET6): an IPv6 socket takes
// IPv6 as is and IPv4 as mapped; an IPv4 socket takes IPv4 only. Returns the
// length written into *out, 0 when the address cannot be expressed.
socklen_t netAddrToSockaddr(const NetAddr* a, int family, sockaddr_storage* out);
// "a.b.c.d:port", "[v6]:port" or "v6" forms with a port; numeric only (no name
// look-up). A link-local IPv6 address may name its interface, "[fe80::1%eth0]:port"
// or by index "%2"; an unknown interface is an error. False for anything else.
b8 netAddrParse(const char* text, NetAddr* out);
// "a.b.c.d:port" or "[v6]:port" ("[fe80::1%2]:port" with a scope) into buf (at
// least 64 bytes).
void netAddrFormat(const NetAddr* a, char* buf, size_t size);

enum NetSocketKind : u32 { NET_SOCK_LISTENER = 0, NET_SOCK_TCP = 1, NET_SOCK_UDP = 2 };

enum NetEventType : u32 {
  NET_EVENT_NONE = 0,
  NET_EVENT_ACCEPT = 1,
  NET_EVENT_CONNECT = 2,
  NET_EVENT_RECV = 3,
  NET_EVENT_CLOSE = 4,
};

inline constexpr u32 kNetMaxSockets = 128;
inline constexpr u32 kNetEventRing = 256;  // at most 255 queued
inline constexpr u32 kNetRecvBuf = 4096;

struct NetContext;

struct NetSocket {
  NetSocketKind kind;
  NetContext* ctx;
  b8 alive;
  b8 connecting;
  // A receive event of this socket is queued and not yet returned: its data
  // lives in recvBuf, so the socket is not read again until then.
  b8 recvQueued;
  int family;  // AF_INET6, or AF_INET for a connection to an IPv4 address
  int fd;
  u32 slot;
  u8 recvBuf[kNetRecvBuf];
};

struct NetEvent {
  NetEventType type;
  NetSocket* socket;
  union {
    struct {
      NetSocket* client;
      NetAddr addr;
    } accept;
    struct {
      const void* data;
      i32 len;
      NetAddr from;
    } recv;
  };
};

struct NetContext {
  NetSocket sockets[kNetMaxSockets];
  u32 socketCount;
  NetEvent events[kNetEventRing];
  u32 eventHead;  // next to return
  u32 eventTail;  // next free
  int epfd;
  int wakeFd;  // eventfd: netWake ends a netWait from another thread
  std::atomic<u32> datagramsDropped;  // oversized or cut datagrams, for tests
};

// Null when epoll or the wake descriptor cannot be made or memory runs out.
NetContext* netCreate();
// Closes every live socket and the descriptors; nothing for null.
void netDestroy(NetContext* ctx);

// Null on any socket failure or when all 128 slots are alive.
NetSocket* netListen(NetContext* ctx, u16 port);
// A TCP connection under way (NET_EVENT_CONNECT or NET_EVENT_CLOSE follows);
// null when the socket cannot be made or the connect fails at once.
NetSocket* netConnect(NetContext* ctx, NetAddr addr);
// Port 0 lets the system choose; see netSocketPort.
NetSocket* netUdpOpen(NetContext* ctx, u16 port);
// The local port a socket is bound to, 0 when unknown.
u16 netSocketPort(const NetSocket* s);

// Bytes sent or -1 (TCP sockets only; never raises SIGPIPE).
i32 netSend(NetSocket* s, const void* data, i32 len);
// Bytes sent or -1 (UDP sockets only; -1 also when the address cannot be
// expressed in the socket's family).
i32 netSendTo(NetSocket* s, const void* data, i32 len, NetAddr addr);

// One waiting datagram read at once, bypassing the event ring: for a thread
// other than the poller that wants a datagram without waiting for the poller
// to be scheduled (reads of a datagram socket are whole datagrams, so both may
// read). Its length, 0 when none is waiting (or it was empty), -1 when it was
// longer than cap (dropped, as by netPoll) or on error. UDP sockets only.
i32 netRecvFrom(NetSocket* s, void* buf, i32 cap, NetAddr* from);

// True with the oldest queued event in *ev; otherwise reads what the sockets
// have ready and returns the first event that produced. False only when nothing
// is queued and nothing is ready. A receive event's data stays valid until the
// next netPoll.
b8 netPoll(NetContext* ctx, NetEvent* ev);
// Blocks until a socket may be ready, netWake is called, or timeoutMs passes
// (-1: no limit). Signals end it early. Only the polling thread calls it.
void netWait(NetContext* ctx, i32 timeoutMs);
// Ends a netWait in progress or the next one; any thread.
void netWake(NetContext* ctx);

// Closes the socket and frees its slot; its queued events are dropped.
void netClose(NetSocket* s);
