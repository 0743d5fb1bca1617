#include <gtest/gtest.h>

#include <vector>

#include "app/state.h"

namespace {

struct Cell {
  i32 x, y, w, h;
};

TEST(SplitViewport, CellsForOneToFourPlayers) {
  struct Case {
    i32 w, h;
    u32 n;
    std::vector<Cell> cells;
  } cases[] = {
      {1280, 720, 1, {{0, 0, 1280, 720}}},
      {1280, 720, 2, {{0, 0, 640, 720}, {640, 0, 640, 720}}},
      {1280, 720, 3, {{0, 0, 640, 360}, {640, 0, 640, 360}, {0, 360, 640, 360}}},
      {1280, 720, 4, {{0, 0, 640, 360}, {640, 0, 640, 360}, {0, 360, 640, 360}, {640, 360, 640, 360}}},
      // Odd sizes: the right column and the bottom row take the extra pixel.
      {1281, 721, 4, {{0, 0, 640, 360}, {640, 0, 641, 360}, {0, 360, 640, 361}, {640, 360, 641, 361}}},
  };
  for (const Case& c : cases) {
    for (u32 i = 0; i < c.n; i++) {
      SplitViewport v = splitViewport(c.w, c.h, c.n, i);
      const Cell& e = c.cells[i];
      EXPECT_EQ(v.x, e.x) << c.n << " players, cell " << i;
      EXPECT_EQ(v.y, e.y) << c.n << " players, cell " << i;
      EXPECT_EQ(v.width, e.w) << c.n << " players, cell " << i;
      EXPECT_EQ(v.height, e.h) << c.n << " players, cell " << i;
    }
  }
}

// Every pixel of the window belongs to exactly one cell (with three players the
// bottom-right quarter is the one area left empty).
TEST(SplitViewport, CellsCoverTheWindowExactly) {
  const i32 sizes[][2] = {{1280, 720}, {1281, 721}, {7, 5}, {1, 1}};
  for (auto& s : sizes) {
    for (u32 n = 1; n <= 4; n++) {
      std::vector<int> hits((size_t)s[0] * s[1], 0);
      for (u32 i = 0; i < n; i++) {
        SplitViewport v = splitViewport(s[0], s[1], n, i);
        for (i32 y = v.y; y < v.y + v.height; y++)
          for (i32 x = v.x; x < v.x + v.width; x++) hits[(size_t)y * s[0] + x]++;
      }
      for (i32 y = 0; y < s[1]; y++)
        for (i32 x = 0; x < s[0]; x++) {
          bool emptyQuarter = n == 3 && x >= s[0] / 2 && y >= s[1] / 2;
          ASSERT_EQ(hits[(size_t)y * s[0] + x], emptyQuarter ? 0 : 1)
              << s[0] << "x" << s[1] << " n=" << n << " at " << x << "," << y;
        }
    }
  }
}

}  // namespace
