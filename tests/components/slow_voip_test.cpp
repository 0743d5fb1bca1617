// Voice chat in real time: across processes with the peer program (loopback,
// then inside network namespaces this test creates and removes), and through
// a lossy, jittery relay. Every wait is bounded. Traffic goes only to loopback
// or to addresses inside the test's own namespaces.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/components/voip_test_util.h"

using namespace voiptest;

namespace {

// ---- child processes ----------------------------------------------------------

struct Proc {
  pid_t pid = -1;
  int out = -1;  // the child's stdout
  std::string text;
};

Proc spawn(const std::vector<std::string>& args) {
  Proc p;
  int fds[2];
  if (pipe(fds) != 0) return p;
  p.pid = fork();
  if (p.pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(fds[1]);
  p.out = fds[0];
  return p;
}

// Reads the child's output until a line starting with prefix (bounded).
std::string readLine(Proc& p, const std::string& prefix, int timeoutMs) {
  const f64 end = clockNanos() + timeoutMs * 1e6;
  for (;;) {
    size_t pos;
    while ((pos = p.text.find('\n')) != std::string::npos) {
      std::string line = p.text.substr(0, pos);
      p.text.erase(0, pos + 1);
      if (line.rfind(prefix, 0) == 0) return line;
    }
    const int left = (int)((end - clockNanos()) / 1e6);
    if (left <= 0) return "";
    pollfd pf{p.out, POLLIN, 0};
    if (poll(&pf, 1, left) <= 0) return "";
    char buf[256];
    ssize_t n = read(p.out, buf, sizeof buf);
    if (n <= 0) return "";
    p.text.append(buf, (size_t)n);
  }
}

// Exit status, or -1 after killing a child that outlived the bound.
int finish(Proc& p, int timeoutMs) {
  int status = 0;
  const f64 end = clockNanos() + timeoutMs * 1e6;
  while (waitpid(p.pid, &status, WNOHANG) == 0) {
    if (clockNanos() > end) {
      kill(p.pid, SIGKILL);
      waitpid(p.pid, &status, 0);
      close(p.out);
      return -1;
    }
    nanoSleep(20000000);
  }
  close(p.out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<f32> readFloats(const std::string& path) {
  std::vector<f32> v;
  std::ifstream f(path, std::ios::binary);
  f32 x;
  while (f.read(reinterpret_cast<char*>(&x), sizeof x)) v.push_back(x);
  return v;
}

f64 toneIn(const std::vector<f32>& s, f64 freq, size_t n = 48000) {
  if (s.size() < n) return 0;
  return goertzel(s.data() + s.size() - n, n, freq);
}

std::string tempDir() {
  char tmpl[] = "/tmp/voip_slow_XXXXXX";
  const char* d = mkdtemp(tmpl);
  return d ? d : "/tmp";
}

// One session across processes: participant 0 hosts, the others join the
// address given for them. prefix[i] runs participant i (e.g. "ip netns exec").
struct Member {
  std::vector<std::string> prefix;
  std::string joinHost;  // host address without the port, "" for the host
  f64 tone;
  std::vector<f32> out;
  int status = -1;
  std::string summary = "";  // the peer program's last line
};

// Tones are 0.15 (peer program); a stream heard is at least 0.03 over the last
// second even with the underruns a loaded machine causes, one not heard ~0.
void runSession(std::vector<Member>& m, f64 seconds) {
  const std::string dir = tempDir();
  std::vector<Proc> procs(m.size());
  std::string port;
  for (size_t i = 0; i < m.size(); ++i) {
    std::vector<std::string> args = m[i].prefix;
    args.push_back(VOIP_PEER_PATH);
    args.insert(args.end(), {"--tone", std::to_string(m[i].tone), "--out", dir + "/" + std::to_string(i) + ".f32",
                             "--seconds", std::to_string(i == 0 ? seconds + 0.5 : seconds)});
    if (i > 0) args.insert(args.end(), {"--join", m[i].joinHost + ":" + port});
    procs[i] = spawn(args);
    ASSERT_GT(procs[i].pid, 0);
    const std::string line = readLine(procs[i], "port ", 5000);
    ASSERT_FALSE(line.empty()) << "participant " << i << " did not start";
    if (i == 0) port = line.substr(5);
  }
  for (size_t i = 0; i < m.size(); ++i) {
    m[i].summary = readLine(procs[i], "peers", (int)(seconds * 1000) + 10000);
    m[i].status = finish(procs[i], 10000);
    m[i].out = readFloats(dir + "/" + std::to_string(i) + ".f32");
    std::remove((dir + "/" + std::to_string(i) + ".f32").c_str());
  }
  rmdir(dir.c_str());
}

TEST(VoipProcesses, HostAndTwoClientsOnLoopbackHearEachOther) {
  std::vector<Member> m = {{{}, "", 500, {}}, {{}, "127.0.0.1", 800, {}}, {{}, "127.0.0.1", 1100, {}}};
  runSession(m, 3.0);
  for (size_t i = 0; i < m.size(); ++i) {
    ASSERT_EQ(m[i].status, 0) << i;
    for (size_t j = 0; j < m.size(); ++j)
      if (i != j) {
        EXPECT_GT(toneIn(m[i].out, m[j].tone), 0.03) << m[i].tone << " hears " << m[j].tone;
      }
  }
}

// ---- network namespaces ---------------------------------------------------------

int sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()); }

// Namespaces holding only lo and veth pairs between themselves; each with its
// own resolv.conf pointing at 127.0.0.1 so no name look-up leaves. Removed,
// with everything in them, when the record goes.
struct Netns {
  std::vector<std::string> names;
  bool ok = true;
  std::string add(const std::string& suffix) {
    std::string n = "tvoip" + std::to_string(getpid()) + suffix;
    names.push_back(n);
    ok = ok && sh("ip netns add " + n) == 0;
    mkdir("/etc/netns", 0755);
    mkdir(("/etc/netns/" + n).c_str(), 0755);
    std::ofstream(("/etc/netns/" + n + "/resolv.conf").c_str()) << "nameserver 127.0.0.1\n";
    ok = ok && sh("ip -n " + n + " link set lo up") == 0;
    return n;
  }
  void run(const std::string& cmd) { ok = ok && sh(cmd) == 0; }
  ~Netns() {
    for (const std::string& n : names) {
      sh("ip netns del " + n);
      std::remove(("/etc/netns/" + n + "/resolv.conf").c_str());
      rmdir(("/etc/netns/" + n).c_str());
    }
  }
};

TEST(VoipNamespaces, FamilyGroupsHearEachOtherAndADualStackHostHearsAll) {
  if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root; skipped";
  if (sh("ip -V") != 0) GTEST_SKIP() << "iproute2 is not installed; skipped";
  Netns ns;
  const std::string h = ns.add("h");
  // Two IPv4-only clients and two IPv6-only clients, each on its own veth
  // pair to the host's namespace, which routes between them.
  struct Link {
    std::string ns, hostAddr, clientAddr, gw;
    bool v6;
  };
  std::vector<Link> links = {
      {ns.add("a"), "10.77.1.1/24", "10.77.1.2/24", "10.77.1.1", false},
      {ns.add("b"), "10.77.2.1/24", "10.77.2.2/24", "10.77.2.1", false},
      {ns.add("c"), "fd77:3::1/64", "fd77:3::2/64", "fd77:3::1", true},
      {ns.add("d"), "fd77:4::1/64", "fd77:4::2/64", "fd77:4::1", true},
  };
  ASSERT_TRUE(ns.ok) << "could not create the namespaces";
  for (size_t i = 0; i < links.size(); ++i) {
    const Link& l = links[i];
    std::string hv = std::to_string(i);
    hv.insert(hv.begin(), 'h');
    const std::string nodad = l.v6 ? " nodad" : "";
    ns.run("ip link add " + hv + " netns " + h + " type veth peer name c0 netns " + l.ns);
    ns.run("ip -n " + h + " addr add " + l.hostAddr + " dev " + hv + nodad);
    ns.run("ip -n " + l.ns + " addr add " + l.clientAddr + " dev c0" + nodad);
    ns.run("ip -n " + h + " link set " + hv + " up");
    ns.run("ip -n " + l.ns + " link set c0 up");
    ns.run("ip -n " + l.ns + (l.v6 ? " -6" : " -4") + " route add default via " + l.gw);
  }
  ns.run("ip netns exec " + h + " sysctl -qw net.ipv4.ip_forward=1");
  ns.run("ip netns exec " + h + " sysctl -qw net.ipv6.conf.all.forwarding=1");
  ASSERT_TRUE(ns.ok) << "could not set up the links";
  auto in = [](const std::string& n) { return std::vector<std::string>{"ip", "netns", "exec", n}; };
  std::vector<Member> m = {
      {in(h), "", 500, {}},
      {in(links[0].ns), "10.77.1.1", 700, {}},
      {in(links[1].ns), "10.77.2.1", 900, {}},
      {in(links[2].ns), "[fd77:3::1]", 1100, {}},
      {in(links[3].ns), "[fd77:4::1]", 1300, {}},
  };
  runSession(m, 3.5);
  for (size_t i = 0; i < m.size(); ++i) ASSERT_EQ(m[i].status, 0) << i;
  // The dual-stack host hears every client and every client hears the host.
  for (size_t i = 1; i < m.size(); ++i) {
    EXPECT_GT(toneIn(m[0].out, m[i].tone), 0.03) << "host hears " << m[i].tone << "; host: " << m[0].summary
                                                  << "; client: " << m[i].summary;
    EXPECT_GT(toneIn(m[i].out, m[0].tone), 0.03) << m[i].tone << " hears the host";
  }
  // Within a family the clients hear each other.
  EXPECT_GT(toneIn(m[1].out, m[2].tone), 0.03) << "IPv4 clients";
  EXPECT_GT(toneIn(m[2].out, m[1].tone), 0.03) << "IPv4 clients";
  EXPECT_GT(toneIn(m[3].out, m[4].tone), 0.03) << "IPv6 clients";
  EXPECT_GT(toneIn(m[4].out, m[3].tone), 0.03) << "IPv6 clients";
}

// Link-local IPv6 only: the clients name the host's interface in the address
// they join ("%c0"); the host has the same address on both its links and
// tells the two clients apart by the interface they came in on.
TEST(VoipNamespaces, LinkLocalClientsOnTwoLinksHearTheHost) {
  if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root; skipped";
  if (sh("ip -V") != 0) GTEST_SKIP() << "iproute2 is not installed; skipped";
  Netns ns;
  const std::string h = ns.add("h");
  const std::string clients[2] = {ns.add("a"), ns.add("b")};
  ASSERT_TRUE(ns.ok) << "could not create the namespaces";
  for (int i = 0; i < 2; ++i) {
    const std::string hv = i == 0 ? "h0" : "h1";
    const std::string clientAddr = i == 0 ? "fe80::2/64" : "fe80::3/64";
    ns.run("ip link add " + hv + " netns " + h + " type veth peer name c0 netns " + clients[i]);
    // Only the addresses given: a second, generated link-local address would
    // become the source of replies once its duplicate check ends.
    ns.run("ip -n " + h + " link set " + hv + " addrgenmode none");
    ns.run("ip -n " + clients[i] + " link set c0 addrgenmode none");
    ns.run("ip -n " + h + " addr add fe80::1/64 dev " + hv + " nodad");
    ns.run("ip -n " + clients[i] + " addr add " + clientAddr + " dev c0 nodad");
    ns.run("ip -n " + h + " link set " + hv + " up");
    ns.run("ip -n " + clients[i] + " link set c0 up");
  }
  ASSERT_TRUE(ns.ok) << "could not set up the links";
  auto in = [](const std::string& n) { return std::vector<std::string>{"ip", "netns", "exec", n}; };
  std::vector<Member> m = {
      {in(h), "", 500, {}},
      {in(clients[0]), "[fe80::1%c0]", 700, {}},
      {in(clients[1]), "[fe80::1%c0]", 900, {}},
  };
  runSession(m, 3.0);
  for (size_t i = 0; i < m.size(); ++i) ASSERT_EQ(m[i].status, 0) << i;
  for (size_t i = 1; i < m.size(); ++i) {
    EXPECT_GT(toneIn(m[0].out, m[i].tone), 0.03) << "host hears " << m[i].tone << "; host: " << m[0].summary
                                                  << "; client: " << m[i].summary;
    EXPECT_GT(toneIn(m[i].out, m[0].tone), 0.03) << m[i].tone << " hears the host; " << m[i].summary;
  }
}

// ---- jitter, reordering and loss --------------------------------------------------

// Forwards between a client (which takes the relay for its host) and the real
// host, delaying each datagram by 0-60 ms (so they also reorder) and losing 5%.
struct Relay {
  NetContext* net = netCreate();
  NetSocket* front = net ? netUdpOpen(net, 0) : nullptr;  // the client's "host"
  NetSocket* back = net ? netUdpOpen(net, 0) : nullptr;  // talks to the host
  NetAddr host{}, client{};
  bool haveClient = false;
  std::atomic<bool> stop{false};
  std::thread t;
  struct Pending {
    f64 due;
    NetSocket* via;
    NetAddr to;
    std::vector<u8> d;
  };
  void run() {
    std::mt19937 rng(7);
    std::uniform_real_distribution<f64> delay(0.0, 60e6), u(0.0, 1.0);
    std::vector<Pending> pending;
    while (!stop.load()) {
      NetEvent ev;
      while (netPoll(net, &ev)) {
        if (ev.type != NET_EVENT_RECV) continue;
        std::vector<u8> d((const u8*)ev.recv.data, (const u8*)ev.recv.data + ev.recv.len);
        if (ev.socket == front) {
          client = ev.recv.from;
          haveClient = true;
        }
        if (u(rng) < 0.05) continue;
        if (ev.socket == front)
          pending.push_back({clockNanos() + delay(rng), back, host, d});
        else if (haveClient)
          pending.push_back({clockNanos() + delay(rng), front, client, d});
      }
      const f64 now = clockNanos();
      for (size_t i = 0; i < pending.size();) {
        if (pending[i].due <= now) {
          netSendTo(pending[i].via, pending[i].d.data(), (i32)pending[i].d.size(), pending[i].to);
          pending[i] = pending.back();
          pending.pop_back();
        } else {
          ++i;
        }
      }
      netWait(net, 1);
    }
  }
  ~Relay() {
    stop = true;
    if (t.joinable()) t.join();
    netDestroy(net);
  }
};

u64 queuedFrames(Voip* v, const NetAddr& who) {
  u64 q = 0;
  threadMutexLock(&v->peerMu);
  for (VoipPeer& p : v->peers)
    if (p.active && netAddrEqual(&p.addr, &who))
      q = (p.playout.WritePos.load() - p.playout.ReadPos.load()) / (sizeof(f32) * (u64)v->cfg.channels);
  threadMutexUnlock(&v->peerMu);
  return q;
}

TEST(VoipJitter, ToneSurvivesDelayReorderingAndLossAndAStallFallsBackToTheBound) {
  VoipConfig cfg = testConfig();
  Voip* host = voipCreate(&cfg, 0, nullptr);
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(voipStart(host), 0);
  Relay relay;
  ASSERT_TRUE(relay.front && relay.back);
  relay.host = loop4(voipLocalPort(host));
  relay.t = std::thread([&] { relay.run(); });
  const NetAddr front = loop4(netSocketPort(relay.front));
  Voip* client = voipCreate(&cfg, 0, &front);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(voipStart(client), 0);

  constexpr u32 kPeriod = 480;
  Tone tone;
  tone.freq = 600;
  std::vector<f32> buf(kPeriod), silence(kPeriod, 0.0f);
  f64 start = clockNanos();
  u64 k = 0;
  auto pace = [&] {
    ++k;
    const f64 due = start + (f64)k * kPeriod * 1e9 / 48000.0, now = clockNanos();
    if (due > now) nanoSleep((u64)(due - now));
  };
  auto hostPeriod = [&] {
    tone.fill(buf.data(), kPeriod, 1);
    voipAudioSource(buf.data(), kPeriod, 1, host);
    std::fill(buf.begin(), buf.end(), 0.0f);
    voipAudioSink(buf.data(), kPeriod, 1, host);
  };
  u32 withTone = 0, counted = 0;
  for (u32 i = 0; i < 500; ++i) {  // 5 s; the first second is warm-up
    hostPeriod();
    voipAudioSource(silence.data(), kPeriod, 1, client);
    std::fill(buf.begin(), buf.end(), 0.0f);
    voipAudioSink(buf.data(), kPeriod, 1, client);
    if (i >= 100) {
      ++counted;
      withTone += goertzel(buf.data(), kPeriod, 600) > 0.1;
    }
    pace();
  }
  EXPECT_GE(withTone, counted * 8 / 10) << withTone << " of " << counted << " periods carried the tone";

  // The client's loudspeaker stalls for 500 ms while the host keeps talking.
  for (u32 i = 0; i < 50; ++i) {
    hostPeriod();
    pace();
  }
  // The backlog waits as receive records (the playback call decodes them):
  // 25 frames were sent, each record at least a header and a packed sender.
  const u64 backlog = client->rxRing.WritePos.load() - client->rxRing.ReadPos.load();
  EXPECT_GT(backlog, 15u * (kVoipHeader + 2 + kNetAddrPackedV4 + 1)) << "the stall queued audio";
  std::fill(buf.begin(), buf.end(), 0.0f);
  voipAudioSink(buf.data(), kPeriod, 1, client);
  EXPECT_GT(goertzel(buf.data(), kPeriod, 600), 0.1) << "the first period after the stall is silent";
  EXPECT_LE(queuedFrames(client, front), (u64)client->playoutBoundFrames + client->cfg.frameSize)
      << "the backlog stayed after the stall";
  voipDestroy(client);
  voipDestroy(host);
}

}  // namespace
