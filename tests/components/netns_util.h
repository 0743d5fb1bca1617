// Runs a test body in a child process inside a network namespace of its own,
// which holds only lo (up, multicast routed to it) and disappears with the
// child. Needs root; skips with a message otherwise.
#pragma once

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "platform/types.h"

// Packets lo has sent in the calling process's namespace.
inline u64 loTxPackets() {
  FILE* f = fopen("/proc/net/dev", "r");
  if (!f) return 0;
  char line[512];
  u64 tx = 0;
  while (fgets(line, sizeof line, f)) {
    char* colon = strchr(line, ':');
    if (!colon || !strstr(line, "lo:")) continue;
    unsigned long long v[10] = {};
    if (sscanf(colon + 1, "%llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4],
               &v[5], &v[6], &v[7], &v[8], &v[9]) == 10)
      tx = v[9];
  }
  fclose(f);
  return tx;
}

// The child's exit status: 0 passed; the body prints why it failed.
inline int runInNamespace(const std::function<int()>& body, int timeoutSeconds) {
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(90);
    // A LAN-like address beside 127.0.0.1, whose host scope multicast will not use.
    if (system("ip link set lo up && ip link set lo multicast on && ip addr add 10.77.0.1/24 dev lo && "
               "ip route add 224.0.0.0/4 dev lo") != 0)
      _exit(91);
    int rc = body();
    fflush(stderr);
    _exit(rc);
  }
  if (pid < 0) return -1;
  for (int waited = 0; waited < timeoutSeconds * 10; waited++) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    usleep(100000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return 124;
}

#define RUN_IN_NAMESPACE_FOR(seconds, ...)                              \
  do {                                                                  \
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root"; \
    int nsStatus = runInNamespace(__VA_ARGS__, seconds);                \
    EXPECT_EQ(nsStatus, 0) << "the child's reason is printed above";    \
  } while (0)
#define RUN_IN_NAMESPACE(...) RUN_IN_NAMESPACE_FOR(60, __VA_ARGS__)
