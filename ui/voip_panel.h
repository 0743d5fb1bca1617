// The "VoIP" window: port and identifier boxes, host / stop / join / copy /
// paste buttons, output and input device lists, and two live 32-band spectrum
// meters (microphone and speakers). It does no networking: voipPanelUpdate
// reports what the user asked for and the application carries it out.
//
// The meters are fed from the audio thread (voipPanelFeedMic/Speaker) while
// the main thread draws them: ring positions and samples are atomics, so a
// frame may see a half-updated ring (only the meters notice), never a torn value.
#pragma once

#include <atomic>

#include "platform/audio.h"
#include "platform/ring.h"
#include "platform/types.h"
#include "ui/microui.h"

struct Voip;

inline constexpr u32 kVoipPanelFftSize = 256;
inline constexpr u32 kVoipPanelBands = 32;

// Action bits returned by voipPanelUpdate.
inline constexpr u32 kVoipPanelHost = 1;  // host, or reconnect when a session exists
inline constexpr u32 kVoipPanelStop = 2;
inline constexpr u32 kVoipPanelJoin = 4;
inline constexpr u32 kVoipPanelCopy = 8;   // the host identifier to the clipboard
inline constexpr u32 kVoipPanelPaste = 16;  // the clipboard into the join identifier

// The last 256 mono samples of one stream. One writer (the audio thread), one
// reader (the main thread).
struct SampleRing {
  CircBuffer buf;  // 1024 bytes used: 256 f32 samples, read and written atomically
  std::atomic<u32> writePos;  // next slot, modulo 256
  std::atomic<u32> filled;  // samples held, at most 256
};

struct VoipPanel {
  char portText[16];
  char hostIdText[65];
  char joinIdText[65];
  char status[64];
  AudioDevList sinks;
  AudioSourceDevList sources;
  i32 selSink, selSource;  // -1: none (the default device)
  b8 haveDevices;
  char curSinkName[256];
  char curSourceName[256];
  b8 sinkDropOpen, sourceDropOpen;
  f64 fftRe[kVoipPanelFftSize];
  f64 fftIm[kVoipPanelFftSize];
  f64 window[kVoipPanelFftSize];  // Hann
  SampleRing micRing;
  SampleRing speakerRing;
  f32 micBars[kVoipPanelBands];
  f32 speakerBars[kVoipPanelBands];
};

// Null when memory or a ring cannot be had.
VoipPanel* voipPanelCreate();
void voipPanelDestroy(VoipPanel* p);
// Reloads both device lists. A selection follows its device by name; one whose
// device is gone becomes -1.
void voipPanelReloadDevices(VoipPanel* p);

// Interleaved f32 frames of `ch` channels, averaged to mono. Null samples or a
// null panel are ignored.
void voipPanelFeedMic(VoipPanel* p, const f32* samples, u32 frames, i32 ch);
void voipPanelFeedSpeaker(VoipPanel* p, const f32* samples, u32 frames, i32 ch);

// Empties both rings and drops the bars to zero, so that the meters do not
// keep showing the last moment of a stream that stopped. Only while nothing
// feeds them (the audio callbacks are removed).
void voipPanelClearMeters(VoipPanel* p);

const char* voipPanelGetPort(const VoipPanel* p);
const char* voipPanelGetJoinId(const VoipPanel* p);
const char* voipPanelGetHostId(const VoipPanel* p);
// Copy a string in, cut to the field (null clears it).
void voipPanelSetHostId(VoipPanel* p, const char* text);
void voipPanelSetJoinId(VoipPanel* p, const char* text);
void voipPanelSetStatus(VoipPanel* p, const char* text);

// Draws the window and returns the action bits. *newSink / *newSource receive
// accounted copies (memFree) of device names the user has just chosen, else
// null. `voip` only tells whether a session exists ("Host" or "Reconnect").
u32 voipPanelUpdate(VoipPanel* p, mu_Context* mu, f32 scale, const Voip* voip, char** newSink, char** newSource);

// One spectrum pass over a ring into its bars (nothing below 2 samples):
// Hann window, 256-point transform, 32 band means capped at 1, smoothed 0.7/0.3.
void voipPanelComputeFft(VoipPanel* p, SampleRing* ring, f32* bars);
