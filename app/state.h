// The application's one State record: owns every subsystem for the life of the
// process. Subsystems are added here in the order of creation as they arrive.
#pragma once

#include "components/camera.h"
#include "components/player.h"
#include "ecs/ecs.h"
#include "platform/input.h"
#include "platform/types.h"
#include "platform/window.h"
#include "renderer/meshpool.h"
#include "renderer/pipelines.h"
#include "renderer/renderer.h"

inline constexpr u32 kMaxLocalPlayers = 4;

struct State {
  Renderer renderer;
  Pipelines pipelines;
  MeshPool vertexPool;
  MeshPool indexPool;
  // Local player 0; `camera` is the first member of LocalPlayer.
  union {
    Camera camera;
    LocalPlayer player;
  };
  LocalPlayer localPlayers[kMaxLocalPlayers - 1];  // players 1 to 3
  u32 localPlayerCount;  // 1 to 4
  u32 keyboardPlayer;  // receives keyboard and mouse events
  Platform* plat;
  Ecs ecs;
  i32 windowW, windowH;
  f64 fps;  // target refresh rate handed to the renderer
  f64 curfps;  // measured
  b8 windowVisible;
  b8 keys[InputKeyCount];
  b8 mouse[4];
  i32 mouseX, mouseY;
};

// Slot 0 is `player`, slot i (1 to 3) is localPlayers[i - 1].
LocalPlayer* statePlayer(State* state, u32 slot);

// The rectangle of player `index` among `count` split-screen cells.
struct SplitViewport {
  i32 x, y, width, height;
};
// One column below two players, two above; one row up to two players, two above.
// The last column and row take the remainder, so the cells cover the window.
SplitViewport splitViewport(i32 windowW, i32 windowH, u32 count, u32 index);

// Dispatches one input event (null: the per-frame player update) to the
// application; sets *quit on Esc.
void handleInputEvent(State* state, Platform* plat, const InputEvent* event, b8* quit, f64 dt);
