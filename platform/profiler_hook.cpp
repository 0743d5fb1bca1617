#include "platform/profiler_hook.h"

#include <atomic>

namespace {
std::atomic<ProfilerThreadStartFn> gStart{nullptr};
std::atomic<ProfilerThreadEndFn> gEnd{nullptr};
}  // namespace

void profilerHookInstall(ProfilerThreadStartFn start, ProfilerThreadEndFn end) {
  gStart.store(start);
  gEnd.store(end);
}

void profilerHookThreadStart(const char* name) {
  if (ProfilerThreadStartFn f = gStart.load()) f(name);
}

void profilerHookThreadEnd() {
  if (ProfilerThreadEndFn f = gEnd.load()) f();
}
