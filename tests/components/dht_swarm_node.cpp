// One member of a test swarm, run inside a test's own network namespace:
//   dht_swarm_node node     <ip> <port> <bootstrap ip:port|-> <speed> <seconds>
//   dht_swarm_node announce <ip> <port> <bootstrap> <speed> <seconds> <hash hex> <announced port>
//   dht_swarm_node resolve  <ip> <port> <bootstrap> <speed> <seconds> <hash hex>
//   dht_swarm_node host     -    <port> <bootstrap> <speed> <seconds> <hash hex> <announced port>
//   dht_swarm_node join     -    <port> <bootstrap> <speed> <seconds> <hash hex>
// node/announce/resolve drive our DHT node directly on a socket bound to <ip>;
// host/join go through Discovery (the namespace has no multicast route, so only
// the DHT can find anything). The node's clock runs <speed> times faster than
// real time. resolve and join print "FOUND ip:port <seconds> <datagrams sent>"
// and exit 0 at their first result; everything else runs for <seconds>.
#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "components/dht.h"
#include "components/dht_user.h"
#include "components/discovery.h"
#include "platform/clock.h"

namespace {

f64 gStart = 0;
f64 gSpeed = 1;
long gSent = 0;

f64 elapsed() { return (clockNanos() - gStart) * 1e-9; }
time_t fastClock() { return (time_t)(2000000000 + elapsed() * gSpeed); }

int countingSend(int fd, const void* buf, int len, const sockaddr* to, int tolen) {
  gSent++;
  return (int)sendto(fd, buf, (size_t)len, MSG_DONTWAIT, to, (socklen_t)tolen);
}

bool parseAddr(const char* text, sockaddr_in* out) {
  char ip[64];
  const char* colon = strrchr(text, ':');
  if (!colon || colon - text >= (long)sizeof ip) return false;
  memcpy(ip, text, (size_t)(colon - text));
  ip[colon - text] = 0;
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  out->sin_port = htons((u16)atoi(colon + 1));
  return inet_pton(AF_INET, ip, &out->sin_addr) == 1;
}

bool parseHash(const char* hex, u8* out) {
  if (strlen(hex) != 40) return false;
  for (int i = 0; i < 20; i++) {
    unsigned v = 0;
    if (sscanf(hex + 2 * i, "%2x", &v) != 1) return false;
    out[i] = (u8)v;
  }
  return true;
}

bool gFound = false;
char gFoundText[96];

void report(const u8* peer, int ipLen) {
  if (gFound) return;
  char ip[64];
  inet_ntop(ipLen == 4 ? AF_INET : AF_INET6, peer, ip, sizeof ip);
  snprintf(gFoundText, sizeof gFoundText, "%s:%d", ip, peer[ipLen] << 8 | peer[ipLen + 1]);
  gFound = true;
}

bool gSearchDone = false;
void onEvent(void*, int event, const unsigned char*, const void* data, size_t len) {
  if (event == DHT_EVENT_VALUES && len >= 6) report((const u8*)data, 4);
  if (event == DHT_EVENT_SEARCH_DONE) gSearchDone = true;
}

void onDiscovered(void*, const u8*, NetAddr addr) {
  if (gFound || addr.type != NET_ADDR_V4) return;
  u8 peer[6];
  memcpy(peer, &addr.ipv4.ip, 4);
  peer[4] = (u8)(addr.ipv4.port >> 8);
  peer[5] = (u8)addr.ipv4.port;
  report(peer, 4);
}

int runDiscovery(bool host, u16 port, const sockaddr_in* boot, f64 seconds, const u8* hash, u16 announced) {
  Discovery* d = discoveryCreate(port, nullptr);
  if (!d) return 2;
  if (boot) {
    NetAddr b;
    netAddrFromSockaddr((const sockaddr*)boot, sizeof *boot, &b);
    discoveryAddBootstrap(d, &b, 1);
  }
  f64 begin = 0;
  bool asked = false;
  while (elapsed() < seconds) {
    // Ask once the swarm had time to form (hosts at 20 s on the node's clock, joiners at 40).
    if (!asked && elapsed() * gSpeed >= (host ? 20 : 40)) {
      if (host)
        discoveryAdvertise(d, hash, announced);
      else
        discoveryResolve(d, hash, onDiscovered, nullptr);
      if (!host) begin = elapsed();
      asked = true;
    }
    discoveryTick(d, nullptr);
    if (gFound) {
      printf("FOUND %s %.2f %ld\n", gFoundText, elapsed() - begin, gSent);
      fflush(stdout);
      discoveryDestroy(d);
      return 0;
    }
    usleep(20000);
  }
  discoveryDestroy(d);
  return host ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    fprintf(stderr, "usage: see the comment at the top of dht_swarm_node.cpp\n");
    return 2;
  }
  const char* mode = argv[1];
  u16 port = (u16)atoi(argv[3]);
  sockaddr_in boot{};
  bool haveBoot = strcmp(argv[4], "-") != 0 && parseAddr(argv[4], &boot);
  gSpeed = atof(argv[5]);
  f64 seconds = atof(argv[6]);
  u8 hash[20] = {};
  if (argc > 7 && !parseHash(argv[7], hash)) return 2;
  u16 announced = argc > 8 ? (u16)atoi(argv[8]) : 0;
  gStart = clockNanos();
  dht_set_clock(fastClock);
  dhtUserSetSendHook(countingSend);
  bool host = strcmp(mode, "host") == 0;
  if (host || strcmp(mode, "join") == 0) return runDiscovery(host, port, haveBoot ? &boot : nullptr, seconds, hash, announced);

  sockaddr_in me{};
  if (!parseAddr((std::string(argv[2]) + ":" + argv[3]).c_str(), &me)) return 2;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0 || bind(fd, (sockaddr*)&me, sizeof me) != 0) {
    perror("bind");
    return 2;
  }
  u8 id[20];
  dht_random_bytes(id, sizeof id);
  if (dht_init(fd, -1, id, nullptr) != 1) return 2;
  if (haveBoot) dht_ping_node((const sockaddr*)&boot, sizeof boot);
  bool announce = strcmp(mode, "announce") == 0, resolve = strcmp(mode, "resolve") == 0;
  bool asked = false;
  f64 begin = 0;
  static u8 buf[4096];
  time_t tosleep = 0;
  while (elapsed() < seconds) {
    if ((announce || resolve) && !asked && elapsed() * gSpeed >= (announce ? 20 : 40)) {
      begin = elapsed();
      gSent = 0;
      dht_search(hash, announce ? announced : 0, AF_INET, onEvent, nullptr);
      asked = true;
    }
    if (resolve && asked && gSearchDone && !gFound) {
      gSearchDone = false;
      dht_search(hash, 0, AF_INET, onEvent, nullptr);
    }
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 20);
    sockaddr_storage from;
    socklen_t fromLen = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf - 1, MSG_DONTWAIT, (sockaddr*)&from, &fromLen);
    if (n > 0) {
      buf[n] = 0;
      dht_periodic(buf, (size_t)n, (sockaddr*)&from, (int)fromLen, &tosleep, onEvent, nullptr);
    } else {
      dht_periodic(nullptr, 0, nullptr, 0, &tosleep, onEvent, nullptr);
    }
    if (resolve && gFound) {
      printf("FOUND %s %.2f %ld\n", gFoundText, elapsed() - begin, gSent);
      fflush(stdout);
      return 0;
    }
  }
  dht_uninit();
  return resolve ? 1 : 0;
}
