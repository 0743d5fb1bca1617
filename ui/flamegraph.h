// Per-thread call trees built from the profiler's samples, the "Trace" window
// that draws them as nested bars, and their dumps.
#pragma once

#include "platform/trace_profiler.h"
#include "platform/types.h"
#include "ui/microui.h"

struct FlameNode {
  char* label;  // owned
  u64 hits;
  u32* children;  // node indices
  u32 childCount, childCap;
};

// One panel per thread name: a restarted thread of the same name adds to it.
struct FlameThreadGraph {
  u64 threadToken;  // of the latest sample
  char threadName[TRACE_NAME_LEN];
  u32 focusNode;  // drawn at the bottom of the panel; 0 is the root
  FlameNode* nodes;  // node 0 is "root"
  u32 count, cap;
  u64 samples;
};

struct FlameGraph {
  b8 enabled;
  u64 sampleIntervalNs;  // converts hits to time: the profiler's measured period
  FlameThreadGraph* threads;
  u32 threadCount, threadCap;
};

void flameGraphInit(FlameGraph* graph);
void flameGraphDestroy(FlameGraph* graph);
// Forgets every panel (the panel array itself is kept).
void flameGraphClear(FlameGraph* graph);
void flameGraphSetEnabled(FlameGraph* graph, b8 on);
b8 flameGraphIsEnabled(const FlameGraph* graph);

// Adds one stack (labels outermost first) to the panel named threadName (or
// "thread-<token>" when empty). The walk stops at the first profiler-internal
// label ("nanoSleep", "traceSignalHandler", "samplerMain", "traceProfiler"); a
// stack stopped at its outermost frame counts as a root hit only. A null or
// empty label reads "<unknown>". False when memory ran out (the panel keeps
// what it had) or when the stack is empty.
b8 flameGraphAddStack(FlameGraph* graph, u64 token, const char* threadName, const char* const* labels, u32 count);
// Drains the profiler's queue into the trees (only while enabled).
void flameGraphCapture(FlameGraph* graph);
// The "Trace" window (only while enabled): "Clear", "Save" (both dumps into the
// working directory) and one panel per thread. Returns true when "Save" was
// pressed this frame.
b8 flameGraphDraw(FlameGraph* graph, mu_Context* mu, i32 windowW, i32 windowH, f32 scale);
// "# thread: NAME" then "outer;...;node selfhits" for every node with self hits.
// False (with "Failed to open PATH for flame graph dump" on the error stream)
// when the file cannot be written.
b8 flameGraphDumpToFile(const FlameGraph* graph, const char* path);
// Collapsed stacks as flame-graph tools read them: "thread;outer;...;inner count"
// per stack with self hits, "thread count" for root-only samples; ';' and
// control characters in names become '_'. False (with the same message) when
// the file cannot be written.
b8 flameGraphDumpFolded(const FlameGraph* graph, const char* path);
// Bar colour of a label at a depth (root's children are depth 1). Stable across
// runs, so tests can find bars by colour.
mu_Color graphColor(const char* label, u32 depth);
