#include "ui/file_dialog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/directory.h"
#include "platform/memory.h"
#include "renderer/decal.h"

namespace {

constexpr const char* kPreviewExts[] = {".png", ".jpg", ".jpeg", ".tga", ".ktx2", ".bmp", nullptr};
constexpr i32 kInitialCapacity = 256;

u8 lowerAscii(u8 c) { return c >= 'A' && c <= 'Z' ? (u8)(c + 32) : c; }

b8 endsWithNoCase(const char* s, const char* suffix) {
  size_t n = strlen(s), m = strlen(suffix);
  if (m > n) return false;
  for (size_t i = 0; i < m; i++)
    if (lowerAscii((u8)s[n - m + i]) != lowerAscii((u8)suffix[i])) return false;
  return true;
}

// Case-insensitive byte order; names equal that way fall back to plain bytes so
// that the order does not depend on the directory's.
int compareNames(const char* a, const char* b) {
  for (size_t i = 0;; i++) {
    u8 x = lowerAscii((u8)a[i]), y = lowerAscii((u8)b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (!x) break;
  }
  return strcmp(a, b);
}

char* copyString(const char* s) {
  size_t n = strlen(s);
  char* out = static_cast<char*>(memAlloc(n + 1));
  if (out) memcpy(out, s, n + 1);
  return out;
}

// dirPath + "/" + name (no second slash after the root).
char* joinPath(const char* dir, const char* name) {
  size_t d = strlen(dir), n = strlen(name);
  b8 slash = d > 0 && dir[d - 1] != '/';
  char* out = static_cast<char*>(memAlloc(d + slash + n + 1));
  if (!out) return nullptr;
  memcpy(out, dir, d);
  if (slash) out[d] = '/';
  memcpy(out + d + slash, name, n + 1);
  return out;
}

// Copies s into a buffer of `size` bytes; false (buffer untouched) when it would not fit.
b8 copyFitting(char* buf, u32 size, const char* s) {
  size_t n = strlen(s);
  if (n >= size) return false;
  memcpy(buf, s, n + 1);
  return true;
}

struct Entry {
  char* name;
  char* path;
  u64 size;
  i64 modified;
  b8 isDir;
};

struct Listing {
  const FileDialog* fd;
  Entry* items;
  i32 count, capacity;
};

b8 addEntry(Listing* l, const char* name, const char* path, b8 isDir, u64 size, i64 modified) {
  if (l->count == l->capacity) {
    i32 cap = l->capacity ? l->capacity * 2 : kInitialCapacity;
    if (cap > kFileDialogMaxEntries) cap = kFileDialogMaxEntries;
    auto* grown = static_cast<Entry*>(memRealloc(l->items, sizeof(Entry) * (size_t)cap));
    if (!grown) return false;
    l->items = grown;
    l->capacity = cap;
  }
  Entry& e = l->items[l->count];
  e.name = copyString(name);
  e.path = path ? copyString(path) : joinPath(l->fd->dirPath, name);
  if (!e.name || !e.path) {
    memFree(e.name);
    memFree(e.path);
    return false;
  }
  e.isDir = isDir;
  e.size = size;
  e.modified = modified;
  l->count++;
  return true;
}

b8 visitEntry(void* user, const DirEntryInfo* info) {
  auto* l = static_cast<Listing*>(user);
  if (l->count >= kFileDialogMaxEntries) return false;
  const char* name = info->name;
  if (name[0] == '.') return true;
  if (!info->isDir && !fileDialogMatchesFilter(l->fd->filterExts, name) && !fileDialogIsPreviewImage(name))
    return true;
  // Out of memory: what was listed so far is shown.
  if (!addEntry(l, name, nullptr, info->isDir, info->size, info->modified)) return false;
  return l->count < kFileDialogMaxEntries;
}

void freeListing(FileDialog* fd) {
  for (i32 i = 0; i < fd->fileCount; i++) {
    memFree(fd->names[i]);
    memFree(fd->paths[i]);
  }
  memFree(fd->names);
  memFree(fd->paths);
  memFree(fd->isDir);
  memFree(fd->sizes);
  memFree(fd->modified);
  fd->names = fd->paths = nullptr;
  fd->isDir = nullptr;
  fd->sizes = nullptr;
  fd->modified = nullptr;
  fd->fileCount = fd->capacity = 0;
  fd->selectedIndex = -1;
  fd->selectedFile[0] = '\0';
}

// Moves the collected entries into the record's arrays (sized to the listing).
void adoptListing(FileDialog* fd, Listing* l) {
  i32 n = l->count;
  if (n == 0) return;
  fd->names = static_cast<char**>(memAlloc(sizeof(char*) * (size_t)n));
  fd->paths = static_cast<char**>(memAlloc(sizeof(char*) * (size_t)n));
  fd->isDir = static_cast<b8*>(memAlloc(sizeof(b8) * (size_t)n));
  fd->sizes = static_cast<u64*>(memAlloc(sizeof(u64) * (size_t)n));
  fd->modified = static_cast<i64*>(memAlloc(sizeof(i64) * (size_t)n));
  if (!fd->names || !fd->paths || !fd->isDir || !fd->sizes || !fd->modified) {
    for (i32 i = 0; i < n; i++) {
      memFree(l->items[i].name);
      memFree(l->items[i].path);
    }
    freeListing(fd);
    return;
  }
  for (i32 i = 0; i < n; i++) {
    const Entry& e = l->items[i];
    fd->names[i] = e.name;
    fd->paths[i] = e.path;
    fd->isDir[i] = e.isDir;
    fd->sizes[i] = e.size;
    fd->modified[i] = e.modified;
  }
  fd->fileCount = fd->capacity = n;
}

b8 isRoot(const char* path) { return path[0] == '/' && path[1] == '\0'; }

i32 px(f32 scale, f32 v) { return (i32)(v * scale); }

void accept(FileDialog* fd, const char* path) {
  if (!copyFitting(fd->resultPath, sizeof fd->resultPath, path)) return;
  fd->fileSelected = true;
  fd->active = false;
}

// A new listing starts at its top.
void requestScrollReset(FileDialog* fd) {
  fd->scrollY = 0;
  fd->scrollReset = true;
}

}  // namespace

b8 fileDialogMatchesFilter(const char* const* filterExts, const char* name) {
  if (!filterExts) return true;
  if (!name) return false;
  for (const char* const* e = filterExts; *e; e++)
    if (endsWithNoCase(name, *e)) return true;
  return false;
}

b8 fileDialogIsPreviewImage(const char* name) {
  if (!name) return false;
  const char* dot = strrchr(name, '.');
  if (!dot) return false;
  for (const char* const* e = kPreviewExts; *e; e++)
    if (strlen(dot) == strlen(*e) && endsWithNoCase(dot, *e)) return true;
  return false;
}

void fileDialogFormatSize(u64 bytes, char* buf, u32 size) {
  if (!buf || size == 0) return;
  if (bytes < 1024) {
    snprintf(buf, size, "%llu %s", (unsigned long long)bytes, "B");
    return;
  }
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
  f64 v = (f64)bytes / 1024.0;
  int unit = 0;
  while (unit < 3 && v >= 1024.0) {
    v /= 1024.0;
    unit++;
  }
  snprintf(buf, size, v >= 10.0 ? "%.0f %s" : "%.1f %s", v, kUnits[unit]);
}

void fileDialogInit(FileDialog* fd, const char* initPath, const char* const* filterExts) {
  if (!fd) return;
  memset(fd, 0, sizeof(*fd));
  fd->selectedIndex = -1;
  fd->filterExts = filterExts;
  char resolved[kFileDialogPathSize];
  if (initPath && initPath[0] && fileDialogResolvePath(fd, initPath, resolved, sizeof resolved)) {
    copyFitting(fd->dirPath, sizeof fd->dirPath, resolved);
  } else if (!platformCurrentDirectory(fd->dirPath, sizeof fd->dirPath)) {
    copyFitting(fd->dirPath, sizeof fd->dirPath, ".");
  }
}

void fileDialogLoadDirectory(FileDialog* fd) {
  if (!fd) return;
  freeListing(fd);
  if (!fd->dirPath[0]) return;
  Listing l{};
  l.fd = fd;
  // An unreadable directory lists nothing, ".." included (the tool row's
  // up button still leads out).
  if ((!isRoot(fd->dirPath) && !addEntry(&l, "..", "..", true, 0, 0)) ||
      !platformListDirectory(fd->dirPath, visitEntry, &l)) {
    for (i32 i = 0; i < l.count; i++) {
      memFree(l.items[i].name);
      memFree(l.items[i].path);
    }
    memFree(l.items);
    return;
  }
  i32 first = (l.count > 0 && !isRoot(fd->dirPath)) ? 1 : 0;
  std::sort(l.items + first, l.items + l.count, [](const Entry& a, const Entry& b) {
    if (a.isDir != b.isDir) return a.isDir;
    return compareNames(a.name, b.name) < 0;
  });
  adoptListing(fd, &l);
  memFree(l.items);
}

b8 fileDialogResolvePath(const FileDialog* fd, const char* typed, char* result, u32 resultSize) {
  if (!fd || !typed || !typed[0] || !result || resultSize < 2) return false;
  // Room for the listed directory and a typed path joined: a detour through a
  // long name that ".." takes back still resolves; only the result must fit.
  char out[2 * kFileDialogPathSize + 2];
  const u32 size = sizeof out;
  // Components are appended to `out` as they come; ".." takes the last one back.
  const b8 absolute = typed[0] == '/' || fd->dirPath[0] == '/';
  u32 len = 0;
  if (absolute) out[len++] = '/';
  const u32 floor = len;  // nothing is removed below the root
  auto add = [&](const char* s) -> b8 {
    while (*s) {
      while (*s == '/') s++;
      if (!*s) break;
      const char* end = s;
      while (*end && *end != '/') end++;
      u32 n = (u32)(end - s);
      if (n == 1 && s[0] == '.') {
        // nothing
      } else if (n == 2 && s[0] == '.' && s[1] == '.') {
        // A relative path keeps leading "..": there is nothing to drop.
        b8 dropped = false;
        if (len > floor) {
          u32 start = len;
          while (start > floor && out[start - 1] != '/') start--;
          if (!(len - start == 2 && out[start] == '.' && out[start + 1] == '.')) {
            len = start > floor ? start - 1 : floor;
            dropped = true;
          }
        }
        if (!dropped && !absolute) {
          if (len + (len > floor ? 1 : 0) + 2 >= size) return false;
          if (len > floor) out[len++] = '/';
          out[len++] = '.';
          out[len++] = '.';
        }
      } else {
        if (len + (len > floor ? 1 : 0) + n >= size) return false;
        if (len > floor) out[len++] = '/';
        memcpy(out + len, s, n);
        len += n;
      }
      s = end;
    }
    return true;
  };
  if (typed[0] != '/' && !add(fd->dirPath)) return false;
  if (!add(typed)) return false;
  if (len == 0) out[len++] = '.';
  out[len] = '\0';
  if (len >= resultSize) return false;
  memcpy(result, out, len + 1);
  return true;
}

b8 fileDialogNavigateTo(FileDialog* fd, const char* path) {
  if (!fd || !path) return false;
  if (strcmp(path, "..") == 0) {
    char* slash = strrchr(fd->dirPath, '/');
    if (slash == fd->dirPath)
      slash[1] = '\0';
    else if (slash)
      *slash = '\0';
  } else if (!copyFitting(fd->dirPath, sizeof fd->dirPath, path)) {
    return false;
  }
  fileDialogLoadDirectory(fd);
  copyFitting(fd->pathBuf, sizeof fd->pathBuf, fd->dirPath);
  requestScrollReset(fd);
  return true;
}

b8 fileDialogSubmitPath(FileDialog* fd, const char* typed) {
  char path[kFileDialogPathSize];
  if (!fileDialogResolvePath(fd, typed, path, sizeof path)) return false;
  DirEntryInfo info;
  if (!platformStatPath(path, &info)) return false;
  if (info.isDir) return fileDialogNavigateTo(fd, path);
  const char* name = strrchr(path, '/');
  name = name ? name + 1 : path;
  if (!fileDialogMatchesFilter(fd->filterExts, name)) return false;
  accept(fd, path);
  return fd->fileSelected;
}

void fileDialogOpen(FileDialog* fd) {
  if (!fd) return;
  fd->active = true;
  fd->fileSelected = fd->cancelled = false;
  fd->resultPath[0] = '\0';
  fd->raise = true;
  fileDialogLoadDirectory(fd);
  copyFitting(fd->pathBuf, sizeof fd->pathBuf, fd->dirPath);
  requestScrollReset(fd);
}

void fileDialogDestroy(FileDialog* fd) {
  if (!fd) return;
  freeListing(fd);
}

b8 fileDialogPreviewQuad(mu_Rect p, mu_Rect clip, i32 viewportH, FileDialogPreviewQuad* out) {
  if (!out || p.w <= 0 || p.h <= 0) return false;
  i32 x0 = std::max(p.x, clip.x), y0 = std::max(p.y, clip.y);
  i32 x1 = std::min(p.x + p.w, clip.x + clip.w), y1 = std::min(p.y + p.h, clip.y + clip.h);
  if (x1 <= x0 || y1 <= y0) return false;
  f32 w = (f32)(x1 - x0), h = (f32)(y1 - y0);
  out->width = w;
  out->height = h;
  out->centerX = (f32)x0 + w * 0.5f;
  out->centerY = (f32)viewportH - (f32)y0 - h * 0.5f;
  out->uvX = (f32)(x0 - p.x) / (f32)p.w;
  out->uvY = (f32)(y0 - p.y) / (f32)p.h;
  out->uvW = w / (f32)p.w;
  out->uvH = h / (f32)p.h;
  return true;
}

namespace {

struct Frame {
  FileDialog* fd;
  mu_Context* ctx;
  f32 s;
  i32 viewportH;
};

void addClippedPreview(const Frame& f, mu_Rect preview, const char* path) {
  if (!f.fd->previewDecals) return;
  FileDialogPreviewQuad q;
  if (!fileDialogPreviewQuad(preview, mu_get_clip_rect(f.ctx), f.viewportH, &q)) return;
  // A unit quad scaled to the visible part, centred on it (element 4 x column + row).
  mat4f32 model{};
  model.m[0] = q.width;
  model.m[5] = q.height;
  model.m[10] = 1.0f;
  model.m[12] = q.centerX;
  model.m[13] = q.centerY;
  model.m[15] = 1.0f;
  decalSystemAdd(f.fd->previewDecals, &model, v4f{1, 1, 1, 1}, v4f{q.uvX, q.uvY, q.uvW, q.uvH}, path);
}

int rowTextColor(b8 selected, b8 hovered) {
  return selected ? MU_COLOR_TEXTFOCUS : hovered ? MU_COLOR_TEXTHOVER : MU_COLOR_TEXT;
}

// Fills a row or cell by state; true when the left button went down on it.
b8 entryBackground(const Frame& f, mu_Rect r, b8 selected, b8* hovered) {
  *hovered = mu_mouse_over(f.ctx, r) != 0;
  if (selected)
    mu_draw_rect(f.ctx, r, f.ctx->style->colors[MU_COLOR_BASEFOCUS]);
  else if (*hovered)
    mu_draw_rect(f.ctx, r, f.ctx->style->colors[MU_COLOR_BASEHOVER]);
  return uiPressedOver(f.ctx, r) != 0;
}

void entryLabel(const FileDialog* fd, i32 i, b8 grid, char* buf, u32 size) {
  if (fd->isDir[i])
    snprintf(buf, size, "[%s]", fd->names[i]);
  else
    snprintf(buf, size, grid ? "%s" : " %s", fd->names[i]);
}

// A press on entry i: a directory is entered at once (true: the listing has
// changed under the caller), a file becomes the selection.
b8 pressEntry(FileDialog* fd, i32 i) {
  if (fd->isDir[i]) {
    char path[kFileDialogPathSize];
    // Navigation frees the listing the path lives in.
    if (copyFitting(path, sizeof path, fd->paths[i])) fileDialogNavigateTo(fd, path);
    return true;
  }
  fd->selectedIndex = i;
  snprintf(fd->selectedFile, sizeof fd->selectedFile, "%s", fd->names[i]);
  return false;
}

b8 listView(const Frame& f, i32 colName, i32 colSize, i32 colDate) {
  FileDialog* fd = f.fd;
  mu_Context* ctx = f.ctx;
  const int spacing = ctx->style->spacing;
  char label[kFileDialogNameSize + 8];
  for (i32 i = 0; i < fd->fileCount; i++) {
    const b8 selected = i == fd->selectedIndex;
    const int full[1] = {-1};
    const int h = px(f.s, selected ? 88.0f : 30.0f);
    mu_layout_row(ctx, 1, full, h);
    mu_Rect r = mu_layout_next(ctx);
    if (mu_check_clip(ctx, r) == MU_CLIP_ALL) continue;
    b8 hovered;
    if (entryBackground(f, r, selected, &hovered) && pressEntry(fd, i)) return true;
    const int color = rowTextColor(selected, hovered);
    entryLabel(fd, i, false, label, sizeof label);
    mu_Rect nameRect = mu_rect(r.x, r.y, colName, r.h);
    if (selected) {
      if (!fd->isDir[i] && fileDialogIsPreviewImage(fd->names[i]))
        addClippedPreview(f, mu_rect(r.x + 4, r.y + 4, r.w - 8, (int)(0.65f * (f32)r.h)), fd->paths[i]);
      const int textH = (int)(0.3f * (f32)r.h);
      nameRect = mu_rect(r.x, r.y + r.h - textH, colName, textH);
    }
    mu_draw_control_text(ctx, label, nameRect, color, 0);
    char size[32] = "-", date[kDateStringSize] = "-";
    if (!fd->isDir[i]) {
      fileDialogFormatSize(fd->sizes[i], size, sizeof size);
      if (formatLocalDate(date, fd->modified[i]) != 0) snprintf(date, sizeof date, "-");
    }
    mu_draw_control_text(ctx, size, mu_rect(r.x + colName + spacing, r.y, colSize, r.h), color, MU_OPT_ALIGNRIGHT);
    mu_draw_control_text(ctx, date, mu_rect(r.x + colName + colSize + 2 * spacing, r.y, colDate, r.h), color,
                         MU_OPT_ALIGNRIGHT);
  }
  return false;
}

b8 gridView(const Frame& f) {
  FileDialog* fd = f.fd;
  mu_Context* ctx = f.ctx;
  const int cw = (int)((800.0f * f.s - 5.0f * 10.0f * f.s) / 4.0f);
  const int ch = (int)((f32)cw * 1.05f);
  const int widths[4] = {cw, cw, cw, cw};
  mu_layout_row(ctx, 4, widths, ch);
  char label[kFileDialogNameSize + 8];
  for (i32 i = 0; i < fd->fileCount; i++) {
    mu_Rect r = mu_layout_next(ctx);
    if (mu_check_clip(ctx, r) == MU_CLIP_ALL) continue;
    const b8 selected = i == fd->selectedIndex;
    b8 hovered;
    if (entryBackground(f, r, selected, &hovered) && pressEntry(fd, i)) return true;
    if (!fd->isDir[i] && fileDialogIsPreviewImage(fd->names[i]))
      addClippedPreview(f, mu_rect(r.x + 4, r.y + 4, r.w - 8, (int)(0.72f * (f32)(r.h - 8))), fd->paths[i]);
    entryLabel(fd, i, true, label, sizeof label);
    const int top = (int)(0.72f * (f32)r.h);
    mu_draw_control_text(ctx, label, mu_rect(r.x, r.y + top, r.w, r.h - top), rowTextColor(selected, hovered), 0);
  }
  return false;
}

}  // namespace

i32 fileDialogUpdate(FileDialog* fd, mu_Context* ctx, f32 s, i32 viewportH) {
  if (!fd) return 0;
  // Every call, shown or not: previews live one frame.
  if (fd->previewDecals) decalSystemReset(fd->previewDecals);
  if (!fd->active || !ctx) return 0;
  fd->fileSelected = fd->cancelled = false;

  // The window is placed by the record (it remembers where it was dragged) and
  // sized by the scale; a close last time left its container shut.
  mu_Container* cnt = mu_get_container(ctx, kFileDialogTitle);
  if (!cnt) return 0;
  const int side = px(s, 800.0f);
  mu_Rect rect = fd->winW ? mu_rect(fd->winX, fd->winY, side, side) : mu_rect(100, 100, side, side);
  cnt->rect = rect;
  cnt->open = 1;
  if (fd->raise) {
    mu_bring_to_front(ctx, cnt);
    // The click that opened the dialog raises its own window when the frame
    // ends: raise again on the next frame without a press.
    if (!ctx->mouse_pressed) fd->raise = false;
  }
  if (!mu_begin_window_ex(ctx, kFileDialogTitle, rect, MU_OPT_NORESIZE)) return 0;
  Frame f{fd, ctx, s, viewportH};
  auto finish = [&]() {
    mu_end_window(ctx);
    fd->winX = cnt->rect.x;
    fd->winY = cnt->rect.y;
    fd->winW = cnt->rect.w;
    fd->winH = cnt->rect.h;
  };

  // Tool row: up, list/grid, the path box.
  const int tools[3] = {px(s, 48.0f), px(s, 48.0f), -1};
  mu_layout_row(ctx, 3, tools, px(s, 30.0f));
  if (uiPressButton(ctx, "\xE2\x86\x91", MU_OPT_ALIGNCENTER) & MU_RES_SUBMIT) fileDialogNavigateTo(fd, "..");
  if (uiPressButton(ctx, fd->gridView ? "G" : "C", MU_OPT_ALIGNCENTER) & MU_RES_SUBMIT) fd->gridView = !fd->gridView;
  if (mu_textbox_ex(ctx, fd->pathBuf, sizeof fd->pathBuf, 0) & MU_RES_SUBMIT) {
    char typed[kFileDialogPathSize];
    memcpy(typed, fd->pathBuf, sizeof typed);
    fileDialogSubmitPath(fd, typed);
  }

  // The size and date columns grow to their widest text when the font is wider
  // than they were drawn for; the name column gives up the room.
  const int pad2 = 2 * ctx->style->padding;
  const int colSize = std::max(px(s, 110.0f), ctx->text_width(ctx->style->font, "1023.9 KB", -1) + pad2);
  const int colDate = std::max(px(s, 120.0f), ctx->text_width(ctx->style->font, "0000-00-00", -1) + pad2);
  const int colName = std::max(px(s, 800.0f) - colDate - colSize - 3 * px(s, 10.0f), px(s, 180.0f));
  if (!fd->gridView) {
    const int cols[3] = {colName, colSize, colDate};
    mu_layout_row(ctx, 3, cols, 0);
    mu_label(ctx, "filename");
    mu_draw_control_text(ctx, "size", mu_layout_next(ctx), MU_COLOR_TEXT, MU_OPT_ALIGNRIGHT);
    mu_draw_control_text(ctx, "modified", mu_layout_next(ctx), MU_COLOR_TEXT, MU_OPT_ALIGNRIGHT);
  }

  // The list fills what the two footer rows leave.
  const mu_Style* st = ctx->style;
  const int rowH = st->size.y + st->padding * 2;
  const int footer = 2 * (rowH + st->spacing);
  const int full[1] = {-1};
  mu_layout_row(ctx, 1, full, -footer);
  if (fd->scrollReset) {
    if (mu_Container* panel = mu_get_container(ctx, "filelist")) panel->scroll.y = 0;
    fd->scrollReset = false;
  }
  mu_begin_panel(ctx, "filelist");
  const b8 navigated = fd->gridView ? gridView(f) : listView(f, colName, colSize, colDate);
  if (mu_Container* panel = mu_get_current_container(ctx)) fd->scrollY = panel->scroll.y;
  mu_end_panel(ctx);
  if (navigated) {
    finish();
    return 0;
  }

  const int fileRow[2] = {px(s, 80.0f), -1};
  mu_layout_row(ctx, 2, fileRow, 0);
  mu_label(ctx, "File:");
  mu_label(ctx, fd->selectedIndex >= 0 ? fd->selectedFile : "(none)");
  const int buttons[2] = {-px(s, 120.0f), -1};
  mu_layout_row(ctx, 2, buttons, 0);
  if (uiPressButton(ctx, "Select", MU_OPT_ALIGNCENTER) & MU_RES_SUBMIT) {
    const i32 i = fd->selectedIndex;
    if (i >= 0 && i < fd->fileCount && !fd->isDir[i]) accept(fd, fd->paths[i]);
  }
  if (uiPressButton(ctx, "Cancel", MU_OPT_ALIGNCENTER) & MU_RES_SUBMIT) {
    fd->cancelled = true;
    fd->active = false;
  }
  finish();
  if (!cnt->open) {
    // The close box: a cancel unless a file was taken in the same frame.
    if (!fd->fileSelected) fd->cancelled = true;
    fd->active = false;
  }
  return fd->fileSelected ? 1 : fd->cancelled ? -1 : 0;
}
