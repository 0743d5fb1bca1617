#include "ui/ui.h"

#include <cstdio>
#include <cstring>

#include "platform/memory.h"
#include "renderer/pipelines.h"
#include "renderer/renderer.h"

namespace {

constexpr u64 kVertexBytes = 0x18000;
constexpr u32 kInitialBatches = 256;
constexpr f32 kReferenceHeight = 2160.0f;

// The text callbacks get no user pointer: the active font and layer live here.
Font* gFont = nullptr;
Ui* gUi = nullptr;

mu_Color rgb(int v0, int v1, int v2) { return mu_color(v0, v1, v2, 255); }

void applyColors(mu_Style* st) {
  const mu_Color text = rgb(195, 195, 195), bg = rgb(44, 44, 44), hover = rgb(132, 132, 132);
  const mu_Color focus = rgb(239, 239, 239);
  st->colors[MU_COLOR_TEXT] = text;
  st->colors[MU_COLOR_TITLETEXT] = text;
  st->colors[MU_COLOR_TEXTHOVER] = rgb(24, 24, 24);
  st->colors[MU_COLOR_TEXTFOCUS] = rgb(32, 32, 32);
  st->colors[MU_COLOR_BORDER] = rgb(135, 135, 135);
  st->colors[MU_COLOR_WINDOWBG] = bg;
  st->colors[MU_COLOR_TITLEBG] = bg;
  st->colors[MU_COLOR_BUTTON] = bg;
  st->colors[MU_COLOR_BASE] = bg;
  st->colors[MU_COLOR_SCROLLBASE] = bg;
  st->colors[MU_COLOR_PANELBG] = rgb(60, 60, 60);
  st->colors[MU_COLOR_BUTTONHOVER] = hover;
  st->colors[MU_COLOR_BASEHOVER] = hover;
  st->colors[MU_COLOR_SCROLLTHUMB] = hover;
  st->colors[MU_COLOR_BUTTONFOCUS] = focus;
  st->colors[MU_COLOR_BASEFOCUS] = focus;
}

i32 textHeightPixels(const Ui* ui) { return (i32)(ui->scale * (ui->font ? ui->font->pixelHeight : 16.0f)); }

void restyle(Ui* ui) {
  mu_Style* st = ui->mu->style;
  f32 s = ui->scale;
  i32 h = textHeightPixels(ui);
  st->size.x = (int)(68.0f * s);
  st->padding = (int)(6.0f * s);
  st->spacing = (int)(4.0f * s);
  st->size.y = st->padding + h;
  st->title_height = (int)(8.0f * s) + h;
  st->scrollbar_size = (int)(12.0f * s);
  st->thumb_size = (int)(14.0f * s);
}

u32 packColor(mu_Color c) { return (u32)c.r | ((u32)c.g << 8) | ((u32)c.b << 16) | ((u32)c.a << 24); }

u32 fontVertices(const Ui* ui) { return ui->font ? fontVertexCount(ui->font) : 0; }

void openBatch(Ui* ui) {
  if (ui->batchCount == ui->batchCap) {
    u32 cap = ui->batchCap ? ui->batchCap * 2 : kInitialBatches;
    auto* grown = static_cast<UiDrawBatch*>(memRealloc(ui->batches, sizeof(UiDrawBatch) * cap));
    if (!grown) return;  // keeps filling the last batch
    ui->batches = grown;
    ui->batchCap = cap;
  }
  UiDrawBatch& b = ui->batches[ui->batchCount++];
  b = UiDrawBatch{};
  b.clipX = ui->clipX, b.clipY = ui->clipY, b.clipW = ui->clipW, b.clipH = ui->clipH;
  b.uiVertStart = uiVertexCount(ui);
  b.fontVertStart = fontVertices(ui);
  ui->batchHasGlyphs = false;
}

void closeBatch(Ui* ui) {
  if (ui->batchCount == 0) return;
  UiDrawBatch& b = ui->batches[ui->batchCount - 1];
  b.uiVertCount = uiVertexCount(ui) - b.uiVertStart;
  b.fontVertCount = fontVertices(ui) - b.fontVertStart;
  b.kind = (UiDrawBatchKind)((b.uiVertCount ? 1u : 0u) | (b.fontVertCount ? 2u : 0u));
}

// A quad after glyphs would be drawn under them (a batch draws its quads
// first): it starts a new batch with the same clip instead.
void beforeQuad(Ui* ui) {
  if (!ui->batchHasGlyphs) return;
  closeBatch(ui);
  openBatch(ui);
}

void pushQuad(Ui* ui, i32 x, i32 y, i32 w, i32 h, f32 r, f32 g, f32 b, f32 a) {
  i32 x0 = x > ui->clipX ? x : ui->clipX;
  i32 y0 = y > ui->clipY ? y : ui->clipY;
  i32 x1 = x + w < ui->clipX + ui->clipW ? x + w : ui->clipX + ui->clipW;
  i32 y1 = y + h < ui->clipY + ui->clipH ? y + h : ui->clipY + ui->clipH;
  if (x1 <= x0 || y1 <= y0) return;
  beforeQuad(ui);
  auto* v = static_cast<UiVertex*>(vertexStreamAlloc(&ui->vertices, 6 * sizeof(UiVertex)));
  if (!v) return;  // the buffer could not grow: dropped
  const f32 fx0 = (f32)x0, fy0 = (f32)y0, fx1 = (f32)x1, fy1 = (f32)y1;
  v[0] = UiVertex{fx0, fy0, r, g, b, a};
  v[1] = UiVertex{fx1, fy0, r, g, b, a};
  v[2] = UiVertex{fx1, fy1, r, g, b, a};
  v[3] = UiVertex{fx0, fy0, r, g, b, a};
  v[4] = UiVertex{fx1, fy1, r, g, b, a};
  v[5] = UiVertex{fx0, fy1, r, g, b, a};
}

void drawIcon(Ui* ui, const mu_IconCommand& ic) {
  const f32 r = ic.color.r / 255.0f, g = ic.color.g / 255.0f, b = ic.color.b / 255.0f, a = ic.color.a / 255.0f;
  i32 s = ic.rect.w < ic.rect.h ? ic.rect.w : ic.rect.h;
  i32 cx = ic.rect.x + ic.rect.w / 2, cy = ic.rect.y + ic.rect.h / 2;
  i32 n = s / 3;
  switch (ic.id) {
    case MU_ICON_CLOSE:
      if (s >= 3) {
        i32 d = s / 6;
        for (i32 i = 0; i < n; i++) {
          pushQuad(ui, cx - d + i, cy - d + i, 2, 2, r, g, b, a);
          pushQuad(ui, cx + d - 2 - i, cy - d + i, 2, 2, r, g, b, a);
        }
      }
      break;
    case MU_ICON_CHECK: {
      i32 d = s / 6;
      if (s >= 6)
        for (i32 i = 0; i < d; i++) pushQuad(ui, cx - d + i, cy + i, 2, 2, r, g, b, a);
      if (s >= 3)
        for (i32 i = 0; i < n; i++) pushQuad(ui, cx + i, cy + d - i, 2, 2, r, g, b, a);
      break;
    }
    case MU_ICON_COLLAPSED:
      if (s >= 3)
        for (i32 i = 0; i < n; i++) pushQuad(ui, cx - s / 9 + i / 2, cy - s / 6 + i, 2, 1, r, g, b, a);
      break;
    case MU_ICON_EXPANDED:
      if (s >= 3)
        for (i32 i = 0; i < n; i++) pushQuad(ui, cx - s / 6 + i, cy - s / 9 + i / 2, 1, 2, r, g, b, a);
      break;
    default:
      break;
  }
}

void buildBatches(Ui* ui) {
  ui->batchCount = 0;
  ui->clipX = 0, ui->clipY = 0, ui->clipW = ui->viewportW, ui->clipH = ui->viewportH;
  mu_end(ui->mu);
  openBatch(ui);
  f32 ascent = ui->font ? ui->font->ascent : 0.0f;
  mu_Command* cmd = nullptr;
  while (mu_next_command(ui->mu, &cmd)) {
    switch (cmd->type) {
      case MU_COMMAND_CLIP:
        closeBatch(ui);
        ui->clipX = cmd->clip.rect.x, ui->clipY = cmd->clip.rect.y;
        ui->clipW = cmd->clip.rect.w, ui->clipH = cmd->clip.rect.h;
        openBatch(ui);
        break;
      case MU_COMMAND_RECT: {
        const mu_Color c = cmd->rect.color;
        pushQuad(ui, cmd->rect.rect.x, cmd->rect.rect.y, cmd->rect.rect.w, cmd->rect.rect.h, c.r / 255.0f,
                 c.g / 255.0f, c.b / 255.0f, c.a / 255.0f);
        break;
      }
      case MU_COMMAND_TEXT:
        if (ui->font &&
            fontBuildText(ui->font, (f32)cmd->text.pos.x, (f32)(cmd->text.pos.y + (i32)(ui->scale * ascent)),
                          cmd->text.str, ui->scale, packColor(cmd->text.color), ui->clipX, ui->clipY, ui->clipW,
                          ui->clipH) > 0)
          ui->batchHasGlyphs = true;
        break;
      case MU_COMMAND_ICON:
        drawIcon(ui, cmd->icon);
        break;
      default:
        break;
    }
  }
  closeBatch(ui);
}

void setScissor(VkCommandBuffer cmd, i32 x, i32 y, i32 w, i32 h) {
  VkRect2D sc{{x, y}, {(u32)w, (u32)h}};
  vkCmdSetScissor(cmd, 0, 1, &sc);
}

void recordBatches(Ui* ui, VkCommandBuffer cmd) {
  Pipeline* quads = pipelinesGet(ui->pipelines, ui->pipelineIndex);
  Pipeline* glyphs = ui->font ? pipelinesGet(ui->pipelines, ui->font->pipelineIndex) : nullptr;
  VkBuffer quadBuffer = vertexStreamBuffer(&ui->vertices);
  for (u32 i = 0; i < ui->batchCount; i++) {
    const UiDrawBatch& b = ui->batches[i];
    if (b.uiVertCount + b.fontVertCount == 0) continue;
    i32 x0 = b.clipX > 0 ? b.clipX : 0, y0 = b.clipY > 0 ? b.clipY : 0;
    i64 x1 = (i64)b.clipX + b.clipW, y1 = (i64)b.clipY + b.clipH;
    if (x1 > ui->viewportW) x1 = ui->viewportW;
    if (y1 > ui->viewportH) y1 = ui->viewportH;
    if (x1 - x0 < 1 || y1 - y0 < 1) continue;
    setScissor(cmd, x0, y0, (i32)(x1 - x0), (i32)(y1 - y0));
    if (b.uiVertCount && quads && quadBuffer) {
      pipelineBind(ui->pipelines, ui->pipelineIndex, cmd);
      const f32 push[4] = {(f32)ui->viewportW, (f32)ui->viewportH, 0.0f, 0.0f};
      vkCmdPushConstants(cmd, quads->layout, VK_SHADER_STAGE_VERTEX_BIT, 0, sizeof(push), push);
      VkDeviceSize offset = 0;
      vkCmdBindVertexBuffers(cmd, 0, 1, &quadBuffer, &offset);
      vkCmdDraw(cmd, b.uiVertCount, 1, b.uiVertStart, 0);
    }
    if (b.fontVertCount && glyphs && ui->renderer->bindlessTextureSet) {
      pipelineBind(ui->pipelines, ui->font->pipelineIndex, cmd);
      vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, glyphs->layout, 0, 1,
                              &ui->renderer->bindlessTextureSet, 0, nullptr);
      fontBind(ui->font, cmd);
      struct {
        f32 viewport[2];
        u32 texIdx;
      } push{{(f32)ui->viewportW, (f32)ui->viewportH}, ui->font->bindlessSlot};
      vkCmdPushConstants(cmd, glyphs->layout, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, 12,
                         &push);
      vkCmdDraw(cmd, b.fontVertCount, 1, b.fontVertStart, 0);
    }
  }
  setScissor(cmd, 0, 0, ui->viewportW, ui->viewportH);
}

}  // namespace

int uiTextWidth(mu_Font, const char* text, int len) {
  if (!gFont || !gUi || !text) return 0;
  if (len < 0) len = (int)strlen(text);
  // One rune walk at every length, the same the layout takes.
  return (int)fontMeasureTextN(gFont, text, len, gUi->scale);
}

int uiTextHeight(mu_Font) {
  if (!gFont || !gUi) return 16;
  return textHeightPixels(gUi);
}

void uiInit(Ui* ui, Renderer* renderer, Pipelines* pipelines, Font* font, u32 pipelineIndex) {
  if (!ui) return;
  *ui = Ui{};
  ui->renderer = renderer;
  ui->device = renderer ? renderer->device : VK_NULL_HANDLE;
  ui->pipelines = pipelines;
  ui->font = font;
  ui->pipelineIndex = pipelineIndex;
  ui->scale = 1.0f;
  ui->mu = static_cast<mu_Context*>(memAlloc(sizeof(mu_Context)));
  if (!ui->mu) return;
  mu_init(ui->mu);
  ui->mu->text_width = uiTextWidth;
  ui->mu->text_height = uiTextHeight;
  gFont = font;
  gUi = ui;
  mu_Style* st = ui->mu->style;
  i32 h = textHeightPixels(ui);
  st->size = mu_vec2(100, h + 6);
  st->padding = 6;
  st->spacing = 4;
  st->title_height = h + 8;
  applyColors(st);
  vertexStreamInit(&ui->vertices, renderer, kVertexBytes);
  ui->batches = static_cast<UiDrawBatch*>(memAlloc(sizeof(UiDrawBatch) * kInitialBatches));
  ui->batchCap = ui->batches ? kInitialBatches : 0;
}

void uiCreatePipeline(Pipelines* pipelines, Renderer* renderer) {
  if (!pipelines || !renderer) return;
  u64 vertSize = 0, fragSize = 0;
  const u32* vert = rendererLoadShader("shaders/ui.vert.spv", &vertSize);
  const u32* frag = rendererLoadShader("shaders/ui.frag.spv", &fragSize);
  if (!vert || !frag) {
    fprintf(stderr, "Failed to load UI shaders\n");
    return;
  }
  VkVertexInputBindingDescription binding{0, sizeof(UiVertex), VK_VERTEX_INPUT_RATE_VERTEX};
  VkVertexInputAttributeDescription attrs[2] = {{0, 0, VK_FORMAT_R32G32_SFLOAT, 0},
                                                {1, 0, VK_FORMAT_R32G32B32A32_SFLOAT, 8}};
  VkPushConstantRange push{VK_SHADER_STAGE_VERTEX_BIT, 0, 16};
  PipelineConfig c{};
  c.vertCode = vert;
  c.vertSize = vertSize;
  c.fragCode = frag;
  c.fragSize = fragSize;
  c.vertexBindings = &binding;
  c.vertexBindingCount = 1;
  c.vertexAttributes = attrs;
  c.vertexAttributeCount = 2;
  c.pushConstants = &push;
  c.pushConstantCount = 1;
  c.cullMode = VK_CULL_MODE_NONE;
  c.blendEnable = true;
  c.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
  pipelinesCreate(pipelines, PIPELINE_UI, &c, nullptr, 0, nullptr, 0);
}

void uiInput(Ui* ui, const InputEvent* event) {
  if (!ui || !ui->mu || !event) return;
  mu_Context* ctx = ui->mu;
  switch (event->type) {
    case InputEventKey: {
      int key = 0;
      switch (event->key) {
        case InputKeyEnter: key = MU_KEY_RETURN; break;
        case InputKeyUp: key = MU_KEY_UP; break;
        case InputKeyDown: key = MU_KEY_DOWN; break;
        case InputKeyLeft: key = MU_KEY_LEFT; break;
        case InputKeyRight: key = MU_KEY_RIGHT; break;
        case InputKeyTab: key = MU_KEY_TAB; break;
        case InputKeyBackspace: key = MU_KEY_BACKSPACE; break;
        default: break;
      }
      if (!key) break;
      if (event->value == 1) {
        mu_input_keydown(ctx, key);
      } else if (event->value == 0) {
        mu_input_keyup(ctx, key);
      }
      break;
    }
    case InputEventText: {
      char text[sizeof(event->text.text) + 1];
      memcpy(text, event->text.text, sizeof(event->text.text));
      text[sizeof(event->text.text)] = '\0';
      mu_input_text(ctx, text);
      break;
    }
    case InputEventMouseButton: {
      int btn = event->button == InputMouseLeft     ? MU_MOUSE_LEFT
                : event->button == InputMouseMiddle ? MU_MOUSE_MIDDLE
                : event->button == InputMouseRight  ? MU_MOUSE_RIGHT
                                                    : 0;
      if (!btn) break;
      if (event->value == 1) {
        mu_input_mousedown(ctx, ctx->mouse_pos.x, ctx->mouse_pos.y, btn);
      } else {
        mu_input_mouseup(ctx, ctx->mouse_pos.x, ctx->mouse_pos.y, btn);
      }
      break;
    }
    case InputEventMouseMotion:
      mu_input_mousemove(ctx, event->motion.x, event->motion.y);
      break;
    case InputEventMouseWheel:
      mu_input_scroll(ctx, 0, event->wheel.dy * -30);
      break;
    default:
      break;
  }
}

void uiBegin(Ui* ui) {
  if (!ui || !ui->mu) return;
  gFont = ui->font;
  gUi = ui;
  vertexStreamBegin(&ui->vertices);
  ui->fontVertexStart = fontVertices(ui);
  mu_begin(ui->mu);
}

void uiEnd(Ui* ui, VkCommandBuffer cmd, i32 viewportW, i32 viewportH) {
  if (!ui || !ui->mu) return;
  ui->viewportW = viewportW;
  ui->viewportH = viewportH;
  buildBatches(ui);
  if (cmd && ui->renderer) recordBatches(ui, cmd);
}

mu_Context* uiGetMuContext(Ui* ui) { return ui ? ui->mu : nullptr; }

void uiUpdateScale(Ui* ui, i32, i32 viewportH) {
  if (!ui || !ui->mu) return;
  f32 s = (f32)viewportH / kReferenceHeight;
  if (s < 0.5f) s = 0.5f;
  if (s > 2.0f) s = 2.0f;
  if (s == ui->scale) return;
  ui->scale = s;
  restyle(ui);
}

f32 uiGetScale(const Ui* ui) { return ui ? ui->scale : 1.0f; }

void uiDestroy(Ui* ui) {
  if (!ui || !ui->mu) return;
  vertexStreamDestroy(&ui->vertices);
  memFree(ui->mu);
  memFree(ui->batches);
  if (gUi == ui) {
    gUi = nullptr;
    gFont = nullptr;
  }
  *ui = Ui{};
}

b8 uiPointerOverWindow(Ui* ui, i32 x, i32 y) {
  if (!ui || !ui->mu) return false;
  const mu_Context* ctx = ui->mu;
  for (int i = 0; i < ctx->root_list.idx; i++) {
    const mu_Container* c = ctx->root_list.items[i];
    if (c->open && x >= c->rect.x && x < c->rect.x + c->rect.w && y >= c->rect.y && y < c->rect.y + c->rect.h)
      return true;
  }
  return false;
}

b8 uiTextInputActive(Ui* ui) {
  if (!ui || !ui->mu) return false;
  return ui->mu->focus != 0 && ui->mu->focus == ui->mu->textbox_focus;
}

u32 uiVertexCount(const Ui* ui) { return ui ? (u32)(vertexStreamUsed(&ui->vertices) / sizeof(UiVertex)) : 0; }

const UiVertex* uiVertexData(const Ui* ui) {
  return ui ? reinterpret_cast<const UiVertex*>(vertexStreamData(&ui->vertices)) : nullptr;
}
