// Per-thread call trees built from the profiler's samples, the "Trace" window
// that draws them as nested bars, and their dumps.
#pragma once

#include "platform/trace_profiler.h"
#include "platform/types.h"
#include "ui/microui.h"

struct FlameNode {
  char* label;  // owned
  u64 hits;
  u32* children;
  u32 childCount, childCap;
};

struct FlameThreadGraph {
  u64 threadToken;
  char threadName[TRACE_NAME_LEN];
  u32 focusNode;  // drawn at the bottom of the panel; 0 is the root
  FlameNode* nodes;
  u32 count, cap;
  u64 samples;
};

struct FlameGraph {
  b8 enabled;
  u64 sampleIntervalNs;  // converts hits to time; the profiler's measured period
  FlameThreadGraph* threads;
  u32 threadCount, threadCap;
};

void flameGraphInit(FlameGraph* graph);
void flameGraphDestroy(FlameGraph* graph);
void flameGraphClear(FlameGraph* graph);
void flameGraphSetEnabled(FlameGraph* graph, b8 on);
b8 flameGraphIsEnabled(const FlameGraph* graph);

// Adds one stack (labels outermost first) to the panel named threadName. A walk
// stops at the first profiler-internal label; a stack with no frames left then
// counts as a root hit only. False when memory ran out (the sample is dropped).
b8 flameGraphAddStack(FlameGraph* graph, u64 token, const char* threadName, const char* const* labels, u32 count);
// Drains the profiler's queue into the trees (only while enabled).
void flameGraphCapture(FlameGraph* graph);
// The "Trace" window. Returns true when "Save" was pressed this frame.
b8 flameGraphDraw(FlameGraph* graph, mu_Context* mu, i32 windowW, i32 windowH, f32 scale);
// "# thread: NAME" then "path;of;labels selfhits" lines. False (with a message on
// the error stream) when the file cannot be written.
b8 flameGraphDumpToFile(const FlameGraph* graph, const char* path);
// Collapsed stacks as flame-graph tools read them: "thread;outer;...;inner count".
b8 flameGraphDumpFolded(const FlameGraph* graph, const char* path);
// Bar colour of a label at a depth (stable across runs, so tests can find bars).
mu_Color graphColor(const char* label, u32 depth);
