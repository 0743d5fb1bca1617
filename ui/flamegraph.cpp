#include "ui/flamegraph.h"

#include <cstdio>
#include <cstring>

#include "platform/memory.h"

namespace {

constexpr u32 kInitialPanels = 8;
constexpr u32 kInitialNodes = 256;
constexpr u32 kInitialChildren = 4;
// Frames at and past these belong to the profiler or to an idle sleep.
const char* const kStopLabels[] = {"nanoSleep", "traceSignalHandler", "samplerMain", "traceProfiler"};

b8 isStopLabel(const char* label) {
  for (const char* stop : kStopLabels)
    if (std::strstr(label, stop)) return true;
  return false;
}

char* copyLabel(const char* label) {
  const size_t len = std::strlen(label);
  char* out = (char*)memAlloc(len + 1);
  if (out) std::memcpy(out, label, len + 1);
  return out;
}

void freeNodes(FlameThreadGraph* t) {
  for (u32 i = 0; i < t->count; ++i) {
    memFree(t->nodes[i].label);
    memFree(t->nodes[i].children);
  }
  memFree(t->nodes);
  t->nodes = nullptr;
  t->count = t->cap = 0;
}

// Appends a node under `parent` (UINT32_MAX: none, the root); its index, or
// UINT32_MAX when memory ran out.
u32 addNode(FlameThreadGraph* t, u32 parent, const char* label) {
  if (t->count == t->cap) {
    const u32 cap = t->cap ? t->cap * 2 : kInitialNodes;
    auto* nodes = (FlameNode*)memRealloc(t->nodes, sizeof(FlameNode) * cap);
    if (!nodes) return UINT32_MAX;
    t->nodes = nodes;
    t->cap = cap;
  }
  if (parent != UINT32_MAX) {
    FlameNode* p = &t->nodes[parent];
    if (p->childCount == p->childCap) {
      const u32 cap = p->childCap ? p->childCap * 2 : kInitialChildren;
      auto* children = (u32*)memRealloc(p->children, sizeof(u32) * cap);
      if (!children) return UINT32_MAX;
      p->children = children;
      p->childCap = cap;
    }
  }
  char* copy = copyLabel(label);
  if (!copy) return UINT32_MAX;
  const u32 index = t->count++;
  t->nodes[index] = FlameNode{copy, 0, nullptr, 0, 0};
  if (parent != UINT32_MAX) {
    FlameNode* p = &t->nodes[parent];
    p->children[p->childCount++] = index;
  }
  return index;
}

FlameThreadGraph* findOrAddPanel(FlameGraph* g, u64 token, const char* threadName) {
  char name[TRACE_NAME_LEN];
  if (threadName && threadName[0]) {
    std::snprintf(name, sizeof name, "%s", threadName);
  } else {
    std::snprintf(name, sizeof name, "thread-%llu", (unsigned long long)token);
  }
  for (u32 i = 0; i < g->threadCount; ++i) {
    if (std::strcmp(g->threads[i].threadName, name) == 0) {
      g->threads[i].threadToken = token;
      return &g->threads[i];
    }
  }
  if (g->threadCount == g->threadCap) {
    const u32 cap = g->threadCap ? g->threadCap * 2 : kInitialPanels;
    auto* threads = (FlameThreadGraph*)memRealloc(g->threads, sizeof(FlameThreadGraph) * cap);
    if (!threads) return nullptr;
    g->threads = threads;
    g->threadCap = cap;
  }
  FlameThreadGraph* t = &g->threads[g->threadCount];
  *t = FlameThreadGraph{};
  t->threadToken = token;
  std::memcpy(t->threadName, name, sizeof name);
  if (addNode(t, UINT32_MAX, "root") != 0) {
    freeNodes(t);
    return nullptr;
  }
  ++g->threadCount;
  return t;
}

// `labelAt(i)` names frame i counted from the outermost; it is asked for each
// frame once, in order, and its result is used before the next call.
template <typename LabelAt>
b8 addStack(FlameGraph* g, u64 token, const char* threadName, u32 count, LabelAt labelAt) {
  if (!g || count == 0) return false;
  if (count > TRACE_MAX_FRAMES) count = TRACE_MAX_FRAMES;  // the sampler never walks deeper
  FlameThreadGraph* t = findOrAddPanel(g, token, threadName);
  if (!t) return false;
  t->samples += 1;
  t->nodes[0].hits += 1;
  u32 current = 0;
  for (u32 i = 0; i < count; ++i) {
    const char* label = labelAt(i);
    if (!label || !label[0]) label = "<unknown>";
    if (isStopLabel(label)) break;
    u32 next = UINT32_MAX;
    const FlameNode& parent = t->nodes[current];
    for (u32 c = 0; c < parent.childCount; ++c) {
      if (std::strcmp(t->nodes[parent.children[c]].label, label) == 0) {
        next = parent.children[c];
        break;
      }
    }
    if (next == UINT32_MAX) next = addNode(t, current, label);
    if (next == UINT32_MAX) return false;
    t->nodes[next].hits += 1;
    current = next;
  }
  return true;
}

u64 selfHits(const FlameThreadGraph* t, u32 index) {
  const FlameNode& n = t->nodes[index];
  u64 children = 0;
  for (u32 c = 0; c < n.childCount; ++c) children += t->nodes[n.children[c]].hits;
  return n.hits > children ? n.hits - children : 0;
}

// Writes a label; with `folded`, ';' (the frame separator) becomes '_' as well
// as control characters, which would break a line in either file.
void writeLabel(FILE* f, const char* label, b8 folded) {
  for (const char* p = label; *p; ++p) {
    const unsigned char c = (unsigned char)*p;
    std::fputc((c < 0x20 || c == 0x7f || (folded && c == ';')) ? '_' : c, f);
  }
}

// One line per node with self hits, depth first from the root's children. The
// path is written from a stack of node indices, so no line is ever cut.
void writePaths(FILE* f, const FlameThreadGraph* t, b8 folded) {
  if (t->count == 0) return;
  if (folded) {
    const u64 rootOnly = selfHits(t, 0);
    if (rootOnly) {
      writeLabel(f, t->threadName[0] ? t->threadName : "thread", true);
      std::fprintf(f, " %llu\n", (unsigned long long)rootOnly);
    }
  }
  // Explicit stack: node index and the next child to visit; a path is at most
  // one node per frame deep.
  struct Visit {
    u32 node, next;
  };
  Visit stack[TRACE_MAX_FRAMES + 1];
  u32 depth = 0;
  stack[depth++] = Visit{0, 0};
  while (depth) {
    Visit& top = stack[depth - 1];
    const FlameNode& n = t->nodes[top.node];
    if (top.next == n.childCount || depth > TRACE_MAX_FRAMES) {
      --depth;
      continue;
    }
    const u32 child = n.children[top.next++];
    stack[depth++] = Visit{child, 0};
    const u64 self = selfHits(t, child);
    if (!self) continue;
    if (folded) {
      writeLabel(f, t->threadName[0] ? t->threadName : "thread", true);
      std::fputc(';', f);
    }
    for (u32 d = 1; d < depth; ++d) {
      if (d > 1) std::fputc(';', f);
      writeLabel(f, t->nodes[stack[d].node].label, folded);
    }
    std::fprintf(f, " %llu\n", (unsigned long long)self);
  }
}

b8 dump(const FlameGraph* g, const char* path, b8 folded) {
  if (!g || !path) return false;
  FILE* f = std::fopen(path, "w");
  if (!f) {
    std::fprintf(stderr, "Failed to open %s for flame graph dump\n", path);
    return false;
  }
  for (u32 i = 0; i < g->threadCount; ++i) {
    const FlameThreadGraph* t = &g->threads[i];
    if (!folded) {
      std::fputs("# thread: ", f);
      writeLabel(f, t->threadName, false);
      std::fputc('\n', f);
    }
    writePaths(f, t, folded);
  }
  const b8 ok = !std::ferror(f);
  if (std::fclose(f) != 0 || !ok) {
    std::fprintf(stderr, "Failed to write flame graph dump %s\n", path);
    return false;
  }
  return true;
}

mu_Color rgb(int r, int g, int b) { return mu_color(r, g, b, 255); }

struct BarStyle {
  i32 rowH, gap, top;  // top: the panel area's upper edge
  u64 ns;  // time per hit
};

void drawLabel(mu_Context* mu, mu_Rect bar, const char* text, mu_Color color) {
  // Long names stay inside their bar.
  mu_push_clip_rect(mu, bar);
  mu_draw_text(mu, mu->style->font, text, -1, mu_vec2(bar.x + 4, bar.y + 2), color);
  mu_pop_clip_rect(mu);
}

void clickToFocus(mu_Context* mu, FlameThreadGraph* t, u32 node, mu_Rect bar) {
  if ((mu->mouse_pressed & MU_MOUSE_LEFT) && mu_mouse_over(mu, bar)) t->focusNode = node;
}

// Lays the children of `parent` side by side in the row at y across [x, x + w),
// each as wide as its share of the parent's hits, then their children above.
void drawChildren(mu_Context* mu, FlameThreadGraph* t, u32 parent, i32 x, i32 w, i32 y, u32 depth,
                  const BarStyle& st) {
  const u64 parentHits = t->nodes[parent].hits;
  if (parentHits == 0 || w <= 0) return;
  const u32 childCount = t->nodes[parent].childCount;
  // The last child with hits takes what is left of the row.
  u32 last = UINT32_MAX;
  for (u32 c = 0; c < childCount; ++c)
    if (t->nodes[t->nodes[parent].children[c]].hits) last = c;
  i32 cx = x;
  for (u32 c = 0; c < childCount && cx < x + w; ++c) {
    const u32 child = t->nodes[parent].children[c];
    const FlameNode& n = t->nodes[child];
    if (n.hits == 0) continue;
    i32 cw = (i32)((f64)w * (f64)n.hits / (f64)parentHits);
    if (cw < 1) cw = 1;
    if (c == last) cw = x + w - cx;
    if (cw > x + w - cx) cw = x + w - cx;
    const mu_Rect bar = mu_rect(cx, y, cw, st.rowH);
    mu_draw_rect(mu, bar, graphColor(n.label, depth));
    if (cw > 56) {
      char text[160];
      std::snprintf(text, sizeof text, "%s (%llu)", n.label, (unsigned long long)n.hits);
      drawLabel(mu, bar, text, rgb(250, 250, 250));
    }
    clickToFocus(mu, t, child, bar);
    // Rows above the panel's area are not drawn: clicking a bar zooms in.
    const i32 above = y - st.rowH - st.gap;
    if (above >= st.top) drawChildren(mu, t, child, cx, cw, above, depth + 1, st);
    cx += cw;
  }
}

// Depth of `node` below the root (0 for the root), by a search from the root.
u32 nodeDepth(const FlameThreadGraph* t, u32 node, u32 from = 0, u32 depth = 0) {
  if (from == node) return depth;
  if (depth >= TRACE_MAX_FRAMES) return UINT32_MAX;
  const FlameNode& n = t->nodes[from];
  for (u32 c = 0; c < n.childCount; ++c) {
    const u32 d = nodeDepth(t, node, n.children[c], depth + 1);
    if (d != UINT32_MAX) return d;
  }
  return UINT32_MAX;
}

void drawPanelArea(mu_Context* mu, FlameGraph* g, FlameThreadGraph* t, mu_Rect area, f32 s) {
  mu_draw_rect(mu, area, rgb(18, 18, 22));
  if (t->focusNode >= t->count) t->focusNode = 0;
  if (t->count == 0 || t->nodes[t->focusNode].hits == 0) {
    mu_draw_text(mu, mu->style->font, "No traces captured yet.", -1, mu_vec2(area.x + 8, area.y + 8),
                 rgb(220, 220, 220));
    return;
  }
  mu_push_clip_rect(mu, area);
  BarStyle st{(i32)(18.0f * s), (i32)(2.0f * s), area.y, g->sampleIntervalNs ? g->sampleIntervalNs : 1};
  // Bars at least as tall as a line of text, so their labels stay legible at
  // small interface scales.
  const i32 textH = mu->text_height ? mu->text_height(mu->style->font) + 4 : 0;
  if (st.rowH < textH) st.rowH = textH;
  if (st.rowH < 1) st.rowH = 1;
  const i32 bottom = area.y + area.h - st.rowH;
  const u32 focus = t->focusNode;
  if (focus == 0) {
    // The root itself is not drawn: its children share the bottom row.
    drawChildren(mu, t, 0, area.x, area.w, bottom, 1, st);
  } else {
    const FlameNode& n = t->nodes[focus];
    const mu_Rect bar = mu_rect(area.x, bottom, area.w, st.rowH);
    mu_draw_rect(mu, bar, rgb(255, 170, 40));
    if (bar.w > 48 && bar.h > 10) {
      char text[192];
      std::snprintf(text, sizeof text, "%s (%llu ns)", n.label, (unsigned long long)(st.ns * n.hits));
      drawLabel(mu, bar, text, rgb(245, 245, 245));
    }
    const u32 depth = nodeDepth(t, focus);
    const i32 above = bottom - st.rowH - st.gap;
    if (above >= st.top) drawChildren(mu, t, focus, area.x, area.w, above, depth == UINT32_MAX ? 1 : depth + 1, st);
  }
  mu_pop_clip_rect(mu);
}

}  // namespace

void flameGraphInit(FlameGraph* graph) {
  if (!graph) return;
  *graph = FlameGraph{};
  graph->sampleIntervalNs = 1'000'000;
}

void flameGraphClear(FlameGraph* graph) {
  if (!graph) return;
  for (u32 i = 0; i < graph->threadCount; ++i) freeNodes(&graph->threads[i]);
  graph->threadCount = 0;
}

void flameGraphDestroy(FlameGraph* graph) {
  if (!graph) return;
  flameGraphClear(graph);
  memFree(graph->threads);
  graph->threads = nullptr;
  graph->threadCap = 0;
}

void flameGraphSetEnabled(FlameGraph* graph, b8 on) {
  if (graph) graph->enabled = on;
}

b8 flameGraphIsEnabled(const FlameGraph* graph) { return graph && graph->enabled; }

b8 flameGraphAddStack(FlameGraph* graph, u64 token, const char* threadName, const char* const* labels, u32 count) {
  if (!labels) return false;
  return addStack(graph, token, threadName, count, [&](u32 i) { return labels[i]; });
}

void flameGraphCapture(FlameGraph* graph) {
  if (!graph || !graph->enabled) return;
  if (const u64 period = traceProfilerPeriodNs()) graph->sampleIntervalNs = period;
  TraceSample s;
  // At most one queue's worth per frame, so a flood cannot hold the frame up.
  for (u32 n = 0; n < TRACE_QUEUE_CAP && traceProfilerPopSample(&s); ++n) {
    const u32 count = (u32)s.count;
    addStack(graph, s.threadToken, s.threadName, count, [&](u32 i) {
      // Outermost first. Return addresses are named one byte back, inside the call.
      const u32 inner = count - 1 - i;
      return traceSymbolName(inner == 0 ? s.items[0] : s.items[inner] - 1);
    });
  }
}

b8 flameGraphDumpToFile(const FlameGraph* graph, const char* path) { return dump(graph, path, false); }

b8 flameGraphDumpFolded(const FlameGraph* graph, const char* path) { return dump(graph, path, true); }

mu_Color graphColor(const char* label, u32 depth) {
  u32 h = 0x811c9dc5u;
  for (const char* p = label ? label : ""; *p; ++p) {
    h ^= (u8)*p;
    h *= 16777619u;
  }
  h ^= depth * 0x9e3779b9u;
  return mu_color(90 + (int)(h & 95), 90 + (int)((h >> 8) & 95), 90 + (int)((h >> 16) & 95), 255);
}

b8 flameGraphDraw(FlameGraph* graph, mu_Context* mu, i32 windowW, i32 windowH, f32 scale) {
  (void)windowH;
  if (!graph || !mu || !graph->enabled) return false;
  const f32 s = scale > 0.0f ? scale : 1.0f;
  i32 x = (i32)((f32)windowW - 10.0f * s - 520.0f * s);
  if (x < (i32)(10.0f * s)) x = (i32)(10.0f * s);
  if (!mu_begin_window_ex(mu, "Trace", mu_rect(x, (i32)(10.0f * s), (i32)(520.0f * s), (i32)(620.0f * s)),
                          MU_OPT_NOCLOSE))
    return false;
  const int top[3] = {(int)(80.0f * s), (int)(80.0f * s), -1};
  mu_layout_row(mu, 3, top, 0);
  if (mu_button(mu, "Clear")) flameGraphClear(graph);
  b8 saved = false;
  if (mu_button(mu, "Save")) {
    saved = true;
    flameGraphDumpToFile(graph, "flamegraph.txt");
    flameGraphDumpFolded(graph, "flamegraph.folded");
  }
  char text[64];
  std::snprintf(text, sizeof text, "Threads: %u", graph->threadCount);
  mu_label(mu, text);
  for (u32 i = 0; i < graph->threadCount; ++i) {
    FlameThreadGraph* t = &graph->threads[i];
    const char* name = t->threadName[0] ? t->threadName : "thread";
    // Headers and the controls inside are keyed by the thread's name.
    if (!mu_header_ex(mu, name, MU_OPT_EXPANDED)) continue;
    mu_push_id(mu, name, (int)std::strlen(name));
    const int row[2] = {(int)(80.0f * s), -1};
    mu_layout_row(mu, 2, row, 0);
    if (mu_button(mu, "Back")) t->focusNode = 0;
    std::snprintf(text, sizeof text, "Time: %llu ns",
                  (unsigned long long)((graph->sampleIntervalNs ? graph->sampleIntervalNs : 1) * t->samples));
    mu_label(mu, text);
    const int full[1] = {-1};
    mu_layout_row(mu, 1, full, (int)(220.0f * s));
    drawPanelArea(mu, graph, t, mu_layout_next(mu), s);
    mu_pop_id(mu);
  }
  mu_end_window(mu);
  return saved;
}
