// Voice chat in one process on loopback: every participant binds port 0, so
// parallel test runs never collide. Raw sockets play hosts, clients and
// attackers by hand where the test needs exact bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>

#include "tests/components/voip_test_util.h"

using namespace voiptest;

namespace {

struct VoipDeleter {
  void operator()(Voip* v) const { voipDestroy(v); }
};
using VoipPtr = std::unique_ptr<Voip, VoipDeleter>;

VoipPtr startHost(const VoipConfig& cfg) {
  Voip* v = voipCreate(&cfg, 0, nullptr);
  if (v && voipStart(v) != 0) {
    voipDestroy(v);
    v = nullptr;
  }
  return VoipPtr(v);
}

VoipPtr startClient(const VoipConfig& cfg, NetAddr host) {
  Voip* v = voipCreate(&cfg, 0, &host);
  if (v && voipStart(v) != 0) {
    voipDestroy(v);
    v = nullptr;
  }
  return VoipPtr(v);
}

std::set<std::string> rosterEntries(const std::vector<u8>& d) {
  NetAddr a[kVoipMaxPeers];
  std::set<std::string> out;
  u32 n = voipParseRoster(d.data(), (u32)d.size(), a, kVoipMaxPeers);
  for (u32 i = 0; i < n; ++i) {
    char b[64];
    netAddrFormat(&a[i], b, sizeof b);
    out.insert(b);
  }
  return out;
}

std::string fmt(NetAddr a) {
  char b[64];
  netAddrFormat(&a, b, sizeof b);
  return b;
}

TEST(VoipCreate, RefusesBadConfigurations) {
  struct Case {
    const char* name;
    void (*edit)(VoipConfig*);
  } cases[] = {
      {"no channels", [](VoipConfig* c) { c->channels = 0; }},
      {"three channels", [](VoipConfig* c) { c->channels = 3; }},
      {"odd rate", [](VoipConfig* c) { c->sampleRate = 44100; }},
      {"frame of 17 ms", [](VoipConfig* c) { c->frameSize = 816; }},
      {"no echo taps", [](VoipConfig* c) { c->nlmsTaps = 0; }},
  };
  for (const Case& k : cases) {
    VoipConfig c = testConfig();
    k.edit(&c);
    Voip* v = voipCreate(&c, 0, nullptr);
    EXPECT_EQ(v, nullptr) << k.name;
    voipDestroy(v);
  }
  Voip* v = voipCreate(nullptr, 0, nullptr);  // defaults
  ASSERT_NE(v, nullptr);
  EXPECT_TRUE(voipIsHost(v));
  f32 buf[960] = {};
  EXPECT_EQ(voipAudioSource(buf, 480, 2, v), -1) << "channel count must match";
  EXPECT_EQ(voipAudioSink(buf, 480, 2, v), -1);
  voipDestroy(v);
}

TEST(VoipNlms, CancelsADelayedEchoAndPassesNearSpeech) {
  VoipNlms n;
  ASSERT_TRUE(voipNlmsInit(&n, 1, 64, 0.1f, 0.0001f));
  // Reference: noise; microphone: the reference 7 samples late at half level.
  const u32 total = 48000;
  std::vector<f32> ref(total), mic(total), out(total);
  u32 seed = 1;
  for (u32 i = 0; i < total; ++i) {
    seed = seed * 1664525u + 1013904223u;
    ref[i] = ((f32)(seed >> 8) / (f32)(1u << 24) - 0.5f) * 0.5f;
    mic[i] = i >= 7 ? 0.5f * ref[i - 7] : 0.0f;
  }
  voipNlmsProcess(&n, mic.data(), ref.data(), out.data(), total);
  f64 eMic = 0, eOut = 0;
  for (u32 i = total - 4800; i < total; ++i) {
    eMic += mic[i] * mic[i];
    eOut += out[i] * out[i];
  }
  EXPECT_LT(eOut, eMic * 0.001) << "echo left after one second";
  // With a silent reference the microphone passes unchanged.
  std::vector<f32> zero(960, 0.0f), speech(960), clean(960);
  Tone t;
  t.freq = 500;
  t.fill(speech.data(), 960, 1);
  VoipNlms m;
  ASSERT_TRUE(voipNlmsInit(&m, 1, 64, 0, 0));
  voipNlmsProcess(&m, speech.data(), zero.data(), clean.data(), 960);
  EXPECT_EQ(speech, clean);
  voipNlmsDestroy(&n);
  voipNlmsDestroy(&m);
  EXPECT_FALSE(voipNlmsInit(&m, 1, 0, 0, 0));
  EXPECT_FALSE(voipNlmsInit(&m, 0, 64, 0, 0));
}

TEST(VoipSink, WithoutPeerAudioTheMixOnlyClampsAndFeedsTheEchoReference) {
  VoipConfig cfg = testConfig();
  Voip* v = voipCreate(&cfg, 0, nullptr);  // not started: nothing consumes the reference
  ASSERT_NE(v, nullptr);
  f32 buf[4] = {0.25f, -3.0f, 2.0f, -0.5f};
  ASSERT_EQ(voipAudioSink(buf, 4, 1, v), 0);
  EXPECT_EQ(buf[0], 0.25f);
  EXPECT_EQ(buf[1], -1.0f);
  EXPECT_EQ(buf[2], 1.0f);
  EXPECT_EQ(buf[3], -0.5f);
  u64 len = 0;
  v->refRing.ReadSeenWrite = v->refRing.WritePos.load();
  const f32* ref = (const f32*)AsyncRingReadPtr(&v->refRing, &len);
  ASSERT_EQ(len, sizeof buf);
  EXPECT_EQ(std::memcmp(ref, buf, sizeof buf), 0);
  voipDestroy(v);
}

TEST(VoipDatagrams, HeaderAndRosterParsing) {
  struct Case {
    const char* name;
    std::vector<u8> d;
    u8 type;
  };
  std::vector<u8> big = header(VOIP_PKT_AUDIO);
  big.resize(kVoipMaxDatagram + 1);
  std::vector<u8> max = big;
  max.resize(kVoipMaxDatagram);
  std::vector<u8> magic = header(VOIP_PKT_JOIN);
  magic[0] = 'W';
  Case cases[] = {
      {"join", header(VOIP_PKT_JOIN), VOIP_PKT_JOIN},
      {"short", {0x56, 0x4F, 0x49, 0x50, 1, 0, 0}, 0},
      {"1284 bytes", max, VOIP_PKT_AUDIO},
      {"1285 bytes", big, 0},
      {"wrong magic", magic, 0},
      {"type 0", header(0), 0},
      {"type 4", header(4), 0},
      {"type 255", header(255), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(voipParseHeader(c.d.data(), (u32)c.d.size()), c.type) << c.name;
  const std::vector<u8> join = header(VOIP_PKT_JOIN);
  EXPECT_EQ(join, (std::vector<u8>{0x56, 0x4F, 0x49, 0x50, 1, 0, 0, 0}));

  std::vector<u8> r = roster({loop4(5), loop6(6)});
  EXPECT_EQ(rosterEntries(r), (std::set<std::string>{"127.0.0.1:5", "[::1]:6"}));
  r[5] = 9;  // count beyond the entries present
  EXPECT_EQ(rosterEntries(r).size(), 2u);
  std::vector<u8> cut = roster({loop4(5), loop6(6)});
  cut.resize(cut.size() - 1);  // second entry truncated
  EXPECT_EQ(rosterEntries(cut), (std::set<std::string>{"127.0.0.1:5"}));
  std::vector<u8> odd = roster({loop4(5)});
  odd[8] = 7;  // an entry of another type
  EXPECT_TRUE(rosterEntries(odd).empty());
}

// The callbacks carry audio both ways by themselves: with the net thread not
// running, a captured frame goes out in the capture call, and a frame waiting
// in the socket plays in the very playback call that follows its arrival.
TEST(VoipSink, CallbacksSendAndPlayWithoutTheNetThread) {
  VoipConfig cfg = testConfig();
  Voip* v = voipCreate(&cfg, 0, nullptr);  // a host, not started
  ASSERT_NE(v, nullptr);
  Raw peer;
  const NetAddr host = loop4(voipLocalPort(v));
  std::vector<std::vector<u8>> tone = encodeTone(600, 3, 0.3);
  for (const auto& d : tone) ASSERT_GT(peer.send(d, host), 0);
  nanoSleep(20000000);  // loopback delivers at once; this only covers a slow scheduler
  std::vector<f32> out(960, 0.0f);
  ASSERT_EQ(voipAudioSink(out.data(), 960, 1, v), 0);
  EXPECT_EQ(voipPeerCount(v), 1u) << "the host took the new sender as a peer";
  EXPECT_GT(goertzel(out.data(), 960, 600), 0.05) << "the frame waiting in the socket was not played at once";
  // The reply: one capture call of a whole frame sends it, no thread involved.
  std::vector<f32> pcm(960, 0.2f);
  ASSERT_EQ(voipAudioSource(pcm.data(), 960, 1, v), 0);
  size_t audio = 0;  // beside the roster the new peer was sent
  for (const auto& d : peer.recv(300)) audio += voipParseHeader(d.data(), (u32)d.size()) == VOIP_PKT_AUDIO;
  EXPECT_EQ(audio, 1u);
  voipDestroy(v);
}

// After the callbacks stalled while audio kept arriving, the playback call
// decodes only what the playout bound can keep, not the whole backlog (which
// would stall the engine's thread in turn), and the ring is left empty.
TEST(VoipSink, ABacklogAfterAStallIsNotDecodedWhole) {
  VoipConfig cfg = testConfig();
  Voip* v = voipCreate(&cfg, 0, nullptr);
  ASSERT_NE(v, nullptr);
  Raw sender;
  const NetAddr from = loop4(sender.port());
  std::vector<std::vector<u8>> tone = encodeTone(500, 200, 0.3);
  u32 queued = 0;
  for (const auto& d : tone) queued += voipHandleDatagram(v, d.data(), (u32)d.size(), &from, 1);
  ASSERT_EQ(queued, 200u);
  std::vector<f32> out(480, 0.0f);
  ASSERT_EQ(voipAudioSink(out.data(), 480, 1, v), 0);
  EXPECT_LE(v->framesDecoded.load(), 48u);
  EXPECT_GE(v->framesDecoded.load(), 1u);
  EXPECT_GT(goertzel(out.data(), 480, 500), 0.05);
  v->rxRing.ReadSeenWrite = v->rxRing.WritePos.load();
  u64 left = 0;
  AsyncRingReadPtr(&v->rxRing, &left);
  EXPECT_EQ(left, 0u);
  voipDestroy(v);
}

TEST(VoipSession, ClientSendsExactJoinFirstAndRepeatsIt) {
  Raw host;
  ASSERT_NE(host.s, nullptr);
  VoipPtr c = startClient(testConfig(5000, 150), loop4(host.port()));
  ASSERT_TRUE(c);
  // Audio is ready at once; the join must still be the first datagram.
  std::vector<f32> pcm(960 * 4, 0.1f);
  voipAudioSource(pcm.data(), 960 * 4, 1, c.get());
  std::vector<NetAddr> from;
  std::vector<std::vector<u8>> got = host.recv(2000, 1, &from);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], (std::vector<u8>{0x56, 0x4F, 0x49, 0x50, 0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(from[0].ipv4.port, voipLocalPort(c.get()));
  EXPECT_FALSE(voipHostHeard(c.get()));
  // The keep-alive repeats the join.
  size_t joins = 0;
  for (const auto& d : host.recv(1000)) joins += d == header(VOIP_PKT_JOIN);
  EXPECT_GE(joins, 3u);
  // An answer from the host counts as heard; one from elsewhere does not.
  Raw stranger;
  stranger.send(roster({}), loop4(voipLocalPort(c.get())));
  nanoSleep(100000000);
  EXPECT_FALSE(voipHostHeard(c.get()));
  host.send(roster({}), loop4(voipLocalPort(c.get())));
  EXPECT_TRUE(waitFor([&] { return voipHostHeard(c.get()); }, 2000));
}

TEST(VoipSession, SetPeerOnARunningClientSendsTheJoin) {
  Raw host;
  VoipConfig cfg = testConfig();
  Voip* v = voipCreate(&cfg, 0, nullptr);
  ASSERT_NE(v, nullptr);
  ASSERT_EQ(voipStart(v), 0);
  EXPECT_TRUE(host.recv(200).empty());
  NetAddr mapped{};
  const u8 m[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
  mapped = netAddrV6(m, host.port());
  voipSetPeer(v, &mapped);  // mapped form: stored as IPv4
  EXPECT_FALSE(voipIsHost(v));
  std::vector<std::vector<u8>> got = host.recv(2000, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], header(VOIP_PKT_JOIN));
  host.send(roster({}), loop4(voipLocalPort(v)));
  EXPECT_TRUE(waitFor([&] { return voipHostHeard(v); }, 2000)) << "the mapped host address matched its IPv4 sender";
  voipDestroy(v);
}

TEST(VoipSession, HostSendsEachParticipantTheOthers) {
  VoipPtr h = startHost(testConfig());
  ASSERT_TRUE(h);
  const u16 hp = voipLocalPort(h.get());
  Raw a, b, c;
  a.send(header(VOIP_PKT_JOIN), loop4(hp));
  ASSERT_TRUE(waitFor([&] { return voipPeerCount(h.get()) == 1; }, 2000));
  b.send(header(VOIP_PKT_JOIN), loop6(hp));
  ASSERT_TRUE(waitFor([&] { return voipPeerCount(h.get()) == 2; }, 2000));
  c.send(header(VOIP_PKT_JOIN), loop4(hp));
  ASSERT_TRUE(waitFor([&] { return voipPeerCount(h.get()) == 3; }, 2000));
  const std::string sa = fmt(loop4(a.port())), sb = fmt(loop6(b.port())), sc = fmt(loop4(c.port()));
  // The last roster each received lists exactly the other two.
  auto last = [](Raw& r) {
    std::vector<std::vector<u8>> got = r.recv(300);
    return got.empty() ? std::set<std::string>{"none"} : rosterEntries(got.back());
  };
  EXPECT_EQ(last(a), (std::set<std::string>{sb, sc}));
  EXPECT_EQ(last(b), (std::set<std::string>{sa, sc}));
  EXPECT_EQ(last(c), (std::set<std::string>{sa, sb}));
  VoipPeerInfo info;
  ASSERT_TRUE(voipPeerInfoAt(h.get(), 1, &info));
  EXPECT_EQ(fmt(info.addr), sb);
  EXPECT_FALSE(voipPeerInfoAt(h.get(), 3, &info));
}

TEST(VoipSession, EveryParticipantHearsEveryOtherButNotItself) {
  VoipConfig cfg = testConfig();
  VoipPtr h = startHost(cfg);
  ASSERT_TRUE(h);
  VoipPtr c1 = startClient(cfg, loop4(voipLocalPort(h.get())));
  // Same family for both: peers reach each other at the address the host saw.
  VoipPtr c2 = startClient(cfg, loop4(voipLocalPort(h.get())));
  ASSERT_TRUE(c1 && c2);
  Party ph{h.get(), {}, {}}, p1{c1.get(), {}, {}}, p2{c2.get(), {}, {}};
  ph.tone.freq = 500;
  p1.tone.freq = 900;
  p2.tone.freq = 1300;
  std::vector<Party*> all = {&ph, &p1, &p2};
  ASSERT_TRUE(waitFor([&] { return voipPeerCount(h.get()) == 2; }, 3000));
  pump(all, 150);
  for (Party* p : all) {
    for (Party* q : all) {
      const f64 a = heard(*p, q->tone.freq);
      // 0.3 is sent; a loaded machine loses some periods. Nobody sends a
      // participant its own stream: what comes back is only the echo
      // canceller's residue in the others' streams (it adapts on a reference
      // that does not contain their microphone), well under the tone.
      if (p == q)
        EXPECT_LT(a, 0.1) << p->tone.freq << " hears itself";
      else
        EXPECT_GT(a, 0.12) << p->tone.freq << " does not hear " << q->tone.freq;
    }
  }
  EXPECT_TRUE(voipHostHeard(c1.get()));
  EXPECT_TRUE(voipHostHeard(c2.get()));
}

TEST(VoipSession, TheNinthClientGetsNoSlotAndTheEightKeepTalking) {
  VoipPtr h = startHost(testConfig());
  ASSERT_TRUE(h);
  const u16 hp = voipLocalPort(h.get());
  Raw clients[9];
  std::vector<std::vector<u8>> tones[9];
  for (int i = 0; i < 9; ++i) {
    tones[i] = encodeTone(400 + 150 * i, 60);
    clients[i].send(header(VOIP_PKT_JOIN), loop4(hp));
    if (i < 8) {
      ASSERT_TRUE(waitFor([&] { return voipPeerCount(h.get()) == (u32)i + 1; }, 2000));
    }
  }
  Party ph{h.get(), {}, {}};
  std::vector<Party*> parties = {&ph};
  for (int f = 0; f < 60; ++f) {
    for (int i = 0; i < 9; ++i) clients[i].send(tones[i][f], loop4(hp));
    pump(parties, 2, 480, 8000);
  }
  EXPECT_EQ(voipPeerCount(h.get()), 8u);
  // 0.1 is sent (lost periods lower it); a stream not played is ~0.
  for (int i = 0; i < 8; ++i) EXPECT_GT(heard(ph, 400 + 150 * i, 19200), 0.025) << "client " << i;
  EXPECT_LT(heard(ph, 400 + 150 * 8, 19200), 0.01) << "the ninth is played";
  // The ninth was never listed in any roster.
  const std::string ninth = fmt(loop4(clients[8].port()));
  for (int i = 0; i < 8; ++i)
    for (const auto& d : clients[i].recv(50)) EXPECT_EQ(rosterEntries(d).count(ninth), 0u);
}

TEST(VoipSession, RostersComeOnlyFromTheHostAndCountZeroEmptiesTheTable) {
  Raw host, stranger, x, y;
  VoipPtr c = startClient(testConfig(), loop4(host.port()));
  ASSERT_TRUE(c);
  ASSERT_EQ(host.recv(2000, 1).size(), 1u);  // the join
  const NetAddr cAddr = loop4(voipLocalPort(c.get()));
  host.send(roster({loop4(x.port()), loop6(y.port())}), cAddr);
  ASSERT_TRUE(waitFor([&] { return voipPeerCount(c.get()) == 2; }, 2000));
  stranger.send(roster({}), cAddr);
  stranger.send(roster({loop4(stranger.port())}), cAddr);
  nanoSleep(150000000);
  EXPECT_EQ(voipPeerCount(c.get()), 2u) << "a stranger rewrote the peer list";
  // Roster peers receive the microphone; the stranger does not.
  std::vector<f32> pcm(960 * 3, 0.2f);
  voipAudioSource(pcm.data(), 960 * 3, 1, c.get());
  EXPECT_FALSE(x.recv(2000, 1).empty());
  EXPECT_FALSE(y.recv(2000, 1).empty());
  EXPECT_TRUE(stranger.recv(200).empty());
  // Audio from a stranger makes no peer on a client either.
  std::vector<std::vector<u8>> tone = encodeTone(700, 3);
  for (auto& d : tone) stranger.send(d, cAddr);
  nanoSleep(150000000);
  EXPECT_EQ(voipPeerCount(c.get()), 2u);
  host.send(roster({}), cAddr);
  EXPECT_TRUE(waitFor([&] { return voipPeerCount(c.get()) == 0; }, 2000));
}

TEST(VoipSession, BadDatagramsAreDroppedAndValidAudioStillArrives) {
  VoipConfig cfg = testConfig();
  VoipPtr h = startHost(cfg);
  ASSERT_TRUE(h);
  const u16 hp = voipLocalPort(h.get());
  VoipPtr c = startClient(cfg, loop4(hp));
  ASSERT_TRUE(c);
  ASSERT_TRUE(waitFor([&] { return voipPeerCount(h.get()) == 1; }, 10000));
  Party ph{h.get(), {}, {}}, pc{c.get(), {}, {}};
  pc.tone.freq = 800;
  ph.tone.freq = 450;
  std::vector<Party*> both = {&ph, &pc};

  std::vector<u8> big = header(VOIP_PKT_AUDIO);
  big.resize(kVoipMaxDatagram + 1, 0xA5);
  std::vector<u8> maxGarbage = header(VOIP_PKT_AUDIO);
  maxGarbage.resize(kVoipMaxDatagram, 0x5A);
  std::vector<u8> garbageOpus = header(VOIP_PKT_AUDIO);
  for (int i = 0; i < 40; ++i) garbageOpus.push_back((u8)(i * 37 + 11));
  std::vector<u8> magic = header(VOIP_PKT_AUDIO);
  magic[3] = 0;
  std::vector<u8> countBeyond = roster({loop4(9)});
  countBeyond[5] = 200;
  std::vector<u8> cutAddr = roster({loop6(9)});
  cutAddr.resize(cutAddr.size() - 3);
  std::vector<u8> oddAddr = roster({loop4(9)});
  oddAddr[8] = 0x42;
  struct Case {
    const char* name;
    std::vector<u8> d;
  } cases[] = {
      {"empty", {}},
      {"short", {0x56, 0x4F, 0x49}},
      {"header only short", {0x56, 0x4F, 0x49, 0x50, 3, 0, 0}},
      {"1285 bytes", big},
      {"wrong magic", magic},
      {"type 0", header(0)},
      {"type 4", header(4)},
      {"type 255", header(255)},
      {"roster count beyond entries", countBeyond},
      {"roster with a truncated address", cutAddr},
      {"roster with an odd address type", oddAddr},
      {"1284 bytes of garbage audio", maxGarbage},
      {"garbage Opus", garbageOpus},
      {"empty audio", header(VOIP_PKT_AUDIO)},
      {"join to a client", header(VOIP_PKT_JOIN)},
  };
  Raw v4, v6;
  // 0.3 is sent; silence would be ~0.
  const auto bothHeard = [&] { return heard(ph, 800, 9600) > 0.03 && heard(pc, 450, 9600) > 0.03; };
  ASSERT_TRUE(pumpUntil(both, bothHeard, 20000)) << "no audio before the attack";
  for (const Case& k : cases) {
    for (int rep = 0; rep < 3; ++rep) {
      v4.send(k.d, loop4(hp));
      v6.send(k.d, loop6(hp));
      v4.send(k.d, loop4(voipLocalPort(c.get())));
      v6.send(k.d, loop6(voipLocalPort(c.get())));
    }
    ph.out.clear();
    pc.out.clear();
    // At least 20 periods after the attack, so the window holds audio that
    // crossed the hostile datagrams; then as long as it takes, bounded.
    pump(both, 20);
    EXPECT_TRUE(pumpUntil(both, bothHeard, 20000))
        << k.name << ": client heard " << heard(ph, 800, 9600) << ", host heard " << heard(pc, 450, 9600);
  }
  // The client's peers are its host and the host's roster, never a stranger
  // on its own word (the strangers' audio made them peers of the host).
  std::set<std::string> hostSide = {fmt(loop4(hp))};
  VoipPeerInfo info;
  for (u32 i = 0; voipPeerInfoAt(h.get(), i, &info); ++i) hostSide.insert(fmt(info.addr));
  for (u32 i = 0; voipPeerInfoAt(c.get(), i, &info); ++i) EXPECT_EQ(hostSide.count(fmt(info.addr)), 1u) << fmt(info.addr);
  EXPECT_GT(h->datagramsRejected.load(), 0u);
}

TEST(VoipSession, ASilentPeerIsReleasedAndItsSlotReused) {
  VoipPtr h = startHost(testConfig(400));
  ASSERT_TRUE(h);
  const u16 hp = voipLocalPort(h.get());
  Raw clients[9];
  for (int i = 0; i < 8; ++i) clients[i].send(header(VOIP_PKT_JOIN), loop4(hp));
  ASSERT_TRUE(waitFor([&] { return voipPeerCount(h.get()) == 8; }, 2000));
  const f64 start = clockNanos();
  // All but client 0 keep joining; client 0 falls silent.
  b8 released = false;
  while (!released && clockNanos() - start < 3e9) {
    for (int i = 1; i < 8; ++i) clients[i].send(header(VOIP_PKT_JOIN), loop4(hp));
    nanoSleep(100000000);
    released = voipPeerCount(h.get()) == 7;
  }
  ASSERT_TRUE(released);
  EXPECT_LT((clockNanos() - start) / 1e6, 1500.0) << "released too late";
  // The others were told: their latest roster no longer lists client 0.
  const std::string gone = fmt(loop4(clients[0].port()));
  std::vector<std::vector<u8>> got = clients[1].recv(100);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(rosterEntries(got.back()).count(gone), 0u);
  clients[8].send(header(VOIP_PKT_JOIN), loop4(hp));
  EXPECT_TRUE(waitFor([&] { return voipPeerCount(h.get()) == 8; }, 2000)) << "the freed slot was not reused";
}

}  // namespace

namespace {

// The receive ring's records are read by the audio pass; one longer than any
// valid record is consumed and skipped, so the audio queued behind it plays.
TEST(VoipRings, AnUnreadableRecordIsSkippedNotLeftBlocking) {
  VoipConfig cfg = testConfig();
  Voip* v = voipCreate(&cfg, 0, nullptr);  // threads not started: the test plays both
  ASSERT_NE(v, nullptr);
  Raw sender;
  std::vector<u8> bogus(2 + 2000, 0x33);
  const u16 len = 2000;
  std::memcpy(bogus.data(), &len, 2);
  u8* w = AsyncRingWritePtr(&v->rxRing, bogus.size());
  ASSERT_NE(w, nullptr);
  std::memcpy(w, bogus.data(), bogus.size());
  AsyncRingWriteCommit(&v->rxRing, bogus.size());
  std::vector<std::vector<u8>> tone = encodeTone(500, 1);
  const NetAddr from = loop4(sender.port());
  ASSERT_TRUE(voipHandleDatagram(v, tone[0].data(), (u32)tone[0].size(), &from, 1)) << "audio from a new sender at a host";
  EXPECT_TRUE(voipAudioPass(v));
  EXPECT_EQ(v->framesDecoded.load(), 1u);
  u64 left = 0;
  v->rxRing.ReadSeenWrite = v->rxRing.WritePos.load();
  AsyncRingReadPtr(&v->rxRing, &left);
  EXPECT_EQ(left, 0u);
  voipDestroy(v);
}

}  // namespace
