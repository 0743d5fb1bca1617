#include "ui/voip_panel.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/memory.h"

namespace {

constexpr u32 kN = kVoipPanelFftSize;
constexpr f64 kPi = 3.14159265358979323846;
constexpr f32 kSmoothKeep = 0.7f, kSmoothNew = 0.3f;
// UTF-8 for a small down-pointing triangle: the drop-down's mark.
constexpr const char* kDropMark = "\xE2\x96\xBC";

void copyField(char* dst, size_t cap, const char* src) {
  if (!src) src = "";
  size_t n = std::strlen(src);
  if (n >= cap) n = cap - 1;
  std::memcpy(dst, src, n);
  dst[n] = 0;
}

f32* ringSamples(SampleRing* r) { return reinterpret_cast<f32*>(r->buf.Base); }

b8 ringInit(SampleRing* r) {
  r->buf = CircBufferAlloc(kN * sizeof(f32), 1);
  r->writePos.store(0, std::memory_order_relaxed);
  r->filled.store(0, std::memory_order_relaxed);
  return r->buf.Base != nullptr;
}

void ringFree(SampleRing* r) {
  CircBufferDealloc(r->buf);
  r->buf = CircBuffer{};
}

void ringFeed(SampleRing* r, const f32* samples, u32 frames, i32 ch) {
  if (!samples || !r->buf.Base) return;
  f32* slots = ringSamples(r);
  const f32 inv = ch >= 1 ? 1.0f / (f32)ch : 0.0f;
  u32 pos = r->writePos.load(std::memory_order_relaxed);
  u32 filled = r->filled.load(std::memory_order_relaxed);
  for (u32 f = 0; f < frames; f++) {
    f32 sum = 0.0f;
    if (ch >= 1)
      for (i32 c = 0; c < ch; c++) sum += samples[(size_t)f * (size_t)ch + (size_t)c];
    std::atomic_ref<f32>(slots[pos]).store(sum * inv, std::memory_order_relaxed);
    pos = (pos + 1) % kN;
    if (filled < kN) filled++;
  }
  r->filled.store(filled, std::memory_order_release);
  r->writePos.store(pos, std::memory_order_release);
}

// 8-bit bit reversal, then butterflies of length 2, 4, ..., 256.
void fftInPlace(f64* re, f64* im) {
  for (u32 i = 0; i < kN; i++) {
    u32 j = 0;
    for (u32 b = 0; b < 8; b++) j |= ((i >> b) & 1u) << (7 - b);
    if (j > i) {
      f64 t = re[i];
      re[i] = re[j];
      re[j] = t;
      t = im[i];
      im[i] = im[j];
      im[j] = t;
    }
  }
  for (u32 len = 2; len <= kN; len <<= 1) {
    const f64 ang = -2.0 * kPi / (f64)len;
    const f64 stepRe = std::cos(ang), stepIm = std::sin(ang);
    for (u32 start = 0; start < kN; start += len) {
      f64 wRe = 1.0, wIm = 0.0;
      for (u32 k = 0; k < len / 2; k++) {
        const u32 a = start + k, b = a + len / 2;
        const f64 tRe = re[b] * wRe - im[b] * wIm;
        const f64 tIm = re[b] * wIm + im[b] * wRe;
        re[b] = re[a] - tRe;
        im[b] = im[a] - tIm;
        re[a] += tRe;
        im[a] += tIm;
        const f64 nRe = wRe * stepRe - wIm * stepIm;
        wIm = wRe * stepIm + wIm * stepRe;
        wRe = nRe;
      }
    }
  }
}

void drawFftBars(mu_Context* ctx, mu_Rect area, const f32* bars) {
  const int barW = area.w / (int)kVoipPanelBands > 2 ? area.w / (int)kVoipPanelBands : 2;
  for (u32 k = 0; k < kVoipPanelBands; k++) {
    f32 t = 2.0f * bars[k];
    t = t < 0.0f ? 0.0f : (t > 1.0f ? 1.0f : t);
    int h = (int)(t * (f32)area.h);
    if (h < 1) h = 1;
    mu_Color c = t < 0.5f ? mu_color((int)(510.0f * t), 255, 0, 220) : mu_color(255, (int)(510.0f - 510.0f * t), 0, 220);
    mu_draw_rect(ctx, mu_rect(area.x + (int)k * barW, area.y + area.h - h, barW - 1, h), c);
  }
}

void meter(mu_Context* ctx, int height, const f32* bars) {
  const int full[1] = {-1};
  mu_layout_row(ctx, 1, full, height);
  mu_Rect area = mu_layout_next(ctx);
  mu_draw_rect(ctx, area, mu_color(20, 20, 20, 255));
  drawFftBars(ctx, area, bars);
}

char* dupName(const char* name) {
  size_t n = std::strlen(name);
  auto* copy = static_cast<char*>(memAlloc(n + 1));
  if (copy) std::memcpy(copy, name, n + 1);
  return copy;
}

// Label, then a button with the chosen name that opens the list below it.
// True when the user picked an entry this frame.
b8 dropDown(mu_Context* ctx, int labelW, const char* label, const AudioDevList& list, i32* sel, b8* open,
            b8* otherOpen) {
  mu_push_id(ctx, label, (int)std::strlen(label));
  const int row[2] = {labelW, -1};
  mu_layout_row(ctx, 2, row, 0);
  mu_label(ctx, label);
  char text[300];
  const char* name = *sel >= 0 && *sel < list.count ? list.names[*sel] : "default";
  std::snprintf(text, sizeof text, "%s  %s", name, kDropMark);
  if (mu_button(ctx, text)) {
    *open = !*open;
    if (*open) *otherOpen = false;
  }
  b8 picked = false;
  if (*open) {
    const int full[1] = {-1};
    mu_layout_row(ctx, 1, full, 0);
    for (int i = 0; i < list.count; i++) {
      mu_push_id(ctx, &i, sizeof i);
      if (mu_button(ctx, list.names[i])) {
        *sel = i;
        *open = false;
        picked = true;
      }
      mu_pop_id(ctx);
    }
  }
  mu_pop_id(ctx);
  return picked;
}

// A name differing from the one last reported is stored and handed out.
char* reportChoice(const AudioDevList& list, i32 sel, char* cur, size_t cap) {
  if (sel < 0 || sel >= list.count) return nullptr;
  const char* name = list.names[sel];
  if (std::strcmp(name, cur) == 0) return nullptr;
  copyField(cur, cap, name);
  return dupName(name);
}

i32 findName(const AudioDevList& list, const char* name) {
  if (!name[0]) return -1;
  for (int i = 0; i < list.count; i++)
    if (std::strcmp(list.names[i], name) == 0) return i;
  return -1;
}

}  // namespace

VoipPanel* voipPanelCreate() {
  auto* p = static_cast<VoipPanel*>(memCalloc(1, sizeof(VoipPanel)));
  if (!p) return nullptr;
  copyField(p->portText, sizeof p->portText, "40000");
  copyField(p->status, sizeof p->status, "Disconnected");
  p->selSink = p->selSource = -1;
  for (u32 i = 0; i < kN; i++) p->window[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * (f64)i / (f64)(kN - 1));
  if (!ringInit(&p->micRing) || !ringInit(&p->speakerRing)) {
    voipPanelDestroy(p);
    return nullptr;
  }
  voipPanelReloadDevices(p);
  return p;
}

void voipPanelDestroy(VoipPanel* p) {
  if (!p) return;
  ringFree(&p->micRing);
  ringFree(&p->speakerRing);
  audioDevListFree(&p->sinks);
  audioDevListFree(&p->sources);
  memFree(p);
}

void voipPanelReloadDevices(VoipPanel* p) {
  if (!p) return;
  audioDevListFree(&p->sinks);
  audioDevListFree(&p->sources);
  p->sinks = audioBackendGetDevices();
  p->sources = audioBackendGetSourceDevices();
  // Indices shift when a device before the chosen one goes away: follow the
  // name, so that a reload never looks like a new choice.
  p->selSink = findName(p->sinks, p->curSinkName);
  p->selSource = findName(p->sources, p->curSourceName);
  p->haveDevices = p->sinks.count > 0 || p->sources.count > 0;
}

void voipPanelFeedMic(VoipPanel* p, const f32* samples, u32 frames, i32 ch) {
  if (p) ringFeed(&p->micRing, samples, frames, ch);
}

void voipPanelFeedSpeaker(VoipPanel* p, const f32* samples, u32 frames, i32 ch) {
  if (p) ringFeed(&p->speakerRing, samples, frames, ch);
}

void voipPanelClearMeters(VoipPanel* p) {
  if (!p) return;
  for (SampleRing* r : {&p->micRing, &p->speakerRing}) {
    r->filled.store(0, std::memory_order_release);
    r->writePos.store(0, std::memory_order_release);
  }
  for (u32 k = 0; k < kVoipPanelBands; k++) p->micBars[k] = p->speakerBars[k] = 0.0f;
}

const char* voipPanelGetPort(const VoipPanel* p) { return p ? p->portText : ""; }
const char* voipPanelGetJoinId(const VoipPanel* p) { return p ? p->joinIdText : ""; }
const char* voipPanelGetHostId(const VoipPanel* p) { return p ? p->hostIdText : ""; }

void voipPanelSetHostId(VoipPanel* p, const char* text) {
  if (p) copyField(p->hostIdText, sizeof p->hostIdText, text);
}

void voipPanelSetJoinId(VoipPanel* p, const char* text) {
  if (p) copyField(p->joinIdText, sizeof p->joinIdText, text);
}

void voipPanelSetStatus(VoipPanel* p, const char* text) {
  if (p) copyField(p->status, sizeof p->status, text);
}

void voipPanelComputeFft(VoipPanel* p, SampleRing* ring, f32* bars) {
  if (!p || !ring || !ring->buf.Base) return;
  if (ring->filled.load(std::memory_order_acquire) < 2) return;
  const u32 pos = ring->writePos.load(std::memory_order_acquire);
  f32* slots = ringSamples(ring);
  for (u32 i = 0; i < kN; i++) {
    const f32 x = std::atomic_ref<f32>(slots[(pos + i) % kN]).load(std::memory_order_relaxed);
    p->fftRe[i] = (f64)x * p->window[i];
    p->fftIm[i] = 0.0;
  }
  fftInPlace(p->fftRe, p->fftIm);
  for (u32 k = 0; k < kVoipPanelBands; k++) {
    const u32 first = k < kVoipPanelBands - 1 ? 4 * k + 1 : 125;
    const u32 count = k < kVoipPanelBands - 1 ? 4 : 3;
    f64 sum = 0.0;
    for (u32 b = first; b < first + count; b++)
      sum += std::sqrt(p->fftRe[b] * p->fftRe[b] + p->fftIm[b] * p->fftIm[b]);
    f32 v = (f32)(sum / (f64)count);
    if (!(v <= 1.0f)) v = 1.0f;  // also a NaN from a hostile sample
    bars[k] = kSmoothKeep * bars[k] + kSmoothNew * v;
  }
}

u32 voipPanelUpdate(VoipPanel* p, mu_Context* ctx, f32 scale, const Voip* voip, char** newSink, char** newSource) {
  if (newSink) *newSink = nullptr;
  if (newSource) *newSource = nullptr;
  if (!p) return 0;
  voipPanelComputeFft(p, &p->micRing, p->micBars);
  voipPanelComputeFft(p, &p->speakerRing, p->speakerBars);
  if (!ctx) return 0;
  const f32 s = scale;
  const mu_Rect rect = mu_rect((int)(10 * s), (int)(470 * s), (int)(300 * s), (int)(600 * s));
  // Our rows are taller than the 600s the window starts with: it grows to its
  // content (never below that), so the meters at the bottom stay in view.
  if (!mu_begin_window_ex(ctx, "VoIP", rect, MU_OPT_NOCLOSE | MU_OPT_AUTOSIZE_H)) return 0;
  mu_Container* cnt = mu_get_current_container(ctx);
  u32 actions = 0;
  const int labelW = (int)(55 * s), buttonW = (int)(70 * s);
  const int labelRow[2] = {labelW, -1};
  const int full[1] = {-1};

  mu_layout_row(ctx, 2, labelRow, 0);
  mu_label(ctx, "Port");
  mu_textbox_ex(ctx, p->portText, (int)sizeof p->portText, 0);

  mu_layout_row(ctx, 1, full, 0);
  if (mu_button(ctx, voip ? "Reconnect" : "Host")) actions |= kVoipPanelHost;

  // (rest, 70s, 70s): microui's -1 only fills up to the right edge, so the
  // first column's width is what the two buttons leave.
  const int spacing = ctx->style->spacing;
  int rest = cnt->body.w - 2 * ctx->style->padding - 2 * buttonW - 2 * spacing;
  if (rest < 1) rest = 1;
  const int idRow[3] = {rest, buttonW, buttonW};
  mu_layout_row(ctx, 3, idRow, 0);
  mu_label(ctx, p->hostIdText[0] ? p->hostIdText : "(not hosting)");
  if (mu_button(ctx, "Copy")) actions |= kVoipPanelCopy;
  if (p->hostIdText[0]) {
    if (mu_button(ctx, "Stop")) actions |= kVoipPanelStop;
  } else {
    mu_label(ctx, "");
  }

  mu_layout_row(ctx, 2, labelRow, 0);
  mu_label(ctx, "Join ID");
  mu_textbox_ex(ctx, p->joinIdText, (int)sizeof p->joinIdText, 0);
  int joinRest = cnt->body.w - 2 * ctx->style->padding - buttonW - spacing;
  if (joinRest < 1) joinRest = 1;
  const int joinRow[2] = {joinRest, buttonW};
  mu_layout_row(ctx, 2, joinRow, 0);
  if (mu_button(ctx, "Join")) actions |= kVoipPanelJoin;
  if (mu_button(ctx, "Paste")) actions |= kVoipPanelPaste;

  mu_layout_row(ctx, 1, full, 0);
  mu_label(ctx, p->status);

  if (mu_header_ex(ctx, "Devices", MU_OPT_EXPANDED)) {
    dropDown(ctx, labelW, "Output", p->sinks, &p->selSink, &p->sinkDropOpen, &p->sourceDropOpen);
    dropDown(ctx, labelW, "Input", p->sources, &p->selSource, &p->sourceDropOpen, &p->sinkDropOpen);
    char* sink = reportChoice(p->sinks, p->selSink, p->curSinkName, sizeof p->curSinkName);
    char* source = reportChoice(p->sources, p->selSource, p->curSourceName, sizeof p->curSourceName);
    if (newSink) *newSink = sink;
    else memFree(sink);
    if (newSource) *newSource = source;
    else memFree(source);
  }

  if (mu_header_ex(ctx, "Audio Levels", MU_OPT_EXPANDED)) {
    meter(ctx, (int)(50 * s), p->micBars);
    meter(ctx, (int)(50 * s), p->speakerBars);
  }
  mu_end_window(ctx);
  if (cnt->rect.h < rect.h) cnt->rect.h = rect.h;
  return actions;
}
