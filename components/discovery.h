// Peer discovery for voice chat: a host advertises a 20-byte service id with its
// UDP port, a joiner resolves the id to an address, through our DHT node and
// multicast DNS side by side; NAT-PMP asks the gateway for a port mapping.
// Nothing is sent before the first advertise or resolve: creation only opens
// and binds sockets. Single-threaded, one Discovery per process (the DHT node
// is global). Everything received is treated as hostile.
#pragma once

#include <natpmp.h>

#include "platform/net.h"
#include "platform/types.h"

// Called for every result, possibly several times for one id and from both
// mechanisms. Runs from discoveryTick/discoveryResolve after the node's work,
// so it may call any discovery function.
using DiscoveryCb = void (*)(void* closure, const u8* id, NetAddr addr);

constexpr int kDiscoverySearches = 16;
constexpr int kDiscoveryBootstrap = 16;
constexpr int kDiscoveryResults = 32;

struct SearchEntry {
  u8 id[20];
  DiscoveryCb cb;
  void* closure;
  int active;
  u32 mdnsIp;  // network order
  u16 mdnsPort;
  u8 mdnsMask;  // bit 0 address, bit 1 port
  b8 answered;  // a result arrived since the last search started
  b8 dhtDone;   // the node finished its last search for this id
  i64 searchStart;
};

struct DiscoveryResult {
  u8 id[20];
  NetAddr addr;
};

struct Discovery {
  int dhtFd4, dhtFd6;
  u8 myId[20];
  natpmp_t pmp;
  int pmpInited;
  SearchEntry searches[kDiscoverySearches];
  u8 recvBuf[65535];
  int mdnsFd;
  int mdnsAdvActive;
  u8 mdnsAdvId[20];
  u16 mdnsAdvPort;
  i64 lastMdnsAdv;
  // Beyond the basic record: activity, dual stack, bootstrap, re-announce, mapping.
  b8 started;      // first advertise or resolve happened: sending allowed
  b8 dualStack;    // dhtFd6 alone serves both families
  b8 mdnsJoined;   // group membership taken
  u16 mdnsPort;    // port the mDNS socket is bound to
  NetAddr bootstrap[kDiscoveryBootstrap];
  int numBootstrap;
  i64 lastBootstrap;
  b8 dhtAdvActive;
  u8 dhtAdvId[20];
  u16 dhtAdvPort;
  i64 lastDhtAnnounce;
  b8 dhtAdvRetry;  // the announce search ended with nobody to announce to
  b8 mapActive;
  b8 mapPending;
  u16 mapPrivate;
  u16 mapPublic;
  u32 mapLifetime;
  i64 mapRenewAt;
  i32 mapResult;  // mapped public port, 0 while nothing is known, -1 after a failure
  DiscoveryResult results[kDiscoveryResults];
  int numResults;
};

Discovery* discoveryCreate(u16 port, const u8* id);
void discoveryDestroy(Discovery* d);
void discoveryTick(Discovery* d, int* timeoutMs);
void discoveryAdvertise(Discovery* d, const u8* id, u16 port);
// Stops advertising: mDNS goodbye (TTL 0) and no more DHT re-announces.
void discoveryStopAdvertise(Discovery* d);
// 0, or -1 when all slots are taken or no DHT search could start. A resolve of
// an id already being resolved takes over its slot.
int discoveryResolve(Discovery* d, const u8* id, DiscoveryCb cb, void* closure);
void discoveryCancelResolve(Discovery* d, const u8* id);
// DHT nodes to ping on the first advertise or resolve (and when the table is empty).
void discoveryAddBootstrap(Discovery* d, const NetAddr* addrs, int n);
// The request's result (bytes sent), or -1 without a NAT-PMP gateway. The
// mapping is renewed at half its lifetime until unmapped.
int discoveryMapPort(Discovery* d, u16 privatePort, u16 publicPort, u32 lifetime);
int discoveryUnmapPort(Discovery* d, u16 privatePort);
// The gateway's answer to the last mapping: public port, 0 pending/none, -1 failed.
i32 discoveryMappedPort(const Discovery* d);
