// The capture converter's sample formats and channel mappings, and audio-device
// events reaching the application through the window's poll.
#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/audio.h"
#include "platform/window.h"

namespace {

// Little-endian bytes of each raw sample.
std::vector<u8> raw16(std::initializer_list<i16> v) {
  std::vector<u8> b;
  for (i16 s : v) {
    b.push_back((u8)(s & 0xFF));
    b.push_back((u8)((u16)s >> 8));
  }
  return b;
}
std::vector<u8> raw24(std::initializer_list<i32> v) {
  std::vector<u8> b;
  for (i32 s : v) {
    for (int k = 0; k < 3; k++) b.push_back((u8)(((u32)s >> (8 * k)) & 0xFF));
  }
  return b;
}
std::vector<u8> raw32(std::initializer_list<i32> v) {
  std::vector<u8> b(v.size() * 4);
  std::memcpy(b.data(), std::data(v), b.size());
  return b;
}
std::vector<u8> rawF(std::initializer_list<f32> v) {
  std::vector<u8> b(v.size() * 4);
  std::memcpy(b.data(), std::data(v), b.size());
  return b;
}

TEST(CaptureConverter, FormatsAndChannelMappings) {
  struct Case {
    const char* name;
    std::vector<u8> raw;
    i32 kind, src, dst;
    size_t frames;
    std::vector<f32> want;
  } cases[] = {
      {"16-bit stereo to mono averages", raw16({16384, -32768, 32767, 1}), AudioSampleInt16, 2, 1, 2,
       {0.5f * (16384 * 3.0517578e-5f + -32768 * 3.0517578e-5f), 0.5f * (32767 * 3.0517578e-5f + 1 * 3.0517578e-5f)}},
      {"16-bit mono to stereo duplicates", raw16({-16384, 8}), AudioSampleInt16, 1, 2, 2,
       {-0.5f, -0.5f, 8 * 3.0517578e-5f, 8 * 3.0517578e-5f}},
      {"24-bit packed, sign from the top byte", raw24({0x7FFFFF, -0x800000, -1, 0x400000}), AudioSampleInt24, 2, 2, 2,
       {0x7FFFFF * 1.1920929e-7f, -1.0f, -1.1920929e-7f, 0.5f}},
      {"32-bit", raw32({INT32_MIN, 0x40000000}), AudioSampleInt32, 1, 1, 2, {-1.0f, 0x40000000 * 4.656613e-10f}},
      {"float copied", rawF({0.25f, -0.75f}), AudioSampleFloat32, 2, 2, 1, {0.25f, -0.75f}},
      {"three channels to two keep the first two", rawF({0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f}), AudioSampleFloat32,
       3, 2, 2, {0.1f, 0.2f, 0.4f, 0.5f}},
      {"mono to three zero-fills", rawF({0.3f}), AudioSampleFloat32, 1, 3, 1, {0.3f, 0.0f, 0.0f}},
  };
  for (const Case& c : cases) {
    std::vector<f32> scratch(c.frames * c.src), out(c.frames * c.dst, 99.0f);
    ASSERT_TRUE(audioConvertCapture(c.raw.data(), c.frames, c.kind, c.src, c.dst, scratch.data(), out.data()))
        << c.name;
    for (size_t i = 0; i < c.want.size(); i++) EXPECT_EQ(out[i], c.want[i]) << c.name << " sample " << i;
  }
  f32 scratch[2], out[2];
  const u8 bytes[8] = {};
  EXPECT_FALSE(audioConvertCapture(bytes, 1, 7, 1, 1, scratch, out)) << "unknown sample size";
}

// Several device changes between two polls: one event, after the window's own
// events and before the controller's (the order the frame loop relies on).
TEST(AudioHotplug, ChangesBetweenPollsGiveOneEventBetweenWindowAndControllerEvents) {
  setenv("SDL_VIDEODRIVER", "dummy", 1);
  Platform* plat = platformCreateWindow(320, 240, "test", false);
  ASSERT_NE(plat, nullptr);
  i32 index = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_GAMECONTROLLER, SDL_CONTROLLER_AXIS_MAX,
                                        SDL_CONTROLLER_BUTTON_MAX, 0);
  ASSERT_GE(index, 0) << SDL_GetError();
  SDL_Joystick* joy = SDL_JoystickOpen(index);
  InputEvent e;
  for (int i = 0; i < 8; i++) {
    platformPoll(plat);
    while (platformPollInput(plat, &e)) {
    }
  }
  SDL_Event a{};
  a.type = SDL_AUDIODEVICEADDED;
  SDL_PushEvent(&a);
  SDL_Event k{};
  k.type = SDL_KEYDOWN;
  k.key.keysym.scancode = SDL_SCANCODE_W;
  k.key.windowID = plat->windowId;
  SDL_PushEvent(&k);
  a.type = SDL_AUDIODEVICEREMOVED;
  a.adevice.iscapture = 1;
  SDL_PushEvent(&a);
  a.type = SDL_AUDIODEVICEADDED;
  SDL_PushEvent(&a);
  audioBackendNoteDeviceChange();  // from elsewhere, same flag
  SDL_JoystickSetVirtualButton(joy, SDL_CONTROLLER_BUTTON_A, 1);
  ASSERT_TRUE(platformPoll(plat));
  std::vector<InputEventType> types;
  while (platformPollInput(plat, &e)) types.push_back(e.type);
  const std::vector<InputEventType> want = {InputEventKey, InputEventAudioDevices, InputEventGamepadButton};
  EXPECT_EQ(types, want);
  // Nothing new: no event the next time.
  platformPoll(plat);
  while (platformPollInput(plat, &e)) EXPECT_NE(e.type, InputEventAudioDevices);
  SDL_JoystickClose(joy);
  SDL_JoystickDetachVirtual(index);
  platformDestroy(plat);
}

}  // namespace
