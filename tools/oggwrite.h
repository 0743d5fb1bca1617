// Writes one logical Ogg stream of packets to a file: used by the explosion
// generator and by tests that need hand-made (and broken) Ogg Opus files.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/types.h"

struct OggPacketIn {
  std::vector<u8> data;
  i64 granule;   // granule position of the page this packet ends
  b8 flush;      // end the page after this packet
};

// First packet begins the stream, the last one ends it (EOS). False when the
// file cannot be written.
b8 oggWritePackets(const char* path, u32 serial, const std::vector<OggPacketIn>& packets);

// The identification header: version 1, 48 kHz input, no gain.
std::vector<u8> opusHeadPacket(u8 channels, u16 preSkip, u8 mappingFamily);
// Comment header with a vendor string and no comments.
std::vector<u8> opusTagsPacket(const char* vendor);
