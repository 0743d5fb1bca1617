// A swarm of 30 DHT node processes in a namespace of the test's own, each on its
// own 10.x address on lo (127/8 is martian to the node), bootstrapped from one.
// One announces, another resolves; beside them two Discovery processes find each
// other through the DHT alone (the namespace has no multicast route). The
// nodes' clocks run five times faster than real time.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/components/netns_util.h"

namespace {

const char* kHash = "5e119a0102030405060708090a0b0c0d0e0f1011";
const char* kHostHash = "aa119a0102030405060708090a0b0c0d0e0f1011";

struct Child {
  pid_t pid;
  int out;  // read end of its standard output
};

Child spawn(const std::vector<std::string>& args) {
  int fds[2];
  if (pipe(fds) != 0) return {-1, -1};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(DHT_SWARM_NODE, argv.data());
    _exit(127);
  }
  close(fds[1]);
  return {pid, fds[0]};
}

// The child's "FOUND ..." line, or empty when it ended (or timed out) without one.
std::string waitFound(const Child& c, int seconds) {
  std::string line;
  for (int t = 0; t < seconds * 10; t++) {
    int status;
    bool ended = waitpid(c.pid, &status, WNOHANG) == c.pid;
    char buf[256];
    pollfd p{c.out, POLLIN, 0};
    while (poll(&p, 1, 0) > 0) {
      ssize_t n = read(c.out, buf, sizeof buf);
      if (n <= 0) break;
      line.append(buf, (size_t)n);
    }
    if (line.find('\n') != std::string::npos) return line.substr(0, line.find('\n'));
    if (ended) return "";
    usleep(100000);
  }
  return "";
}

#define CHECK(c)                                                                \
  do {                                                                          \
    if (!(c)) {                                                                 \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #c);    \
      failed = true;                                                            \
    }                                                                           \
  } while (0)

TEST(DhtSwarm, ThirtyNodesCarryAnAnnounceAndDiscoveryFindsAHostThroughThem) {
  RUN_IN_NAMESPACE_FOR(120, [] {
    if (system("ip route del 224.0.0.0/4 dev lo && ip addr add 10.1.0.1/16 dev lo") != 0) return 3;
    for (int i = 2; i <= 30; i++) {
      std::string cmd = "ip addr add 10.1.0." + std::to_string(i) + "/16 dev lo";
      if (system(cmd.c_str()) != 0) return 3;
    }
    const std::string speed = "5", boot = "10.1.0.1:6881";
    std::vector<Child> all;
    all.push_back(spawn({"node", "node", "10.1.0.1", "6881", "-", speed, "80"}));
    for (int i = 2; i <= 28; i++)
      all.push_back(spawn({"node", "node", "10.1.0." + std::to_string(i), "6881", boot, speed, "80"}));
    all.push_back(spawn({"node", "announce", "10.1.0.29", "6881", boot, speed, "80", kHash, "5555"}));
    Child resolver = spawn({"node", "resolve", "10.1.0.30", "6881", boot, speed, "80", kHash});
    all.push_back(resolver);
    all.push_back(spawn({"node", "host", "-", "7001", boot, speed, "80", kHostHash, "6000"}));
    Child joiner = spawn({"node", "join", "-", "7002", boot, speed, "80", kHostHash});
    all.push_back(joiner);
    bool failed = false;
    std::string found = waitFound(resolver, 80);
    printf("swarm resolve: %s (address, seconds after the search began, datagrams the resolver sent)\n",
           found.c_str());
    CHECK(found.rfind("FOUND 10.1.0.29:5555 ", 0) == 0);
    std::string joined = waitFound(joiner, 80);
    printf("discovery join through the DHT: %s\n", joined.c_str());
    CHECK(joined.rfind("FOUND 10.1.0.", 0) == 0 && joined.find(":6000 ") != std::string::npos);
    fflush(stdout);
    for (const Child& c : all) {
      kill(c.pid, SIGKILL);
      waitpid(c.pid, nullptr, 0);
      close(c.out);
    }
    return failed ? 1 : 0;
  });
}

}  // namespace
