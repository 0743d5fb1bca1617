// Thread registration with the sampling profiler. Engine threads call these on
// entry and before exit; they do nothing until the profiler installs its hooks.
#pragma once

using ProfilerThreadStartFn = void (*)(const char* name);
using ProfilerThreadEndFn = void (*)();

// Installed by the profiler at start-up; null hooks turn registration off again.
void profilerHookInstall(ProfilerThreadStartFn start, ProfilerThreadEndFn end);
void profilerHookThreadStart(const char* name);
void profilerHookThreadEnd();
