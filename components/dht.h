// Our BitTorrent mainline DHT node (Kademlia over KRPC, with the IPv6
// extension). One node per process: the state is global and single-threaded.
// The caller owns the sockets, hands every received datagram to dht_periodic and
// provides dht_sendto, dht_blacklisted, dht_hash and dht_random_bytes
// (components/dht_user.cpp).
#pragma once

#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <time.h>

extern "C" {

typedef void dht_callback_t(void* closure, int event, const unsigned char* info_hash, const void* data,
                            size_t data_len);

#define DHT_EVENT_NONE 0
#define DHT_EVENT_VALUES 1
#define DHT_EVENT_VALUES6 2
#define DHT_EVENT_SEARCH_DONE 3
#define DHT_EVENT_SEARCH_DONE6 4

extern FILE* dht_debug;

int dht_init(int s, int s6, const unsigned char* id, const unsigned char* v);
int dht_uninit(void);
int dht_periodic(const void* buf, size_t buflen, const struct sockaddr* from, int fromlen, time_t* tosleep,
                 dht_callback_t* callback, void* closure);
int dht_search(const unsigned char* id, int port, int af, dht_callback_t* callback, void* closure);
int dht_ping_node(const struct sockaddr* sa, int salen);
int dht_insert_node(const unsigned char* id, struct sockaddr* sa, int salen);
int dht_nodes(int af, int* good_return, int* dubious_return, int* cached_return, int* incoming_return);
int dht_get_nodes(struct sockaddr_in* sin, int* num, struct sockaddr_in6* sin6, int* num6);
void dht_dump_tables(FILE* f);

// Provided by the user of the node.
int dht_sendto(int sockfd, const void* buf, int len, int flags, const struct sockaddr* to, int tolen);
int dht_blacklisted(const struct sockaddr* sa, int salen);
void dht_hash(void* hash_return, int hash_size, const void* v1, int len1, const void* v2, int len2,
              const void* v3, int len3);
int dht_random_bytes(void* buf, size_t size);

// The node's clock in whole seconds (monotonic by default). Tests and the swarm
// pass their own to run timers on a controlled or faster clock; null restores
// the default. Values must stay far above zero (zero means "never").
void dht_set_clock(time_t (*now)(void));
// The node's clock now.
time_t dht_now(void);

}  // extern "C"

// Storage limits, sized for a game client rather than a public node.
constexpr int kDhtMaxHashes = 1024;       // info-hashes stored
constexpr int kDhtMaxPeers = 256;         // peers per info-hash
constexpr int kDhtMaxStoredPeers = 4096;  // peers over all info-hashes
constexpr int kDhtMaxPerSource = 8;       // stored announces from one IP address
constexpr int kDhtMaxSearches = 1024;
