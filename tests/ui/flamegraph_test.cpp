// Flame graphs from hand-made samples: the trees, both dumps (the folded one
// read back by a strict parser), the profiler's queue drained into them and the
// "Trace" window's bars.
#include "ui/flamegraph.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Stack {
  u64 token;
  const char* thread;
  std::vector<const char*> labels;  // outermost first
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string tempPath(const char* name) {
  std::string path = ::testing::TempDir();
  path += '/';
  path += std::to_string(getpid());
  path += '-';
  path += name;
  return path;
}

// The collapsed-stack grammar, strictly: frame(;frame)* SP count, frames
// non-empty without separators or control characters, the count a positive
// decimal without leading zeros. (std::regex recurses per character and would
// overflow the stack on long names.)
bool parseFoldedLine(const std::string& line, std::string* stack, u64* count) {
  const size_t space = line.rfind(' ');
  if (space == std::string::npos || space == 0 || space + 1 == line.size()) return false;
  const std::string digits = line.substr(space + 1);
  if (digits[0] == '0') return false;
  for (char c : digits)
    if (c < '0' || c > '9') return false;
  *stack = line.substr(0, space);
  size_t frameStart = 0;
  for (size_t i = 0; i <= stack->size(); ++i) {
    if (i == stack->size() || (*stack)[i] == ';') {
      if (i == frameStart) return false;
      frameStart = i + 1;
      continue;
    }
    const unsigned char c = (unsigned char)(*stack)[i];
    if (c < 0x20 || c == 0x7f) return false;
  }
  *count = std::stoull(digits);
  return true;
}

struct Graph {
  FlameGraph g;
  Graph() {
    flameGraphInit(&g);
    flameGraphSetEnabled(&g, true);
  }
  ~Graph() { flameGraphDestroy(&g); }
  void add(const Stack& s) {
    ASSERT_TRUE(flameGraphAddStack(&g, s.token, s.thread, s.labels.data(), (u32)s.labels.size()));
  }
  std::string dump(b8 folded) {
    const std::string path = tempPath(folded ? "fg.folded" : "fg.txt");
    EXPECT_TRUE(folded ? flameGraphDumpFolded(&g, path.c_str()) : flameGraphDumpToFile(&g, path.c_str()));
    std::string text = readFile(path);
    unlink(path.c_str());
    return text;
  }
};

// Same label under different parents stays apart; stop labels end a walk; a
// stack stopped at its outermost frame is a root hit only; a node whose hits
// all come from its children writes no line; names are sanitised per file.
TEST(FlameGraph, TreeAndBothDumpsFromATableOfStacks) {
  Graph fg;
  const Stack table[] = {
      {1, "main", {"a", "b", "c"}},
      {1, "main", {"a", "c"}},
      {1, "main", {"a", "b", "c"}},
      {1, "main", {"d", "b"}},
      {1, "main", {"a", "nanoSleep(unsigned long)", "x"}},
      {1, "main", {"samplerMain", "foo"}},
      {1, "main", {"a", "b", "traceSignalHandler"}},
      {1, "main", {"a", nullptr}},
      {7, "x;y", {"p;q\tr"}},
      {42, "", {"solo"}},
      {9, "main", {"a", "c"}},  // another thread of the same name: same panel
  };
  for (const Stack& s : table) fg.add(s);
  ASSERT_EQ(fg.g.threadCount, 3u);
  EXPECT_EQ(fg.g.threads[0].samples, 9u);
  EXPECT_EQ(fg.g.threads[0].nodes[0].hits, 9u);
  EXPECT_STREQ(fg.g.threads[2].threadName, "thread-42");

  EXPECT_EQ(fg.dump(false),
            "# thread: main\n"
            "a 1\n"
            "a;b 1\n"
            "a;b;c 2\n"
            "a;c 2\n"
            "a;<unknown> 1\n"
            "d;b 1\n"
            "# thread: x;y\n"
            "p;q_r 1\n"
            "# thread: thread-42\n"
            "solo 1\n");
  EXPECT_EQ(fg.dump(true),
            "main 1\n"
            "main;a 1\n"
            "main;a;b 1\n"
            "main;a;b;c 2\n"
            "main;a;c 2\n"
            "main;a;<unknown> 1\n"
            "main;d;b 1\n"
            "x_y;p_q_r 1\n"
            "thread-42;solo 1\n");

  flameGraphClear(&fg.g);
  EXPECT_EQ(fg.g.threadCount, 0u);
  EXPECT_EQ(fg.dump(true), "");
  fg.add(table[0]);
  EXPECT_EQ(fg.dump(false), "# thread: main\na;b;c 1\n");
}

// The folded file of many random stacks (names with spaces, separators,
// control characters, 5000-byte names, the deepest stacks) read back by a
// strict parser of the collapsed-stack grammar gives back exactly the stacks
// that went in.
TEST(FlameGraph, FoldedDumpReadsBackStrictly) {
  const std::string longName(5000, 'L');
  const char* alphabet[] = {"alpha", "beta gamma(int, char)", "semi;colon", "tab\there", "new\nline",
                            "(anonymous namespace)::f()", longName.c_str(), "0x7f0012345678"};
  const char* threads[] = {"main", "world", "au;dio"};
  auto clean = [](std::string s) {
    for (char& c : s)
      if ((unsigned char)c < 0x20 || c == 0x7f || c == ';') c = '_';
    return s;
  };
  std::mt19937 rng(7);
  Graph fg;
  std::map<std::string, u64> expected;
  for (int i = 0; i < 3000; ++i) {
    Stack s{(u64)(i % 3), threads[i % 3], {}};
    const u32 depth = (i % 97 == 0) ? TRACE_MAX_FRAMES : 1 + rng() % 8;
    for (u32 d = 0; d < depth; ++d) s.labels.push_back(alphabet[rng() % 8]);
    if (i % 50 == 0) s.labels.insert(s.labels.begin() + rng() % s.labels.size(), "traceProfilerThreadStart");
    fg.add(s);
    std::string path = clean(s.thread);
    for (const char* l : s.labels) {
      if (std::string(l).find("traceProfiler") != std::string::npos) break;
      path += ';';
      path += clean(l);
    }
    expected[path] += 1;
  }
  const std::string text = fg.dump(true);
  ASSERT_FALSE(text.empty());
  ASSERT_EQ(text.back(), '\n');
  std::map<std::string, u64> got;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) {
    std::string stack;
    u64 count = 0;
    ASSERT_TRUE(parseFoldedLine(l, &stack, &count)) << l.substr(0, 200);
    ASSERT_EQ(got.count(stack), 0u) << "stack written twice";
    got[stack] = count;
  }
  EXPECT_EQ(got, expected);
}

TEST(FlameGraph, UnwritablePathPrintsTheMessageAndReturnsFalse) {
  Graph fg;
  fg.add({1, "main", {"a"}});
  const char* path = "/nonexistent-terrain-dir/flamegraph.txt";
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(flameGraphDumpToFile(&fg.g, path));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Failed to open /nonexistent-terrain-dir/flamegraph.txt for flame graph dump\n");
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(flameGraphDumpFolded(&fg.g, "/nonexistent-terrain-dir/flamegraph.folded"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Failed to open /nonexistent-terrain-dir/flamegraph.folded for flame graph dump\n");
}

}  // namespace

__attribute__((noinline)) void flameTestInner() { asm volatile(""); }
__attribute__((noinline)) void flameTestOuter() {
  flameTestInner();
  asm volatile("");
}

// Samples queued by the profiler become named frames: the innermost address is
// a program counter, the others return addresses named one byte back.
TEST(FlameGraph, CaptureNamesQueuedAddressesOnlyWhileEnabled) {
  ASSERT_TRUE(traceProfilerInit(50'000'000));
  Graph fg;
  const u64 inner = (u64)(void*)&flameTestInner;
  // A return address just past a call at the end of flameTestOuter's first byte.
  const u64 outerReturn = (u64)(void*)&flameTestOuter + 1;
  const u64 items[2] = {inner, outerReturn};
  flameGraphSetEnabled(&fg.g, false);
  traceProfilerQueuePush(5, "worker", items, 2);
  flameGraphCapture(&fg.g);
  EXPECT_EQ(fg.g.threadCount, 0u);
  EXPECT_EQ(traceProfilerQueuedCount(), 1u);  // left for when it is enabled
  flameGraphSetEnabled(&fg.g, true);
  traceProfilerQueuePush(5, "worker", items, 2);
  flameGraphCapture(&fg.g);
  EXPECT_EQ(traceProfilerQueuedCount(), 0u);
  traceProfilerShutdown();
  EXPECT_EQ(fg.dump(false), "# thread: worker\nflameTestOuter();flameTestInner() 2\n");
}

namespace {

int fakeWidth(mu_Font, const char* s, int len) { return 8 * (len < 0 ? (int)strlen(s) : len); }
int fakeHeight(mu_Font) { return 10; }

struct Ui {
  std::unique_ptr<mu_Context> ctx{new mu_Context};
  Ui() {
    mu_init(ctx.get());
    ctx->text_width = fakeWidth;
    ctx->text_height = fakeHeight;
  }
  std::vector<mu_RectCommand> frame(FlameGraph* g) {
    mu_begin(ctx.get());
    flameGraphDraw(g, ctx.get(), 1280, 720, 1.0f);
    mu_end(ctx.get());
    std::vector<mu_RectCommand> rects;
    mu_Command* cmd = nullptr;
    while (mu_next_command(ctx.get(), &cmd))
      if (cmd->type == MU_COMMAND_RECT) rects.push_back(cmd->rect);
    return rects;
  }
  std::vector<std::string> texts(FlameGraph* g) {
    mu_begin(ctx.get());
    flameGraphDraw(g, ctx.get(), 1280, 720, 1.0f);
    mu_end(ctx.get());
    std::vector<std::string> out;
    mu_Command* cmd = nullptr;
    while (mu_next_command(ctx.get(), &cmd))
      if (cmd->type == MU_COMMAND_TEXT) out.push_back(cmd->text.str);
    return out;
  }
};

bool sameColor(mu_Color a, mu_Color b) { return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a; }

const mu_RectCommand* findColor(const std::vector<mu_RectCommand>& rects, mu_Color c) {
  for (const auto& r : rects)
    if (sameColor(r.color, c)) return &r;
  return nullptr;
}

}  // namespace

// Children sit one row above their parent with widths by share of hits; a click
// on a bar makes it the focus, drawn full width in orange at the bottom.
TEST(FlameGraph, TraceWindowBarsSharesAndFocus) {
  Graph fg;
  Ui ui;
  for (int i = 0; i < 3; ++i) fg.add({1, "main", {"a", "b"}});
  fg.add({1, "main", {"a", "c"}});
  ui.frame(&fg.g);  // first frame lays the window out
  auto rects = ui.frame(&fg.g);
  const mu_RectCommand* a = findColor(rects, graphColor("a", 1));
  const mu_RectCommand* b = findColor(rects, graphColor("b", 2));
  const mu_RectCommand* c = findColor(rects, graphColor("c", 2));
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(b->rect.y, a->rect.y - 18 - 2);  // rows 18 high (text 10 + 4 is less), gap 2
  EXPECT_EQ(c->rect.y, b->rect.y);
  EXPECT_EQ(b->rect.x, a->rect.x);
  EXPECT_EQ(b->rect.w, a->rect.w * 3 / 4);
  EXPECT_EQ(c->rect.x, b->rect.x + b->rect.w);
  EXPECT_EQ(c->rect.x + c->rect.w, a->rect.x + a->rect.w);  // the last takes the rest
  const mu_Rect bRect = b->rect, aRect = a->rect;

  mu_input_mousemove(ui.ctx.get(), bRect.x + bRect.w / 2, bRect.y + bRect.h / 2);
  ui.frame(&fg.g);  // hover
  mu_input_mousedown(ui.ctx.get(), bRect.x + bRect.w / 2, bRect.y + bRect.h / 2, MU_MOUSE_LEFT);
  ui.frame(&fg.g);
  mu_input_mouseup(ui.ctx.get(), bRect.x + bRect.w / 2, bRect.y + bRect.h / 2, MU_MOUSE_LEFT);
  rects = ui.frame(&fg.g);
  const mu_RectCommand* focus = findColor(rects, mu_color(255, 170, 40, 255));
  ASSERT_NE(focus, nullptr);
  EXPECT_EQ(focus->rect.y, aRect.y);
  EXPECT_EQ(focus->rect.w, aRect.w);
  EXPECT_EQ(findColor(rects, graphColor("a", 1)), nullptr);
  bool timeShown = false;
  for (const std::string& t : ui.texts(&fg.g)) timeShown |= t == "b (3000000 ns)";
  EXPECT_TRUE(timeShown);

  // "Back" (or a focus left outside the tree after a clear) returns to the root.
  fg.g.threads[0].focusNode = 1000;
  EXPECT_NE(findColor(ui.frame(&fg.g), graphColor("a", 1)), nullptr);
  // Disabled: no window at all.
  flameGraphSetEnabled(&fg.g, false);
  EXPECT_TRUE(ui.frame(&fg.g).empty());
}
