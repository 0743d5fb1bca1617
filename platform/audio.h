// The audio device backend on SDL2: one playback device and, optionally, one
// capture device, driven in push mode by a blocking process-one-period step on
// the caller's (the audio engine's) thread.
#pragma once

#include <cstddef>

#include "platform/input.h"
#include "platform/types.h"

// Called with interleaved 32-bit floats: frames * channels samples. Non-zero
// means failure.
using AudioBackendCallback = i32 (*)(f32* samples, size_t frames, i32 channels, void* userData);

// How captured samples are laid out before conversion to floats.
enum AudioSampleKind : i32 {
  AudioSampleInt16 = 0,   // signed, little-endian
  AudioSampleInt24 = 1,   // packed 3 bytes, signed, little-endian
  AudioSampleInt32 = 2,   // signed, little-endian
  AudioSampleFloat32 = 3,
};

struct AudioBackend {
  u32 device;         // SDL playback device id
  u32 captureDevice;  // SDL capture device id, 0 without capture
  u32 sampleRate;     // the rate the engine mixes at (SDL converts for the device)
  i32 channels;       // the engine's channel count
  i32 captureChannels;
  i32 captureKind;  // AudioSampleKind of what the capture device hands over
  size_t bufferFrames;
  u32 deviceBufferFrames;   // SDL's period on the playback side
  u32 captureBufferFrames;  // most frames handed to the capture callback at once
  u32 queueTargetFrames;    // playback frames kept queued ahead of the device
  AudioBackendCallback sinkCb;
  void* sinkData;
  AudioBackendCallback sourceCb;
  void* sourceData;
  f32* mixbuf;
  size_t mixbufSamples;
  f32* capturebuf;
  size_t capturebufSamples;
  f32* capturemix;
  size_t capturemixSamples;
  u8* captureraw;
  size_t capturerawBytes;
  i32 started;
  i32 sdlInited;  // this backend holds a count on SDL's audio subsystem
};

struct AudioDevList {
  char** names;  // UTF-8, each and the array from the accounted heap
  int count;
};
using AudioSourceDevList = AudioDevList;

// Device names: null, "" and "default" mean the default device; anything else
// must equal one of the listed names. An unknown playback name fails; an
// unknown capture name (or a capture device that cannot open) leaves the backend
// without capture. Capture is opened only when sourcecb is given. Both
// directions run at sampleRate with `channels` channels (1 or 2).
AudioBackend* audioBackendCreate(const char* sinkDevice, const char* sourceDevice, u32 sampleRate, i32 channels,
                                 size_t bufferFrames, AudioBackendCallback sinkcb, void* sinkData,
                                 AudioBackendCallback sourcecb, void* sourceData);
// Once; later calls return 0.
i32 audioBackendStart(AudioBackend* ab);
// Drains capture through the source callback, then waits (sleeping, at most
// 100 ms) until the playback queue has room for a period, mixes and queues it.
// 0 to continue, -1 on a callback or device failure.
i32 audioBackendProcess(AudioBackend* ab);
void audioBackendDestroy(AudioBackend* ab);

AudioDevList audioBackendGetDevices();
AudioSourceDevList audioBackendGetSourceDevices();
AudioDevList audioBackendGetDevicesForFlow(b8 capture);
void audioDevListFree(AudioDevList* list);

// The window's event pump reports SDL's audio-device events here.
void audioBackendNoteDeviceChange();
// True once after any number of device changes, filling ev with an
// InputEventAudioDevices event.
b8 audioBackendNextHotplugEvent(InputEvent* ev);

// Bytes per sample of a kind (2, 3, 4 or 4).
u32 audioSampleBytes(i32 kind);
// Converts `frames` frames of `srcChannels` raw samples to floats in `scratch`
// (frames * srcChannels), then to `dstChannels` in `out`: equal counts copy,
// mono to stereo duplicates, stereo to mono averages, otherwise the first
// min(src, dst) channels are copied and the rest zeroed. False for an unknown kind.
b8 audioConvertCapture(const u8* raw, size_t frames, i32 kind, i32 srcChannels, i32 dstChannels, f32* scratch,
                       f32* out);
