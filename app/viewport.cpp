#include "app/state.h"

LocalPlayer* statePlayer(State* state, u32 slot) {
  if (!state || slot >= kMaxLocalPlayers) return nullptr;
  return slot == 0 ? &state->player : &state->localPlayers[slot - 1];
}

SplitViewport splitViewport(i32 windowW, i32 windowH, u32 count, u32 index) {
  if (count < 1) count = 1;
  if (count > kMaxLocalPlayers) count = kMaxLocalPlayers;
  i32 columns = count < 2 ? 1 : 2;
  i32 rows = count <= 2 ? 1 : 2;
  i32 cellW = windowW / columns, cellH = windowH / rows;
  i32 column = columns == 2 ? (i32)(index & 1) : 0;
  i32 row = columns == 2 ? (i32)(index >> 1) : (i32)index;
  SplitViewport v;
  v.x = column * cellW;
  v.y = row * cellH;
  v.width = column == columns - 1 ? windowW - v.x : cellW;
  v.height = row == rows - 1 ? windowH - v.y : cellH;
  return v;
}
