// The world's part of the debug windows: the "World" header (a new world by
// name, what the open one holds) and the "Terrain Edit" window (tools, brushes,
// what lies under the pointer).
#include <cstdio>
#include <cstring>

#include "app/state.h"

namespace {

template <typename... Args>
void labelf(mu_Context* ctx, const char* fmt, Args... args) {
  char buf[160];
  std::snprintf(buf, sizeof(buf), fmt, args...);
  mu_label(ctx, buf);
}

const int kFullRow[1] = {-1};
const char* const kToolNames[3] = {"None", "Surface", "Height"};
const char* const kBrushNames[4] = {"Raise", "Flatten", "Smooth", "Perlin"};
const char* const kChannelNames[4] = {"Red", "Green", "Blue", "Alpha"};
const mu_Color kChannelSwatch[4] = {{220, 72, 72, 255}, {72, 180, 92, 255}, {72, 120, 220, 255}, {220, 180, 72, 255}};

const char* baseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// One row per splat channel: its weight under the pointer, the tile's material in
// that slot and its swatch; a click paints with that channel.
void drawChannelRows(State* s, mu_Context* ctx, f32 k) {
  const WorldMap* wm = s->worldMap;
  if (!wm->splatmap) {
    mu_label(ctx, "No splatmap loaded.");
    return;
  }
  if (!s->terrainHoverValid) {
    mu_label(ctx, "Hover terrain to inspect tile materials.");
    return;
  }
  const u8* splat = wm->splatmap + ((size_t)s->terrainHoverSampleY * wm->meta.heightmapW + s->terrainHoverSampleX) * 4;
  const u8* ids = worldTileMaterialIds(wm, s->terrainHoverTileX, s->terrainHoverTileY);
  const int widths[2] = {(int)(18 * k), -1};
  for (u32 c = 0; c < 4; c++) {
    const WorldTerrainMaterial* mat = ids && ids[c] ? worldMaterialGet(wm, ids[c]) : nullptr;
    char row[192];
    std::snprintf(row, sizeof row, "%s%s: %u%% %s", c == s->splatChannel ? "> " : "", kChannelNames[c],
                  (u32)splat[c] * 100u / 255u, mat && mat->albedoPath[0] ? baseName(mat->albedoPath) : "<pick material>");
    mu_layout_row(ctx, 2, widths, 0);
    mu_Rect sw = mu_layout_next(ctx);
    mu_draw_rect(ctx, mu_rect(sw.x + 2, sw.y + 2, sw.w - 4, sw.h - 4), kChannelSwatch[c]);
    mu_push_id(ctx, &c, sizeof c);
    if (mu_button(ctx, row)) s->splatChannel = c;
    mu_pop_id(ctx);
  }
}

}  // namespace

void drawWorldRows(State* s, mu_Context* ctx) {
  f32 k = uiGetScale(&s->ui);
  const int widths[2] = {(int)(150 * k), -1};
  mu_layout_row(ctx, 2, widths, 0);
  b8 submit = (mu_textbox(ctx, s->newWorldName, (int)sizeof s->newWorldName) & MU_RES_SUBMIT) != 0;
  if (mu_button(ctx, "New World") || submit) newWorld(s, s->newWorldName);
  mu_layout_row(ctx, 1, kFullRow, 0);
  if (!s->worldLoaded) {
    mu_label(ctx, "No world open");
    return;
  }
  labelf(ctx, "World: %s", baseName(s->worldMap->storePath));
  labelf(ctx, "Catalog: %u types, Live: %u", s->worldMap->catalogCount, s->worldEditor.liveCount);
  labelf(ctx, "Models: %u", s->modelSys ? s->modelSys->modelCount : 0u);
}

void drawTerrainEditWindow(State* s, mu_Context* ctx) {
  if (!s->editMode || !s->worldLoaded) return;
  f32 k = uiGetScale(&s->ui);
  mu_Rect rect = mu_rect(s->windowW - (int)(370 * k), (int)(420 * k), (int)(360 * k), (int)(360 * k));
  if (!mu_begin_window_ex(ctx, "Terrain Edit", rect, MU_OPT_NOCLOSE)) return;
  mu_layout_row(ctx, 1, kFullRow, 0);
  i32 tool = s->terrainTool >= 0 && s->terrainTool < 3 ? s->terrainTool : 0;
  if (mu_button(ctx, kToolNames[tool])) {
    // A stroke never changes tools half way.
    endTerrainStroke(s);
    s->terrainTool = (tool + 1) % 3;
  }
  labelf(ctx, "Hover: %s", s->terrainHoverValid ? "terrain" : "none");
  // The rows stay when nothing is hovered, so the controls below never move.
  if (s->terrainHoverValid) {
    labelf(ctx, "Tile: %u, %u  Sample: %u, %u", s->terrainHoverTileX, s->terrainHoverTileY, s->terrainHoverSampleX,
           s->terrainHoverSampleY);
    labelf(ctx, "Pos: %.1f %.1f %.1f", (f64)s->terrainHoverPos.x, (f64)s->terrainHoverPos.y,
           (f64)s->terrainHoverPos.z);
  } else {
    mu_label(ctx, "Tile: -");
    mu_label(ctx, "Pos: -");
  }
  mu_slider_ex(ctx, &s->terrainBrushRadius, 2.0f, 128.0f, 0, "Radius: %.1f", MU_OPT_ALIGNCENTER);
  if (tool == 1) {
    mu_slider_ex(ctx, &s->terrainSplatStrength, 0.05f, 1.0f, 0, "Paint strength: %.2f", MU_OPT_ALIGNCENTER);
    drawChannelRows(s, ctx, k);
  } else if (tool == 2) {
    mu_slider_ex(ctx, &s->terrainBrushStrength, 0.1f, 8.0f, 0, "Height strength: %.2f", MU_OPT_ALIGNCENTER);
    i32 brush = s->heightBrush >= 0 && s->heightBrush < 4 ? s->heightBrush : 0;
    if (mu_button(ctx, kBrushNames[brush])) {
      endTerrainStroke(s);
      s->heightBrush = (brush + 1) % 4;
    }
    labelf(ctx, "Flatten target: %.2f", (f64)s->flattenTarget);
  }
  mu_end_window(ctx);
}
