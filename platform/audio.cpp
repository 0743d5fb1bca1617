// SDL2 audio in push mode: the engine's thread queues mixed periods with
// SDL_QueueAudio and takes captured audio with SDL_DequeueAudio, so a process
// step blocks on our side (sleeping), never inside an SDL callback.
#include <SDL2/SDL.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/audio.h"
#include "platform/clock.h"
#include "platform/memory.h"

namespace {

std::atomic<u32> gDevicesChanged{0};

constexpr u64 kMaxWaitNs = 100'000'000;  // longest wait for playback room per step
constexpr u64 kMinSleepNs = 1'000'000;

b8 isDefaultName(const char* name) { return !name || !name[0] || std::strcmp(name, "default") == 0; }

b8 holdAudio() { return SDL_InitSubSystem(SDL_INIT_AUDIO) == 0; }

void releaseAudio() { SDL_QuitSubSystem(SDL_INIT_AUDIO); }

// Whether `name` is one of the active devices of the direction.
b8 deviceExists(const char* name, b8 capture) {
  int n = SDL_GetNumAudioDevices(capture ? 1 : 0);
  for (int i = 0; i < n; i++) {
    const char* d = SDL_GetAudioDeviceName(i, capture ? 1 : 0);
    if (d && std::strcmp(d, name) == 0) return true;
  }
  return false;
}

i32 kindOfFormat(SDL_AudioFormat f) {
  switch (f) {
    case AUDIO_S16LSB: return AudioSampleInt16;
    case AUDIO_S32LSB: return AudioSampleInt32;
    case AUDIO_F32LSB: return AudioSampleFloat32;
    default: return -1;
  }
}

void closeCapture(AudioBackend* ab) {
  if (ab->captureDevice) SDL_CloseAudioDevice(ab->captureDevice);
  ab->captureDevice = 0;
  memFree(ab->capturebuf);
  memFree(ab->capturemix);
  memFree(ab->captureraw);
  ab->capturebuf = ab->capturemix = nullptr;
  ab->captureraw = nullptr;
  ab->capturebufSamples = ab->capturemixSamples = ab->capturerawBytes = 0;
}

// Capture problems only leave the backend without capture.
void openCapture(AudioBackend* ab, const char* name) {
  if (!isDefaultName(name) && !deviceExists(name, true)) return;
  SDL_AudioSpec want{}, have{};
  want.freq = (int)ab->sampleRate;
  want.format = AUDIO_F32LSB;
  want.channels = (Uint8)ab->channels;
  want.samples = (Uint16)std::min<size_t>(ab->bufferFrames, 4096);
  // SDL converts the rate; format and channels may stay the device's, which
  // our converter handles.
  SDL_AudioDeviceID id = SDL_OpenAudioDevice(isDefaultName(name) ? nullptr : name, 1, &want, &have,
                                             SDL_AUDIO_ALLOW_FORMAT_CHANGE | SDL_AUDIO_ALLOW_CHANNELS_CHANGE);
  if (id == 0) return;
  ab->captureDevice = id;
  ab->captureKind = kindOfFormat(have.format);
  if (ab->captureKind < 0 || have.channels < 1) {
    // A format we do not convert: let SDL convert it after all.
    SDL_CloseAudioDevice(id);
    ab->captureDevice = SDL_OpenAudioDevice(isDefaultName(name) ? nullptr : name, 1, &want, &have, 0);
    if (!ab->captureDevice) return;
    ab->captureKind = AudioSampleFloat32;
  }
  ab->captureChannels = have.channels;
  ab->captureBufferFrames = have.samples ? have.samples : (u32)want.samples;
  ab->capturebufSamples = (size_t)ab->captureChannels * ab->captureBufferFrames;
  ab->capturemixSamples = (size_t)ab->channels * ab->captureBufferFrames;
  ab->capturerawBytes = (size_t)audioSampleBytes(ab->captureKind) * ab->captureChannels * ab->captureBufferFrames;
  ab->capturebuf = static_cast<f32*>(memAlloc(ab->capturebufSamples * sizeof(f32)));
  ab->capturemix = static_cast<f32*>(memAlloc(ab->capturemixSamples * sizeof(f32)));
  ab->captureraw = static_cast<u8*>(memAlloc(ab->capturerawBytes));
  if (!ab->capturebuf || !ab->capturemix || !ab->captureraw) closeCapture(ab);
}

i32 drainCapture(AudioBackend* ab) {
  const u32 frameBytes = audioSampleBytes(ab->captureKind) * (u32)ab->captureChannels;
  for (;;) {
    u32 queued = SDL_GetQueuedAudioSize(ab->captureDevice) / frameBytes;
    if (queued == 0) return 0;
    u32 n = std::min(queued, ab->captureBufferFrames);
    u32 got = SDL_DequeueAudio(ab->captureDevice, ab->captureraw, n * frameBytes) / frameBytes;
    if (got == 0) return 0;
    if (!audioConvertCapture(ab->captureraw, got, ab->captureKind, ab->captureChannels, ab->channels,
                             ab->capturebuf, ab->capturemix))
      return -1;
    if (ab->sourceCb(ab->capturemix, got, ab->channels, ab->sourceData) != 0) return -1;
  }
}

}  // namespace

u32 audioSampleBytes(i32 kind) {
  switch (kind) {
    case AudioSampleInt16: return 2;
    case AudioSampleInt24: return 3;
    case AudioSampleInt32: return 4;
    case AudioSampleFloat32: return 4;
    default: return 0;
  }
}

b8 audioConvertCapture(const u8* raw, size_t frames, i32 kind, i32 srcChannels, i32 dstChannels, f32* scratch,
                       f32* out) {
  if (srcChannels < 1 || dstChannels < 1) return false;
  const size_t n = frames * (size_t)srcChannels;
  switch (kind) {
    case AudioSampleFloat32: std::memcpy(scratch, raw, n * sizeof(f32)); break;
    case AudioSampleInt16:
      for (size_t i = 0; i < n; i++) {
        i16 v;
        std::memcpy(&v, raw + 2 * i, 2);
        scratch[i] = (f32)v * 3.0517578e-5f;
      }
      break;
    case AudioSampleInt24:
      for (size_t i = 0; i < n; i++) {
        const u8* p = raw + 3 * i;
        // Sign-extend through the top byte of a 32-bit word.
        i32 v = (i32)((u32)p[0] << 8 | (u32)p[1] << 16 | (u32)p[2] << 24) >> 8;
        scratch[i] = (f32)v * 1.1920929e-7f;
      }
      break;
    case AudioSampleInt32:
      for (size_t i = 0; i < n; i++) {
        i32 v;
        std::memcpy(&v, raw + 4 * i, 4);
        scratch[i] = (f32)v * 4.656613e-10f;
      }
      break;
    default: return false;
  }
  if (srcChannels == dstChannels) {
    std::memcpy(out, scratch, n * sizeof(f32));
  } else if (srcChannels == 1 && dstChannels == 2) {
    for (size_t f = 0; f < frames; f++) out[2 * f] = out[2 * f + 1] = scratch[f];
  } else if (srcChannels == 2 && dstChannels == 1) {
    for (size_t f = 0; f < frames; f++) out[f] = 0.5f * (scratch[2 * f] + scratch[2 * f + 1]);
  } else {
    const i32 common = std::min(srcChannels, dstChannels);
    for (size_t f = 0; f < frames; f++) {
      for (i32 c = 0; c < dstChannels; c++)
        out[f * dstChannels + c] = c < common ? scratch[f * srcChannels + c] : 0.0f;
    }
  }
  return true;
}

AudioBackend* audioBackendCreate(const char* sinkDevice, const char* sourceDevice, u32 sampleRate, i32 channels,
                                 size_t bufferFrames, AudioBackendCallback sinkcb, void* sinkData,
                                 AudioBackendCallback sourcecb, void* sourceData) {
  if (!sinkcb || bufferFrames == 0 || bufferFrames > 65536 || channels < 1 || channels > 2 || sampleRate == 0 ||
      sampleRate > 384000)
    return nullptr;
  const b8 firstHolder = SDL_WasInit(SDL_INIT_AUDIO) == 0;
  if (!holdAudio()) {
    std::fprintf(stderr, "audio: SDL audio unavailable: %s\n", SDL_GetError());
    return nullptr;
  }
  // SDL announces every existing device as "added" when audio starts up: that
  // is no change the application needs to hear of.
  if (firstHolder) SDL_FlushEvents(SDL_AUDIODEVICEADDED, SDL_AUDIODEVICEREMOVED);
  auto* ab = static_cast<AudioBackend*>(memCalloc(1, sizeof(AudioBackend)));
  if (!ab) {
    releaseAudio();
    return nullptr;
  }
  ab->sdlInited = 1;
  ab->sampleRate = sampleRate;
  ab->channels = channels;
  ab->bufferFrames = bufferFrames;
  ab->sinkCb = sinkcb;
  ab->sinkData = sinkData;
  ab->sourceCb = sourcecb;
  ab->sourceData = sourceData;

  if (!isDefaultName(sinkDevice) && !deviceExists(sinkDevice, false)) {
    std::fprintf(stderr, "audio: no playback device named '%s'\n", sinkDevice);
    audioBackendDestroy(ab);
    return nullptr;
  }
  SDL_AudioSpec want{}, have{};
  want.freq = (int)sampleRate;
  want.format = AUDIO_F32LSB;
  want.channels = (Uint8)channels;
  want.samples = (Uint16)std::min<size_t>(bufferFrames, 4096);
  // Our rate and channels: SDL converts to whatever the device has.
  ab->device = SDL_OpenAudioDevice(isDefaultName(sinkDevice) ? nullptr : sinkDevice, 0, &want, &have, 0);
  if (ab->device == 0) {
    std::fprintf(stderr, "audio: cannot open the playback device: %s\n", SDL_GetError());
    audioBackendDestroy(ab);
    return nullptr;
  }
  ab->deviceBufferFrames = have.samples ? have.samples : want.samples;
  // One device period still queued while the next is mixed.
  ab->queueTargetFrames = (u32)bufferFrames + ab->deviceBufferFrames;
  ab->mixbufSamples = (size_t)channels * bufferFrames;
  ab->mixbuf = static_cast<f32*>(memAlloc(ab->mixbufSamples * sizeof(f32)));
  if (!ab->mixbuf) {
    audioBackendDestroy(ab);
    return nullptr;
  }
  if (sourcecb) openCapture(ab, sourceDevice);
  return ab;
}

i32 audioBackendStart(AudioBackend* ab) {
  if (!ab) return -1;
  if (ab->started) return 0;
  if (ab->captureDevice) SDL_PauseAudioDevice(ab->captureDevice, 0);
  SDL_PauseAudioDevice(ab->device, 0);
  ab->started = 1;
  return 0;
}

i32 audioBackendProcess(AudioBackend* ab) {
  if (!ab) return -1;
  if (!ab->started && audioBackendStart(ab) != 0) return -1;
  if (ab->captureDevice && ab->sourceCb && drainCapture(ab) != 0) return -1;

  // A device that went away stops for good.
  if (SDL_GetAudioDeviceStatus(ab->device) == SDL_AUDIO_STOPPED) return -1;
  const u32 frameBytes = (u32)ab->channels * sizeof(f32);
  const u32 bufferFrames = (u32)ab->bufferFrames;
  const f64 deadline = clockNanos() + (f64)kMaxWaitNs;
  u32 queued = SDL_GetQueuedAudioSize(ab->device) / frameBytes;
  while (queued + bufferFrames > ab->queueTargetFrames) {
    f64 now = clockNanos();
    if (now >= deadline) return 0;
    // Until enough has played to make room for a period.
    u64 ns = (u64)((f64)(queued + bufferFrames - ab->queueTargetFrames) * 1e9 / ab->sampleRate);
    ns = std::clamp<u64>(ns, kMinSleepNs, (u64)(deadline - now) + 1);
    nanoSleep(ns);
    queued = SDL_GetQueuedAudioSize(ab->device) / frameBytes;
  }
  const u32 n = std::min(ab->queueTargetFrames - queued, bufferFrames);
  if (n == 0) return 0;
  if (ab->sinkCb(ab->mixbuf, n, ab->channels, ab->sinkData) != 0) return -1;
  if (SDL_QueueAudio(ab->device, ab->mixbuf, n * frameBytes) != 0) return -1;
  return 0;
}

void audioBackendDestroy(AudioBackend* ab) {
  if (!ab) return;
  closeCapture(ab);
  if (ab->device) SDL_CloseAudioDevice(ab->device);
  memFree(ab->mixbuf);
  if (ab->sdlInited) releaseAudio();
  memFree(ab);
}

AudioDevList audioBackendGetDevicesForFlow(b8 capture) {
  AudioDevList list{};
  if (!holdAudio()) return list;
  int n = SDL_GetNumAudioDevices(capture ? 1 : 0);
  int cap = 0;
  for (int i = 0; i < n; i++) {
    const char* name = SDL_GetAudioDeviceName(i, capture ? 1 : 0);
    if (!name) continue;
    if (list.count == cap) {
      int ncap = cap ? cap * 2 : 8;
      auto** grown = static_cast<char**>(memRealloc(list.names, (size_t)ncap * sizeof(char*)));
      if (!grown) break;
      list.names = grown;
      cap = ncap;
    }
    size_t len = std::strlen(name);
    auto* copy = static_cast<char*>(memAlloc(len + 1));
    if (!copy) break;
    std::memcpy(copy, name, len + 1);
    list.names[list.count++] = copy;
  }
  releaseAudio();
  return list;
}

AudioDevList audioBackendGetDevices() { return audioBackendGetDevicesForFlow(false); }

AudioSourceDevList audioBackendGetSourceDevices() { return audioBackendGetDevicesForFlow(true); }

void audioDevListFree(AudioDevList* list) {
  if (!list) return;
  for (int i = 0; i < list->count; i++) memFree(list->names[i]);
  memFree(list->names);
  *list = AudioDevList{};
}

void audioBackendNoteDeviceChange() { gDevicesChanged.store(1, std::memory_order_release); }

b8 audioBackendNextHotplugEvent(InputEvent* ev) {
  if (gDevicesChanged.load(std::memory_order_acquire) == 0) return false;
  if (gDevicesChanged.exchange(0, std::memory_order_acq_rel) == 0) return false;
  if (ev) {
    *ev = InputEvent{};
    ev->type = InputEventAudioDevices;
  }
  return true;
}
