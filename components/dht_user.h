// The functions our DHT node requires from its user, and two seams: a
// dual-stack socket (IPv4 destinations get mapped) and a send hook for tests.
#pragma once

#include <sys/socket.h>

// The IPv6 socket that also serves IPv4, or -1.
void dhtUserSetDualStackSocket(int fd);

// Replaces sendto for every datagram the node sends (null restores sendto).
using DhtSendHook = int (*)(int fd, const void* buf, int len, const struct sockaddr* to, int tolen);
void dhtUserSetSendHook(DhtSendHook hook);
