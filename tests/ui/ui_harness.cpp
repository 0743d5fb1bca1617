// A small window on the production UI code for end-to-end tests: a closable
// window, a text box, and beside it a label of what typed text should look
// like. Ctrl+V pastes the clipboard into the UI as one piece of text. It prints
// what a script needs to know: cell rectangles, a close, the text box's bytes.
#include <cstdio>
#include <cstring>

#include "font/font.h"
#include "platform/memory.h"
#include "platform/window.h"
#include "renderer/pipelines.h"
#include "renderer/renderer.h"
#include "renderer/texture.h"
#include "renderer/validation.h"
#include "renderer/vkloader.h"
#include "ui/ui.h"

namespace {

constexpr u32 kPasteBytes = 8192;

VkInstance createInstance() {
  u32 extCount = 0;
  const char** exts = platformGetRequiredExtensions(&extCount);
  VkApplicationInfo app{};
  app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
  app.apiVersion = VK_API_VERSION_1_2;
  VkInstanceCreateInfo ci{};
  ci.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
  ci.pApplicationInfo = &app;
  ci.enabledExtensionCount = extCount;
  ci.ppEnabledExtensionNames = exts;
  ValidationSetup validation;
  if (validationRequested() && !validationPrepare(&validation, &ci)) return VK_NULL_HANDLE;
  VkInstance instance = VK_NULL_HANDLE;
  if (vkCreateInstance(&ci, nullptr, &instance) != VK_SUCCESS) return VK_NULL_HANDLE;
  return instance;
}

// Whole UTF-8 sequences only (lead byte, then its continuation bytes).
bool wellFormed(const char* s) {
  for (size_t i = 0; s[i];) {
    Rune r;
    int n = chartorune(&r, s + i);
    if (r == kRuneError && strncmp(s + i, "\xef\xbf\xbd", 3) != 0) return false;
    i += (size_t)n;
  }
  return true;
}

void printRect(const char* name, mu_Rect r) {
  printf("%s %d %d %d %d\n", name, r.x, r.y, r.w, r.h);
  fflush(stdout);
}

}  // namespace

int main() {
  memoryInit(~0ull, ~0ull);
  Platform* plat = platformCreate(640, 400, "UI Harness");
  if (!plat || volkInitialize() != VK_SUCCESS) return 1;
  VkInstance instance = createInstance();
  if (!instance) return 1;
  volkLoadInstance(instance);
  if (validationRequested()) validationStart(instance);
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  if (platformCreateSurface(plat, instance, &surface) != VK_SUCCESS) return 1;
  i32 w = 640, h = 400;
  platformGetSize(plat, &w, &h);
  auto* renderer = static_cast<Renderer*>(memCalloc(1, sizeof(Renderer)));
  auto* pipelines = static_cast<Pipelines*>(memCalloc(1, sizeof(Pipelines)));
  auto* font = static_cast<Font*>(memCalloc(1, sizeof(Font)));
  auto* ui = static_cast<Ui*>(memCalloc(1, sizeof(Ui)));
  auto* text = static_cast<char*>(memCalloc(kPasteBytes, 1));
  auto* paste = static_cast<char*>(memCalloc(kPasteBytes + 1, 1));
  if (!renderer || !pipelines || !font || !ui || !text || !paste) return 1;
  if (!rendererInit(renderer, instance, surface, (u32)w, (u32)h)) return 1;
  pipelinesInit(pipelines, renderer);
  textureEnsureBindless(renderer);
  fontCreatePipeline(pipelines, renderer);
  if (!fontInitRuntime(font, renderer, pipelines, PIPELINE_FONT, kFontPath, kFontPixelHeight, kFontBakeSize,
                       kFontBakeSize))
    return 1;
  uiCreatePipeline(pipelines, renderer);
  uiInit(ui, renderer, pipelines, font, PIPELINE_UI);  // scale 1: 24-pixel text

  bool quit = false, closedReported = false, rectsReported = false, typing = false;
  size_t lastLen = 0;
  while (!quit && !platformShouldClose(plat)) {
    platformPoll(plat);
    InputEvent ev;
    while (platformPollInput(plat, &ev)) {
      if (ev.type == InputEventKey && ev.value == 1 && ev.key == InputKeyEsc) quit = true;
      if (ev.type == InputEventKey && ev.value == 1 && ev.key == InputKeyV && (ev.modifiers & InputModCtrl)) {
        u32 n = platformGetClipboard(plat, paste, kPasteBytes + 1);
        printf("pasted %u bytes\n", n);
        fflush(stdout);
        mu_input_text(uiGetMuContext(ui), paste);
        continue;
      }
      if (ev.type == InputEventResize) {
        w = ev.resize.width, h = ev.resize.height;
        rendererResize(renderer, (u32)w, (u32)h);
      }
      uiInput(ui, &ev);
    }
    VkCommandBuffer cmd = VK_NULL_HANDLE;
    u32 imageIndex = 0;
    if (w <= 0 || h <= 0 || !rendererBeginFrame(renderer, &cmd, &imageIndex)) continue;
    fontBeginFrame(font);
    uiBegin(ui);
    mu_Context* ctx = uiGetMuContext(ui);
    bool closableShown = false;
    if (mu_begin_window_ex(ctx, "Closable", mu_rect(20, 20, 200, 100), MU_OPT_NORESIZE | MU_OPT_NOSCROLL)) {
      closableShown = true;
      mu_label(ctx, "close me");
      mu_end_window(ctx);
    }
    mu_Rect boxRect{}, labelRect{};
    if (mu_begin_window_ex(ctx, "Typing", mu_rect(20, 140, 600, 200),
                           MU_OPT_NOCLOSE | MU_OPT_NORESIZE | MU_OPT_NOSCROLL)) {
      int widths[] = {-1};
      mu_layout_row(ctx, 1, widths, 0);
      mu_textbox(ctx, text, (int)kPasteBytes);
      boxRect = ctx->last_rect;
      mu_label(ctx, "\xc3\xa9\xe2\x82\xac?");  // how "é€中" must look: the font has no U+4E2D
      labelRect = ctx->last_rect;
      mu_end_window(ctx);
    }
    if (!rectsReported) {
      printRect("textbox", boxRect);
      printRect("label", labelRect);
      rectsReported = true;
    }
    if (!closableShown && !closedReported) {
      printf("closed\n");
      fflush(stdout);
      closedReported = true;
    }
    if (uiTextInputActive(ui) != typing) {
      typing = !typing;
      printf("%s\n", typing ? "typing" : "not typing");
      fflush(stdout);
    }
    size_t len = strlen(text);
    if (len != lastLen) {
      lastLen = len;
      printf("text %zu bytes, %s:", len, wellFormed(text) ? "well-formed" : "ILL-FORMED");
      for (size_t i = 0; i < len && i < 16; i++) printf(" %02x", (unsigned char)text[i]);
      printf("\n");
      fflush(stdout);
    }
    rendererBeginRenderPass(renderer, imageIndex);
    VkViewport vp{0.0f, 0.0f, (f32)w, (f32)h, 0.0f, 1.0f};
    vkCmdSetViewport(cmd, 0, 1, &vp);
    uiEnd(ui, cmd, w, h);
    rendererEndFrame(renderer, imageIndex);
  }

  rendererWaitIdle(renderer);
  uiDestroy(ui);
  fontDestroy(font);
  pipelinesDestroy(pipelines);
  textureShutdown(renderer);
  rendererDestroy(renderer);
  vkDestroySurfaceKHR(instance, surface, nullptr);
  validationStop(instance);
  vkDestroyInstance(instance, nullptr);
  platformDestroy(plat);
  if (validationErrorCount() > 0) {
    fprintf(stderr, "validation: %u errors\n", validationErrorCount());
    return 1;
  }
  return 0;
}
