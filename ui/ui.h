// The UI layer: owns the immediate-mode context, styles it, feeds it input,
// measures text with the interface font, and turns the frame's command list into
// clipped batches of coloured quads and glyph quads recorded on top of the frame.
// Windows are built between uiBegin and uiEnd through uiGetMuContext.
//
// Without a renderer (uiInit with null) everything up to the finished batches
// runs on the CPU; nothing is recorded.
#pragma once

#include "font/font.h"
#include "font/vertex_stream.h"
#include "platform/input.h"
#include "platform/types.h"
#include "renderer/vkloader.h"
#include "ui/microui.h"

struct Renderer;
struct Pipelines;

inline constexpr u32 PIPELINE_UI = 1;

enum UiDrawBatchKind : u32 {
  UiDrawBatchKindEmpty = 0,
  UiDrawBatchKindUi = 1,     // has quads
  UiDrawBatchKindFont = 2,   // has glyphs
  UiDrawBatchKindMixed = 3,  // both: quads drawn first
};

struct UiDrawBatch {
  i32 clipX, clipY, clipW, clipH;
  UiDrawBatchKind kind;
  u32 uiVertStart, uiVertCount;      // quad vertices
  u32 fontVertStart, fontVertCount;  // glyph vertices in the font's buffer
};

// 24 bytes: pixel position, colour in 0..1.
struct UiVertex {
  f32 x, y;
  f32 r, g, b, a;
};
static_assert(sizeof(UiVertex) == 24);

struct Ui {
  VkDevice device;
  mu_Context* mu;
  Renderer* renderer;
  Pipelines* pipelines;
  Font* font;
  u32 pipelineIndex;
  VertexStream vertices;
  i32 clipX, clipY, clipW, clipH;
  i32 viewportW, viewportH;
  u32 fontVertexStart;
  UiDrawBatch* batches;
  u32 batchCount, batchCap;
  f32 scale;
  b8 batchHasGlyphs;  // the open batch already holds glyphs
};

void uiInit(Ui* ui, Renderer* renderer, Pipelines* pipelines, Font* font, u32 pipelineIndex);
void uiCreatePipeline(Pipelines* pipelines, Renderer* renderer);
void uiInput(Ui* ui, const InputEvent* event);
void uiBegin(Ui* ui);
// mu_end, the batches, and (cmd non-null, inside a render pass) their draws.
void uiEnd(Ui* ui, VkCommandBuffer cmd, i32 viewportW, i32 viewportH);
mu_Context* uiGetMuContext(Ui* ui);
void uiUpdateScale(Ui* ui, i32 viewportW, i32 viewportH);
f32 uiGetScale(const Ui* ui);
void uiDestroy(Ui* ui);

// Whether (x, y) lies inside an open window as last drawn (the hover root lags a
// frame, so this reads the windows' rectangles instead).
b8 uiPointerOverWindow(Ui* ui, i32 x, i32 y);
// Whether a text box has the focus (typed keys belong to it).
b8 uiTextInputActive(Ui* ui);

// Quad vertices written this frame.
u32 uiVertexCount(const Ui* ui);
const UiVertex* uiVertexData(const Ui* ui);

// The text callbacks the context uses (exposed for tests).
int uiTextWidth(mu_Font font, const char* text, int len);
int uiTextHeight(mu_Font font);
