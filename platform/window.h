// The application window on SDL2: input events in a queue of 32, game controllers
// polled one event per call, the Vulkan surface, mouse capture and the clipboard.
#pragma once

#ifndef VK_NO_PROTOTYPES
#define VK_NO_PROTOTYPES
#endif
#include <vulkan/vulkan.h>

#include "platform/input.h"
#include "platform/types.h"

struct SDL_Window;
union SDL_Event;

inline constexpr i32 kPlatformInputQueueSize = 32;
inline constexpr u32 kPlatformMaxGamepads = 4;

// What the event translation reads and updates: the window as the application last
// heard of it.
struct PlatformEventState {
  i32 width, height;  // reported client size (0 x 0 while minimised)
  i32 windowWidth, windowHeight;  // the window's real size, also while minimised
  b8 visible;
  b8 minimized;
  b8 hidden;
  b8 shouldClose;
  i32 mouseX, mouseY;
  b8 mouseCapture;
  // A hide seen in this batch of window-system events, reported at its end (see
  // platformTranslateEnd).
  b8 hidePending;
};

// The events one window-system event turns into, and whether the cursor must be
// put back at the client centre (capture).
struct PlatformTranslation {
  InputEvent events[kPlatformInputQueueSize];
  u32 count;
  b8 warpToCenter;
};

struct Platform {
  SDL_Window* window;
  u32 windowId;
  PlatformEventState state;
  InputEvent inputQueue[kPlatformInputQueueSize];
  i32 inputHead, inputTail;
  b8 cursorHidden;
  i32 savedCursorX, savedCursorY;  // screen position before capture
};

// A resizable Vulkan window of width x height client pixels titled `title` (UTF-8;
// "Map" when null). Null on failure, after printing the reason.
Platform* platformCreate(i32 width, i32 height, const char* title);
// Same with vulkan false: a plain window (used where Vulkan windows are refused).
Platform* platformCreateWindow(i32 width, i32 height, const char* title, b8 vulkan);
void platformDestroy(Platform* plat);
// Instance extensions the surface needs; the array stays valid for the process.
const char** platformGetRequiredExtensions(u32* count);
VkResult platformCreateSurface(Platform* plat, VkInstance instance, VkSurfaceKHR* surface);
void platformGetSize(Platform* plat, i32* w, i32* h);
void platformGetMousePos(Platform* plat, i32* x, i32* y);
b8 platformShouldClose(Platform* plat);
// Drains the window system's events into the queue, then adds at most one
// audio-device event (any number of device changes since the last poll) and at
// most one controller event. Returns whether anything happened.
b8 platformPoll(Platform* plat);
b8 platformPollInput(Platform* plat, InputEvent* event);
// Blocks until the next window event (unless the window is closing).
void platformWaitEvent(Platform* plat);
// Like platformWaitEvent, but returns after at most timeoutMs milliseconds
// (a minimised program still has timers to run); true when events came.
b8 platformWaitEventTimeout(Platform* plat, i32 timeoutMs);
void platformSetMouseCapture(Platform* plat, b8 capture);
// Clipboard text, zero-terminated, at most capacity bytes with the terminator, cut
// at a character boundary; returns its length, 0 on any failure (empty string).
u32 platformGetClipboard(Platform* plat, char* buffer, u32 capacity);
void platformSetClipboard(Platform* plat, const char* text);

// Translates one SDL event against the window state (pure: no SDL calls).
PlatformTranslation platformTranslateEvent(PlatformEventState* state, const SDL_Event* event);
// Ends a batch of translated events (one drain of the window system's queue).
// A hide is reported here rather than where it came: X11 delivers a minimise as
// hide + minimise, and the size 0 x 0 must come before the visibility change.
PlatformTranslation platformTranslateEnd(PlatformEventState* state);
// Appends to the queue (at most 31 waiting). When it is full, motion events are
// merged to make room; should that not do, an event that ends or changes a state
// (a key, mouse or controller release, a resize, visibility or close) takes the
// place of the newest one that does not, so that no key is left held. False when
// the event was dropped.
b8 platformQueueEvent(Platform* plat, const InputEvent* event);

// Game controllers 0 to 3.
void platformGamepadInit();
void platformGamepadShutdown();
// At most one controller event: the first changed button of any controller, else
// the first changed axis. A stick change that comes with a button change is
// absorbed; several buttons changed at once come one per call.
b8 platformGamepadPoll(InputEvent* event);
b8 platformGamepadIsConnected(u32 index);
b8 platformGamepadNextHotplugEvent(InputEvent* event);
