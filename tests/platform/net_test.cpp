// Network layer on loopback only (127.0.0.1 and ::1).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/net.h"

namespace {

const u8 kLoop6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

NetAddr loop4(u16 port) { return netAddrV4(127, 0, 0, 1, port); }
NetAddr loop6(u16 port) { return netAddrV6(kLoop6, port); }

std::vector<u8> bytes(std::initializer_list<int> l) {
  std::vector<u8> v;
  for (int b : l) v.push_back((u8)b);
  return v;
}

// Polls until false; the events as (socket, data, from) with the data copied.
struct Got {
  NetEventType type;
  NetSocket* socket;
  std::string data;
  NetAddr from;
  NetSocket* client;
};
std::vector<Got> drain(NetContext* c) {
  std::vector<Got> out;
  NetEvent ev;
  while (netPoll(c, &ev)) {
    Got g{ev.type, ev.socket, {}, {}, nullptr};
    if (ev.type == NET_EVENT_RECV) {
      g.data.assign((const char*)ev.recv.data, (size_t)ev.recv.len);
      g.from = ev.recv.from;
    }
    if (ev.type == NET_EVENT_ACCEPT) {
      g.client = ev.accept.client;
      g.from = ev.accept.addr;
    }
    out.push_back(g);
  }
  return out;
}

// Polls (bounded) until at least n events came in total.
std::vector<Got> drainUntil(NetContext* c, size_t n) {
  std::vector<Got> out;
  for (int i = 0; i < 2000 && out.size() < n; ++i) {
    std::vector<Got> more = drain(c);
    out.insert(out.end(), more.begin(), more.end());
    if (out.size() < n) netWait(c, 1);
  }
  return out;
}

TEST(NetAddrPack, Vectors) {
  struct Case {
    const char* name;
    NetAddr addr;
    std::vector<u8> packed;
  } cases[] = {
      {"v4", netAddrV4(192, 168, 1, 2, 5000), bytes({0x00, 0x02, 0x01, 0xA8, 0xC0, 0x13, 0x88})},
      {"v4 high port", netAddrV4(10, 0, 0, 1, 65535), bytes({0x00, 0x01, 0x00, 0x00, 0x0A, 0xFF, 0xFF})},
      {"v6 loopback", loop6(5000), bytes({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x13, 0x88})},
  };
  for (const Case& c : cases) {
    u8 buf[kNetAddrPackedMax + 4];
    std::memset(buf, 0xEE, sizeof buf);
    int n = netAddrPack(&c.addr, buf);
    ASSERT_EQ(n, (int)c.packed.size()) << c.name;
    EXPECT_EQ(std::vector<u8>(buf, buf + n), c.packed) << c.name;
    EXPECT_EQ(buf[n], 0xEE) << c.name << ": wrote past its form";
    NetAddr back;
    ASSERT_EQ(netAddrUnpack(buf, (size_t)n, &back), n) << c.name;
    EXPECT_TRUE(netAddrEqual(&back, &c.addr)) << c.name;
  }
  u8 v6ip[16];
  for (int i = 0; i < 16; ++i) v6ip[i] = (u8)(0x20 + i * 7);
  NetAddr a = netAddrV6(v6ip, 1);
  u8 buf[kNetAddrPackedMax];
  ASSERT_EQ(netAddrPack(&a, buf), 19);
  EXPECT_EQ(std::memcmp(buf + 1, v6ip, 16), 0) << "the 16 address bytes go out unchanged";
  EXPECT_EQ(netAddrPack(nullptr, buf), 0);
  EXPECT_EQ(netAddrPack(&a, nullptr), 0);
}

TEST(NetAddrPack, UnpackTable) {
  struct Case {
    const char* name;
    std::vector<u8> in;
    int consumed;
    NetAddr expect;
  };
  const u8 mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 1, 2, 3};
  std::vector<u8> mappedPacked = {1};
  mappedPacked.insert(mappedPacked.end(), mapped, mapped + 16);
  mappedPacked.push_back(0x00);
  mappedPacked.push_back(0x50);
  std::vector<u8> v6Short(mappedPacked.begin(), mappedPacked.end() - 1);
  Case cases[] = {
      {"empty", {}, 0, {}},
      {"v4 cut to 6 bytes", bytes({0, 2, 1, 0xA8, 0xC0, 0x13}), 0, {}},
      {"v6 cut to 18 bytes", v6Short, 0, {}},
      {"v6 with only a type byte", bytes({1}), 0, {}},
      {"unknown first byte reads as v4", bytes({7, 4, 3, 2, 1, 0, 9, 0xAA}), 7, netAddrV4(1, 2, 3, 4, 9)},
      {"mapped v6 becomes v4", mappedPacked, 19, netAddrV4(10, 1, 2, 3, 80)},
  };
  for (const Case& c : cases) {
    NetAddr out;
    std::memset(&out, 0x5A, sizeof out);
    int n = netAddrUnpack(c.in.data(), c.in.size(), &out);
    EXPECT_EQ(n, c.consumed) << c.name;
    if (c.consumed) {
      EXPECT_TRUE(netAddrEqual(&out, &c.expect)) << c.name;
    } else {
      NetAddr zero;
      std::memset(&zero, 0, sizeof zero);
      EXPECT_EQ(std::memcmp(&out, &zero, sizeof out), 0) << c.name << ": failure leaves a zeroed record";
    }
  }
  NetAddr out;
  EXPECT_EQ(netAddrUnpack(nullptr, 7, &out), 0);
}

TEST(NetAddrConvert, FromSocketAddresses) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(4000);
  inet_pton(AF_INET, "192.0.2.7", &v4.sin_addr);
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(4001);
  inet_pton(AF_INET6, "2001:db8::5", &v6.sin6_addr);
  sockaddr_in6 mapped{};
  mapped.sin6_family = AF_INET6;
  mapped.sin6_port = htons(4002);
  inet_pton(AF_INET6, "::ffff:192.0.2.9", &mapped.sin6_addr);
  sockaddr_un unix_{};
  unix_.sun_family = AF_UNIX;
  u8 db8[16];
  inet_pton(AF_INET6, "2001:db8::5", db8);
  struct Case {
    const char* name;
    const sockaddr* sa;
    socklen_t len;
    b8 ok;
    NetAddr expect;
  } cases[] = {
      {"v4", (sockaddr*)&v4, sizeof v4, true, netAddrV4(192, 0, 2, 7, 4000)},
      {"v6", (sockaddr*)&v6, sizeof v6, true, netAddrV6(db8, 4001)},
      {"mapped v6", (sockaddr*)&mapped, sizeof mapped, true, netAddrV4(192, 0, 2, 9, 4002)},
      {"other family", (sockaddr*)&unix_, sizeof unix_, false, {}},
      {"v4 too short", (sockaddr*)&v4, sizeof v4 - 1, false, {}},
      {"v6 too short", (sockaddr*)&v6, sizeof(sockaddr_in), false, {}},
  };
  for (const Case& c : cases) {
    NetAddr out;
    std::memset(&out, 0x77, sizeof out);
    EXPECT_EQ(netAddrFromSockaddr(c.sa, c.len, &out), c.ok) << c.name;
    if (c.ok) {
      EXPECT_TRUE(netAddrEqual(&out, &c.expect)) << c.name;
    } else {
      NetAddr zero;
      std::memset(&zero, 0, sizeof zero);
      EXPECT_EQ(std::memcmp(&out, &zero, sizeof out), 0) << c.name;
    }
  }
}

TEST(NetAddrConvert, ToSocketAddressesPerFamily) {
  sockaddr_storage ss;
  NetAddr v4 = netAddrV4(192, 0, 2, 7, 4000);
  ASSERT_EQ(netAddrToSockaddr(&v4, AF_INET6, &ss), (socklen_t)sizeof(sockaddr_in6));
  char text[64];
  inet_ntop(AF_INET6, &((sockaddr_in6*)&ss)->sin6_addr, text, sizeof text);
  EXPECT_STREQ(text, "::ffff:192.0.2.7");
  EXPECT_EQ(ntohs(((sockaddr_in6*)&ss)->sin6_port), 4000);
  ASSERT_EQ(netAddrToSockaddr(&v4, AF_INET, &ss), (socklen_t)sizeof(sockaddr_in));
  EXPECT_EQ(((sockaddr_in*)&ss)->sin_addr.s_addr, v4.ipv4.ip);
  NetAddr v6 = loop6(9);
  EXPECT_EQ(netAddrToSockaddr(&v6, AF_INET, &ss), 0u) << "an IPv4 socket cannot reach an IPv6 address";
  NetAddr bad = v4;
  bad.type = (NetAddrType)5;
  EXPECT_EQ(netAddrToSockaddr(&bad, AF_INET6, &ss), 0u);
}

TEST(NetAddrConvert, EqualityIgnoresPadding) {
  NetAddr a, b;
  std::memset(&a, 0x00, sizeof a);
  std::memset(&b, 0xFF, sizeof b);
  a.type = b.type = NET_ADDR_V4;
  a.ipv4.ip = b.ipv4.ip = 0x0100007f;
  a.ipv4.port = b.ipv4.port = 7;
  EXPECT_TRUE(netAddrEqual(&a, &b));
  b.ipv4.port = 8;
  EXPECT_FALSE(netAddrEqual(&a, &b));
  NetAddr c = loop6(7);
  EXPECT_FALSE(netAddrEqual(&a, &c));
}

TEST(NetAddrConvert, ParseAndFormat) {
  struct Case {
    const char* text;
    b8 ok;
    const char* formatted;
  } cases[] = {
      {"127.0.0.1:40000", true, "127.0.0.1:40000"},  {"[::1]:5", true, "[::1]:5"},
      {"[::ffff:10.0.0.2]:7", true, "10.0.0.2:7"},    {"[fd00::1]:65535", true, "[fd00::1]:65535"},
      {"127.0.0.1", false, nullptr},                  {"127.0.0.1:65536", false, nullptr},
      {"localhost:80", false, nullptr},               {"[::1]5", false, nullptr},
      {"1.2.3.4:-1", false, nullptr},                 {"", false, nullptr},
      {"1.2.3.4:", false, nullptr},
      // Link-local addresses name their interface ("lo" is index 1 everywhere).
      {"[fe80::1%1]:5", true, "[fe80::1%1]:5"},       {"[fe80::1%lo]:5", true, "[fe80::1%1]:5"},
      {"[fe80::1]:5", true, "[fe80::1]:5"},           {"[fe80::1%]:5", false, nullptr},
      {"[fe80::1%no-such-if]:5", false, nullptr},     {"[2001:db8::1%1]:5", false, nullptr},
      {"[fe80::1%0]:5", false, nullptr},
  };
  for (const Case& c : cases) {
    NetAddr a;
    EXPECT_EQ(netAddrParse(c.text, &a), c.ok) << c.text;
    if (c.ok) {
      char buf[64];
      netAddrFormat(&a, buf, sizeof buf);
      EXPECT_STREQ(buf, c.formatted);
    }
  }
}

// A link-local address is only usable with its interface: the scope comes in
// with received datagrams, goes out to sendto, and tells apart two links.
TEST(NetAddrConvert, LinkLocalScopes) {
  sockaddr_in6 ll{};
  ll.sin6_family = AF_INET6;
  ll.sin6_port = htons(4000);
  inet_pton(AF_INET6, "fe80::5", &ll.sin6_addr);
  ll.sin6_scope_id = 3;
  NetAddr a;
  ASSERT_TRUE(netAddrFromSockaddr((sockaddr*)&ll, sizeof ll, &a));
  EXPECT_TRUE(netAddrIsLinkLocal(&a));
  EXPECT_EQ(a.ipv6.scope, 3u);
  sockaddr_storage back;
  ASSERT_EQ(netAddrToSockaddr(&a, AF_INET6, &back), sizeof(sockaddr_in6));
  EXPECT_EQ(((sockaddr_in6*)&back)->sin6_scope_id, 3u);
  // A global address keeps no scope.
  sockaddr_in6 global = ll;
  inet_pton(AF_INET6, "2001:db8::5", &global.sin6_addr);
  ASSERT_TRUE(netAddrFromSockaddr((sockaddr*)&global, sizeof global, &a));
  EXPECT_FALSE(netAddrIsLinkLocal(&a));
  EXPECT_EQ(a.ipv6.scope, 0u);
  // Equal: same scope, or one unknown (a packed form has none); two known
  // scopes that differ are two hosts on two links.
  NetAddr x, y, unknown;
  ASSERT_TRUE(netAddrParse("[fe80::5%2]:4000", &x));
  ASSERT_TRUE(netAddrParse("[fe80::5%3]:4000", &y));
  u8 packed[kNetAddrPackedMax];
  ASSERT_EQ(netAddrUnpack(packed, (size_t)netAddrPack(&x, packed), &unknown), kNetAddrPackedV6);
  EXPECT_EQ(unknown.ipv6.scope, 0u) << "the packed form carries no scope";
  EXPECT_FALSE(netAddrEqual(&x, &y));
  EXPECT_TRUE(netAddrEqual(&x, &unknown));
  EXPECT_TRUE(netAddrEqual(&unknown, &y));
}

TEST(Net, The129thSocketFails) {
  NetContext* c = netCreate();
  ASSERT_NE(c, nullptr);
  std::vector<NetSocket*> s;
  for (u32 i = 0; i < kNetMaxSockets; ++i) {
    NetSocket* u = netUdpOpen(c, 0);
    ASSERT_NE(u, nullptr) << i;
    s.push_back(u);
  }
  EXPECT_EQ(netUdpOpen(c, 0), nullptr);
  EXPECT_EQ(netListen(c, 0), nullptr);
  EXPECT_EQ(netConnect(c, loop4(9)), nullptr);
  netClose(s[57]);
  NetSocket* again = netUdpOpen(c, 0);
  EXPECT_EQ(again, s[57]) << "the first free slot is reused";
  netDestroy(c);
}

TEST(Net, UdpSendersKeepTheirFamily) {
  NetContext* c = netCreate();
  ASSERT_NE(c, nullptr);
  NetSocket* a = netUdpOpen(c, 0);
  NetSocket* b = netUdpOpen(c, 0);
  ASSERT_TRUE(a && b);
  u16 pa = netSocketPort(a), pb = netSocketPort(b);
  ASSERT_NE(pa, 0);
  ASSERT_EQ(netSendTo(b, "four", 4, loop4(pa)), 4);
  std::vector<Got> g = drainUntil(c, 1);
  ASSERT_EQ(g.size(), 1u);
  EXPECT_EQ(g[0].socket, a);
  EXPECT_EQ(g[0].data, "four");
  NetAddr want = loop4(pb);
  EXPECT_TRUE(netAddrEqual(&g[0].from, &want)) << "an IPv4 sender arrives as IPv4, not mapped";
  ASSERT_EQ(netSendTo(b, "six", 3, loop6(pa)), 3);
  g = drainUntil(c, 1);
  ASSERT_EQ(g.size(), 1u);
  want = loop6(pb);
  EXPECT_TRUE(netAddrEqual(&g[0].from, &want));
  // Wrong kinds and dead sockets.
  NetSocket* l = netListen(c, 0);
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(netSendTo(l, "x", 1, loop4(pa)), -1);
  EXPECT_EQ(netSend(a, "x", 1), -1);
  netClose(b);
  EXPECT_EQ(netSendTo(b, "x", 1, loop4(pa)), -1);
  netDestroy(c);
}

TEST(Net, DataStaysIntactWhileMoreDatagramsWaitAndPollUntilFalseTakesThemAll) {
  NetContext* c = netCreate();
  ASSERT_NE(c, nullptr);
  NetSocket* a = netUdpOpen(c, 0);
  NetSocket* b = netUdpOpen(c, 0);
  NetSocket* tx = netUdpOpen(c, 0);
  ASSERT_TRUE(a && b && tx);
  const u16 pa = netSocketPort(a), pb = netSocketPort(b);
  std::vector<std::string> toA, toB;
  for (int i = 0; i < 12; ++i) {
    toA.push_back("a" + std::to_string(i) + std::string((size_t)i * 50, (char)('A' + i)));
    toB.push_back("b" + std::to_string(i) + std::string((size_t)(12 - i) * 40, (char)('a' + i)));
    ASSERT_GT(netSendTo(tx, toA.back().data(), (i32)toA.back().size(), loop4(pa)), 0);
    ASSERT_GT(netSendTo(tx, toB.back().data(), (i32)toB.back().size(), loop6(pb)), 0);
  }
  // Everything is already queued on loopback: one pass of "poll until false"
  // must return every datagram, each intact when its event is returned.
  std::vector<std::string> gotA, gotB;
  NetEvent ev;
  while (netPoll(c, &ev)) {
    ASSERT_EQ(ev.type, NET_EVENT_RECV);
    std::string d((const char*)ev.recv.data, (size_t)ev.recv.len);
    (ev.socket == a ? gotA : gotB).push_back(d);
  }
  EXPECT_EQ(gotA, toA);
  EXPECT_EQ(gotB, toB);
  netDestroy(c);
}

TEST(Net, OversizedDatagramsAreDroppedNotCut) {
  NetContext* c = netCreate();
  ASSERT_NE(c, nullptr);
  NetSocket* a = netUdpOpen(c, 0);
  NetSocket* tx = netUdpOpen(c, 0);
  ASSERT_TRUE(a && tx);
  const u16 pa = netSocketPort(a);
  std::string big(kNetRecvBuf + 1, 'x'), full(kNetRecvBuf, 'y');
  ASSERT_EQ(netSendTo(tx, big.data(), (i32)big.size(), loop4(pa)), (i32)big.size());
  ASSERT_EQ(netSendTo(tx, full.data(), (i32)full.size(), loop4(pa)), (i32)full.size());
  ASSERT_EQ(netSendTo(tx, "after", 5, loop4(pa)), 5);
  std::vector<Got> g = drainUntil(c, 2);
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(g[0].data, full);
  EXPECT_EQ(g[1].data, "after");
  EXPECT_EQ(c->datagramsDropped.load(), 1u);
  netDestroy(c);
}

// The direct read another thread uses beside the poller: whole datagrams,
// oversized ones dropped, the sender's family kept, 0 when nothing waits.
TEST(Net, RecvFromReadsWaitingDatagramsWithoutThePoller) {
  NetContext* c = netCreate();
  ASSERT_NE(c, nullptr);
  NetSocket* a = netUdpOpen(c, 0);
  NetSocket* tx = netUdpOpen(c, 0);
  ASSERT_TRUE(a && tx);
  const u16 pa = netSocketPort(a), ptx = netSocketPort(tx);
  char buf[16];
  NetAddr from;
  EXPECT_EQ(netRecvFrom(a, buf, sizeof buf, &from), 0) << "nothing waits: no blocking, no error";
  ASSERT_EQ(netSendTo(tx, "sixteen bytes!!!", 16, loop4(pa)), 16);
  ASSERT_EQ(netSendTo(tx, "seventeen bytes!!", 17, loop6(pa)), 17);
  ASSERT_EQ(netSendTo(tx, "v6", 2, loop6(pa)), 2);
  i32 n = 0;
  for (int i = 0; i < 200 && (n = netRecvFrom(a, buf, sizeof buf, &from)) == 0; ++i) nanoSleep(1000000);
  ASSERT_EQ(n, 16);
  EXPECT_EQ(std::string(buf, 16), "sixteen bytes!!!");
  NetAddr want = loop4(ptx);
  EXPECT_TRUE(netAddrEqual(&from, &want));
  EXPECT_EQ(netRecvFrom(a, buf, sizeof buf, &from), -1) << "a datagram longer than the buffer is dropped, not cut";
  EXPECT_EQ(c->datagramsDropped.load(), 1u);
  ASSERT_EQ(netRecvFrom(a, buf, sizeof buf, &from), 2);
  want = loop6(ptx);
  EXPECT_TRUE(netAddrEqual(&from, &want));
  EXPECT_EQ(netRecvFrom(a, buf, sizeof buf, &from), 0);
  // The poller then finds nothing left and reports no event.
  NetEvent ev;
  EXPECT_FALSE(netPoll(c, &ev));
  NetSocket* l = netListen(c, 0);
  EXPECT_EQ(netRecvFrom(l, buf, sizeof buf, &from), -1) << "UDP sockets only";
  netDestroy(c);
}

TEST(Net, TcpListenConnectSendAndClose) {
  NetContext* c = netCreate();
  ASSERT_NE(c, nullptr);
  NetSocket* l = netListen(c, 0);
  ASSERT_NE(l, nullptr);
  const u16 port = netSocketPort(l);
  for (NetAddr to : {loop4(port), loop6(port)}) {
    NetSocket* cl = netConnect(c, to);
    ASSERT_NE(cl, nullptr);
    EXPECT_EQ(netSend(cl, "early", 5), -1) << "no sending before the connection is made";
    std::vector<Got> g = drainUntil(c, 2);
    ASSERT_EQ(g.size(), 2u);
    NetSocket* server = nullptr;
    b8 connected = false;
    for (const Got& e : g) {
      if (e.type == NET_EVENT_CONNECT) {
        EXPECT_EQ(e.socket, cl);
        connected = true;
      } else {
        ASSERT_EQ(e.type, NET_EVENT_ACCEPT);
        EXPECT_EQ(e.socket, l);
        server = e.client;
        EXPECT_EQ(e.from.type, to.type) << "the peer's family as it connected";
      }
    }
    ASSERT_TRUE(connected);
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(netSend(cl, "hello", 5), 5);
    g = drainUntil(c, 1);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0].type, NET_EVENT_RECV);
    EXPECT_EQ(g[0].socket, server);
    EXPECT_EQ(g[0].data, "hello");
    netClose(cl);
    g = drainUntil(c, 1);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0].type, NET_EVENT_CLOSE);
    EXPECT_EQ(g[0].socket, server);
    EXPECT_FALSE(server->alive);
  }
  EXPECT_EQ(c->socketCount, 1u) << "only the listener is left";
  netDestroy(c);
}

TEST(Net, RefusedConnectReportsCloseAndFreesTheSlot) {
  NetContext* c = netCreate();
  ASSERT_NE(c, nullptr);
  NetSocket* l = netListen(c, 0);
  ASSERT_NE(l, nullptr);
  const u16 port = netSocketPort(l);
  netClose(l);  // nothing listens on the port now
  for (NetAddr to : {loop4(port), loop6(port)}) {
    NetSocket* cl = netConnect(c, to);
    if (cl) {
      std::vector<Got> g = drainUntil(c, 1);
      ASSERT_EQ(g.size(), 1u);
      EXPECT_EQ(g[0].type, NET_EVENT_CLOSE);
      EXPECT_EQ(g[0].socket, cl);
    }
    EXPECT_EQ(c->socketCount, 0u);
  }
  netDestroy(c);
}

TEST(Net, MoreReadyDataThanTheEventRingLosesNothing) {
  NetContext* c = netCreate();
  ASSERT_NE(c, nullptr);
  constexpr u32 kSockets = 120, kEach = 4;  // 480 datagrams: well past 255 events
  std::vector<NetSocket*> rx;
  for (u32 i = 0; i < kSockets; ++i) rx.push_back(netUdpOpen(c, 0));
  NetSocket* tx = netUdpOpen(c, 0);
  ASSERT_NE(tx, nullptr);
  for (u32 k = 0; k < kEach; ++k)
    for (u32 i = 0; i < kSockets; ++i) {
      ASSERT_NE(rx[i], nullptr);
      u32 msg[2] = {i, k};
      ASSERT_EQ(netSendTo(tx, msg, sizeof msg, loop4(netSocketPort(rx[i]))), 8);
    }
  std::vector<u32> next(kSockets, 0);
  u32 total = 0;
  NetEvent ev;
  while (netPoll(c, &ev)) {
    ASSERT_EQ(ev.type, NET_EVENT_RECV);
    ASSERT_EQ(ev.recv.len, 8);
    u32 msg[2];
    std::memcpy(msg, ev.recv.data, 8);
    ASSERT_LT(msg[0], kSockets);
    EXPECT_EQ(ev.socket, rx[msg[0]]);
    EXPECT_EQ(msg[1], next[msg[0]]) << "socket " << msg[0] << " in order";
    next[msg[0]] = msg[1] + 1;
    ++total;
  }
  EXPECT_EQ(total, kSockets * kEach);
  netDestroy(c);
}

TEST(Net, WakeEndsAWaitAndClosedSocketsLoseTheirQueuedEvents) {
  NetContext* c = netCreate();
  ASSERT_NE(c, nullptr);
  netWake(c);
  netWait(c, 10000);  // returns at once: the wake was raised before
  NetSocket* a = netUdpOpen(c, 0);
  NetSocket* b = netUdpOpen(c, 0);
  NetSocket* tx = netUdpOpen(c, 0);
  netSendTo(tx, "1", 1, loop4(netSocketPort(a)));
  netSendTo(tx, "2", 1, loop4(netSocketPort(b)));
  netWait(c, 1000);
  NetEvent ev;
  ASSERT_TRUE(netPoll(c, &ev));  // both read, one returned
  NetSocket* other = ev.socket == a ? b : a;
  netClose(other);
  EXPECT_FALSE(netPoll(c, &ev)) << "a closed socket's queued receive is not returned";
  netDestroy(c);
}

}  // namespace
