// The window, its event queue, the Vulkan surface, mouse capture and the clipboard.
#include <vulkan/vulkan.h>
#include <SDL2/SDL.h>
#include <SDL2/SDL_vulkan.h>

#include <cstdio>
#include <cstring>

#include "platform/memory.h"
#include "platform/window.h"

namespace {

constexpr u32 kMaxInstanceExtensions = 8;
const char* gExtensions[kMaxInstanceExtensions];
u32 gExtensionCount = 0;

void dispatch(Platform* plat, const SDL_Event* ev) {
  PlatformTranslation t = platformTranslateEvent(&plat->state, ev);
  for (u32 i = 0; i < t.count; i++) platformQueueEvent(plat, &t.events[i]);
  if (t.warpToCenter) SDL_WarpMouseInWindow(plat->window, plat->state.width / 2, plat->state.height / 2);
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
  i32 next = (plat->inputTail + 1) % kPlatformInputQueueSize;
  if (next == plat->inputHead) return false;
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
  if (SDL_WaitEvent(&ev)) dispatch(plat, &ev);
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
