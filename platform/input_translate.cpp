// SDL events to InputEvents: the key table, text split into code points, mouse with
// and without capture, wheel, and the window's size and visibility.
#include <SDL2/SDL.h>

#include <cstring>

#include "platform/window.h"

namespace {

// US-layout key positions; F6 is deliberately absent.
InputKey keyFromScancode(SDL_Scancode sc) {
  switch (sc) {
    case SDL_SCANCODE_ESCAPE: return InputKeyEsc;
    case SDL_SCANCODE_RETURN:
    case SDL_SCANCODE_KP_ENTER: return InputKeyEnter;
    case SDL_SCANCODE_UP: return InputKeyUp;
    case SDL_SCANCODE_DOWN: return InputKeyDown;
    case SDL_SCANCODE_LEFT: return InputKeyLeft;
    case SDL_SCANCODE_RIGHT: return InputKeyRight;
    case SDL_SCANCODE_TAB: return InputKeyTab;
    case SDL_SCANCODE_SPACE: return InputKeySpace;
    case SDL_SCANCODE_BACKSPACE: return InputKeyBackspace;
    case SDL_SCANCODE_SLASH: return InputKeySlash;
    case SDL_SCANCODE_DELETE: return InputKeyDelete;
    case SDL_SCANCODE_W: return InputKeyW;
    case SDL_SCANCODE_A: return InputKeyA;
    case SDL_SCANCODE_S: return InputKeyS;
    case SDL_SCANCODE_D: return InputKeyD;
    case SDL_SCANCODE_Q: return InputKeyQ;
    case SDL_SCANCODE_E: return InputKeyE;
    case SDL_SCANCODE_R: return InputKeyR;
    case SDL_SCANCODE_B: return InputKeyB;
    case SDL_SCANCODE_V: return InputKeyV;
    case SDL_SCANCODE_Z: return InputKeyZ;
    case SDL_SCANCODE_Y: return InputKeyY;
    case SDL_SCANCODE_X: return InputKeyX;
    case SDL_SCANCODE_I: return InputKeyI;
    case SDL_SCANCODE_1: return InputKey1;
    case SDL_SCANCODE_2: return InputKey2;
    case SDL_SCANCODE_3: return InputKey3;
    case SDL_SCANCODE_4: return InputKey4;
    case SDL_SCANCODE_5: return InputKey5;
    case SDL_SCANCODE_6: return InputKey6;
    case SDL_SCANCODE_7: return InputKey7;
    case SDL_SCANCODE_8: return InputKey8;
    case SDL_SCANCODE_9: return InputKey9;
    case SDL_SCANCODE_F1: return InputKeyF1;
    case SDL_SCANCODE_F2: return InputKeyF2;
    case SDL_SCANCODE_F3: return InputKeyF3;
    case SDL_SCANCODE_F4: return InputKeyF4;
    case SDL_SCANCODE_F5: return InputKeyF5;
    case SDL_SCANCODE_F12: return InputKeyF12;
    default: return InputKeyNone;
  }
}

InputEvent* append(PlatformTranslation* t, InputEventType type) {
  if (t->count >= kPlatformInputQueueSize) return nullptr;
  InputEvent* e = &t->events[t->count++];
  std::memset(static_cast<void*>(e), 0, sizeof(*e));
  e->type = type;
  return e;
}

// Length of the well-formed UTF-8 sequence at s (1 to 4) and its code point; 0 for
// a malformed one (overlong, surrogate, out of range, truncated).
u32 decodeUtf8(const u8* s, u32 avail, u32* cp) {
  u8 c = s[0];
  u32 len, v, min;
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  if ((c & 0xE0) == 0xC0) {
    len = 2, v = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, v = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, v = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (len > avail) return 0;
  for (u32 i = 1; i < len; i++) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (s[i] & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

void translateText(PlatformTranslation* t, const char* text) {
  const u8* s = reinterpret_cast<const u8*>(text);
  u32 avail = (u32)strnlen(text, SDL_TEXTINPUTEVENT_TEXT_SIZE);
  u32 i = 0;
  while (i < avail) {
    u32 cp = 0;
    u32 len = decodeUtf8(s + i, avail - i, &cp);
    if (len == 0) {
      i++;  // skip a stray byte
      continue;
    }
    if (cp >= 32 && cp != 127) {
      InputEvent* e = append(t, InputEventText);
      if (!e) return;
      std::memcpy(e->text.text, s + i, len);
      e->text.text[len] = 0;
    }
    i += len;
  }
}

void setVisible(PlatformEventState* st, PlatformTranslation* t, b8 visible) {
  if (st->visible == visible) return;
  st->visible = visible;
  InputEvent* e = append(t, InputEventVisibility);
  if (e) e->visibility.visible = visible;
}

void setSize(PlatformEventState* st, PlatformTranslation* t, i32 w, i32 h) {
  if (st->width == w && st->height == h) return;
  st->width = w;
  st->height = h;
  InputEvent* e = append(t, InputEventResize);
  if (e) {
    e->resize.width = w;
    e->resize.height = h;
  }
}

// The size message of the window: size first, then visibility.
void windowChanged(PlatformEventState* st, PlatformTranslation* t) {
  if (st->minimized)
    setSize(st, t, 0, 0);
  else
    setSize(st, t, st->windowWidth, st->windowHeight);
  setVisible(st, t, !st->minimized && !st->hidden);
}

void translateWindowEvent(PlatformEventState* st, PlatformTranslation* t, const SDL_WindowEvent& w) {
  switch (w.event) {
    case SDL_WINDOWEVENT_SIZE_CHANGED:
      st->windowWidth = w.data1;
      st->windowHeight = w.data2;
      windowChanged(st, t);
      break;
    case SDL_WINDOWEVENT_MINIMIZED:
      st->minimized = true;
      windowChanged(st, t);
      break;
    case SDL_WINDOWEVENT_RESTORED:
    case SDL_WINDOWEVENT_MAXIMIZED:
      st->minimized = false;
      windowChanged(st, t);
      break;
    case SDL_WINDOWEVENT_SHOWN:
      st->hidden = false;
      st->hidePending = false;
      setVisible(st, t, !st->minimized);
      break;
    case SDL_WINDOWEVENT_HIDDEN:
      // Reported at the end of the batch, after a minimise that may follow.
      st->hidden = true;
      st->hidePending = true;
      break;
    case SDL_WINDOWEVENT_CLOSE:
      st->shouldClose = true;
      append(t, InputEventClose);
      break;
    default:
      break;
  }
}

void translateMotion(PlatformEventState* st, PlatformTranslation* t, i32 x, i32 y) {
  if (st->mouseCapture) {
    i32 cx = st->width / 2, cy = st->height / 2;
    // The cursor being put back at the centre.
    if (x == cx && y == cy) return;
    InputEvent* e = append(t, InputEventMouseMotion);
    if (e) {
      e->motion.x = cx;
      e->motion.y = cy;
      e->motion.dx = x - cx;
      e->motion.dy = y - cy;
    }
    st->mouseX = cx;
    st->mouseY = cy;
    t->warpToCenter = true;
    return;
  }
  InputEvent* e = append(t, InputEventMouseMotion);
  if (e) {
    e->motion.x = x;
    e->motion.y = y;
    e->motion.dx = x - st->mouseX;
    e->motion.dy = y - st->mouseY;
  }
  st->mouseX = x;
  st->mouseY = y;
}

}  // namespace

PlatformTranslation platformTranslateEnd(PlatformEventState* st) {
  PlatformTranslation t;
  t.count = 0;
  t.warpToCenter = false;
  if (!st || !st->hidePending) return t;
  st->hidePending = false;
  setVisible(st, &t, !st->minimized && !st->hidden);
  return t;
}

PlatformTranslation platformTranslateEvent(PlatformEventState* st, const SDL_Event* ev) {
  PlatformTranslation t;
  t.count = 0;
  t.warpToCenter = false;
  if (!st || !ev) return t;
  switch (ev->type) {
    case SDL_KEYDOWN:
    case SDL_KEYUP: {
      InputKey key = keyFromScancode(ev->key.keysym.scancode);
      if (key == InputKeyNone) break;
      InputEvent* e = append(&t, InputEventKey);
      if (!e) break;
      u16 mod = ev->key.keysym.mod;
      e->modifiers = ((mod & KMOD_CTRL) ? InputModCtrl : 0) | ((mod & KMOD_SHIFT) ? InputModShift : 0) |
                     ((mod & KMOD_ALT) ? InputModAlt : 0);
      e->value = ev->type == SDL_KEYDOWN ? 1 : 0;  // repeats are presses too
      e->key = key;
      break;
    }
    case SDL_TEXTINPUT:
      translateText(&t, ev->text.text);
      break;
    case SDL_MOUSEMOTION:
      translateMotion(st, &t, ev->motion.x, ev->motion.y);
      break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
      InputMouse b = ev->button.button == SDL_BUTTON_LEFT     ? InputMouseLeft
                     : ev->button.button == SDL_BUTTON_MIDDLE ? InputMouseMiddle
                     : ev->button.button == SDL_BUTTON_RIGHT  ? InputMouseRight
                                                              : InputMouseNone;
      if (b == InputMouseNone) break;
      st->mouseX = ev->button.x;
      st->mouseY = ev->button.y;
      InputEvent* e = append(&t, InputEventMouseButton);
      if (!e) break;
      e->value = ev->type == SDL_MOUSEBUTTONDOWN ? 1 : 0;
      e->button = b;
      break;
    }
    case SDL_MOUSEWHEEL: {
      i32 flip = ev->wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -1 : 1;
      i32 dy = ev->wheel.y * flip, dx = ev->wheel.x * flip;
      if (dy != 0) {
        InputEvent* e = append(&t, InputEventMouseWheel);
        if (e) e->wheel.dy = dy > 0 ? 1 : -1;
      }
      if (dx != 0) {
        InputEvent* e = append(&t, InputEventMouseWheel);
        if (e) e->wheel.dx = dx > 0 ? 1 : -1;
      }
      break;
    }
    case SDL_WINDOWEVENT:
      translateWindowEvent(st, &t, ev->window);
      break;
    case SDL_QUIT:
      st->shouldClose = true;
      break;
    default:
      break;
  }
  return t;
}
