#include "ui/microui.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Misuse by code (unbalanced begin/end, popping an empty stack) ends the program
// with the failed condition named; limits reached by data never come here.
#define muExpect(x)                                                                          \
  do {                                                                                      \
    if (!(x)) {                                                                             \
      fprintf(stderr, "Fatal error: %s:%d: assertion '%s' failed\n", __FILE__, __LINE__, #x); \
      abort();                                                                              \
    }                                                                                       \
  } while (0)

#define muPush(stk, val)                                              \
  do {                                                               \
    muExpect((stk).idx < (int)(sizeof((stk).items) / sizeof(*(stk).items))); \
    (stk).items[(stk).idx] = (val);                                  \
    (stk).idx++;                                                     \
  } while (0)

#define muPop(stk)            \
  do {                        \
    muExpect((stk).idx > 0);  \
    (stk).idx--;              \
  } while (0)

#define muRoom(stk, n) ((stk).idx + (n) <= (int)(sizeof((stk).items) / sizeof(*(stk).items)))

namespace {

constexpr mu_Rect kUnclipped = {0, 0, 0x1000000, 0x1000000};
constexpr u32 kFnvOffset = 2166136261u;
constexpr u32 kFnvPrime = 16777619u;
constexpr int kRelative = 1;
constexpr int kAbsolute = 2;
// Commands sit on 8-byte boundaries so that their fields load aligned.
constexpr int kCommandAlign = 8;
// Room kept for the jump commands that bracket root containers, so that a full
// list still closes every window it opened.
constexpr int kJumpReserve = (2 * MU_ROOTLIST_SIZE + 1) * (int)sizeof(mu_JumpCommand);

// Transient clip pushes a control makes inside a container (text, scrollbars).
constexpr int kTransientClips = 2;

const mu_Style kDefaultStyle = {
    nullptr,
    {68, 10},
    5,
    4,
    24,
    24,
    12,
    8,
    {
        {230, 230, 230, 255},  // MU_COLOR_TEXT
        {230, 230, 230, 255},  // MU_COLOR_TEXTHOVER
        {230, 230, 230, 255},  // MU_COLOR_TEXTFOCUS
        {25, 25, 25, 255},     // MU_COLOR_BORDER
        {50, 50, 50, 255},     // MU_COLOR_WINDOWBG
        {25, 25, 25, 255},     // MU_COLOR_TITLEBG
        {240, 240, 240, 255},  // MU_COLOR_TITLETEXT
        {0, 0, 0, 0},          // MU_COLOR_PANELBG
        {75, 75, 75, 255},     // MU_COLOR_BUTTON
        {95, 95, 95, 255},     // MU_COLOR_BUTTONHOVER
        {115, 115, 115, 255},  // MU_COLOR_BUTTONFOCUS
        {30, 30, 30, 255},     // MU_COLOR_BASE
        {35, 35, 35, 255},     // MU_COLOR_BASEHOVER
        {40, 40, 40, 255},     // MU_COLOR_BASEFOCUS
        {43, 43, 43, 255},     // MU_COLOR_SCROLLBASE
        {30, 30, 30, 255},     // MU_COLOR_SCROLLTHUMB
    },
};

mu_Rect expandRect(mu_Rect r, int n) { return mu_rect(r.x - n, r.y - n, r.w + n * 2, r.h + n * 2); }

mu_Rect intersectRects(mu_Rect a, mu_Rect b) {
  int x1 = mu_max(a.x, b.x);
  int y1 = mu_max(a.y, b.y);
  int x2 = mu_min(a.x + a.w, b.x + b.w);
  int y2 = mu_min(a.y + a.h, b.y + b.h);
  if (x2 < x1) x2 = x1;
  if (y2 < y1) y2 = y1;
  return mu_rect(x1, y1, x2 - x1, y2 - y1);
}

bool rectContains(mu_Rect r, mu_Vec2 p) { return p.x >= r.x && p.x < r.x + r.w && p.y >= r.y && p.y < r.y + r.h; }

u32 fnv1a(u32 h, const void* data, int size) {
  const u8* p = static_cast<const u8*>(data);
  for (int i = 0; i < size; i++) h = (h ^ p[i]) * kFnvPrime;
  return h;
}

int alignedSize(int size) { return (size + kCommandAlign - 1) & ~(kCommandAlign - 1); }

// Whether `bytes` more of ordinary (non-jump) commands fit this frame.
bool commandsFit(mu_Context* ctx, int bytes) {
  return ctx->command_list.idx + bytes < MU_COMMANDLIST_SIZE - kJumpReserve;
}

// Bytes of one UTF-8 character at s: the lead byte and the continuation bytes that
// follow it (a stray or invalid byte is a character of its own).
int utf8CharBytes(const char* s) {
  u8 c = (u8)s[0];
  int want = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
  int n = 1;
  while (n < want && ((u8)s[n] & 0xc0) == 0x80) n++;
  return n;
}

// Length of the longest prefix of `text` made of whole characters that fits `room` bytes.
int wholeCharsThatFit(const char* text, int room) {
  int n = 0;
  while (text[n]) {
    int c = utf8CharBytes(text + n);
    if (n + c > room) break;
    n += c;
  }
  return n;
}

void drawFrameDefault(mu_Context* ctx, mu_Rect rect, int colorid) {
  mu_draw_rect(ctx, rect, ctx->style->colors[colorid]);
  if (colorid == MU_COLOR_SCROLLBASE || colorid == MU_COLOR_SCROLLTHUMB || colorid == MU_COLOR_TITLEBG) return;
  if (ctx->style->colors[MU_COLOR_BORDER].a) mu_draw_box(ctx, expandRect(rect, 1), ctx->style->colors[MU_COLOR_BORDER]);
}

mu_Layout* currentLayout(mu_Context* ctx) {
  muExpect(ctx->layout_stack.idx > 0);
  return &ctx->layout_stack.items[ctx->layout_stack.idx - 1];
}

void pushLayout(mu_Context* ctx, mu_Rect body, mu_Vec2 scroll) {
  mu_Layout layout;
  memset(&layout, 0, sizeof(layout));
  layout.body = mu_rect(body.x - scroll.x, body.y - scroll.y, body.w, body.h);
  layout.max = mu_vec2(-0x1000000, -0x1000000);
  muPush(ctx->layout_stack, layout);
  int width = 0;
  mu_layout_row(ctx, 1, &width, 0);
}

void popContainer(mu_Context* ctx) {
  mu_Container* cnt = mu_get_current_container(ctx);
  mu_Layout* layout = currentLayout(ctx);
  cnt->content_size.x = layout->max.x - layout->body.x;
  cnt->content_size.y = layout->max.y - layout->body.y;
  muPop(ctx->container_stack);
  muPop(ctx->layout_stack);
  mu_pop_id(ctx);
}

mu_Container* getContainer(mu_Context* ctx, mu_Id id, int opt) {
  int idx = mu_pool_get(ctx, ctx->container_pool, MU_CONTAINERPOOL_SIZE, id);
  if (idx >= 0) {
    if (ctx->containers[idx].open || ~opt & MU_OPT_CLOSED) mu_pool_update(ctx, ctx->container_pool, idx);
    return &ctx->containers[idx];
  }
  if (opt & MU_OPT_CLOSED) return nullptr;
  idx = mu_pool_init(ctx, ctx->container_pool, MU_CONTAINERPOOL_SIZE, id);
  if (idx < 0) return nullptr;
  mu_Container* cnt = &ctx->containers[idx];
  memset(cnt, 0, sizeof(*cnt));
  cnt->open = 1;
  mu_bring_to_front(ctx, cnt);
  return cnt;
}

bool inHoverRoot(mu_Context* ctx) {
  for (int i = ctx->container_stack.idx - 1; i >= 0; i--) {
    if (ctx->container_stack.items[i] == ctx->hover_root) return true;
    // Only root containers have a head; a panel defers to its window.
    if (ctx->container_stack.items[i]->head) return false;
  }
  return false;
}

mu_Command* pushJump(mu_Context* ctx, mu_Command* dst) {
  mu_Command* cmd = mu_push_command(ctx, MU_COMMAND_JUMP, sizeof(mu_JumpCommand));
  if (cmd) cmd->jump.dst = dst;
  return cmd;
}

int compareZindex(const void* a, const void* b) {
  return (*(mu_Container* const*)a)->zindex - (*(mu_Container* const*)b)->zindex;
}

// Shift-click on a slider or number field edits its value as text.
bool numberTextbox(mu_Context* ctx, mu_Real* value, mu_Rect r, mu_Id id) {
  if (ctx->mouse_pressed == MU_MOUSE_LEFT && (ctx->key_down & MU_KEY_SHIFT) && ctx->hover == id) {
    ctx->number_edit = id;
    snprintf(ctx->number_edit_buf, sizeof(ctx->number_edit_buf), MU_REAL_FMT, (double)*value);
  }
  if (ctx->number_edit == id) {
    int res = mu_textbox_raw(ctx, ctx->number_edit_buf, sizeof(ctx->number_edit_buf), id, r, 0);
    if (res & MU_RES_SUBMIT || ctx->focus != id) {
      *value = (mu_Real)strtod(ctx->number_edit_buf, nullptr);
      ctx->number_edit = 0;
    } else {
      return true;
    }
  }
  return false;
}

int headerImpl(mu_Context* ctx, const char* label, bool treenode, int opt, mu_Id* outId) {
  mu_Id id = mu_get_id(ctx, label, (int)strlen(label));
  *outId = id;
  int idx = mu_pool_get(ctx, ctx->treenode_pool, MU_TREENODEPOOL_SIZE, id);
  int width = -1;
  mu_layout_row(ctx, 1, &width, 0);
  bool toggled = idx >= 0;
  bool expanded = (opt & MU_OPT_EXPANDED) ? !toggled : toggled;
  mu_Rect r = mu_layout_next(ctx);
  mu_update_control(ctx, id, r, 0);
  if (ctx->mouse_pressed == MU_MOUSE_LEFT && ctx->focus == id) toggled = !toggled;
  if (idx >= 0) {
    if (toggled) {
      mu_pool_update(ctx, ctx->treenode_pool, idx);
    } else {
      memset(&ctx->treenode_pool[idx], 0, sizeof(mu_PoolItem));
    }
  } else if (toggled) {
    // A full pool (every node toggled this frame) leaves the node untoggled.
    mu_pool_init(ctx, ctx->treenode_pool, MU_TREENODEPOOL_SIZE, id);
  }
  if (treenode) {
    if (ctx->hover == id) ctx->draw_frame(ctx, r, MU_COLOR_BUTTONHOVER);
  } else {
    mu_draw_control_frame(ctx, id, r, MU_COLOR_BUTTON, 0);
  }
  mu_draw_icon(ctx, expanded ? MU_ICON_EXPANDED : MU_ICON_COLLAPSED, mu_rect(r.x, r.y, r.h, r.h),
               ctx->style->colors[MU_COLOR_TEXT]);
  r.x += r.h - ctx->style->padding;
  r.w -= r.h - ctx->style->padding;
  mu_draw_control_text(ctx, label, r, MU_COLOR_TEXT, 0);
  return expanded ? MU_RES_ACTIVE : 0;
}

void scrollbar(mu_Context* ctx, mu_Container* cnt, mu_Rect* b, mu_Vec2 cs, bool vertical) {
  int content = vertical ? cs.y : cs.x;
  int bodyLen = vertical ? b->h : b->w;
  int* scroll = vertical ? &cnt->scroll.y : &cnt->scroll.x;
  int maxscroll = content - bodyLen;
  if (maxscroll > 0 && bodyLen > 0) {
    mu_Id id = vertical ? mu_get_id(ctx, "!scrollbary", 11) : mu_get_id(ctx, "!scrollbarx", 11);
    mu_Rect base = *b;
    if (vertical) {
      base.x = b->x + b->w;
      base.w = ctx->style->scrollbar_size;
    } else {
      base.y = b->y + b->h;
      base.h = ctx->style->scrollbar_size;
    }
    int track = vertical ? base.h : base.w;
    mu_update_control(ctx, id, base, 0);
    if (ctx->focus == id && ctx->mouse_down == MU_MOUSE_LEFT && track > 0) {
      *scroll += (vertical ? ctx->mouse_delta.y : ctx->mouse_delta.x) * content / track;
    }
    *scroll = mu_clamp(*scroll, 0, maxscroll);
    ctx->draw_frame(ctx, base, MU_COLOR_SCROLLBASE);
    mu_Rect thumb = base;
    int len = mu_max(ctx->style->thumb_size, track * bodyLen / content);
    int off = *scroll * (track - len) / maxscroll;
    if (vertical) {
      thumb.h = len;
      thumb.y += off;
    } else {
      thumb.w = len;
      thumb.x += off;
    }
    ctx->draw_frame(ctx, thumb, MU_COLOR_SCROLLTHUMB);
    if (mu_mouse_over(ctx, *b)) ctx->scroll_target = cnt;
  } else {
    *scroll = 0;
  }
}

void scrollbars(mu_Context* ctx, mu_Container* cnt, mu_Rect* body) {
  int sz = ctx->style->scrollbar_size;
  mu_Vec2 cs = cnt->content_size;
  cs.x += ctx->style->padding * 2;
  cs.y += ctx->style->padding * 2;
  mu_push_clip_rect(ctx, *body);
  if (cs.y > cnt->body.h) body->w -= sz;
  if (cs.x > cnt->body.w) body->h -= sz;
  scrollbar(ctx, cnt, body, cs, true);
  scrollbar(ctx, cnt, body, cs, false);
  mu_pop_clip_rect(ctx);
}

void pushContainerBody(mu_Context* ctx, mu_Container* cnt, mu_Rect body, int opt) {
  if (~opt & MU_OPT_NOSCROLL) scrollbars(ctx, cnt, &body);
  pushLayout(ctx, expandRect(body, -ctx->style->padding), cnt->scroll);
  cnt->body = body;
}

void beginRootContainer(mu_Context* ctx, mu_Container* cnt) {
  muPush(ctx->container_stack, cnt);
  muPush(ctx->root_list, cnt);
  cnt->head = pushJump(ctx, nullptr);
  if (rectContains(cnt->rect, ctx->mouse_pos) &&
      (!ctx->next_hover_root || cnt->zindex > ctx->next_hover_root->zindex)) {
    ctx->next_hover_root = cnt;
  }
  muPush(ctx->clip_stack, kUnclipped);
}

void endRootContainer(mu_Context* ctx) {
  mu_Container* cnt = mu_get_current_container(ctx);
  cnt->tail = pushJump(ctx, nullptr);
  cnt->head->jump.dst = (mu_Command*)(ctx->command_list.items + ctx->command_list.idx);
  mu_pop_clip_rect(ctx);
  popContainer(ctx);
}

int checkboxImpl(mu_Context* ctx, mu_Id id, const char* label, bool* state) {
  int res = 0;
  mu_Rect r = mu_layout_next(ctx);
  mu_Rect box = mu_rect(r.x, r.y, r.h, r.h);
  mu_update_control(ctx, id, r, 0);
  if (ctx->mouse_pressed == MU_MOUSE_LEFT && ctx->focus == id) {
    res |= MU_RES_CHANGE;
    *state = !*state;
  }
  mu_draw_control_frame(ctx, id, box, MU_COLOR_BASE, 0);
  if (*state) mu_draw_icon(ctx, MU_ICON_CHECK, box, ctx->style->colors[MU_COLOR_TEXT]);
  r = mu_rect(r.x + box.w, r.y, r.w - box.w, r.h);
  mu_draw_control_text(ctx, label, r, MU_COLOR_TEXT, 0);
  return res;
}

// mu_draw_text with the width already measured.
void drawTextSized(mu_Context* ctx, mu_Font font, const char* str, int len, mu_Vec2 pos, mu_Color color,
                   int width) {
  mu_Rect rect = mu_rect(pos.x, pos.y, width, ctx->text_height(font));
  int clipped = mu_check_clip(ctx, rect);
  if (clipped == MU_CLIP_ALL) return;
  if (len < 0) len = (int)strlen(str);
  int size = (int)sizeof(mu_TextCommand) + len;
  int clipBytes = alignedSize(sizeof(mu_ClipCommand));
  // The text and its clip pair go in together or not at all.
  if (!commandsFit(ctx, alignedSize(size) + (clipped ? 2 * clipBytes : 0))) return;
  if (clipped) mu_set_clip(ctx, mu_get_clip_rect(ctx));
  mu_Command* cmd = mu_push_command(ctx, MU_COMMAND_TEXT, size);
  memcpy(cmd->text.str, str, (size_t)len);
  cmd->text.str[len] = '\0';
  cmd->text.pos = pos;
  cmd->text.color = color;
  cmd->text.font = font;
  if (clipped) mu_set_clip(ctx, kUnclipped);
}

}  // namespace

mu_Vec2 mu_vec2(int x, int y) { return mu_Vec2{x, y}; }
mu_Rect mu_rect(int x, int y, int w, int h) { return mu_Rect{x, y, w, h}; }
mu_Color mu_color(int r, int g, int b, int a) {
  return mu_Color{(unsigned char)r, (unsigned char)g, (unsigned char)b, (unsigned char)a};
}

void mu_init(mu_Context* ctx) {
  memset(ctx, 0, sizeof(*ctx));
  ctx->draw_frame = drawFrameDefault;
  ctx->_style = kDefaultStyle;
  ctx->style = &ctx->_style;
}

void mu_begin(mu_Context* ctx) {
  muExpect(ctx->text_width && ctx->text_height);
  ctx->command_list.idx = 0;
  ctx->root_list.idx = 0;
  ctx->scroll_target = nullptr;
  ctx->hover_root = ctx->next_hover_root;
  ctx->next_hover_root = nullptr;
  ctx->textbox_focus = 0;
  ctx->mouse_delta.x = ctx->mouse_pos.x - ctx->last_mouse_pos.x;
  ctx->mouse_delta.y = ctx->mouse_pos.y - ctx->last_mouse_pos.y;
  ctx->frame++;
}

void mu_end(mu_Context* ctx) {
  muExpect(ctx->container_stack.idx == 0);
  muExpect(ctx->clip_stack.idx == 0);
  muExpect(ctx->id_stack.idx == 0);
  muExpect(ctx->layout_stack.idx == 0);
  muExpect(ctx->overflow_panels == 0 && ctx->overflow_columns == 0);

  if (ctx->scroll_target) {
    ctx->scroll_target->scroll.x += ctx->scroll_delta.x;
    ctx->scroll_target->scroll.y += ctx->scroll_delta.y;
  }
  if (!ctx->updated_focus) ctx->focus = 0;
  ctx->updated_focus = 0;

  if (ctx->mouse_pressed && ctx->next_hover_root && ctx->next_hover_root->zindex < ctx->last_zindex &&
      ctx->next_hover_root->zindex >= 0) {
    mu_bring_to_front(ctx, ctx->next_hover_root);
  }

  ctx->key_pressed = 0;
  ctx->backspaces = 0;
  ctx->input_text[0] = '\0';
  ctx->mouse_pressed = 0;
  ctx->scroll_delta = mu_vec2(0, 0);
  ctx->last_mouse_pos = ctx->mouse_pos;

  int n = ctx->root_list.idx;
  qsort(ctx->root_list.items, (size_t)n, sizeof(mu_Container*), compareZindex);

  // Chain the roots' runs back to front: the list's first command (the first
  // root's head jump) enters the lowest one, each tail enters the next.
  for (int i = 0; i < n; i++) {
    mu_Container* cnt = ctx->root_list.items[i];
    char* entry = (char*)cnt->head + sizeof(mu_JumpCommand);
    if (i == 0) {
      mu_Command* first = (mu_Command*)ctx->command_list.items;
      first->jump.dst = entry;
    } else {
      ctx->root_list.items[i - 1]->tail->jump.dst = entry;
    }
    if (i == n - 1) cnt->tail->jump.dst = ctx->command_list.items + ctx->command_list.idx;
  }
}

void mu_set_focus(mu_Context* ctx, mu_Id id) {
  ctx->focus = id;
  ctx->updated_focus = 1;
}

mu_Id mu_get_id(mu_Context* ctx, const void* data, int size) {
  int idx = ctx->id_stack.idx;
  u32 h = idx > 0 ? ctx->id_stack.items[idx - 1] : kFnvOffset;
  h = fnv1a(h, data, size);
  ctx->last_id = h;
  return h;
}

void mu_push_id(mu_Context* ctx, const void* data, int size) { muPush(ctx->id_stack, mu_get_id(ctx, data, size)); }

void mu_pop_id(mu_Context* ctx) { muPop(ctx->id_stack); }

void mu_push_clip_rect(mu_Context* ctx, mu_Rect rect) {
  mu_Rect last = mu_get_clip_rect(ctx);
  muPush(ctx->clip_stack, intersectRects(rect, last));
}

void mu_pop_clip_rect(mu_Context* ctx) { muPop(ctx->clip_stack); }

mu_Rect mu_get_clip_rect(mu_Context* ctx) {
  muExpect(ctx->clip_stack.idx > 0);
  return ctx->clip_stack.items[ctx->clip_stack.idx - 1];
}

int mu_check_clip(mu_Context* ctx, mu_Rect r) {
  mu_Rect cr = mu_get_clip_rect(ctx);
  if (r.x > cr.x + cr.w || r.x + r.w < cr.x || r.y > cr.y + cr.h || r.y + r.h < cr.y) return MU_CLIP_ALL;
  if (r.x >= cr.x && r.x + r.w <= cr.x + cr.w && r.y >= cr.y && r.y + r.h <= cr.y + cr.h) return 0;
  return MU_CLIP_PART;
}

mu_Container* mu_get_current_container(mu_Context* ctx) {
  muExpect(ctx->container_stack.idx > 0);
  return ctx->container_stack.items[ctx->container_stack.idx - 1];
}

mu_Container* mu_get_container(mu_Context* ctx, const char* name) {
  mu_Id id = mu_get_id(ctx, name, (int)strlen(name));
  return getContainer(ctx, id, 0);
}

void mu_bring_to_front(mu_Context* ctx, mu_Container* cnt) { cnt->zindex = ++ctx->last_zindex; }

int mu_pool_init(mu_Context* ctx, mu_PoolItem* items, int len, mu_Id id) {
  int n = -1;
  int f = ctx->frame;
  for (int i = 0; i < len; i++) {
    if (items[i].last_update < f) {
      f = items[i].last_update;
      n = i;
    }
  }
  if (n < 0) return -1;
  items[n].id = id;
  mu_pool_update(ctx, items, n);
  return n;
}

int mu_pool_get(mu_Context*, mu_PoolItem* items, int len, mu_Id id) {
  for (int i = 0; i < len; i++) {
    if (items[i].id == id) return i;
  }
  return -1;
}

void mu_pool_update(mu_Context* ctx, mu_PoolItem* items, int idx) { items[idx].last_update = ctx->frame; }

void mu_input_mousemove(mu_Context* ctx, int x, int y) { ctx->mouse_pos = mu_vec2(x, y); }

void mu_input_mousedown(mu_Context* ctx, int x, int y, int btn) {
  mu_input_mousemove(ctx, x, y);
  ctx->mouse_down |= btn;
  ctx->mouse_pressed |= btn;
}

void mu_input_mouseup(mu_Context* ctx, int x, int y, int btn) {
  mu_input_mousemove(ctx, x, y);
  ctx->mouse_down &= ~btn;
}

void mu_input_scroll(mu_Context* ctx, int x, int y) {
  ctx->scroll_delta.x += x;
  ctx->scroll_delta.y += y;
}

void mu_input_keydown(mu_Context* ctx, int key) {
  ctx->key_pressed |= key;
  if (key & MU_KEY_BACKSPACE) ctx->backspaces++;
  ctx->key_down |= key;
}

void mu_input_keyup(mu_Context* ctx, int key) { ctx->key_down &= ~key; }

void mu_input_text(mu_Context* ctx, const char* text) {
  if (!text) return;
  int len = (int)strlen(ctx->input_text);
  int n = wholeCharsThatFit(text, MU_INPUTTEXT_SIZE - 1 - len);
  memcpy(ctx->input_text + len, text, (size_t)n);
  ctx->input_text[len + n] = '\0';
}

mu_Command* mu_push_command(mu_Context* ctx, int type, int size) {
  size = alignedSize(size);
  int limit = type == MU_COMMAND_JUMP ? MU_COMMANDLIST_SIZE : MU_COMMANDLIST_SIZE - kJumpReserve;
  if (ctx->command_list.idx + size >= limit) return nullptr;
  mu_Command* cmd = (mu_Command*)(ctx->command_list.items + ctx->command_list.idx);
  cmd->base.type = type;
  cmd->base.size = size;
  ctx->command_list.idx += size;
  return cmd;
}

int mu_next_command(mu_Context* ctx, mu_Command** cmd) {
  if (*cmd) {
    *cmd = (mu_Command*)((char*)*cmd + (*cmd)->base.size);
  } else {
    *cmd = (mu_Command*)ctx->command_list.items;
  }
  while ((char*)*cmd != ctx->command_list.items + ctx->command_list.idx) {
    if ((*cmd)->type != MU_COMMAND_JUMP) return 1;
    *cmd = (mu_Command*)(*cmd)->jump.dst;
  }
  return 0;
}

void mu_set_clip(mu_Context* ctx, mu_Rect rect) {
  mu_Command* cmd = mu_push_command(ctx, MU_COMMAND_CLIP, sizeof(mu_ClipCommand));
  if (cmd) cmd->clip.rect = rect;
}

void mu_draw_rect(mu_Context* ctx, mu_Rect rect, mu_Color color) {
  rect = intersectRects(rect, mu_get_clip_rect(ctx));
  if (rect.w > 0 && rect.h > 0) {
    mu_Command* cmd = mu_push_command(ctx, MU_COMMAND_RECT, sizeof(mu_RectCommand));
    if (cmd) {
      cmd->rect.rect = rect;
      cmd->rect.color = color;
    }
  }
}

void mu_draw_box(mu_Context* ctx, mu_Rect rect, mu_Color color) {
  mu_draw_rect(ctx, mu_rect(rect.x + 1, rect.y, rect.w - 2, 1), color);
  mu_draw_rect(ctx, mu_rect(rect.x + 1, rect.y + rect.h - 1, rect.w - 2, 1), color);
  mu_draw_rect(ctx, mu_rect(rect.x, rect.y, 1, rect.h), color);
  mu_draw_rect(ctx, mu_rect(rect.x + rect.w - 1, rect.y, 1, rect.h), color);
}

void mu_draw_text(mu_Context* ctx, mu_Font font, const char* str, int len, mu_Vec2 pos, mu_Color color) {
  drawTextSized(ctx, font, str, len, pos, color, ctx->text_width(font, str, len));
}

void mu_draw_icon(mu_Context* ctx, int id, mu_Rect rect, mu_Color color) {
  int clipped = mu_check_clip(ctx, rect);
  if (clipped == MU_CLIP_ALL) return;
  int clipBytes = alignedSize(sizeof(mu_ClipCommand));
  if (!commandsFit(ctx, alignedSize(sizeof(mu_IconCommand)) + (clipped ? 2 * clipBytes : 0))) return;
  if (clipped) mu_set_clip(ctx, mu_get_clip_rect(ctx));
  mu_Command* cmd = mu_push_command(ctx, MU_COMMAND_ICON, sizeof(mu_IconCommand));
  cmd->icon.id = id;
  cmd->icon.rect = rect;
  cmd->icon.color = color;
  if (clipped) mu_set_clip(ctx, kUnclipped);
}

void mu_layout_row(mu_Context* ctx, int items, const int* widths, int height) {
  mu_Layout* layout = currentLayout(ctx);
  if (items > MU_MAX_WIDTHS) items = MU_MAX_WIDTHS;
  if (items < 0) items = 0;
  if (widths) memcpy(layout->widths, widths, (size_t)items * sizeof(widths[0]));
  layout->items = items;
  layout->position = mu_vec2(layout->indent, layout->next_row);
  layout->size.y = height;
  layout->item_index = 0;
}

void mu_layout_width(mu_Context* ctx, int width) { currentLayout(ctx)->size.x = width; }

void mu_layout_height(mu_Context* ctx, int height) { currentLayout(ctx)->size.y = height; }

void mu_layout_begin_column(mu_Context* ctx) {
  mu_Rect cell = mu_layout_next(ctx);
  if (!muRoom(ctx->layout_stack, 1)) {
    ctx->overflow_columns++;
    return;
  }
  pushLayout(ctx, cell, mu_vec2(0, 0));
}

void mu_layout_end_column(mu_Context* ctx) {
  if (ctx->overflow_columns > 0) {
    ctx->overflow_columns--;
    return;
  }
  mu_Layout* b = currentLayout(ctx);
  muPop(ctx->layout_stack);
  mu_Layout* a = currentLayout(ctx);
  a->position.x = mu_max(a->position.x, b->position.x + b->body.x - a->body.x);
  a->next_row = mu_max(a->next_row, b->next_row + b->body.y - a->body.y);
  a->max.x = mu_max(a->max.x, b->max.x);
  a->max.y = mu_max(a->max.y, b->max.y);
}

void mu_layout_set_next(mu_Context* ctx, mu_Rect r, int relative) {
  mu_Layout* layout = currentLayout(ctx);
  layout->next = r;
  layout->next_type = relative ? kRelative : kAbsolute;
}

mu_Rect mu_layout_next(mu_Context* ctx) {
  mu_Layout* layout = currentLayout(ctx);
  mu_Style* style = ctx->style;
  mu_Rect res;
  if (layout->next_type) {
    int type = layout->next_type;
    layout->next_type = 0;
    res = layout->next;
    if (type == kAbsolute) {
      ctx->last_rect = res;
      return res;
    }
  } else {
    if (layout->item_index == layout->items) mu_layout_row(ctx, layout->items, nullptr, layout->size.y);
    res.x = layout->position.x;
    res.y = layout->position.y;
    res.w = layout->items > 0 ? layout->widths[layout->item_index] : layout->size.x;
    res.h = layout->size.y;
    if (res.w == 0) res.w = style->size.x + style->padding * 2;
    if (res.h == 0) res.h = style->size.y + style->padding * 2;
    if (res.w < 0) res.w += layout->body.w - res.x + 1;
    if (res.h < 0) res.h += layout->body.h - res.y + 1;
    layout->item_index++;
  }
  layout->position.x += res.w + style->spacing;
  layout->next_row = mu_max(layout->next_row, res.y + res.h + style->spacing);
  res.x += layout->body.x;
  res.y += layout->body.y;
  layout->max.x = mu_max(layout->max.x, res.x + res.w);
  layout->max.y = mu_max(layout->max.y, res.y + res.h);
  ctx->last_rect = res;
  return res;
}

void mu_draw_control_frame(mu_Context* ctx, mu_Id id, mu_Rect rect, int colorid, int opt) {
  if (opt & MU_OPT_NOFRAME) return;
  colorid += ctx->focus == id ? 2 : ctx->hover == id ? 1 : 0;
  ctx->draw_frame(ctx, rect, colorid);
}

void mu_draw_control_text(mu_Context* ctx, const char* str, mu_Rect rect, int colorid, int opt) {
  // Drawn clipped to its cell: a cell wholly outside the clip shows nothing, and
  // its text need not be measured.
  if (mu_check_clip(ctx, rect) == MU_CLIP_ALL) return;
  mu_Font font = ctx->style->font;
  int tw = ctx->text_width(font, str, -1);
  mu_push_clip_rect(ctx, rect);
  mu_Vec2 pos;
  pos.y = rect.y + (rect.h - ctx->text_height(font)) / 2;
  if (opt & MU_OPT_ALIGNCENTER) {
    pos.x = rect.x + (rect.w - tw) / 2;
  } else if (opt & MU_OPT_ALIGNRIGHT) {
    pos.x = rect.x + rect.w - tw - ctx->style->padding;
  } else {
    pos.x = rect.x + ctx->style->padding;
  }
  drawTextSized(ctx, font, str, -1, pos, ctx->style->colors[colorid], tw);
  mu_pop_clip_rect(ctx);
}

int mu_mouse_over(mu_Context* ctx, mu_Rect rect) {
  return rectContains(rect, ctx->mouse_pos) && rectContains(mu_get_clip_rect(ctx), ctx->mouse_pos) &&
         inHoverRoot(ctx);
}

void mu_update_control(mu_Context* ctx, mu_Id id, mu_Rect rect, int opt) {
  int mouseover = mu_mouse_over(ctx, rect);
  if (ctx->focus == id) ctx->updated_focus = 1;
  if (opt & MU_OPT_NOINTERACT) return;
  if (mouseover && !ctx->mouse_down) ctx->hover = id;
  if (ctx->focus == id) {
    if (ctx->mouse_pressed && !mouseover) mu_set_focus(ctx, 0);
    if (!ctx->mouse_down && ~opt & MU_OPT_HOLDFOCUS) mu_set_focus(ctx, 0);
  }
  if (ctx->hover == id) {
    if (ctx->mouse_pressed) {
      mu_set_focus(ctx, id);
    } else if (!mouseover) {
      ctx->hover = 0;
    }
  }
}

void mu_text(mu_Context* ctx, const char* text) {
  mu_Font font = ctx->style->font;
  mu_Color color = ctx->style->colors[MU_COLOR_TEXT];
  mu_layout_begin_column(ctx);
  int width = -1;
  if (ctx->overflow_columns == 0) mu_layout_row(ctx, 1, &width, ctx->text_height(font));
  int spaceW = ctx->text_width(font, " ", 1);
  const char* p = text;
  for (;;) {
    mu_Rect r = mu_layout_next(ctx);
    const char* lineStart = p;
    const char* lineEnd = p;
    int w = 0;
    for (;;) {
      const char* wordEnd = p;
      while (*wordEnd && *wordEnd != ' ' && *wordEnd != '\n') wordEnd++;
      int ww = ctx->text_width(font, p, (int)(wordEnd - p));
      // A word that does not fit starts the next line, unless it is the first.
      if (lineEnd != lineStart && w + ww > r.w) break;
      w += ww;
      lineEnd = wordEnd;
      if (*wordEnd != ' ') break;
      w += spaceW;
      p = wordEnd + 1;
    }
    mu_draw_text(ctx, font, lineStart, (int)(lineEnd - lineStart), mu_vec2(r.x, r.y), color);
    if (!*lineEnd) break;
    p = lineEnd + 1;
  }
  mu_layout_end_column(ctx);
}

void mu_label(mu_Context* ctx, const char* text) {
  mu_draw_control_text(ctx, text, mu_layout_next(ctx), MU_COLOR_TEXT, 0);
}

int mu_button_ex(mu_Context* ctx, const char* label, int icon, int opt) {
  int res = 0;
  mu_Id id = label ? mu_get_id(ctx, label, (int)strlen(label)) : mu_get_id(ctx, &icon, sizeof(icon));
  mu_Rect r = mu_layout_next(ctx);
  mu_update_control(ctx, id, r, opt);
  if (ctx->mouse_pressed == MU_MOUSE_LEFT && ctx->focus == id) res |= MU_RES_SUBMIT;
  mu_draw_control_frame(ctx, id, r, MU_COLOR_BUTTON, opt);
  int textColor = MU_COLOR_TEXT + (ctx->focus == id ? 2 : ctx->hover == id ? 1 : 0);
  if (label) mu_draw_control_text(ctx, label, r, textColor, opt);
  if (icon) mu_draw_icon(ctx, icon, r, ctx->style->colors[textColor]);
  return res;
}

int mu_checkbox(mu_Context* ctx, const char* label, int* state) {
  mu_Id id = mu_get_id(ctx, &state, sizeof(state));
  bool v = *state != 0;
  int res = checkboxImpl(ctx, id, label, &v);
  *state = v ? 1 : 0;
  return res;
}

int uiCheckbox(mu_Context* ctx, const char* label, b8* state) {
  mu_Id id = mu_get_id(ctx, label, (int)strlen(label));
  bool v = *state;
  int res = checkboxImpl(ctx, id, label, &v);
  *state = v;
  return res;
}

int uiPressedOver(mu_Context* ctx, mu_Rect r) {
  return (ctx->mouse_pressed & MU_MOUSE_LEFT) && mu_mouse_over(ctx, r) ? 1 : 0;
}

int uiPressButton(mu_Context* ctx, const char* label, int opt) {
  mu_Id id = mu_get_id(ctx, label, (int)strlen(label));
  mu_Rect r = mu_layout_next(ctx);
  mu_update_control(ctx, id, r, opt);
  int res = 0;
  if (~opt & MU_OPT_NOINTERACT && uiPressedOver(ctx, r)) {
    mu_set_focus(ctx, id);
    res |= MU_RES_SUBMIT;
  }
  mu_draw_control_frame(ctx, id, r, MU_COLOR_BUTTON, opt);
  int textColor = MU_COLOR_TEXT + (ctx->focus == id ? 2 : ctx->hover == id ? 1 : 0);
  mu_draw_control_text(ctx, label, r, textColor, opt);
  return res;
}

int mu_textbox_raw(mu_Context* ctx, char* buf, int bufsz, mu_Id id, mu_Rect r, int opt) {
  int res = 0;
  mu_update_control(ctx, id, r, opt | MU_OPT_HOLDFOCUS);
  if (ctx->focus == id && bufsz > 0) {
    int len = (int)strlen(buf);
    // Whole characters only: a cut one would leave the buffer ill-formed.
    int n = wholeCharsThatFit(ctx->input_text, bufsz - len - 1);
    if (n > 0) {
      memcpy(buf + len, ctx->input_text, (size_t)n);
      len += n;
      buf[len] = '\0';
      res |= MU_RES_CHANGE;
    }
    int deletes = ctx->key_pressed & MU_KEY_BACKSPACE ? mu_max(ctx->backspaces, 1) : 0;
    for (; deletes > 0 && len > 0; deletes--) {
      do {
        len--;
      } while (len > 0 && ((u8)buf[len] & 0xc0) == 0x80);
      buf[len] = '\0';
      res |= MU_RES_CHANGE;
    }
    if (ctx->key_pressed & MU_KEY_RETURN) {
      mu_set_focus(ctx, 0);
      res |= MU_RES_SUBMIT;
    }
  }
  mu_draw_control_frame(ctx, id, r, MU_COLOR_BASE, opt);
  if (ctx->focus == id) {
    ctx->textbox_focus = id;
    mu_Color color = ctx->style->colors[MU_COLOR_TEXT];
    mu_Font font = ctx->style->font;
    int textw = ctx->text_width(font, buf, -1);
    int texth = ctx->text_height(font);
    int ofx = r.w - ctx->style->padding - textw - 1;
    int textx = r.x + mu_min(ofx, ctx->style->padding);
    int texty = r.y + (r.h - texth) / 2;
    mu_push_clip_rect(ctx, r);
    mu_draw_text(ctx, font, buf, -1, mu_vec2(textx, texty), color);
    mu_draw_rect(ctx, mu_rect(textx + textw, texty, 1, texth), color);
    mu_pop_clip_rect(ctx);
  } else {
    mu_draw_control_text(ctx, buf, r, MU_COLOR_TEXT, opt);
  }
  return res;
}

int mu_textbox_ex(mu_Context* ctx, char* buf, int bufsz, int opt) {
  mu_Id id = mu_get_id(ctx, &buf, sizeof(buf));
  mu_Rect r = mu_layout_next(ctx);
  return mu_textbox_raw(ctx, buf, bufsz, id, r, opt);
}

int mu_slider_ex(mu_Context* ctx, mu_Real* value, mu_Real low, mu_Real high, mu_Real step, const char* fmt,
                 int opt) {
  char buf[MU_MAX_FMT + 1];
  int res = 0;
  mu_Real last = *value;
  mu_Id id = mu_get_id(ctx, &value, sizeof(value));
  mu_Rect base = mu_layout_next(ctx);
  if (numberTextbox(ctx, value, base, id)) return res;
  mu_Real v = *value;
  mu_update_control(ctx, id, base, opt);
  if (ctx->focus == id && (ctx->mouse_down | ctx->mouse_pressed) == MU_MOUSE_LEFT && base.w > 0) {
    v = low + (mu_Real)(ctx->mouse_pos.x - base.x) * (high - low) / (mu_Real)base.w;
    if (step != 0) v = (mu_Real)((long long)((v + step / 2) / step)) * step;
  }
  *value = v = mu_clamp(v, low, high);
  if (last != v) res |= MU_RES_CHANGE;
  mu_draw_control_frame(ctx, id, base, MU_COLOR_BASE, opt);
  int w = ctx->style->thumb_size;
  int x = high > low ? (int)((v - low) * (mu_Real)(base.w - w) / (high - low)) : 0;
  mu_Rect thumb = mu_rect(base.x + x, base.y, w, base.h);
  mu_draw_control_frame(ctx, id, thumb, MU_COLOR_BUTTON, opt);
  snprintf(buf, sizeof(buf), fmt, (double)v);
  mu_draw_control_text(ctx, buf, base, MU_COLOR_TEXT, opt);
  return res;
}

int mu_number_ex(mu_Context* ctx, mu_Real* value, mu_Real step, const char* fmt, int opt) {
  char buf[MU_MAX_FMT + 1];
  int res = 0;
  mu_Id id = mu_get_id(ctx, &value, sizeof(value));
  mu_Rect base = mu_layout_next(ctx);
  mu_Real last = *value;
  if (numberTextbox(ctx, value, base, id)) return res;
  mu_update_control(ctx, id, base, opt);
  if (ctx->focus == id && ctx->mouse_down == MU_MOUSE_LEFT) *value += (mu_Real)ctx->mouse_delta.x * step;
  if (*value != last) res |= MU_RES_CHANGE;
  mu_draw_control_frame(ctx, id, base, MU_COLOR_BASE, opt);
  snprintf(buf, sizeof(buf), fmt, (double)*value);
  mu_draw_control_text(ctx, buf, base, MU_COLOR_TEXT, opt);
  return res;
}

int mu_header_ex(mu_Context* ctx, const char* label, int opt) {
  mu_Id id;
  return headerImpl(ctx, label, false, opt, &id);
}

int mu_begin_treenode_ex(mu_Context* ctx, const char* label, int opt) {
  mu_Id id;
  int res = headerImpl(ctx, label, true, opt, &id);
  if (res & MU_RES_ACTIVE) {
    // Nesting deeper than the id stack shows the node closed.
    if (!muRoom(ctx->id_stack, 1)) return 0;
    currentLayout(ctx)->indent += ctx->style->indent;
    muPush(ctx->id_stack, id);
  }
  return res;
}

void mu_end_treenode(mu_Context* ctx) {
  currentLayout(ctx)->indent -= ctx->style->indent;
  mu_pop_id(ctx);
}

int mu_begin_window_ex(mu_Context* ctx, const char* title, mu_Rect rect, int opt) {
  muExpect(title);
  mu_Id id = mu_get_id(ctx, title, (int)strlen(title));
  // Past the root list or the stacks the window is left out for the frame.
  if (!muRoom(ctx->root_list, 1) || !muRoom(ctx->container_stack, 1) || !muRoom(ctx->id_stack, 1) ||
      !muRoom(ctx->layout_stack, 1) || !muRoom(ctx->clip_stack, 2 + kTransientClips)) {
    return 0;
  }
  mu_Container* cnt = getContainer(ctx, id, opt);
  if (!cnt || !cnt->open) return 0;
  muPush(ctx->id_stack, id);

  if (cnt->rect.w == 0) cnt->rect = rect;
  beginRootContainer(ctx, cnt);
  rect = cnt->rect;
  mu_Rect body = rect;

  if (~opt & MU_OPT_NOFRAME) ctx->draw_frame(ctx, rect, MU_COLOR_WINDOWBG);

  if (~opt & MU_OPT_NOTITLE) {
    mu_Rect tr = rect;
    tr.h = ctx->style->title_height;
    ctx->draw_frame(ctx, tr, MU_COLOR_TITLEBG);

    mu_Id tid = mu_get_id(ctx, "!title", 6);
    mu_update_control(ctx, tid, tr, opt);
    mu_draw_control_text(ctx, title, tr, MU_COLOR_TITLETEXT, opt);
    if (tid == ctx->focus && ctx->mouse_down == MU_MOUSE_LEFT) {
      cnt->rect.x += ctx->mouse_delta.x;
      cnt->rect.y += ctx->mouse_delta.y;
    }
    body.y += tr.h;
    body.h -= tr.h;

    if (~opt & MU_OPT_NOCLOSE) {
      mu_Id cid = mu_get_id(ctx, "!close", 6);
      mu_Rect r = mu_rect(tr.x + tr.w - tr.h, tr.y, tr.h, tr.h);
      mu_draw_icon(ctx, MU_ICON_CLOSE, r, ctx->style->colors[MU_COLOR_TITLETEXT]);
      mu_update_control(ctx, cid, r, opt);
      if (ctx->mouse_pressed == MU_MOUSE_LEFT && cid == ctx->focus) cnt->open = 0;
    }
  }

  pushContainerBody(ctx, cnt, body, opt);

  if (~opt & MU_OPT_NORESIZE) {
    int sz = ctx->style->title_height;
    mu_Id rid = mu_get_id(ctx, "!resize", 7);
    mu_Rect r = mu_rect(rect.x + rect.w - sz, rect.y + rect.h - sz, sz, sz);
    mu_update_control(ctx, rid, r, opt);
    if (rid == ctx->focus && ctx->mouse_down == MU_MOUSE_LEFT) {
      cnt->rect.w = mu_max(96, cnt->rect.w + ctx->mouse_delta.x);
      cnt->rect.h = mu_max(64, cnt->rect.h + ctx->mouse_delta.y);
    }
  }

  if (opt & (MU_OPT_AUTOSIZE | MU_OPT_AUTOSIZE_W | MU_OPT_AUTOSIZE_H)) {
    mu_Rect r = currentLayout(ctx)->body;
    if (opt & (MU_OPT_AUTOSIZE | MU_OPT_AUTOSIZE_W)) cnt->rect.w = cnt->content_size.x + (cnt->rect.w - r.w);
    if (opt & (MU_OPT_AUTOSIZE | MU_OPT_AUTOSIZE_H)) cnt->rect.h = cnt->content_size.y + (cnt->rect.h - r.h);
  }

  if (opt & MU_OPT_POPUP && ctx->mouse_pressed && ctx->hover_root != cnt) cnt->open = 0;

  mu_push_clip_rect(ctx, cnt->body);
  return MU_RES_ACTIVE;
}

void mu_end_window(mu_Context* ctx) {
  mu_pop_clip_rect(ctx);
  endRootContainer(ctx);
}

void mu_open_popup(mu_Context* ctx, const char* name) {
  mu_Container* cnt = mu_get_container(ctx, name);
  if (!cnt) return;
  ctx->hover_root = ctx->next_hover_root = cnt;
  cnt->rect = mu_rect(ctx->mouse_pos.x, ctx->mouse_pos.y, 1, 1);
  cnt->open = 1;
  mu_bring_to_front(ctx, cnt);
}

int mu_begin_popup(mu_Context* ctx, const char* name) {
  int opt = MU_OPT_POPUP | MU_OPT_AUTOSIZE | MU_OPT_NORESIZE | MU_OPT_NOSCROLL | MU_OPT_NOTITLE | MU_OPT_CLOSED;
  return mu_begin_window_ex(ctx, name, mu_rect(0, 0, 0, 0), opt);
}

void mu_end_popup(mu_Context* ctx) { mu_end_window(ctx); }

void mu_begin_panel_ex(mu_Context* ctx, const char* name, int opt) {
  if (!muRoom(ctx->container_stack, 1) || !muRoom(ctx->id_stack, 1) || !muRoom(ctx->layout_stack, 1) ||
      !muRoom(ctx->clip_stack, 1 + kTransientClips)) {
    ctx->overflow_panels++;
    return;
  }
  mu_push_id(ctx, name, (int)strlen(name));
  mu_Container* cnt = getContainer(ctx, ctx->last_id, opt);
  if (!cnt) {
    // Every pool slot was used this frame: a scratch record keeps begin/end paired.
    memset(&ctx->overflow_container, 0, sizeof(ctx->overflow_container));
    cnt = &ctx->overflow_container;
  }
  cnt->rect = mu_layout_next(ctx);
  if (~opt & MU_OPT_NOFRAME) ctx->draw_frame(ctx, cnt->rect, MU_COLOR_PANELBG);
  muPush(ctx->container_stack, cnt);
  pushContainerBody(ctx, cnt, cnt->rect, opt);
  mu_push_clip_rect(ctx, cnt->body);
}

void mu_end_panel(mu_Context* ctx) {
  if (ctx->overflow_panels > 0) {
    ctx->overflow_panels--;
    return;
  }
  mu_pop_clip_rect(ctx);
  popContainer(ctx);
}
