// Discovery over real sockets. Every case runs in a child process inside a
// network namespace of its own (only lo, multicast routed to it), which the
// kernel removes when the child ends; nothing leaves the machine.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "components/discovery.h"
#include "components/mdns.h"
#include "tests/components/netns_util.h"

namespace {

const u8 kId[20] = {0x5e, 0x11, 0x9a, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};

struct Found {
  int count = 0;
  NetAddr addr{};
};

void onFound(void* closure, const u8*, NetAddr addr) {
  Found* f = (Found*)closure;
  f->count++;
  f->addr = addr;
}

// Ticks until `done` or `ms` milliseconds pass.
bool tickUntil(Discovery* d, const std::function<bool()>& done, int ms) {
  for (int t = 0; t < ms; t += 10) {
    discoveryTick(d, nullptr);
    if (done()) return true;
    usleep(10000);
  }
  return false;
}

int udpSocket(u16 port, bool joinGroup) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (bind(fd, (sockaddr*)&a, sizeof a) != 0) return -1;
  if (joinGroup) {
    ip_mreq m{};
    m.imr_multiaddr.s_addr = htonl(kMdnsGroup);
    setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
  }
  return fd;
}

void sendTo(int fd, const void* buf, size_t len, const char* ip, u16 port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, ip, &to.sin_addr);
  sendto(fd, buf, len, 0, (sockaddr*)&to, sizeof to);
}

// One datagram within `ms`, or an empty string.
std::string receive(int fd, int ms, sockaddr_in* from = nullptr) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return "";
  char buf[2048];
  sockaddr_in f{};
  socklen_t fl = sizeof f;
  ssize_t n = recvfrom(fd, buf, sizeof buf, 0, (sockaddr*)&f, &fl);
  if (from) *from = f;
  return n > 0 ? std::string(buf, (size_t)n) : "";
}

// Records of one mDNS message.
struct Parsed {
  int questions = 0;
  std::vector<MdnsRecord> records;
  std::string keep;
};
Parsed parse(const std::string& msg) {
  Parsed p;
  p.keep = msg;
  mdnsParse((const u8*)p.keep.data(), (u32)p.keep.size(),
            MdnsHandlers{[](void* c, const MdnsQuestion&) { ((Parsed*)c)->questions++; },
                         [](void* c, const MdnsRecord& r) { ((Parsed*)c)->records.push_back(r); }, &p});
  return p;
}

std::string response(const std::function<void(MdnsWriter*)>& records, u16 answers) {
  u8 buf[512];
  MdnsWriter w{buf, sizeof buf, 0, false};
  mdnsWriteHeader(&w, 0x8400, 0, answers, 0, 0);
  records(&w);
  return std::string((const char*)buf, w.length);
}

#define CHECK(c)                                                       \
  do {                                                                 \
    if (!(c)) {                                                        \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c); \
      return 1;                                                        \
    }                                                                  \
  } while (0)

TEST(DiscoveryNamespace, CreateSendsNothingUntilTheFirstResolve) {
  RUN_IN_NAMESPACE([] {
    u64 before = loTxPackets();
    Discovery* d = discoveryCreate(0, nullptr);
    CHECK(d);
    // Both families open: the IPv6 socket serves IPv6 only.
    int v6only = 0;
    socklen_t optLen = sizeof v6only;
    CHECK(d->dhtFd4 >= 0 && d->dhtFd6 >= 0 && !d->dualStack);
    CHECK(getsockopt(d->dhtFd6, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &optLen) == 0 && v6only == 1);
    tickUntil(d, [] { return false; }, 300);
    CHECK(loTxPackets() == before);
    // A stranger's DHT ping before anything was asked gets no answer.
    int probe = udpSocket(0, false);
    sockaddr_in dhtAddr{};
    socklen_t len = sizeof dhtAddr;
    getsockname(d->dhtFd4, (sockaddr*)&dhtAddr, &len);
    const char ping[] = "d1:ad2:id20:abcdefghij0123456789e1:q4:ping1:t2:aa1:y1:qe";
    sendTo(probe, ping, sizeof ping - 1, "10.77.0.1", ntohs(dhtAddr.sin_port));
    tickUntil(d, [] { return false; }, 300);
    CHECK(receive(probe, 0).empty());
    CHECK(discoveryMapPort(d, 4000, 4000, 60) == -1);  // no gateway here either way
    Found f;
    CHECK(discoveryResolve(d, kId, onFound, &f) == 0);
    tickUntil(d, [] { return false; }, 100);
    CHECK(loTxPackets() > before);
    // Now the same ping is answered: the silence above was the rule, not the probe.
    sendTo(probe, ping, sizeof ping - 1, "10.77.0.1", ntohs(dhtAddr.sin_port));
    std::string pong;
    tickUntil(d, [&] { return !(pong = receive(probe, 0)).empty(); }, 1000);
    CHECK(pong.find("1:y1:r") != std::string::npos);
    close(probe);
    discoveryDestroy(d);
    return 0;
  });
}

TEST(DiscoveryNamespace, ResolveAcrossProcessesGivesAUsableAddress) {
  RUN_IN_NAMESPACE([] {
    pid_t host = fork();
    if (host == 0) {
      // The host: advertises port 4242 and echoes what arrives there.
      Discovery* d = discoveryCreate(0, nullptr);
      int voice = udpSocket(4242, false);
      if (!d || voice < 0) _exit(2);
      discoveryAdvertise(d, kId, 4242);
      for (int t = 0; t < 1000; t++) {
        discoveryTick(d, nullptr);
        sockaddr_in from{};
        std::string got = receive(voice, 10, &from);
        if (got == "hello") {
          sendto(voice, "olleh", 5, 0, (sockaddr*)&from, sizeof from);
          break;
        }
      }
      discoveryDestroy(d);
      _exit(0);
    }
    Discovery* d = discoveryCreate(0, nullptr);
    CHECK(d);
    usleep(200000);  // let the host bind first
    Found f;
    CHECK(discoveryResolve(d, kId, onFound, &f) == 0);
    CHECK(tickUntil(d, [&] { return f.count > 0; }, 5000));
    CHECK(f.addr.type == NET_ADDR_V4);
    CHECK(f.addr.ipv4.port == 4242);
    CHECK(f.addr.ipv4.ip != 0);
    int s = udpSocket(0, false);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(f.addr.ipv4.port);
    to.sin_addr.s_addr = f.addr.ipv4.ip;
    sendto(s, "hello", 5, 0, (sockaddr*)&to, sizeof to);
    CHECK(receive(s, 3000) == "olleh");
    int status = 0;
    waitpid(host, &status, 0);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    discoveryDestroy(d);
    return 0;
  });
}

TEST(DiscoveryNamespace, SrvAloneDoesNotCompleteTheMatchingAddressDoes) {
  RUN_IN_NAMESPACE([] {
    Discovery* d = discoveryCreate(0, nullptr);
    CHECK(d);
    Found f;
    CHECK(discoveryResolve(d, kId, onFound, &f) == 0);
    char name[kDnsMaxName + 1];
    mdnsInstanceName(kId, name);
    int s = udpSocket(0, false);
    std::string srv = response([&](MdnsWriter* w) { mdnsWriteSrv(w, name, 120, 5000, name); }, 1);
    sendTo(s, srv.data(), srv.size(), "127.0.0.1", kMdnsPort);
    tickUntil(d, [&] { return f.count > 0; }, 300);
    CHECK(f.count == 0);
    // A goodbye (TTL 0) address does not complete it either.
    std::string bye = response([&](MdnsWriter* w) { mdnsWriteA(w, name, 0, htonl(0x0a000001)); }, 1);
    sendTo(s, bye.data(), bye.size(), "127.0.0.1", kMdnsPort);
    tickUntil(d, [&] { return f.count > 0; }, 300);
    CHECK(f.count == 0);
    // The any-address: the sender is the host.
    std::string a = response([&](MdnsWriter* w) { mdnsWriteA(w, name, 120, 0); }, 1);
    sendTo(s, a.data(), a.size(), "127.0.0.1", kMdnsPort);
    CHECK(tickUntil(d, [&] { return f.count > 0; }, 2000));
    CHECK(f.addr.ipv4.port == 5000);
    CHECK(f.addr.ipv4.ip == htonl(0x7f000001));
    discoveryDestroy(d);
    return 0;
  });
}

TEST(DiscoveryNamespace, SixteenResolvesAtOnceAndNoMore) {
  RUN_IN_NAMESPACE([] {
    Discovery* d = discoveryCreate(0, nullptr);
    CHECK(d);
    Found f;
    u8 id[20] = {};
    for (int i = 0; i < 16; i++) {
      id[0] = (u8)i;
      CHECK(discoveryResolve(d, id, onFound, &f) == 0);
    }
    id[0] = 16;
    CHECK(discoveryResolve(d, id, onFound, &f) == -1);
    id[0] = 3;
    CHECK(discoveryResolve(d, id, onFound, &f) == 0);  // same id: its own slot again
    discoveryCancelResolve(d, id);
    id[0] = 16;
    CHECK(discoveryResolve(d, id, onFound, &f) == 0);
    discoveryDestroy(d);
    return 0;
  });
}

TEST(DiscoveryNamespace, AnnouncesEveryTwoSecondsAndSaysGoodbyeOnStop) {
  RUN_IN_NAMESPACE([] {
    int listener = udpSocket(kMdnsPort, true);
    CHECK(listener >= 0);
    Discovery* d = discoveryCreate(0, nullptr);
    CHECK(d);
    discoveryAdvertise(d, kId, 6000);
    discoveryTick(d, nullptr);
    Parsed first = parse(receive(listener, 1000));
    CHECK(first.records.size() == 3);
    u32 srvTtl = 0, aTtl = 0;
    for (const MdnsRecord& r : first.records) {
      if (r.type == kDnsTypeSrv) srvTtl = r.ttl;
      if (r.type == kDnsTypeA) {
        aTtl = r.ttl;
        u32 ip;
        memcpy(&ip, r.rdata, 4);
        CHECK(ip != 0);  // the outgoing interface's address, not the any-address
      }
    }
    CHECK(srvTtl == 120 && aTtl == 120);
    discoveryStopAdvertise(d);
    bool sawGoodbye = false;
    for (int i = 0; i < 5 && !sawGoodbye; i++) {
      Parsed p = parse(receive(listener, 1000));
      if (p.records.size() == 3 && p.records[0].ttl == 0 && p.records[1].ttl == 0 && p.records[2].ttl == 0)
        sawGoodbye = true;
    }
    CHECK(sawGoodbye);
    // Nothing more after the goodbye.
    tickUntil(d, [] { return false; }, 2500);
    CHECK(receive(listener, 100).empty());
    discoveryDestroy(d);
    return 0;
  });
}

TEST(DiscoveryNamespace, HostileDatagramsLeaveTheResponderAnswering) {
  RUN_IN_NAMESPACE([] {
    Discovery* d = discoveryCreate(0, nullptr);
    CHECK(d);
    discoveryAdvertise(d, kId, 6000);
    int s = udpSocket(0, false);
    const std::string hostile[] = {
        std::string(12, '\xff'),
        std::string("\0\0\0\0\0\1\0\0\0\0\0\0\xc0\x0c\0\xff\0\1", 18),       // pointer to itself
        std::string("\0\0\0\0\0\1\0\0\0\0\0\0\xc0\x20\0\xff\0\1", 18),       // forward pointer
        std::string("\0\0\x84\0\0\0\xff\xff\0\0\0\0\x01x\0\0\x21\0\1", 19),  // counts past the data
        std::string("\0\0\x84\0\0\0\0\1\0\0\0\0\x01x\0\0\x21\0\1\0\0\0\x78\xff\xff", 25),  // rdata past the end
        std::string(1500, '\x3f'),                                           // labels without end
    };
    for (const std::string& h : hostile) sendTo(s, h.data(), h.size(), "127.0.0.1", kMdnsPort);
    tickUntil(d, [] { return false; }, 200);
    // A one-shot query from another port is answered to that port (we are on-link).
    char name[kDnsMaxName + 1];
    mdnsInstanceName(kId, name);
    u8 buf[256];
    MdnsWriter w{buf, sizeof buf, 0, false};
    mdnsWriteHeader(&w, 0, 1, 0, 0, 0);
    mdnsWriteQuestion(&w, name, kDnsTypeAny, kDnsClassIn | kDnsTopBit);
    sendTo(s, buf, w.length, "127.0.0.1", kMdnsPort);
    std::string answer;
    tickUntil(d, [&] { return !(answer = receive(s, 0)).empty(); }, 2000);
    Parsed p = parse(answer);
    CHECK(p.records.size() == 3);
    discoveryDestroy(d);
    return 0;
  });
}

}  // namespace
