// The voice panel on the CPU: spectrum meters from fed rings, the meter bars it
// draws, its buttons' action bits, and the device lists (SDL's disk driver).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "ui/voip_panel.h"

namespace {

int fakeWidth(mu_Font, const char* s, int len) { return 7 * (len < 0 ? (int)std::strlen(s) : len); }
int fakeHeight(mu_Font) { return 12; }

struct Panel {
  VoipPanel* p;
  std::unique_ptr<mu_Context> ctx{new mu_Context};
  Panel() {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    p = voipPanelCreate();
    mu_init(ctx.get());
    ctx->text_width = fakeWidth;
    ctx->text_height = fakeHeight;
  }
  ~Panel() { voipPanelDestroy(p); }
  u32 frame(const Voip* voip = nullptr, char** sink = nullptr, char** source = nullptr) {
    mu_begin(ctx.get());
    u32 bits = voipPanelUpdate(p, ctx.get(), 1.0f, voip, sink, source);
    mu_end(ctx.get());
    return bits;
  }
  std::vector<mu_Command*> commands() {
    std::vector<mu_Command*> out;
    mu_Command* cmd = nullptr;
    while (mu_next_command(ctx.get(), &cmd)) out.push_back(cmd);
    return out;
  }
  // The nth text command showing `text`.
  b8 findText(const char* text, mu_Vec2* at, int nth = 0) {
    for (mu_Command* c : commands())
      if (c->type == MU_COMMAND_TEXT && std::strcmp(c->text.str, text) == 0 && nth-- == 0) {
        *at = c->text.pos;
        return true;
      }
    return false;
  }
  // Presses and releases the control showing `label`: the action bits of all
  // the frames it takes (hover is known a frame late).
  u32 click(const char* label, const Voip* voip = nullptr, int nth = 0) {
    frame(voip);
    mu_Vec2 at;
    if (!findText(label, &at, nth)) {
      ADD_FAILURE() << "no control shows \"" << label << "\"";
      return 0;
    }
    mu_input_mousemove(ctx.get(), at.x + 2, at.y + 2);
    u32 bits = frame(voip);
    bits |= frame(voip);
    mu_input_mousedown(ctx.get(), at.x + 2, at.y + 2, MU_MOUSE_LEFT);
    bits |= frame(voip);
    mu_input_mouseup(ctx.get(), at.x + 2, at.y + 2, MU_MOUSE_LEFT);
    bits |= frame(voip);
    return bits;
  }
};

// A sine centred on FFT bin `bin` (256 points at any rate).
std::vector<f32> sine(f64 bin, f32 amplitude, u32 frames, i32 ch) {
  std::vector<f32> out((size_t)frames * (size_t)ch);
  for (u32 i = 0; i < frames; i++)
    for (i32 c = 0; c < ch; c++)
      out[(size_t)i * (size_t)ch + (size_t)c] = amplitude * (f32)std::sin(2.0 * 3.14159265358979 * bin * i / 256.0);
  return out;
}

TEST(VoipPanel, DefaultsAndTextFields) {
  Panel t;
  ASSERT_NE(t.p, nullptr);
  EXPECT_STREQ(voipPanelGetPort(t.p), "40000");
  EXPECT_STREQ(t.p->status, "Disconnected");
  EXPECT_EQ(t.p->selSink, -1);
  EXPECT_NEAR(t.p->window[0], 0.0, 1e-12);
  EXPECT_NEAR(t.p->window[255], 0.0, 1e-12);
  EXPECT_NEAR(t.p->window[127], 0.5 - 0.5 * std::cos(2.0 * 3.14159265358979 * 127 / 255), 1e-12);
  // Copies are cut to the field, null clears.
  std::string longId(100, 'a');
  voipPanelSetJoinId(t.p, longId.c_str());
  EXPECT_EQ(std::strlen(voipPanelGetJoinId(t.p)), 64u);
  voipPanelSetHostId(t.p, "abc");
  EXPECT_STREQ(voipPanelGetHostId(t.p), "abc");
  voipPanelSetHostId(t.p, nullptr);
  EXPECT_STREQ(voipPanelGetHostId(t.p), "");
  voipPanelSetStatus(t.p, std::string(80, 's').c_str());
  EXPECT_EQ(std::strlen(t.p->status), 63u);
}

TEST(VoipPanel, FeedingAveragesChannelsAndWraps) {
  Panel t;
  const f32 stereo[4] = {1.0f, -1.0f, 0.5f, 0.25f};
  voipPanelFeedMic(t.p, stereo, 2, 2);
  const f32* ring = reinterpret_cast<const f32*>(t.p->micRing.buf.Base);
  EXPECT_EQ(ring[0], 0.0f);
  EXPECT_EQ(ring[1], 0.375f);
  EXPECT_EQ(t.p->micRing.filled.load(), 2u);
  voipPanelFeedMic(t.p, nullptr, 10, 2);  // ignored
  voipPanelFeedMic(t.p, stereo, 1, 0);  // no channels: a zero sample
  EXPECT_EQ(t.p->micRing.filled.load(), 3u);
  EXPECT_EQ(ring[2], 0.0f);
  std::vector<f32> many(300, 0.125f);
  voipPanelFeedSpeaker(t.p, many.data(), 300, 1);
  EXPECT_EQ(t.p->speakerRing.filled.load(), 256u);
  EXPECT_EQ(t.p->speakerRing.writePos.load(), 300u % 256u);
  EXPECT_EQ(t.p->micRing.filled.load(), 3u) << "the rings are separate";
}

TEST(VoipPanel, OneSampleLeavesTheBarsAlone) {
  Panel t;
  t.p->micBars[3] = 0.5f;
  const f32 one = 1.0f;
  voipPanelFeedMic(t.p, &one, 1, 1);
  t.frame();
  EXPECT_EQ(t.p->micBars[3], 0.5f);
  voipPanelFeedMic(t.p, &one, 1, 1);
  t.frame();
  EXPECT_NE(t.p->micBars[3], 0.5f) << "two samples are a spectrum";
}

// A full-scale sine in the middle of a band rises at the 0.3 rate and decays by
// 0.7 in silence; bands far from it stay near zero.
TEST(VoipPanel, ToneSettlesInItsBandAndDecays) {
  struct Case {
    u32 band;
    f64 bin;
  } cases[] = {{0, 2.5}, {5, 22.5}, {17, 70.5}, {31, 126.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.band);
    Panel t;
    std::vector<f32> tone = sine(c.bin, 1.0f, 256, 2);
    voipPanelFeedMic(t.p, tone.data(), 256, 2);
    f32 expect = 0.0f;
    for (int n = 0; n < 8; n++) {
      t.frame();
      expect = 0.7f * expect + 0.3f;
      EXPECT_NEAR(t.p->micBars[c.band], expect, 1e-5);
    }
    for (u32 k = 0; k < kVoipPanelBands; k++)
      if (k + 2 < c.band || k > c.band + 2) {
        EXPECT_LT(t.p->micBars[k], 0.05f) << "band " << k;
      }
    for (u32 k = 0; k < kVoipPanelBands; k++) EXPECT_EQ(t.p->speakerBars[k], 0.0f);
    std::vector<f32> silence(512, 0.0f);
    voipPanelFeedMic(t.p, silence.data(), 256, 2);
    for (int n = 0; n < 3; n++) {
      t.frame();
      expect *= 0.7f;
      EXPECT_NEAR(t.p->micBars[c.band], expect, 1e-5);
    }
    // A stopped stream's meter empties instead of freezing on its last moment.
    voipPanelClearMeters(t.p);
    t.frame();
    EXPECT_EQ(t.p->micBars[c.band], 0.0f);
    EXPECT_EQ(t.p->micRing.filled.load(), 0u);
  }
}

TEST(VoipPanel, HostileSamplesDoNotPoisonTheMeter) {
  Panel t;
  std::vector<f32> bad(256, std::nanf(""));
  voipPanelFeedSpeaker(t.p, bad.data(), 256, 1);
  t.frame();
  for (u32 k = 0; k < kVoipPanelBands; k++) EXPECT_TRUE(std::isfinite(t.p->speakerBars[k]) && t.p->speakerBars[k] <= 1.0f);
}

// The tone's band is a full red bar as tall as the area; silent bands are one
// pixel of green; bars sit side by side one pixel apart, bottom-aligned.
TEST(VoipPanel, MeterBarsShowTheBands) {
  Panel t;
  std::vector<f32> tone = sine(22.5, 1.0f, 256, 1);
  voipPanelFeedSpeaker(t.p, tone.data(), 256, 1);
  for (int n = 0; n < 20; n++) t.frame();
  ASSERT_GT(t.p->speakerBars[5], 0.5f);
  // The two meter areas are the (20, 20, 20) rectangles; the speakers' is the second.
  std::vector<mu_Rect> areas;
  std::vector<std::pair<mu_Rect, mu_Color>> bars;
  for (mu_Command* c : t.commands()) {
    if (c->type != MU_COMMAND_RECT) continue;
    mu_Color col = c->rect.color;
    if (col.r == 20 && col.g == 20 && col.b == 20) areas.push_back(c->rect.rect);
    else if (col.a == 220) bars.emplace_back(c->rect.rect, col);
  }
  ASSERT_EQ(areas.size(), 2u);
  ASSERT_EQ(bars.size(), 64u);
  const mu_Rect area = areas[1];
  EXPECT_EQ(area.h, 50);
  const int barW = std::max(area.w / 32, 2);
  for (u32 k = 0; k < 32; k++) {
    SCOPED_TRACE(k);
    const mu_Rect r = bars[32 + k].first;
    const mu_Color c = bars[32 + k].second;
    EXPECT_EQ(r.x, area.x + (int)k * barW);
    EXPECT_EQ(r.w, barW - 1);
    EXPECT_EQ(r.y + r.h, area.y + area.h);
    if (k == 5) {
      EXPECT_EQ(r.h, 50);
      EXPECT_TRUE(c.r == 255 && c.g == 0 && c.b == 0);
    } else if (k > 7) {
      EXPECT_EQ(r.h, 1);
      EXPECT_TRUE(c.r < 60 && c.g == 255 && c.b == 0);
    }
  }
}

TEST(VoipPanel, ButtonsReportTheirActions) {
  Panel t;
  EXPECT_EQ(t.click("Host"), kVoipPanelHost);
  EXPECT_EQ(t.click("Join"), kVoipPanelJoin);
  EXPECT_EQ(t.click("Paste"), kVoipPanelPaste);
  EXPECT_EQ(t.click("Copy"), kVoipPanelCopy);
  mu_Vec2 at;
  t.frame();
  EXPECT_TRUE(t.findText("(not hosting)", &at));
  EXPECT_FALSE(t.findText("Stop", &at)) << "nothing to stop without a host id";
  voipPanelSetHostId(t.p, "00112233445566778899aabbccddeeff00112233");
  EXPECT_EQ(t.click("Stop"), kVoipPanelStop);
  // With a session the first button reconnects.
  const Voip* live = reinterpret_cast<const Voip*>(&t);
  t.frame(live);
  EXPECT_FALSE(t.findText("Host", &at));
  EXPECT_EQ(t.click("Reconnect", live), kVoipPanelHost);
  voipPanelSetStatus(t.p, "Bad ID");
  t.frame();
  EXPECT_TRUE(t.findText("Bad ID", &at));
}

// Device choices come back once, as copies; the list follows names on reload.
TEST(VoipPanel, DeviceChoicesAndReloads) {
  Panel t;
  // Stand-in lists, as a backend with two outputs would give.
  audioDevListFree(&t.p->sinks);
  t.p->sinks.names = static_cast<char**>(memAlloc(2 * sizeof(char*)));
  const char* names[2] = {"Speakers A", "Speakers B"};
  for (int i = 0; i < 2; i++) {
    t.p->sinks.names[i] = static_cast<char*>(memAlloc(16));
    std::strcpy(t.p->sinks.names[i], names[i]);
  }
  t.p->sinks.count = 2;
  char* sink = nullptr;
  char* source = nullptr;
  t.frame(nullptr, &sink, &source);
  EXPECT_EQ(sink, nullptr);
  // Open "Output", pick the second entry.
  mu_Vec2 at;
  t.frame();
  ASSERT_TRUE(t.findText("default  \xE2\x96\xBC", &at));
  t.click("default  \xE2\x96\xBC");
  EXPECT_TRUE(t.p->sinkDropOpen);
  t.frame();
  ASSERT_TRUE(t.findText("Speakers B", &at));
  mu_input_mousemove(t.ctx.get(), at.x + 2, at.y + 2);
  t.frame();
  t.frame();
  mu_input_mousedown(t.ctx.get(), at.x + 2, at.y + 2, MU_MOUSE_LEFT);
  t.frame(nullptr, &sink, &source);
  mu_input_mouseup(t.ctx.get(), at.x + 2, at.y + 2, MU_MOUSE_LEFT);
  ASSERT_NE(sink, nullptr);
  EXPECT_STREQ(sink, "Speakers B");
  EXPECT_EQ(source, nullptr);
  EXPECT_FALSE(t.p->sinkDropOpen) << "a choice closes the list";
  memFree(sink);
  // The same device again: nothing to report.
  t.frame(nullptr, &sink, &source);
  EXPECT_EQ(sink, nullptr);
  EXPECT_STREQ(t.p->curSinkName, "Speakers B");
  // A reload whose lists no longer hold the chosen device clears the choice
  // (the dummy driver lists other names) without reporting a new one.
  t.p->selSink = 7;
  voipPanelReloadDevices(t.p);
  EXPECT_EQ(t.p->selSink, -1);
  t.frame(nullptr, &sink, &source);
  EXPECT_EQ(sink, nullptr);
  EXPECT_EQ(source, nullptr);
}

// Opening one list closes the other.
TEST(VoipPanel, OneListOpenAtATime) {
  Panel t;
  const char* closed = "default  \xE2\x96\xBC";
  t.click(closed, nullptr, 1);  // "Input"
  EXPECT_TRUE(t.p->sourceDropOpen);
  t.click(closed, nullptr, 0);  // "Output"
  EXPECT_TRUE(t.p->sinkDropOpen);
  EXPECT_FALSE(t.p->sourceDropOpen);
  t.click(closed, nullptr, 0);
  EXPECT_FALSE(t.p->sinkDropOpen) << "pressing it again closes it";
}

}  // namespace
