// Typed and pasted text through the UI core's text box, measured with the rune
// walk: arbitrary bytes must never overrun a buffer, cut a character the input
// held whole, or stop a walk that has bytes left.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "font/rune.h"
#include "ui/microui.h"

namespace {

// Width by display columns, 8 pixels each, over exactly len bytes.
int runeWidth(mu_Font, const char* s, int len) {
  if (len < 0) len = (int)strlen(s);
  int w = 0, pos = 0;
  while (pos < len) {
    Rune r;
    int n = charntorune(&r, s + pos, len - pos);
    if (n <= 0) break;
    pos += n;
    int cols = runewidth(r);
    if (cols > 0) w += 8 * cols;
  }
  return w;
}
int lineHeight(mu_Font) { return 12; }

void checkDecoding(const uint8_t* data, size_t size) {
  size_t pos = 0;
  while (pos < size) {
    Rune r;
    int n = charntorune(&r, reinterpret_cast<const char*>(data) + pos, (int)(size - pos));
    if (n == 0) {
      if (size - pos >= (size_t)kUtfMax) abort();  // incomplete with a whole sequence's room
      break;
    }
    if (n < 0 || (size_t)n > size - pos) abort();
    if (r > 0x10FFFF || (r >= 0xD800 && r <= 0xDFFF)) abort();
    if (r != kRuneError) {
      char buf[8];
      int m = runetochar(buf, r);
      Rune back;
      if (m != n || charntorune(&back, buf, m) != m || back != r) abort();
    }
    pos += (size_t)n;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkDecoding(data, size);
  if (size < 1) return 0;
  static mu_Context* ctx = static_cast<mu_Context*>(malloc(sizeof(mu_Context)));
  mu_init(ctx);
  ctx->text_width = runeWidth;
  ctx->text_height = lineHeight;
  int bufsz = 1 + data[0] % 64;
  std::vector<char> buf((size_t)bufsz + 16, 'Z');
  buf[0] = '\0';
  auto frame = [&](int keys) {
    if (keys) mu_input_keydown(ctx, keys);
    mu_begin(ctx);
    if (mu_begin_window_ex(ctx, "w", mu_rect(0, 0, 300, 100), MU_OPT_NOTITLE | MU_OPT_NOSCROLL)) {
      mu_textbox(ctx, buf.data(), bufsz);
      mu_text(ctx, buf.data());
      mu_end_window(ctx);
    }
    mu_end(ctx);
    if (keys) mu_input_keyup(ctx, keys);
    if (buf[(size_t)bufsz] != 'Z' || strlen(buf.data()) >= (size_t)bufsz) abort();
  };
  // Focus the box: hover, then click.
  mu_input_mousemove(ctx, 10, 10);
  frame(0);
  frame(0);
  mu_input_mousedown(ctx, 10, 10, MU_MOUSE_LEFT);
  frame(0);
  mu_input_mouseup(ctx, 10, 10, MU_MOUSE_LEFT);
  // The rest: pieces of text separated by NUL; a piece's first byte picks keys.
  size_t pos = 1;
  while (pos < size) {
    size_t end = pos;
    while (end < size && data[end] != 0) end++;
    std::vector<char> piece(data + pos, data + end);
    piece.push_back('\0');
    int keys = piece.size() > 1 && (uint8_t)piece[0] < 4 ? (uint8_t)piece[0] * MU_KEY_BACKSPACE : 0;
    mu_input_text(ctx, piece.data());
    if (strlen(ctx->input_text) >= MU_INPUTTEXT_SIZE) abort();
    frame(keys & (MU_KEY_BACKSPACE | MU_KEY_RETURN));
    pos = end + 1;
  }
  return 0;
}
