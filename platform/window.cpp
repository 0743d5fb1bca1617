// The window, its event queue, the Vulkan surface, mouse capture and the clipboard.
#include <vulkan/vulkan.h>
#include <SDL2/SDL.h>
#include <SDL2/SDL_vulkan.h>

#include <cstdio>
#include <cstring>

#include "platform/audio.h"
#include "platform/memory.h"
#include "platform/window.h"

namespace {

constexpr u32 kMaxInstanceExtensions = 8;
const char* gExtensions[kMaxInstanceExtensions];
u32 gExtensionCount = 0;

void dispatch(Platform* plat, const SDL_Event* ev) {
  if (ev->type == SDL_AUDIODEVICEADDED || ev->type == SDL_AUDIODEVICEREMOVED) {
    audioBackendNoteDeviceChange();
    return;
  }
  PlatformTranslation t = platformTranslateEvent(&plat->state, ev);
  for (u32 i = 0; i < t.count; i++) platformQueueEvent(plat, &t.events[i]);
  if (t.warpToCenter) SDL_WarpMouseInWindow(plat->window, plat->state.width / 2, plat->state.height / 2);
}

void endBatch(Platform* plat) {
  PlatformTranslation t = platformTranslateEnd(&plat->state);
  for (u32 i = 0; i < t.count; i++) platformQueueEvent(plat, &t.events[i]);
}

// Events that end or change a state: losing one leaves a key held, a window
// thought visible or a close request unheard.
b8 mustKeep(const InputEvent& e) {
  switch (e.type) {
    case InputEventKey:
    case InputEventMouseButton: return e.value == 0;
    case InputEventGamepadButton: return !e.gamepadButton.pressed;
    case InputEventResize:
    case InputEventVisibility:
    case InputEventClose: return true;
    default: return false;
  }
}

i32 ringIndex(const Platform* plat, i32 k) { return (plat->inputHead + k) % kPlatformInputQueueSize; }

i32 ringCount(const Platform* plat) {
  return (plat->inputTail - plat->inputHead + kPlatformInputQueueSize) % kPlatformInputQueueSize;
}

// Removes the k-th waiting event (0 = oldest), closing the gap.
void ringRemove(Platform* plat, i32 k) {
  i32 n = ringCount(plat);
  for (i32 j = k; j + 1 < n; j++) plat->inputQueue[ringIndex(plat, j)] = plat->inputQueue[ringIndex(plat, j + 1)];
  plat->inputTail = (plat->inputTail - 1 + kPlatformInputQueueSize) % kPlatformInputQueueSize;
}

// Folds motion event `from` into the later `into`: the later position, the
// summed movement.
void mergeMotion(InputEvent* into, const InputEvent& from) {
  into->motion.dx += from.motion.dx;
  into->motion.dy += from.motion.dy;
}

// Frees one slot of a full queue: two neighbouring motion events become one.
b8 makeRoom(Platform* plat) {
  i32 n = ringCount(plat);
  for (i32 k = 0; k + 1 < n; k++) {
    InputEvent& a = plat->inputQueue[ringIndex(plat, k)];
    InputEvent& b = plat->inputQueue[ringIndex(plat, k + 1)];
    if (a.type == InputEventMouseMotion && b.type == InputEventMouseMotion) {
      mergeMotion(&b, a);
      ringRemove(plat, k);
      return true;
    }
  }
  return false;
}

}  // namespace

Platform* platformCreateWindow(i32 width, i32 height, const char* title, b8 vulkan) {
  if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_GAMECONTROLLER) != 0) {
    std::fprintf(stderr, "platform: SDL_Init failed: %s\n", SDL_GetError());
    return nullptr;
  }
  auto* plat = static_cast<Platform*>(memCalloc(1, sizeof(Platform)));
  if (!plat) {
    SDL_Quit();
    return nullptr;
  }
  Uint32 flags = SDL_WINDOW_RESIZABLE | SDL_WINDOW_SHOWN | (vulkan ? SDL_WINDOW_VULKAN : 0);
  plat->window = SDL_CreateWindow(title ? title : "Map", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, width,
                                  height, flags);
  if (!plat->window) {
    std::fprintf(stderr, "platform: SDL_CreateWindow failed: %s\n", SDL_GetError());
    memFree(plat);
    SDL_Quit();
    return nullptr;
  }
  plat->windowId = SDL_GetWindowID(plat->window);
  i32 w = width, h = height;
  SDL_GetWindowSize(plat->window, &w, &h);
  plat->state.width = plat->state.windowWidth = w;
  plat->state.height = plat->state.windowHeight = h;
  plat->state.visible = true;
  platformGamepadInit();
  return plat;
}

Platform* platformCreate(i32 width, i32 height, const char* title) {
  return platformCreateWindow(width, height, title, true);
}

void platformDestroy(Platform* plat) {
  if (!plat) return;
  platformSetMouseCapture(plat, false);
  platformGamepadShutdown();
  SDL_DestroyWindow(plat->window);
  memFree(plat);
  SDL_Quit();
}

const char** platformGetRequiredExtensions(u32* count) {
  unsigned int n = 0;
  if (!SDL_Vulkan_GetInstanceExtensions(nullptr, &n, nullptr) || n > kMaxInstanceExtensions) n = 0;
  if (n && !SDL_Vulkan_GetInstanceExtensions(nullptr, &n, gExtensions)) n = 0;
  gExtensionCount = n;
  if (count) *count = gExtensionCount;
  return gExtensions;
}

VkResult platformCreateSurface(Platform* plat, VkInstance instance, VkSurfaceKHR* surface) {
  if (!plat || !instance || !surface) return VK_ERROR_INITIALIZATION_FAILED;
  if (!SDL_Vulkan_CreateSurface(plat->window, instance, surface)) {
    std::fprintf(stderr, "platform: SDL_Vulkan_CreateSurface failed: %s\n", SDL_GetError());
    *surface = VK_NULL_HANDLE;
    return VK_ERROR_INITIALIZATION_FAILED;
  }
  return VK_SUCCESS;
}

void platformGetSize(Platform* plat, i32* w, i32* h) {
  if (!plat) return;
  if (w) *w = plat->state.width;
  if (h) *h = plat->state.height;
}

void platformGetMousePos(Platform* plat, i32* x, i32* y) {
  if (!plat) return;
  if (x) *x = plat->state.mouseX;
  if (y) *y = plat->state.mouseY;
}

b8 platformShouldClose(Platform* plat) { return !plat || plat->state.shouldClose; }

b8 platformQueueEvent(Platform* plat, const InputEvent* event) {
  if (!plat || !event) return false;
  i32 next = (plat->inputTail + 1) % kPlatformInputQueueSize;
  if (next == plat->inputHead) {
    i32 n = ringCount(plat);
    InputEvent& newest = plat->inputQueue[ringIndex(plat, n - 1)];
    if (event->type == InputEventMouseMotion && newest.type == InputEventMouseMotion) {
      InputEvent merged = *event;
      mergeMotion(&merged, newest);
      newest = merged;
      return true;
    }
    if (!makeRoom(plat)) {
      if (!mustKeep(*event)) return false;
      i32 k = n - 1;
      while (k >= 0 && mustKeep(plat->inputQueue[ringIndex(plat, k)])) k--;
      if (k < 0) return false;
      ringRemove(plat, k);
    }
    next = (plat->inputTail + 1) % kPlatformInputQueueSize;
  }
  plat->inputQueue[plat->inputTail] = *event;
  plat->inputTail = next;
  return true;
}

b8 platformPoll(Platform* plat) {
  if (!plat) return false;
  b8 any = false;
  SDL_Event ev;
  while (SDL_PollEvent(&ev)) {
    dispatch(plat, &ev);
    any = true;
  }
  endBatch(plat);
  InputEvent devices;
  if (audioBackendNextHotplugEvent(&devices)) {
    platformQueueEvent(plat, &devices);
    any = true;
  }
  InputEvent pad;
  if (platformGamepadPoll(&pad)) {
    platformQueueEvent(plat, &pad);
    any = true;
  }
  return any;
}

b8 platformPollInput(Platform* plat, InputEvent* event) {
  if (!plat || !event || plat->inputHead == plat->inputTail) return false;
  *event = plat->inputQueue[plat->inputHead];
  plat->inputHead = (plat->inputHead + 1) % kPlatformInputQueueSize;
  return true;
}

void platformWaitEvent(Platform* plat) {
  if (!plat || plat->state.shouldClose) return;
  SDL_Event ev;
  if (!SDL_WaitEvent(&ev)) return;
  dispatch(plat, &ev);
  // The rest of the batch that came with it.
  while (SDL_PollEvent(&ev)) dispatch(plat, &ev);
  endBatch(plat);
}

b8 platformWaitEventTimeout(Platform* plat, i32 timeoutMs) {
  if (!plat || plat->state.shouldClose) return false;
  SDL_Event ev;
  if (!SDL_WaitEventTimeout(&ev, timeoutMs > 0 ? timeoutMs : 0)) return false;
  dispatch(plat, &ev);
  while (SDL_PollEvent(&ev)) dispatch(plat, &ev);
  endBatch(plat);
  return true;
}

void platformSetMouseCapture(Platform* plat, b8 capture) {
  if (!plat || plat->state.mouseCapture == capture) return;
  plat->state.mouseCapture = capture;
  if (capture) {
    SDL_GetGlobalMouseState(&plat->savedCursorX, &plat->savedCursorY);
    SDL_ShowCursor(SDL_DISABLE);
    plat->cursorHidden = true;
    SDL_SetWindowGrab(plat->window, SDL_TRUE);
    i32 cx = plat->state.width / 2, cy = plat->state.height / 2;
    SDL_WarpMouseInWindow(plat->window, cx, cy);
    plat->state.mouseX = cx;
    plat->state.mouseY = cy;
  } else {
    SDL_SetWindowGrab(plat->window, SDL_FALSE);
    if (plat->cursorHidden) SDL_ShowCursor(SDL_ENABLE);
    plat->cursorHidden = false;
    SDL_WarpMouseGlobal(plat->savedCursorX, plat->savedCursorY);
  }
}

u32 platformGetClipboard(Platform*, char* buffer, u32 capacity) {
  if (!buffer || capacity == 0) return 0;
  buffer[0] = 0;
  char* text = SDL_GetClipboardText();
  if (!text) return 0;
  u32 len = (u32)std::strlen(text);
  if (len > capacity - 1) {
    len = capacity - 1;
    // Do not cut a character in two.
    while (len > 0 && (static_cast<u8>(text[len]) & 0xC0) == 0x80) len--;
  }
  std::memcpy(buffer, text, len);
  buffer[len] = 0;
  SDL_free(text);
  return len;
}

void platformSetClipboard(Platform*, const char* text) {
  if (text) SDL_SetClipboardText(text);
}
