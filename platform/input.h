// The input event record shared by the window layer, the players and the UI,
// with its type and code tables. Codes are stable: they index state arrays.
#pragma once

#include "platform/types.h"

enum InputEventType : u32 {
  InputEventNone = 0,  // never queued
  InputEventKey = 1,
  InputEventText = 2,
  InputEventMouseButton = 3,
  InputEventMouseMotion = 4,
  InputEventMouseWheel = 5,
  InputEventGamepadButton = 6,
  InputEventGamepadAxis = 7,
  InputEventResize = 8,
  InputEventClose = 9,
  InputEventVisibility = 10,
  InputEventAudioDevices = 11,
  InputEventGamepads = 12,  // reserved for controller hot-plug; never produced
};

enum InputKey : u32 {
  InputKeyNone = 0,
  InputKeyEsc = 1,
  InputKeyEnter = 2,
  InputKeyUp = 3,
  InputKeyDown = 4,
  InputKeyLeft = 5,
  InputKeyRight = 6,
  InputKeyTab = 7,
  InputKeySpace = 8,
  InputKeyBackspace = 9,
  InputKeySlash = 10,
  InputKeyDelete = 11,
  InputKeyW = 12,
  InputKeyA = 13,
  InputKeyS = 14,
  InputKeyD = 15,
  InputKeyQ = 16,
  InputKeyE = 17,
  InputKeyR = 18,
  InputKeyB = 19,
  InputKeyV = 20,
  InputKeyZ = 21,
  InputKeyY = 22,
  InputKeyX = 23,
  InputKeyI = 24,
  InputKey1 = 25,
  InputKey2 = 26,
  InputKey3 = 27,
  InputKey4 = 28,
  InputKey5 = 29,
  InputKey6 = 30,
  InputKey7 = 31,
  InputKey8 = 32,
  InputKey9 = 33,
  InputKeyF1 = 34,
  InputKeyF2 = 35,
  InputKeyF3 = 36,
  InputKeyF4 = 37,
  InputKeyF5 = 38,
  InputKeyF6 = 39,  // in the table, but the window never produces it
  InputKeyF12 = 40,  // appended: saves a screenshot
  InputKeyCount = 41,
};

enum InputMouse : u32 {
  InputMouseNone = 0,
  InputMouseLeft = 1,
  InputMouseMiddle = 2,
  InputMouseRight = 3,
};

// Controller buttons; the comment gives the controller state bit each is read from.
enum InputGamepadButton : u32 {
  InputGamepadButtonNone = 0,
  InputGamepadButtonA = 1,               // 0x1000
  InputGamepadButtonB = 2,               // 0x2000
  InputGamepadButtonX = 3,               // 0x4000
  InputGamepadButtonY = 4,               // 0x8000
  InputGamepadButtonBack = 5,            // 0x0020
  InputGamepadButtonGuide = 6,           // not read
  InputGamepadButtonStart = 7,           // 0x0010
  InputGamepadButtonLeftStick = 8,       // 0x0040
  InputGamepadButtonRightStick = 9,      // 0x0080
  InputGamepadButtonLeftShoulder = 10,   // 0x0100
  InputGamepadButtonRightShoulder = 11,  // 0x0200
  InputGamepadButtonDPadUp = 12,         // 0x0001
  InputGamepadButtonDPadDown = 13,       // 0x0002
  InputGamepadButtonDPadLeft = 14,       // 0x0004
  InputGamepadButtonDPadRight = 15,      // 0x0008
  InputGamepadButtonMisc1 = 16,          // not read
};

// Controller state bit of each button code (0: not read).
inline constexpr u16 kInputGamepadButtonBits[17] = {
    0,      0x1000, 0x2000, 0x4000, 0x8000, 0x0020, 0,      0x0010, 0x0040,
    0x0080, 0x0100, 0x0200, 0x0001, 0x0002, 0x0004, 0x0008, 0,
};

// Controller axes: sticks -32768..32767 (y negated: up is negative), triggers 0..255.
enum InputGamepadAxisId : i32 {
  InputGamepadAxisLeftX = 0,
  InputGamepadAxisLeftY = 1,
  InputGamepadAxisRightX = 2,
  InputGamepadAxisRightY = 3,
  InputGamepadAxisLeftTrigger = 4,
  InputGamepadAxisRightTrigger = 5,
  InputGamepadAxisCount = 6,
};

// Key-event modifier bits.
inline constexpr i32 InputModCtrl = 1;
inline constexpr i32 InputModShift = 2;
inline constexpr i32 InputModAlt = 4;

struct InputEvent {
  InputEventType type;
  // Key and mouse-button events: 1 pressed, 0 released; controller events: controller 0..3.
  i32 value;
  // Key events: OR of InputMod*; 0 for the rest.
  i32 modifiers;
  union {
    InputKey key;
    InputMouse button;
    struct { i32 x, y, dx, dy; } motion;
    struct { i32 dx, dy; } wheel;
    struct { i32 width, height; } resize;
    struct { char text[8]; } text;  // UTF-8, zero-terminated
    struct { b8 visible; } visibility;
    struct { InputGamepadButton button; b8 pressed; } gamepadButton;
    struct { i32 axis, value; } gamepadAxis;
  };
};
