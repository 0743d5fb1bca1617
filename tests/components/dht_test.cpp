// Our DHT node driven datagram by datagram on a controlled clock; what it sends
// is captured by the send hook, so nothing reaches a socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "components/bencode.h"
#include "components/dht.h"
#include "components/dht_user.h"

namespace {

time_t gNow = 2000000000;
time_t fakeClock() { return gNow; }

struct Sent {
  sockaddr_storage to;
  std::string data;
};
std::vector<Sent> gSent;

int captureSend(int, const void* buf, int len, const sockaddr* to, int tolen) {
  Sent s{};
  memcpy(&s.to, to, (size_t)tolen);
  s.data.assign((const char*)buf, (size_t)len);
  gSent.push_back(s);
  return len;
}

// What the node sent other than its own queries (routing maintenance may add
// find_node or ping at any tick).
std::vector<Sent> answers() {
  std::vector<Sent> out;
  for (const Sent& s : gSent)
    if (s.data.find("1:y1:q") == std::string::npos) out.push_back(s);
  return out;
}

std::string bs(const std::string& s) { return std::to_string(s.size()) + ":" + s; }

std::string idOf(u8 first, u8 fill = 0x11) {
  std::string id(20, (char)fill);
  id[0] = (char)first;
  return id;
}

sockaddr_in v4(const char* ip, u16 port) {
  sockaddr_in s{};
  s.sin_family = AF_INET;
  s.sin_port = htons(port);
  inet_pton(AF_INET, ip, &s.sin_addr);
  return s;
}

sockaddr_in6 v6(const char* ip, u16 port) {
  sockaddr_in6 s{};
  s.sin6_family = AF_INET6;
  s.sin6_port = htons(port);
  inet_pton(AF_INET6, ip, &s.sin6_addr);
  return s;
}

const std::string kMyId = idOf(0x80, 0x00);

std::vector<std::pair<int, std::string>> gEvents;
void recordEvent(void*, int event, const unsigned char*, const void* data, size_t len) {
  gEvents.push_back({event, std::string((const char*)data, data ? len : 0)});
}

class Dht : public ::testing::Test {
 protected:
  void SetUp() override {
    gNow = 2000000000;
    gSent.clear();
    gEvents.clear();
    dht_set_clock(fakeClock);
    dhtUserSetSendHook(captureSend);
    ASSERT_EQ(dht_init(3, 4, (const unsigned char*)kMyId.data(), nullptr), 1);
  }
  void TearDown() override {
    dht_uninit();
    dhtUserSetSendHook(nullptr);
    dht_set_clock(nullptr);
  }

  // One datagram, NUL after it as the node requires.
  int feed(const std::string& msg, const void* from, int fromLen) {
    std::vector<char> buf(msg.begin(), msg.end());
    buf.push_back(0);
    time_t sleep = 0;
    return dht_periodic(buf.data(), msg.size(), (const sockaddr*)from, fromLen, &sleep, recordEvent, nullptr);
  }
  int feed(const std::string& msg, const sockaddr_in& from) { return feed(msg, &from, sizeof from); }
  void tick() {
    time_t sleep = 0;
    dht_periodic(nullptr, 0, nullptr, 0, &sleep, recordEvent, nullptr);
  }

  static std::string query(const std::string& method, const std::string& args, const std::string& tid = "aa") {
    return "d1:ad" + args + "e1:q" + bs(method) + "1:t" + bs(tid) + "1:y1:qe";
  }
  static std::string reply(const std::string& body, const std::string& tid) {
    return "d1:rd" + body + "e1:t" + bs(tid) + "1:y1:re";
  }

  // The value of `key` in the reply/argument dictionary of a captured datagram.
  static std::string field(const std::string& msg, const char* outer, const char* key) {
    static BencDoc doc;
    if (!bencParse(&doc, msg.data(), msg.size())) return "<unparsable>";
    i32 d = bencDictGet(&doc, 0, outer);
    i32 v = key ? bencDictGet(&doc, d, key) : d;
    if (v < 0) return "<absent>";
    if (doc.nodes[v].type == BENC_INT) return std::to_string(doc.nodes[v].value);
    u32 len = 0;
    const u8* s = bencString(&doc, v, &len);
    return s ? std::string((const char*)s, len) : "<list>";
  }

  // Makes `id` at `from` a confirmed node: we ping, it answers.
  void addReplyingNode(const std::string& id, const sockaddr_in& from) {
    gSent.clear();
    ASSERT_GE(dht_ping_node((const sockaddr*)&from, sizeof from), 0);
    ASSERT_EQ(gSent.size(), 1u);
    std::string tid = field(gSent[0].data, "t", nullptr);
    feed(reply("2:id" + bs(id), tid), from);
    gSent.clear();
  }

  std::string lastAnswer;

  std::string token(const sockaddr_in& from, const std::string& hash) {
    gSent.clear();
    feed(query("get_peers", "2:id" + bs(idOf(0x10)) + "9:info_hash" + bs(hash)), from);
    std::vector<Sent> a = answers();
    EXPECT_EQ(a.size(), 1u);
    return a.empty() ? "" : field(a[0].data, "r", "token");
  }

  std::string announce(const sockaddr_in& from, const std::string& hash, const std::string& tok, int port,
                       bool implied = false) {
    gSent.clear();
    std::string args = "2:id" + bs(idOf(0x10)) + (implied ? "12:implied_porti1e" : "") + "9:info_hash" + bs(hash) +
                       "4:porti" + std::to_string(port) + "e5:token" + bs(tok);
    feed(query("announce_peer", args), from);
    std::vector<Sent> a = answers();
    if (a.size() != 1) return "<no answer>";
    lastAnswer = a[0].data;
    return field(a[0].data, "y", nullptr) == "e" ? "error" : "ok";
  }
};

TEST_F(Dht, PingIsAnsweredWithOurIdAndTheQuerysTransactionId) {
  sockaddr_in from = v4("10.0.0.2", 6881);
  feed(query("ping", "2:id" + bs(idOf(0x10)), "xyz"), from);
  std::vector<Sent> a = answers();
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(field(a[0].data, "r", "id"), kMyId);
  EXPECT_EQ(field(a[0].data, "t", nullptr), "xyz");
  EXPECT_EQ(((sockaddr_in*)&a[0].to)->sin_port, htons(6881));
}

TEST_F(Dht, MalformedOrForeignMessagesGetNoAnswer) {
  const std::string id = "2:id" + bs(idOf(0x10));
  const std::string cases[] = {
      "",
      "d1:ad2:id20:",                                            // truncated
      query("ping", id) + "x",                                   // trailing bytes
      "d1:y1:q1:q4:ping1:ad" + id + "e1:t2:aae",                 // keys out of order
      "d1:ad" + id + "e1:q4:ping1:q4:ping1:t2:aa1:y1:qe",        // duplicate key
      "d1:ad" + id + "e1:q4:ping1:t02:aa1:y1:qe",                // length with a leading zero
      "d1:ad" + id + "e1:q4:ping1:t99:aa1:y1:qe",                // length past the datagram
      "d1:ad" + id + "4:porti-0ee1:q4:ping1:t2:aa1:y1:qe",      // negative zero
      "d1:ad" + id + "1:xi99999999999999999999ee1:q4:ping1:t2:aa1:y1:qe",  // integer out of range
      std::string(40, 'l') + std::string(40, 'e'),               // nesting too deep
      query("ping", "2:id" + bs(std::string(19, 'a'))),          // short id
      query("ping", "2:id" + bs(std::string(20, '\0'))),         // zero id
      query("ping", "2:id" + bs(kMyId)),                         // our own id
      query("ping", ""),                                         // no id
      query("vote", id),                                         // unknown method
      "d1:eli201e5:Errore1:t2:aa1:y1:ee",                        // an error message
      "d1:ad" + id + "e1:q4:ping1:t2:aa1:y1:xe",                 // unknown kind
      "li1ei2ee",                                                // not a dictionary
  };
  sockaddr_in from = v4("10.0.0.2", 6881);
  for (const std::string& c : cases) {
    gSent.clear();
    EXPECT_EQ(feed(c, from), 1);
    EXPECT_TRUE(gSent.empty()) << "answered: " << c;
  }
  EXPECT_EQ(dht_nodes(AF_INET, nullptr, nullptr, nullptr, nullptr), 0);
}

TEST_F(Dht, MartianSourcesAreIgnored) {
  const std::string ping = query("ping", "2:id" + bs(idOf(0x10)));
  const sockaddr_in v4s[] = {v4("127.0.0.1", 6881), v4("0.1.2.3", 6881), v4("224.0.0.1", 6881),
                             v4("255.255.255.255", 6881), v4("10.0.0.2", 0)};
  for (const sockaddr_in& s : v4s) {
    gSent.clear();
    feed(ping, s);
    EXPECT_TRUE(gSent.empty()) << inet_ntoa(s.sin_addr) << ":" << ntohs(s.sin_port);
  }
  const sockaddr_in6 v6s[] = {v6("::1", 6881), v6("::", 6881), v6("fe80::1", 6881), v6("ff02::1", 6881),
                              v6("::ffff:10.0.0.2", 6881), v6("2001:db8::1", 0)};
  for (const sockaddr_in6& s : v6s) {
    gSent.clear();
    feed(ping, &s, sizeof s);
    char text[64];
    EXPECT_TRUE(gSent.empty()) << inet_ntop(AF_INET6, &s.sin6_addr, text, sizeof text);
  }
  sockaddr_in6 ok = v6("2001:db8::1", 6881);
  feed(ping, &ok, sizeof ok);
  EXPECT_EQ(gSent.size(), 1u);
}

TEST_F(Dht, UnterminatedBufferIsRefused) {
  std::string msg = query("ping", "2:id" + bs(idOf(0x10)));
  std::string buf = msg + "X";
  sockaddr_in from = v4("10.0.0.2", 6881);
  time_t sleep = 12345;
  errno = 0;
  EXPECT_EQ(dht_periodic(buf.data(), msg.size(), (const sockaddr*)&from, sizeof from, &sleep, nullptr, nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(sleep, 12345);
  EXPECT_TRUE(gSent.empty());
}

TEST_F(Dht, AnnounceNeedsOurTokenForTheSendersAddress) {
  const std::string hash = idOf(0x42);
  sockaddr_in a = v4("10.0.0.2", 6881);
  std::string tok = token(a, hash);
  ASSERT_EQ(tok.size(), 8u);
  EXPECT_EQ(announce(a, hash, "12345678", 7000), "error");                 // forged
  EXPECT_EQ(announce(v4("10.0.0.3", 6881), hash, tok, 7000), "error");     // another address
  EXPECT_EQ(announce(a, hash, tok.substr(0, 7), 7000), "error");           // wrong length
  EXPECT_EQ(field(lastAnswer, "e", nullptr), "<list>");
  // The token binds the address, not the port: a changed source port still announces.
  EXPECT_EQ(announce(v4("10.0.0.2", 7001), hash, tok, 7000), "ok");
  // Others now get the stored peer.
  gSent.clear();
  feed(query("get_peers", "2:id" + bs(idOf(0x20)) + "9:info_hash" + bs(hash)), v4("10.0.0.9", 6881));
  ASSERT_EQ(answers().size(), 1u);
  const std::string peer = std::string("\x0a\x00\x00\x02\x1b\x58", 6);  // 10.0.0.2:7000
  EXPECT_NE(answers()[0].data.find("6:valuesl6:" + peer + "e"), std::string::npos);
}

TEST_F(Dht, TokensLiveUntilTheSecondRotation) {
  const std::string hash = idOf(0x42);
  sockaddr_in a = v4("10.0.0.2", 6881);
  std::string tok = token(a, hash);
  gNow += 2701;  // rotation is due within 15-45 minutes
  tick();
  EXPECT_EQ(announce(a, hash, tok, 7000), "ok");
  gNow += 2701;
  tick();
  EXPECT_EQ(announce(a, hash, tok, 7000), "error");
}

TEST_F(Dht, ImpliedPortAndForbiddenPort) {
  const std::string hash = idOf(0x42);
  sockaddr_in a = v4("10.0.0.2", 6881);
  std::string tok = token(a, hash);
  EXPECT_EQ(announce(a, hash, tok, 0), "error");
  EXPECT_EQ(field(lastAnswer, "e", nullptr), "<list>");
  EXPECT_EQ(announce(a, hash, tok, 9, true), "ok");
  std::vector<std::pair<int, std::string>> none;
  gEvents.clear();
  ASSERT_GE(dht_search((const unsigned char*)hash.data(), 0, AF_INET, recordEvent, nullptr), 0);
  ASSERT_FALSE(gEvents.empty());
  EXPECT_EQ(gEvents[0].first, DHT_EVENT_VALUES);
  EXPECT_EQ(gEvents[0].second, std::string("\x0a\x00\x00\x02\x1a\xe1", 6));  // the UDP source port 6881
}

TEST_F(Dht, RateLimitDropsQueriesPastTheBurstThenRefills) {
  const std::string ping = query("ping", "2:id" + bs(idOf(0x10)));
  for (int i = 0; i < 400; i++) feed(ping, v4("10.0.1.1", (u16)(1000 + i)));
  EXPECT_EQ(answers().size(), 400u);
  feed(ping, v4("10.0.1.2", 999));
  EXPECT_EQ(answers().size(), 400u);
  gNow += 1;
  for (int i = 0; i < 150; i++) feed(ping, v4("10.0.1.3", (u16)(1000 + i)));
  EXPECT_EQ(answers().size(), 500u);
}

TEST_F(Dht, StorageIsCappedPerSourceAndExpires) {
  sockaddr_in a = v4("10.0.0.2", 6881);
  for (int i = 0; i < kDhtMaxPerSource + 2; i++) {
    std::string hash = idOf((u8)(0x30 + i));
    EXPECT_EQ(announce(a, hash, token(a, hash), 7000), "ok");  // acknowledged even when not stored
  }
  int stored = 0;
  for (int i = 0; i < kDhtMaxPerSource + 2; i++) {
    gEvents.clear();
    std::string hash = idOf((u8)(0x30 + i));
    dht_search((const unsigned char*)hash.data(), 0, AF_INET, recordEvent, nullptr);
    for (auto& e : gEvents) stored += e.first == DHT_EVENT_VALUES;
  }
  EXPECT_EQ(stored, kDhtMaxPerSource);
  // Another source still gets in; after 38 minutes everything is gone.
  sockaddr_in b = v4("10.0.0.3", 6881);
  std::string hash = idOf(0x30);
  EXPECT_EQ(announce(b, hash, token(b, hash), 7000), "ok");
  gEvents.clear();
  dht_search((const unsigned char*)hash.data(), 0, AF_INET, recordEvent, nullptr);
  int values = 0;
  for (auto& e : gEvents) values += e.first == DHT_EVENT_VALUES;
  EXPECT_EQ(values, 2);
  gNow += 38 * 60 + 1;
  tick();
  gEvents.clear();
  dht_search((const unsigned char*)hash.data(), 0, AF_INET, recordEvent, nullptr);
  for (auto& e : gEvents) EXPECT_NE(e.first, DHT_EVENT_VALUES);
}

TEST_F(Dht, OnlyRepliesToOurOwnQueriesCount) {
  sockaddr_in a = v4("10.0.0.2", 6881);
  const std::string pong = "2:id" + bs(idOf(0x10));
  // Never asked: ignored, whatever the transaction id looks like.
  feed(reply(pong, "pn\0\0"), a);
  feed(reply(pong, std::string("pn\0\0", 4)), a);
  EXPECT_EQ(dht_nodes(AF_INET, nullptr, nullptr, nullptr, nullptr), 0);
  ASSERT_GE(dht_ping_node((const sockaddr*)&a, sizeof a), 0);
  std::string tid = field(gSent.back().data, "t", nullptr);
  ASSERT_EQ(tid.size(), 4u);
  feed(reply(pong, tid), v4("10.0.0.3", 6881));  // right id, wrong address
  feed(reply(pong, tid), v4("10.0.0.2", 6882));
  EXPECT_EQ(dht_nodes(AF_INET, nullptr, nullptr, nullptr, nullptr), 0);
  gNow += 31;  // too late
  feed(reply(pong, tid), a);
  EXPECT_EQ(dht_nodes(AF_INET, nullptr, nullptr, nullptr, nullptr), 0);
  gNow -= 31;
  dht_ping_node((const sockaddr*)&a, sizeof a);
  tid = field(gSent.back().data, "t", nullptr);
  feed(reply(pong, tid), a);
  int good = 0;
  EXPECT_EQ(dht_nodes(AF_INET, &good, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(good, 1);
  // A reply is used once.
  feed(reply("2:id" + bs(idOf(0x11)), tid), a);
  EXPECT_EQ(dht_nodes(AF_INET, nullptr, nullptr, nullptr, nullptr), 1);
}

TEST_F(Dht, NodeStatesFollowMessagesAndFailures) {
  sockaddr_in a = v4("10.0.0.2", 6881);
  addReplyingNode(idOf(0x10), a);
  int good = 0, dubious = 0;
  dht_nodes(AF_INET, &good, &dubious, nullptr, nullptr);
  EXPECT_EQ(good, 1);
  gNow += 15 * 60 + 1;  // silent for 15 minutes: dubious
  dht_nodes(AF_INET, &good, &dubious, nullptr, nullptr);
  EXPECT_EQ(good, 0);
  EXPECT_EQ(dubious, 1);
  // A query from it makes it good again (it replied within 2 hours).
  feed(query("ping", "2:id" + bs(idOf(0x10))), a);
  dht_nodes(AF_INET, &good, &dubious, nullptr, nullptr);
  EXPECT_EQ(good, 1);
  // Hearsay alone is never good.
  sockaddr_in b = v4("10.0.0.3", 6881);
  EXPECT_EQ(dht_insert_node((const unsigned char*)idOf(0x20).data(), (sockaddr*)&b, sizeof b), 1);
  dht_nodes(AF_INET, &good, &dubious, nullptr, nullptr);
  EXPECT_EQ(good, 1);
  EXPECT_EQ(dubious, 1);
  // Martian and own ids stay out.
  sockaddr_in m = v4("127.0.0.1", 6881);
  EXPECT_EQ(dht_insert_node((const unsigned char*)idOf(0x21).data(), (sockaddr*)&m, sizeof m), 0);
  EXPECT_EQ(dht_insert_node((const unsigned char*)kMyId.data(), (sockaddr*)&b, sizeof b), 0);
}

TEST_F(Dht, FullBucketPingsADubiousNodeAndCachesTheNewcomer) {
  // 128 hearsay nodes fill the one bucket; none is good, so it does not split.
  for (int i = 0; i < 128; i++) {
    std::string id = idOf((u8)i, (u8)(i + 1));
    sockaddr_in s = v4("10.0.2.1", (u16)(2000 + i));
    ASSERT_EQ(dht_insert_node((const unsigned char*)id.data(), (sockaddr*)&s, sizeof s), 1);
  }
  gSent.clear();
  sockaddr_in extra = v4("10.0.3.1", 3000);
  EXPECT_EQ(dht_insert_node((const unsigned char*)idOf(0x7f, 0x55).data(), (sockaddr*)&extra, sizeof extra), 0);
  int cached = 0;
  EXPECT_EQ(dht_nodes(AF_INET, nullptr, nullptr, &cached, nullptr), 128);
  EXPECT_EQ(cached, 1);
  ASSERT_EQ(gSent.size(), 1u);
  EXPECT_EQ(field(gSent[0].data, "q", nullptr), "ping");
}

TEST_F(Dht, FullBucketOfGoodNodesSplitsAndKeepsTheNewcomer) {
  for (int i = 0; i < 129; i++) {
    std::string id = idOf((u8)(i * 2), (u8)(i + 1));
    addReplyingNode(id, v4("10.0.2.1", (u16)(2000 + i)));
  }
  int good = 0;
  EXPECT_EQ(dht_nodes(AF_INET, &good, nullptr, nullptr, nullptr), 129);
  EXPECT_EQ(good, 129);
}

TEST_F(Dht, FindNodeOffersOnlyGoodNodesClosestToTheTarget) {
  for (int i = 0; i < 12; i++) addReplyingNode(idOf((u8)(0x10 + i)), v4("10.0.4.1", (u16)(4000 + i)));
  sockaddr_in b = v4("10.0.5.1", 5000);
  dht_insert_node((const unsigned char*)idOf(0x1c).data(), (sockaddr*)&b, sizeof b);  // hearsay
  gSent.clear();
  feed(query("find_node", "2:id" + bs(idOf(0x60)) + "6:target" + bs(idOf(0x1c))), v4("10.0.6.1", 6000));
  ASSERT_EQ(answers().size(), 1u);
  std::string nodes = field(answers()[0].data, "r", "nodes");
  ASSERT_EQ(nodes.size(), 8u * 26);
  EXPECT_EQ((u8)nodes[0], 0x18);  // XOR distance 4; the hearsay 0x1c is not offered
  for (size_t i = 0; i < 8; i++) EXPECT_NE((u8)nodes[i * 26], 0x1c);
}

// A full search with eight nodes that answer: values reach the callback, every
// node with a token gets the announce, and the search ends once they acknowledge.
TEST_F(Dht, SearchConvergesAnnouncesAndCompletes) {
  const std::string hash = idOf(0x42, 0x00);
  std::vector<sockaddr_in> peers;
  for (int i = 0; i < 8; i++) {
    peers.push_back(v4("10.0.7.1", (u16)(7000 + i)));
    addReplyingNode(idOf((u8)(0x40 + i), 0x00), peers.back());
  }
  gEvents.clear();
  ASSERT_EQ(dht_search((const unsigned char*)hash.data(), 9999, AF_INET, recordEvent, nullptr), 1);
  std::vector<Sent> queries;
  for (const Sent& s : gSent)
    if (field(s.data, "q", nullptr) == "get_peers") queries.push_back(s);
  gSent.clear();
  EXPECT_EQ(queries.size(), 4u);  // four in flight
  // Each answer pushes one more query out, so all eight get asked.
  std::string tokens[8];
  for (size_t i = 0; i < queries.size(); i++) {
    const Sent q = queries[i];
    EXPECT_EQ(field(q.data, "q", nullptr), "get_peers");
    const sockaddr_in to = *(const sockaddr_in*)&q.to;
    int n = ntohs(to.sin_port) - 7000;
    tokens[n] = "tok" + std::to_string(n);
    std::string values = i == 0 ? "6:valuesl" + bs(std::string("\x0a\x00\x00\x63\x00\x50", 6)) + "e" : "";
    std::string body = "2:id" + bs(idOf((u8)(0x40 + n), 0x00)) + "5:token" + bs(tokens[n]) + values;
    feed(reply(body, field(q.data, "t", nullptr)), to);
    for (const Sent& s : gSent)
      if (field(s.data, "q", nullptr) == "get_peers") queries.push_back(s);
    gSent.clear();
  }
  EXPECT_EQ(queries.size(), 8u);
  ASSERT_FALSE(gEvents.empty());
  EXPECT_EQ(gEvents[0].first, DHT_EVENT_VALUES);
  EXPECT_EQ(gEvents[0].second, std::string("\x0a\x00\x00\x63\x00\x50", 6));
  // The next step sends the announces; acknowledgements end the search.
  gNow += 20;  // steps come 10-19 s apart
  tick();
  std::vector<Sent> announces;
  for (const Sent& s : gSent)
    if (field(s.data, "q", nullptr) == "announce_peer") announces.push_back(s);
  gSent.clear();
  ASSERT_EQ(announces.size(), 8u);
  for (const Sent& a : announces) {
    EXPECT_EQ(field(a.data, "q", nullptr), "announce_peer");
    EXPECT_EQ(field(a.data, "a", "port"), "9999");
    const sockaddr_in to = *(const sockaddr_in*)&a.to;
    int n = ntohs(to.sin_port) - 7000;
    EXPECT_EQ(field(a.data, "a", "token"), tokens[n]);
    feed(reply("2:id" + bs(idOf((u8)(0x40 + n), 0x00)), field(a.data, "t", nullptr)), to);
  }
  gSent.clear();
  gEvents.clear();
  gNow += 20;
  tick();
  ASSERT_FALSE(gEvents.empty());
  EXPECT_EQ(gEvents.back().first, DHT_EVENT_SEARCH_DONE);
}

TEST_F(Dht, SearchWithNobodyToAskEndsAtOnce) {
  const std::string hash = idOf(0x42);
  EXPECT_EQ(dht_search((const unsigned char*)hash.data(), 0, AF_INET6, recordEvent, nullptr), 1);
  ASSERT_EQ(gEvents.size(), 1u);
  EXPECT_EQ(gEvents[0].first, DHT_EVENT_SEARCH_DONE6);
  EXPECT_TRUE(gSent.empty());
}

TEST(DhtLifecycle, InitTwiceIsBusyAndUninitWithoutInitIsInvalid) {
  errno = 0;
  EXPECT_EQ(dht_uninit(), -1);
  EXPECT_EQ(errno, EINVAL);
  const std::string id(20, 'x');
  ASSERT_EQ(dht_init(3, -1, (const unsigned char*)id.data(), nullptr), 1);
  EXPECT_EQ(dht_init(3, -1, (const unsigned char*)id.data(), nullptr), -1);
  EXPECT_EQ(errno, EBUSY);
  sockaddr_in6 s6 = v6("2001:db8::1", 6881);
  EXPECT_EQ(dht_search((const unsigned char*)id.data(), 0, AF_INET6, nullptr, nullptr), -1);
  EXPECT_EQ(errno, EAFNOSUPPORT);
  EXPECT_EQ(dht_ping_node((const sockaddr*)&s6, 0), -1);  // a zero length is an error, not an abort
  EXPECT_EQ(dht_uninit(), 1);
}

TEST(DhtHash, Sha1OfTheConcatenationTruncatedOrPadded) {
  unsigned char out[24];
  memset(out, 0xAA, sizeof out);
  dht_hash(out, 24, "a", 1, "b", 1, "c", 1);
  // SHA-1("abc") = a9993e36 4706816a ba3e2571 7850c26c 9cd0d89d
  const unsigned char expect[20] = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
                                    0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};
  EXPECT_EQ(memcmp(out, expect, 20), 0);
  EXPECT_EQ(out[20] | out[21] | out[22] | out[23], 0);
  unsigned char shorter[8];
  dht_hash(shorter, 8, "ab", 2, "c", 1, nullptr, 0);
  EXPECT_EQ(memcmp(shorter, expect, 8), 0);
}

}  // namespace

namespace {

sockaddr_storage gHookTo;
int hookKeep(int, const void*, int len, const sockaddr* to, int tolen) {
  memcpy(&gHookTo, to, (size_t)tolen);
  return len;
}

// An IPv6 socket alone serves both families: IPv4 destinations go out mapped.
TEST(DhtUser, IPv4DestinationsAreMappedOnTheDualStackSocketOnly) {
  dhtUserSetSendHook(hookKeep);
  dhtUserSetDualStackSocket(7);
  sockaddr_in to = v4("10.0.0.2", 6881);
  ASSERT_EQ(dht_sendto(7, "x", 1, 0, (const sockaddr*)&to, sizeof(sockaddr_storage)), 1);
  ASSERT_EQ(gHookTo.ss_family, AF_INET6);
  const sockaddr_in6* m = (const sockaddr_in6*)&gHookTo;
  char text[64];
  EXPECT_STREQ(inet_ntop(AF_INET6, &m->sin6_addr, text, sizeof text), "::ffff:10.0.0.2");
  EXPECT_EQ(m->sin6_port, htons(6881));
  ASSERT_EQ(dht_sendto(8, "x", 1, 0, (const sockaddr*)&to, sizeof to), 1);
  EXPECT_EQ(gHookTo.ss_family, AF_INET);
  EXPECT_EQ(dht_sendto(7, "x", 1, 0, (const sockaddr*)&to, 3), -1);  // too short for its family
  dhtUserSetDualStackSocket(-1);
  dhtUserSetSendHook(nullptr);
}

}  // namespace
