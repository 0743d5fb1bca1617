// The audio engine: clips decoded from Ogg Opus files and streams fed through
// ring buffers, mixed on the "audio" thread into the device backend's periods;
// captured audio optionally filtered (band-pass, echo canceller, noise
// suppressor) and handed to a user callback.
#pragma once

#include <cstddef>

#include "platform/audio.h"
#include "platform/ring.h"
#include "platform/threads.h"
#include "platform/types.h"

using AudioSinkCallback = i32 (*)(f32* samples, size_t frames, i32 channels, void* userData);
using AudioSourceCallback = i32 (*)(f32* samples, size_t frames, i32 channels, void* userData);

inline constexpr u32 AUDIO_ENGINE_FILTER_BANDPASS = 1;
inline constexpr u32 AUDIO_ENGINE_FILTER_NLMS = 2;
inline constexpr u32 AUDIO_ENGINE_FILTER_WIENER = 4;

// Zero or out-of-range values take the defaults (120 Hz, 3500 Hz, 256 taps,
// no delay, step 0.01, epsilon 1e-6, 0.05, 0.005, 0.1, 1e-6).
struct AudioEngineFilterConfig {
  u32 flags;
  f32 bandpassLowHz;
  f32 bandpassHighHz;
  u32 nlmsTaps;
  u32 nlmsDelayFrames;
  f32 nlmsStep;
  f32 nlmsEpsilon;
  f32 wienerPowerAlpha;
  f32 wienerNoiseAlpha;
  f32 wienerMinGain;
  f32 wienerInitialNoise;
};

struct OnePoleHP {
  f32 alpha, xPrev, yPrev;
};
struct OnePoleLP {
  f32 alpha, z;
};
struct BandPassState {
  OnePoleHP hp;
  OnePoleLP lp;
};
struct WienerState {
  f32 power, noise, powerAlpha, noiseAlpha, minGain;
};

struct NlmsChannel {
  CircBuffer History;  // floats, mirrored: any Taps-long window is contiguous
  f32* Weights;        // Taps, zero at start
  u64 WritePos;        // next ring slot written, in [0, RingSamples)
};

// Echo canceller. Each captured frame is matched with the reference window that
// ends Delay frames before its own place in the capture stream: ReadPos counts
// captured frames, Written counts reference frames, both from the last reset.
struct NlmsFilter {
  i32 Channels;
  u32 Taps;
  u32 Delay;
  f32 Step;
  f32 Epsilon;
  u64 RingSamples;
  NlmsChannel* Channel;  // null when creation failed
  u64 Written;   // reference frames pushed
  u64 ReadPos;   // captured frames cancelled (position in reference frames)
  u64 Realigns;  // times capture drifted outside the ring and was put back
  u64 Resets;    // times a non-finite error reset the filter
};

struct AudioSound {
  f32* pcm;  // interleaved; clips only
  size_t frames;
  i32 channels;
  u32 sr;
  i32 playing;
  i32 looping;
  f32 volume;
  size_t cursor;  // next frame to play
  size_t index;   // slot in the engine's list
  i32 streaming;
  CircBuffer stream;  // not owned
  u64 streamReadPos;
  u64 streamWritePos;
  u64 streamAvailableBytes;
};

struct AudioEngine {
  AudioBackend* ab;
  u32 sampleRate;
  i32 outChannels;
  AudioSinkCallback userSinkCb;
  void* userSinkData;
  AudioSourceCallback userSourceCb;
  void* userSourceData;
  AudioEngineFilterConfig filters;
  i32 filtersEnabled;
  BandPassState* bandpass;
  NlmsFilter* nlms;
  WienerState* wiener;
  ThreadMutex lock;  // the sound list and every sound's fields
  AudioSound** sounds;
  size_t soundCount;
  size_t soundCap;
  f32 underrunGain;
  f32 underrunTail[2];
  Thread* thread;
  i32 threadStarted;
  ThreadMutex runLock;  // running, threadStarted
  i32 running;
  // Held by the audio thread while it calls the user callbacks, so that they
  // can be swapped on a running engine.
  ThreadMutex callbackLock;
};

// channels 1 or 2; null device names mean the defaults. Null on failure.
AudioEngine* audioEngineCreate(const char* sinkDevice, const char* sourceDevice, u32 sampleRate, i32 channels,
                               size_t bufferFrames, const AudioEngineFilterConfig* filters, AudioSinkCallback sinkcb,
                               void* sinkData, AudioSourceCallback sourcecb, void* sourceData);
i32 audioEngineStart(AudioEngine* e);
void audioEngineStop(AudioEngine* e);
i32 audioEngineProcess(AudioEngine* e);
void audioEngineDestroy(AudioEngine* e);
// Replaces the user callbacks; once it returns the audio thread no longer uses
// the old ones, so their data may be freed. 0, or -1 for a null engine.
i32 audioEngineSetCallbacks(AudioEngine* e, AudioSinkCallback sinkcb, void* sinkData, AudioSourceCallback sourcecb,
                            void* sourceData);

// The backend's callbacks (the audio thread calls them; tests drive them directly).
i32 engineSinkCallback(f32* samples, size_t frames, i32 channels, void* engine);
i32 engineSourceCallback(f32* samples, size_t frames, i32 channels, void* engine);

// A clip decoded completely; null when the file is unreadable, not a
// single-stream Ogg Opus file with the engine's channel count, or corrupt.
AudioSound* audioEngineLoadOgg(AudioEngine* e, const char* path);
// Decodes at most this many frames per clip (10 minutes at the engine's rate).
inline constexpr u32 kAudioMaxClipSeconds = 600;

// A clip from interleaved samples (copied), registered like a loaded one;
// channels must be the engine's. Null on failure.
AudioSound* audioEngineCreateClip(AudioEngine* e, const f32* pcm, size_t frames, i32 channels);

// A stream over streamBuffer (its size a multiple of channels * 4 bytes);
// channels and rate must be the engine's.
AudioSound* audioEngineCreateStream(AudioEngine* e, CircBuffer streamBuffer, i32 channels, u32 sampleRate);
i32 audioSoundPushFrames(AudioEngine* e, AudioSound* s, const f32* pcm, size_t frames);
u64 audioSoundGetQueuedBytes(AudioEngine* e, AudioSound* s);

i32 audioSoundPlay(AudioEngine* e, AudioSound* s, i32 loop);
i32 audioSoundPause(AudioEngine* e, AudioSound* s);
i32 audioSoundStop(AudioEngine* e, AudioSound* s);
i32 audioSoundSeekSeconds(AudioEngine* e, AudioSound* s, f32 seconds);
i32 audioSoundSkipSeconds(AudioEngine* e, AudioSound* s, f32 seconds);
i32 audioSoundSetVolume(AudioEngine* e, AudioSound* s, f32 volume);
f32 audioSoundGetDurationSeconds(AudioEngine* e, AudioSound* s);
void audioSoundDestroy(AudioEngine* e, AudioSound* s);

// Channel is null on failure: Channels < 1, Taps 0, Step <= 0 or >= 2
// (the update diverges there), or no memory.
NlmsFilter NlmsFilterCreate(i32 Channels, u32 Taps, u32 Delay, f32 Step, f32 Epsilon);
void NlmsFilterDestroy(NlmsFilter* f);
void NlmsFilterReset(NlmsFilter* f);
void NlmsFilterPushReference(NlmsFilter* f, const f32* reference, size_t frames);
void NlmsFilterCancel(NlmsFilter* f, const f32* input, f32* output, size_t frames);
// Reference frames of slack the ring keeps beyond Taps + Delay: two periods of
// up to this many frames between playback and capture.
inline constexpr u32 kNlmsMaxPeriodFrames = 8192;
