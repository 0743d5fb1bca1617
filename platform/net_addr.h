// The address record shared by the network layer, voice chat and discovery.
#pragma once

#include "platform/types.h"

enum NetAddrType : u32 { NET_ADDR_V4 = 0, NET_ADDR_V6 = 1 };

// ipv4.ip holds the address bytes in network order, as in a socket address;
// ports are in host order. Records are compared whole, so zero them first.
struct NetAddr {
  NetAddrType type;
  union {
    struct {
      u32 ip;
      u16 port;
    } ipv4;
    struct {
      u8 ip[16];
      u16 port;
    } ipv6;
  };
};
static_assert(sizeof(NetAddr) == 24, "NetAddr is compared as 24 bytes");
