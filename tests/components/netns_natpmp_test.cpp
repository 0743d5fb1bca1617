// Port mapping through a real NAT-PMP gateway: miniupnpd runs in a gateway
// namespace between a LAN namespace (where Discovery runs, default route via
// the gateway) and a WAN namespace; its nft chains, configuration and public
// WAN address exist only there, and nothing sends to that address. All three
// namespaces are the test's own and are removed at the end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "components/discovery.h"

namespace {

std::string run(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}

bool sh(const std::string& cmd) { return system(cmd.c_str()) == 0; }

int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

std::string readFile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

struct Gateway {
  std::string lan, gw, wan, dir;
  pid_t daemon = -1;

  bool setUp() {
    std::string tag = std::to_string(getpid());
    lan = "dlan" + tag, gw = "dgw" + tag, wan = "dwan" + tag;
    char tmpl[] = "/tmp/natpmp-test-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir = tmpl;
    for (const std::string& ns : {lan, gw, wan}) {
      if (!sh("ip netns add " + ns)) return false;
      // No name look-up leaves these namespaces.
      sh("mkdir -p /etc/netns/" + ns + " && echo 'nameserver 127.0.0.1' > /etc/netns/" + ns + "/resolv.conf");
      sh("ip -n " + ns + " link set lo up");
    }
    // veth pairs created directly inside the namespaces, both ends ours.
    bool ok = sh("ip link add l0 netns " + lan + " type veth peer name gwlan netns " + gw) &&
              sh("ip link add gwwan netns " + gw + " type veth peer name w0 netns " + wan) &&
              sh("ip -n " + lan + " addr add 192.168.77.2/24 dev l0 && ip -n " + lan + " link set l0 up") &&
              sh("ip -n " + gw + " addr add 192.168.77.1/24 dev gwlan && ip -n " + gw + " link set gwlan up") &&
              sh("ip -n " + gw + " addr add 11.22.33.1/24 dev gwwan && ip -n " + gw + " link set gwwan up") &&
              sh("ip -n " + wan + " addr add 11.22.33.2/24 dev w0 && ip -n " + wan + " link set w0 up") &&
              sh("ip -n " + lan + " route add default via 192.168.77.1") &&
              sh("ip netns exec " + gw + " sysctl -q net.ipv4.ip_forward=1");
    if (!ok) return false;
    std::ofstream(dir + "/rules.nft") << "table inet filter {\n"
                                         "  chain forward {\n"
                                         "    type filter hook forward priority 0; policy drop;\n"
                                         "    jump miniupnpd\n"
                                         "  }\n"
                                         "  chain miniupnpd {\n  }\n"
                                         "  chain prerouting {\n"
                                         "    type nat hook prerouting priority -100; policy accept;\n"
                                         "    jump prerouting_miniupnpd\n"
                                         "  }\n"
                                         "  chain postrouting {\n"
                                         "    type nat hook postrouting priority 100; policy accept;\n"
                                         "    jump postrouting_miniupnpd\n"
                                         "  }\n"
                                         "  chain prerouting_miniupnpd {\n  }\n"
                                         "  chain postrouting_miniupnpd {\n  }\n"
                                         "}\n";
    std::ofstream(dir + "/miniupnpd.conf") << "ext_ifname=gwwan\n"
                                              "listening_ip=gwlan\n"
                                              "port=0\n"
                                              "enable_natpmp=yes\n"
                                              "enable_upnp=no\n"
                                              "secure_mode=yes\n"
                                              "min_lifetime=4\n"
                                              "lease_file=" + dir + "/leases\n"
                                              "allow 1024-65535 192.168.77.0/24 1024-65535\n"
                                              "deny 0-65535 0.0.0.0/0 0-65535\n";
    if (!sh("ip netns exec " + gw + " nft -f " + dir + "/rules.nft")) return false;
    daemon = fork();
    if (daemon == 0) {
      int log = open((dir + "/log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(log, 1);
      dup2(log, 2);
      execlp("ip", "ip", "netns", "exec", gw.c_str(), "miniupnpd", "-d", "-f", (dir + "/miniupnpd.conf").c_str(),
             "-P", (dir + "/pid").c_str(), (char*)nullptr);
      _exit(127);
    }
    for (int i = 0; i < 50; i++) {
      if (readFile(dir + "/log").find("Listening for NAT-PMP") != std::string::npos) return true;
      usleep(100000);
    }
    return false;
  }

  std::string mappings() { return run("ip netns exec " + gw + " nft list chain inet filter prerouting_miniupnpd"); }

  void tearDown() {
    if (daemon > 0) {
      kill(daemon, SIGTERM);
      waitpid(daemon, nullptr, 0);
    }
    for (const std::string& ns : {lan, gw, wan}) {
      if (ns.empty()) continue;
      sh("ip netns del " + ns + " 2>/dev/null");
      sh("rm -rf /etc/netns/" + ns);
    }
    if (!dir.empty()) sh("rm -rf " + dir);
  }
};

// Discovery in the LAN namespace: map with a 4 s lifetime, see the renewal at
// half of it, unmap. Exit status 0 when everything held.
int lanSide(const std::string& lanNs, const std::function<std::string()>& mappings, const std::string& log) {
  int fd = open(("/var/run/netns/" + lanNs).c_str(), O_RDONLY);
  if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) return 10;
  Discovery* d = discoveryCreate(0, nullptr);
  if (!d) return 11;
  if (discoveryMapPort(d, 40000, 40000, 4) < 0) return 12;
  for (int i = 0; i < 300 && discoveryMappedPort(d) == 0; i++) {
    discoveryTick(d, nullptr);
    usleep(10000);
  }
  if (discoveryMappedPort(d) != 40000) return 13;
  if (mappings().find("dport 40000 dnat ip to 192.168.77.2:40000") == std::string::npos) return 14;
  // Renewed at half the 4 s lifetime.
  for (int i = 0; i < 400 && countOf(readFile(log), "mapping request : 40000") < 2; i++) {
    discoveryTick(d, nullptr);
    usleep(10000);
  }
  if (countOf(readFile(log), "mapping request : 40000") < 2) return 15;
  if (discoveryUnmapPort(d, 40000) < 0) return 16;
  for (int i = 0; i < 300 && mappings().find("40000") != std::string::npos; i++) {
    discoveryTick(d, nullptr);
    usleep(10000);
  }
  if (mappings().find("40000") != std::string::npos) return 17;
  discoveryDestroy(d);
  return 0;
}

TEST(NatPmp, MapRenewAndUnmapThroughAGatewayNamespace) {
  if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
  if (!sh("command -v miniupnpd >/dev/null && command -v nft >/dev/null"))
    GTEST_SKIP() << "miniupnpd or nft missing (scripts/setup.sh installs them)";
  Gateway g;
  bool up = g.setUp();
  int status = -1;
  if (up) {
    pid_t child = fork();
    if (child == 0) _exit(lanSide(g.lan, [&] { return g.mappings(); }, g.dir + "/log"));
    waitpid(child, &status, 0);
  }
  std::string log = readFile(g.dir + "/log");
  g.tearDown();
  ASSERT_TRUE(up) << "gateway set-up failed; miniupnpd said:\n" << log;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "LAN side stopped at step " << WEXITSTATUS(status) << "; miniupnpd said:\n" << log;
}

}  // namespace
