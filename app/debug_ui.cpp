// The debug windows and the UI's part of input. Each header of the "Terrain" window is its own function so
// that further headers slot in without touching the others.
#include <cstdio>

#include "app/state.h"

namespace {

// Formats into a small stack buffer and shows it as a label.
template <typename... Args>
void labelf(mu_Context* ctx, const char* fmt, Args... args) {
  char buf[128];
  snprintf(buf, sizeof(buf), fmt, args...);
  mu_label(ctx, buf);
}

}  // namespace

b8 appPointerOverUi(State* s) { return uiPointerOverWindow(&s->ui, s->mouseX, s->mouseY); }

b8 appTextInputActive(State* s) { return uiTextInputActive(&s->ui); }

void appUiInput(State* s, const InputEvent* ev) { uiInput(&s->ui, ev); }

void appUiPasteText(State* s, const char* text) {
  if (mu_Context* ctx = uiGetMuContext(&s->ui)) mu_input_text(ctx, text);
}

void appUiResize(State* s) { uiUpdateScale(&s->ui, s->windowW, s->windowH); }

void drawStatsHeader(State* s, mu_Context* ctx) {
  if (!mu_header_ex(ctx, "Stats", MU_OPT_EXPANDED)) return;
  labelf(ctx, "FPS: %.0f", s->curfps);
  drawBodyStats(s, ctx);
  labelf(ctx, "Entities: %u", s->ecs.aliveCount);
}

void drawWorldHeader(State* s, mu_Context* ctx) {
  if (!mu_header_ex(ctx, "World", MU_OPT_EXPANDED)) return;
  drawOpenFileButton(s, ctx);
  drawWorldRows(s, ctx);
}

void drawTerrainWindow(State* s, mu_Context* ctx) {
  f32 k = uiGetScale(&s->ui);
  mu_Rect rect = mu_rect((int)(10 * k), (int)(10 * k), (int)(300 * k), (int)(450 * k));
  if (!mu_begin_window_ex(ctx, "Terrain", rect, MU_OPT_NOCLOSE)) return;
  drawPhysicsHeader(s, ctx);
  drawWorldHeader(s, ctx);
  drawDebugHeader(s, ctx);
  drawStatsHeader(s, ctx);
  drawKeysHeader(s, ctx);
  mu_end_window(ctx);
}

void buildDebugWindows(State* s) {
  mu_Context* ctx = uiGetMuContext(&s->ui);
  if (!ctx) return;
  drawTerrainWindow(s, ctx);
  drawPlayersWindow(s, ctx);
  drawEntityInfoWindow(s, ctx);
  drawTerrainEditWindow(s, ctx);
  drawVoipPanel(s, ctx);
  flameGraphDraw(&s->flameGraph, ctx, s->windowW, s->windowH, uiGetScale(&s->ui));
}
