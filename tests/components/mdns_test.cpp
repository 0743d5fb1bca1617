// The multicast DNS reader on hostile input, and the records discovery writes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "components/mdns.h"

namespace {

struct Seen {
  std::vector<std::string> questions;
  std::vector<MdnsRecord> records;
};

MdnsHandlers handlers(Seen* s) {
  return MdnsHandlers{[](void* c, const MdnsQuestion& q) { ((Seen*)c)->questions.push_back(q.name); },
                      [](void* c, const MdnsRecord& r) { ((Seen*)c)->records.push_back(r); }, s};
}

std::string header(u16 qd, u16 an, u16 ns = 0, u16 ar = 0) {
  std::string h(12, '\0');
  h[3] = 0;
  h[4] = (char)(qd >> 8), h[5] = (char)qd;
  h[6] = (char)(an >> 8), h[7] = (char)an;
  h[8] = (char)(ns >> 8), h[9] = (char)ns;
  h[10] = (char)(ar >> 8), h[11] = (char)ar;
  return h;
}

const u8 kId[20] = {0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0xAB};

TEST(Mdns, InstanceNameIsLowercaseHexAndTheService) {
  char name[kDnsMaxName + 1];
  mdnsInstanceName(kId, name);
  EXPECT_STREQ(name, "deadbeef0102030405060708090a0b0c0d0e0fab._gamepeer._udp.local.");
  EXPECT_TRUE(mdnsNameEqual(name, "DEADBEEF0102030405060708090A0B0C0D0E0FAB._GamePeer._UDP.local."));
  EXPECT_FALSE(mdnsNameEqual(name, "deadbeef0102030405060708090a0b0c0d0e0fab._gamepeer._udp.local"));
}

TEST(Mdns, WrittenAdvertReadsBack) {
  char name[kDnsMaxName + 1];
  mdnsInstanceName(kId, name);
  u8 buf[512];
  MdnsWriter w{buf, sizeof buf, 0, false};
  mdnsWriteHeader(&w, 0x8400, 1, 2, 0, 1);
  mdnsWriteQuestion(&w, name, kDnsTypeAny, kDnsClassIn | kDnsTopBit);
  mdnsWriteSrv(&w, name, 120, 4242, name);
  mdnsWriteTxt(&w, name, kDnsClassIn | kDnsTopBit, 60, "txtvers=1");
  mdnsWriteA(&w, name, 120, 0x0100000a);  // 10.0.0.1 in network order
  ASSERT_FALSE(w.failed);
  Seen s;
  ASSERT_TRUE(mdnsParse(buf, w.length, handlers(&s)));
  ASSERT_EQ(s.questions.size(), 1u);
  EXPECT_EQ(s.questions[0], name);
  ASSERT_EQ(s.records.size(), 3u);
  EXPECT_EQ(s.records[0].type, kDnsTypeSrv);
  EXPECT_EQ(s.records[0].rdata[4] << 8 | s.records[0].rdata[5], 4242);
  EXPECT_EQ(s.records[1].type, kDnsTypeTxt);
  EXPECT_EQ(s.records[1].klass, kDnsClassIn | kDnsTopBit);
  EXPECT_EQ(s.records[2].type, kDnsTypeA);
  EXPECT_EQ(s.records[2].ttl, 120u);
  EXPECT_EQ(memcmp(s.records[2].rdata, "\x0a\x00\x00\x01", 4), 0);
  // A writer that runs out of room says so instead of sending half a message.
  MdnsWriter small{buf, 40, 0, false};
  mdnsWriteSrv(&small, name, 120, 1, name);
  EXPECT_TRUE(small.failed);
}

TEST(Mdns, CompressedNamesFollowBackwardPointers) {
  // "local." at 12, then "a." + pointer to it.
  std::string m = header(0, 0) + std::string("\x05local\x00\x01" "a\xc0\x0c", 11);
  char out[kDnsMaxName + 1];
  EXPECT_EQ(mdnsReadName((const u8*)m.data(), (u32)m.size(), 19, out), (i32)m.size());
  EXPECT_STREQ(out, "a.local.");
  EXPECT_EQ(mdnsReadName((const u8*)m.data(), (u32)m.size(), 12, out), 19);
  EXPECT_STREQ(out, "local.");
}

TEST(Mdns, HostileNamesAndCountsStopTheParse) {
  std::string label63(63, 'x');
  std::string longName;
  for (int i = 0; i < 5; i++) longName += "\x3f" + label63;  // 5 * 64 = 320 bytes of text
  longName += std::string(1, '\0');
  struct Case {
    const char* what;
    std::string msg;
  } cases[] = {
      {"short header", std::string(11, '\0')},
      {"pointer to itself", header(1, 0) + std::string("\xc0\x0c\x00\x01\x00\x01", 6)},
      {"forward pointer", header(1, 0) + std::string("\xc0\x0e\x00\x01\x00\x01\x00", 7)},
      {"pointer loop", header(1, 0) + std::string("\x01" "a\xc0\x0e\x01" "b\xc0\x0c\x00\x01\x00\x01", 12)},
      {"name over 255 bytes", header(1, 0) + longName + std::string("\x00\x01\x00\x01", 4)},
      {"label past the end", header(1, 0) + std::string("\x20" "abc", 4)},
      {"reserved label type", header(1, 0) + std::string("\x41" "a\x00\x00\x01\x00\x01", 7)},
      {"question count past the data", header(3, 0) + std::string("\x01" "a\x00\x00\x01\x00\x01", 7)},
      {"rdata past the data",
       header(0, 1) + std::string("\x01" "a\x00\x00\x01\x00\x01\x00\x00\x00\x78\x00\x40\x0a\x00", 15)},
      {"record cut in its fixed part", header(0, 1) + std::string("\x01" "a\x00\x00\x01\x00", 6)},
      {"pointer cut in half", header(1, 0) + std::string("\xc0", 1)},
      {"NUL inside a label", header(1, 0) + std::string("\x03" "a\0b\x00\x00\x01\x00\x01", 9)},
  };
  for (const Case& c : cases) {
    Seen s;
    EXPECT_FALSE(mdnsParse((const u8*)c.msg.data(), (u32)c.msg.size(), handlers(&s))) << c.what;
    EXPECT_TRUE(s.records.empty()) << c.what;
  }
  // Counts past the data: what came before is kept, the rest is not invented.
  std::string partial = header(0, 2) + std::string("\x01" "a\x00\x00\x01\x00\x01\x00\x00\x00\x78\x00\x04\x0a\x00\x00\x01", 17);
  Seen s;
  EXPECT_FALSE(mdnsParse((const u8*)partial.data(), (u32)partial.size(), handlers(&s)));
  ASSERT_EQ(s.records.size(), 1u);
  EXPECT_STREQ(s.records[0].name, "a.");
}

TEST(Mdns, ServiceEnumerationQuestionsAreNotPassedOn) {
  u8 buf[128];
  MdnsWriter w{buf, sizeof buf, 0, false};
  mdnsWriteHeader(&w, 0, 2, 0, 0, 0);
  mdnsWriteQuestion(&w, "_services._dns-sd._udp.local.", 12, kDnsClassIn);
  mdnsWriteQuestion(&w, "x._gamepeer._udp.local.", kDnsTypeAny, kDnsClassIn);
  Seen s;
  ASSERT_TRUE(mdnsParse(buf, w.length, handlers(&s)));
  ASSERT_EQ(s.questions.size(), 1u);
  EXPECT_EQ(s.questions[0], "x._gamepeer._udp.local.");
}

}  // namespace
