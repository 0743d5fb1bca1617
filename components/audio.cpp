// The audio engine: mixing, capture filters, the echo canceller, Ogg Opus
// clips, streams and the audio thread.
#include "components/audio.h"

#include <fcntl.h>
#include <ogg/ogg.h>
#include <opus/opus.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/memory.h"
#include "platform/profiler_hook.h"

namespace {

constexpr f32 kTwoPi = 6.2831855f;
constexpr f32 kUnderrunDecay = 0.92f;

// NaN goes to silence, not to the rails.
inline f32 clampSample(f32 v) {
  if (v > 1.0f) return 1.0f;
  if (v < -1.0f) return -1.0f;
  return v == v ? v : 0.0f;
}

using f32x4c = f32 __attribute__((vector_size(16)));
using i32x4c = i32 __attribute__((vector_size(16)));

// clampSample over a buffer, four at a time.
void clampBuffer(f32* p, size_t n) {
  const f32x4c lo = {-1.0f, -1.0f, -1.0f, -1.0f}, hi = {1.0f, 1.0f, 1.0f, 1.0f};
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    f32x4c v;
    std::memcpy(&v, p + i, sizeof v);
    v = (f32x4c)((i32x4c)v & (v == v));  // NaN lanes to 0
    v = v < lo ? lo : v;
    v = v > hi ? hi : v;
    std::memcpy(p + i, &v, sizeof v);
  }
  for (; i < n; i++) p[i] = clampSample(p[i]);
}

inline f32 finiteOrZero(f32 v) { return std::isfinite(v) ? v : 0.0f; }

// Sounds list: append under the lock, doubling from 8.
b8 registerSound(AudioEngine* e, AudioSound* s) {
  threadMutexLock(&e->lock);
  if (e->soundCount == e->soundCap) {
    size_t cap = e->soundCap ? e->soundCap * 2 : 8;
    auto** grown = static_cast<AudioSound**>(memRealloc(e->sounds, cap * sizeof(AudioSound*)));
    if (!grown) {
      threadMutexUnlock(&e->lock);
      return false;
    }
    e->sounds = grown;
    e->soundCap = cap;
  }
  s->index = e->soundCount;
  e->sounds[e->soundCount++] = s;
  threadMutexUnlock(&e->lock);
  return true;
}

void destroyFilters(AudioEngine* e) {
  memFree(e->bandpass);
  e->bandpass = nullptr;
  if (e->nlms) {
    NlmsFilterDestroy(e->nlms);
    memFree(e->nlms);
    e->nlms = nullptr;
  }
  memFree(e->wiener);
  e->wiener = nullptr;
}

b8 createFilters(AudioEngine* e, const AudioEngineFilterConfig* cfg) {
  e->filters = *cfg;
  e->filtersEnabled = cfg->flags != 0;
  const i32 ch = e->outChannels;
  const f32 rate = (f32)e->sampleRate;
  if (cfg->flags & AUDIO_ENGINE_FILTER_BANDPASS) {
    f32 low = cfg->bandpassLowHz > 0 ? cfg->bandpassLowHz : 120.0f;
    f32 high = cfg->bandpassHighHz > low ? cfg->bandpassHighHz : 3500.0f;
    e->bandpass = static_cast<BandPassState*>(memCalloc((size_t)ch, sizeof(BandPassState)));
    if (!e->bandpass) return false;
    for (i32 c = 0; c < ch; c++) {
      e->bandpass[c].hp.alpha = std::min(1.0f, std::exp(-kTwoPi * low / rate));
      e->bandpass[c].lp.alpha = std::clamp(1.0f - std::exp(-kTwoPi * high / rate), 0.0f, 1.0f);
    }
  }
  if (cfg->flags & AUDIO_ENGINE_FILTER_NLMS) {
    e->nlms = static_cast<NlmsFilter*>(memCalloc(1, sizeof(NlmsFilter)));
    if (!e->nlms) return false;
    *e->nlms = NlmsFilterCreate(ch, cfg->nlmsTaps ? cfg->nlmsTaps : 256, cfg->nlmsDelayFrames,
                                cfg->nlmsStep > 0 ? cfg->nlmsStep : 0.01f,
                                cfg->nlmsEpsilon > 0 ? cfg->nlmsEpsilon : 0.000001f);
    if (!e->nlms->Channel) return false;
  }
  if (cfg->flags & AUDIO_ENGINE_FILTER_WIENER) {
    e->wiener = static_cast<WienerState*>(memCalloc((size_t)ch, sizeof(WienerState)));
    if (!e->wiener) return false;
    f32 pa = cfg->wienerPowerAlpha > 0 ? std::min(cfg->wienerPowerAlpha, 1.0f) : 0.05f;
    f32 na = cfg->wienerNoiseAlpha > 0 ? std::min(cfg->wienerNoiseAlpha, 1.0f) : 0.005f;
    f32 mg = cfg->wienerMinGain > 0 ? std::min(cfg->wienerMinGain, 1.0f) : 0.1f;
    f32 init = cfg->wienerInitialNoise > 0 ? cfg->wienerInitialNoise : 0.000001f;
    for (i32 c = 0; c < ch; c++) e->wiener[c] = WienerState{init, init, pa, na, mg};
  }
  return true;
}

// Adds n frames of a stream's ring, from its read position, to out.
void mixStream(AudioSound* s, f32* out, size_t n, i32 ch) {
  const u64 size = s->stream.Size;
  const size_t samples = n * (size_t)ch;
  size_t done = 0;
  u64 pos = s->streamReadPos;
  const f32 vol = s->volume;
  while (done < samples) {
    size_t run = std::min<size_t>(samples - done, (size - pos) / sizeof(f32));
    const f32* src = reinterpret_cast<const f32*>(s->stream.Base + pos);
    f32* dst = out + done;
    for (size_t i = 0; i < run; i++) dst[i] += src[i] * vol;
    done += run;
    pos = (pos + run * sizeof(f32)) % size;
  }
  s->streamReadPos = pos;
  s->streamAvailableBytes -= samples * sizeof(f32);
}

i32 audioThreadMain(void* data) {
  auto* e = static_cast<AudioEngine*>(data);
  profilerHookThreadStart("audio");
  // Decaying filter states and the underrun gain would otherwise crawl through
  // denormals, which cost a hundred times a normal operation.
  _mm_setcsr(_mm_getcsr() | 0x8040);
  for (;;) {
    threadMutexLock(&e->runLock);
    i32 run = e->running;
    threadMutexUnlock(&e->runLock);
    if (!run) break;
    if (audioEngineProcess(e) != 0) {
      threadMutexLock(&e->runLock);
      e->running = 0;
      threadMutexUnlock(&e->runLock);
      std::fprintf(stderr, "audio: the device stopped; sound is off\n");
      break;
    }
  }
  profilerHookThreadEnd();
  return 0;
}

// Reads up to n bytes, retrying interrupted calls; -1 on error.
ssize_t readSome(int fd, void* buf, size_t n) {
  for (;;) {
    ssize_t r = read(fd, buf, n);
    if (r < 0 && errno == EINTR) continue;
    return r;
  }
}

}  // namespace

// ---------------------------------------------------------------- the engine

AudioEngine* audioEngineCreate(const char* sinkDevice, const char* sourceDevice, u32 sampleRate, i32 channels,
                               size_t bufferFrames, const AudioEngineFilterConfig* filters, AudioSinkCallback sinkcb,
                               void* sinkData, AudioSourceCallback sourcecb, void* sourceData) {
  if (channels < 1 || channels > 2 || sampleRate == 0) return nullptr;
  auto* e = static_cast<AudioEngine*>(memCalloc(1, sizeof(AudioEngine)));
  if (!e) return nullptr;
  e->sampleRate = sampleRate;
  e->outChannels = channels;
  e->userSinkCb = sinkcb;
  e->userSinkData = sinkData;
  e->userSourceCb = sourcecb;
  e->userSourceData = sourceData;
  e->underrunGain = 1.0f;
  threadMutexInit(&e->lock);
  threadMutexInit(&e->runLock);
  threadMutexInit(&e->callbackLock);
  if (filters && !createFilters(e, filters)) {
    audioEngineDestroy(e);
    return nullptr;
  }
  e->ab = audioBackendCreate(sinkDevice, sourceDevice, sampleRate, channels, bufferFrames, engineSinkCallback, e,
                             engineSourceCallback, e);
  if (!e->ab) {
    audioEngineDestroy(e);
    return nullptr;
  }
  return e;
}

i32 audioEngineStart(AudioEngine* e) {
  if (!e || !e->ab) return -1;
  if (audioBackendStart(e->ab) != 0) return -1;
  threadMutexLock(&e->runLock);
  if (e->threadStarted) {
    threadMutexUnlock(&e->runLock);
    return 0;
  }
  e->running = 1;
  e->thread = threadCreate(audioThreadMain, e);
  e->threadStarted = e->thread != nullptr;
  if (!e->thread) e->running = 0;
  threadMutexUnlock(&e->runLock);
  return e->thread ? 0 : -1;
}

void audioEngineStop(AudioEngine* e) {
  if (!e) return;
  threadMutexLock(&e->runLock);
  e->running = 0;
  Thread* t = e->threadStarted ? e->thread : nullptr;
  threadMutexUnlock(&e->runLock);
  if (!t) return;
  threadJoin(t);
  threadDestroy(t);
  threadMutexLock(&e->runLock);
  e->thread = nullptr;
  e->threadStarted = 0;
  threadMutexUnlock(&e->runLock);
}

i32 audioEngineProcess(AudioEngine* e) { return e ? audioBackendProcess(e->ab) : -1; }

void audioEngineDestroy(AudioEngine* e) {
  if (!e) return;
  audioEngineStop(e);
  audioBackendDestroy(e->ab);
  destroyFilters(e);
  for (size_t i = 0; i < e->soundCount; i++) {
    memFree(e->sounds[i]->pcm);
    memFree(e->sounds[i]);
  }
  memFree(e->sounds);
  threadMutexDestroy(&e->lock);
  threadMutexDestroy(&e->runLock);
  threadMutexDestroy(&e->callbackLock);
  memFree(e);
}

i32 audioEngineSetCallbacks(AudioEngine* e, AudioSinkCallback sinkcb, void* sinkData, AudioSourceCallback sourcecb,
                            void* sourceData) {
  if (!e) return -1;
  threadMutexLock(&e->callbackLock);
  e->userSinkCb = sinkcb;
  e->userSinkData = sinkData;
  e->userSourceCb = sourcecb;
  e->userSourceData = sourceData;
  threadMutexUnlock(&e->callbackLock);
  return 0;
}

i32 engineSinkCallback(f32* out, size_t frames, i32 channels, void* data) {
  auto* e = static_cast<AudioEngine*>(data);
  const size_t ch = (size_t)channels;
  std::memset(out, 0, frames * ch * sizeof(f32));
  b8 mixed = false;
  threadMutexLock(&e->lock);
  for (size_t si = 0; si < e->soundCount; si++) {
    AudioSound* s = e->sounds[si];
    if (!s->playing || s->channels != channels) continue;
    const f32 vol = s->volume;
    if (s->pcm) {
      size_t f = 0;
      while (f < frames) {
        if (s->cursor >= s->frames) {
          if (s->looping && s->frames > 0) {
            s->cursor = 0;
          } else {
            s->playing = 0;
            break;
          }
        }
        const size_t run = std::min(frames - f, s->frames - s->cursor);
        f32* dst = out + f * ch;
        const f32* src = s->pcm + s->cursor * ch;
        for (size_t i = 0; i < run * ch; i++) dst[i] += src[i] * vol;
        s->cursor += run;
        f += run;
        mixed = true;
      }
    } else if (s->streaming) {
      const size_t n = std::min<size_t>(s->streamAvailableBytes / (ch * sizeof(f32)), frames);
      if (n > 0) {
        mixStream(s, out, n, channels);
        mixed = true;
      }
    }
  }
  threadMutexUnlock(&e->lock);

  const size_t tailCh = std::min<size_t>(ch, 2);
  if (mixed) {
    e->underrunGain = e->underrunGain * kUnderrunDecay + 0.08f;
    if (frames > 0) {
      for (size_t c = 0; c < tailCh; c++) e->underrunTail[c] = out[(frames - 1) * ch + c];
    }
  } else {
    // Nothing to play: fade the last output out instead of cutting it.
    for (size_t f = 0; f < frames; f++) {
      for (size_t c = 0; c < tailCh; c++) out[f * ch + c] = e->underrunGain * e->underrunTail[c];
      e->underrunGain *= kUnderrunDecay;
    }
  }
  clampBuffer(out, frames * ch);

  i32 result = 0;
  threadMutexLock(&e->callbackLock);
  if (e->userSinkCb && e->userSinkCb(out, frames, channels, e->userSinkData) != 0) result = -1;
  threadMutexUnlock(&e->callbackLock);
  if (result != 0) return -1;
  if (e->filtersEnabled && e->nlms && (e->filters.flags & AUDIO_ENGINE_FILTER_NLMS))
    NlmsFilterPushReference(e->nlms, out, frames);
  return 0;
}

i32 engineSourceCallback(f32* buf, size_t frames, i32 channels, void* data) {
  auto* e = static_cast<AudioEngine*>(data);
  const size_t ch = (size_t)channels;
  if (e->filtersEnabled) {
    if (e->bandpass && channels == e->outChannels) {
      for (size_t f = 0; f < frames; f++) {
        for (size_t c = 0; c < ch; c++) {
          BandPassState& b = e->bandpass[c];
          f32 x = finiteOrZero(buf[f * ch + c]);
          f32 y = (x + b.hp.yPrev - b.hp.xPrev) * b.hp.alpha;
          b.hp.xPrev = x;
          b.hp.yPrev = y;
          b.lp.z += b.lp.alpha * (y - b.lp.z);
          buf[f * ch + c] = clampSample(b.lp.z);
        }
      }
    }
    if (e->nlms && (e->filters.flags & AUDIO_ENGINE_FILTER_NLMS) && channels == e->nlms->Channels)
      NlmsFilterCancel(e->nlms, buf, buf, frames);
    if (e->wiener && (e->filters.flags & AUDIO_ENGINE_FILTER_WIENER) && channels == e->outChannels) {
      for (size_t f = 0; f < frames; f++) {
        for (size_t c = 0; c < ch; c++) {
          WienerState& w = e->wiener[c];
          f32 x = finiteOrZero(buf[f * ch + c]);
          w.power = w.power - w.powerAlpha * (w.power - x * x);
          if (w.noise <= 0) {
            w.noise = w.power;
          } else if (w.power >= w.noise) {
            w.noise += 0.1f * w.noiseAlpha * (w.power - w.noise);
          } else {
            w.noise += w.noiseAlpha * (w.power - w.noise);
          }
          f32 gain = std::max(w.power / (w.power + 1e-8f + w.noise), w.minGain);
          buf[f * ch + c] = gain * x;
        }
      }
    }
  }
  i32 result = 0;
  threadMutexLock(&e->callbackLock);
  if (e->userSourceCb) result = e->userSourceCb(buf, frames, channels, e->userSourceData);
  threadMutexUnlock(&e->callbackLock);
  return result;
}

// ------------------------------------------------------------------- sounds

AudioSound* audioEngineLoadOgg(AudioEngine* e, const char* path) {
  if (!e || !path) return nullptr;
  const u32 rate = e->sampleRate;
  if (rate != 8000 && rate != 12000 && rate != 16000 && rate != 24000 && rate != 48000) return nullptr;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;

  ogg_sync_state oy;
  ogg_sync_init(&oy);
  ogg_stream_state os{};
  b8 streamInit = false;
  OpusDecoder* dec = nullptr;
  f32* scratch = nullptr;
  f32* pcm = nullptr;
  size_t pcmCap = 0, pcmFrames = 0;
  i32 ch = 0;
  u64 packetNo = 0;
  u64 preskipLeft = 0;   // frames at the engine's rate still to drop
  u64 decodedTotal = 0;  // frames decoded, pre-skip included
  const size_t maxFrames = (size_t)kAudioMaxClipSeconds * rate;
  b8 ok = true, done = false;

  auto handlePacket = [&](const ogg_packet& op) -> b8 {
    const unsigned char* p = op.packet;
    const long n = op.bytes;
    if (packetNo == 0) {
      if (n < 19 || std::memcmp(p, "OpusHead", 8) != 0 || p[8] != 1) return false;
      ch = p[9];
      if (ch != e->outChannels || p[18] != 0) return false;
      const u32 preskip = (u32)p[10] | (u32)p[11] << 8;
      // The header counts at 48 kHz.
      preskipLeft = (u64)preskip * rate / 48000;
      const int size = opus_decoder_get_size(ch);
      dec = static_cast<OpusDecoder*>(memAlloc((size_t)size));
      if (!dec || opus_decoder_init(dec, (opus_int32)rate, ch) != OPUS_OK) return false;
      scratch = static_cast<f32*>(memAlloc((size_t)5760 * ch * sizeof(f32)));
      return scratch != nullptr;
    }
    if (packetNo == 1) return n >= 8 && std::memcmp(p, "OpusTags", 8) == 0;
    int got = opus_decode_float(dec, p, (opus_int32)n, scratch, 5760, 0);
    if (got < 0) return false;
    decodedTotal += (u64)got;
    u64 drop = std::min<u64>(preskipLeft, (u64)got);
    preskipLeft -= drop;
    size_t keep = (size_t)got - (size_t)drop;
    if (pcmFrames + keep > maxFrames) {
      keep = maxFrames - pcmFrames;
      std::fprintf(stderr, "audio: '%s' is longer than %u s; the rest is left out\n", path, kAudioMaxClipSeconds);
      done = true;
    }
    const size_t need = (pcmFrames + keep) * (size_t)ch;
    if (need > pcmCap) {
      size_t cap = pcmCap ? pcmCap : 4096;
      while (cap < need) cap *= 2;
      auto* grown = static_cast<f32*>(memRealloc(pcm, cap * sizeof(f32)));
      if (!grown) return false;
      pcm = grown;
      pcmCap = cap;
    }
    std::memcpy(pcm + pcmFrames * ch, scratch + drop * ch, keep * ch * sizeof(f32));
    pcmFrames += keep;
    return true;
  };

  while (ok && !done) {
    char* buf = ogg_sync_buffer(&oy, 4096);
    ssize_t r = buf ? readSome(fd, buf, 4096) : -1;
    if (r < 0) {
      ok = false;
      break;
    }
    ogg_sync_wrote(&oy, (long)r);
    ogg_page og;
    while (ok && !done) {
      int pr = ogg_sync_pageout(&oy, &og);
      if (pr == 0) break;
      if (pr < 0) continue;  // lost sync: skipped to the next page
      if (!streamInit) {
        ogg_stream_init(&os, ogg_page_serialno(&og));
        streamInit = true;
      }
      if (ogg_stream_pagein(&os, &og) != 0) {
        ok = false;
        break;
      }
      ogg_packet op;
      for (;;) {
        int k = ogg_stream_packetout(&os, &op);
        if (k == 0) break;
        if (k < 0) continue;  // a gap: go on with what follows
        if (!handlePacket(op)) {
          ok = false;
          break;
        }
        packetNo++;
        if (done) break;
      }
      if (ok && ogg_page_eos(&og) && packetNo > 2) {
        // The last granule position says where the audio ends: the rest of
        // the final packet is padding.
        const i64 granule = ogg_page_granulepos(&og);
        if (granule >= 0) {
          const u64 limit = (u64)granule * rate / 48000;
          if (decodedTotal > limit) pcmFrames -= std::min<u64>(decodedTotal - limit, pcmFrames);
        }
        done = true;
      }
    }
    if (r == 0) break;
  }
  close(fd);
  if (streamInit) ogg_stream_clear(&os);
  ogg_sync_clear(&oy);
  memFree(dec);
  memFree(scratch);
  if (!ok || packetNo < 1 || pcmFrames == 0) {
    memFree(pcm);
    return nullptr;
  }
  auto* s = static_cast<AudioSound*>(memCalloc(1, sizeof(AudioSound)));
  if (!s) {
    memFree(pcm);
    return nullptr;
  }
  s->pcm = pcm;
  s->frames = pcmFrames;
  s->channels = ch;
  s->sr = rate;
  s->volume = 1.0f;
  if (!registerSound(e, s)) {
    memFree(pcm);
    memFree(s);
    return nullptr;
  }
  return s;
}

AudioSound* audioEngineCreateClip(AudioEngine* e, const f32* pcm, size_t frames, i32 channels) {
  if (!e || !pcm || frames == 0 || channels != e->outChannels) return nullptr;
  if (frames > (size_t)kAudioMaxClipSeconds * e->sampleRate) return nullptr;
  auto* s = static_cast<AudioSound*>(memCalloc(1, sizeof(AudioSound)));
  if (!s) return nullptr;
  s->pcm = static_cast<f32*>(memAlloc(frames * (size_t)channels * sizeof(f32)));
  if (!s->pcm) {
    memFree(s);
    return nullptr;
  }
  std::memcpy(s->pcm, pcm, frames * (size_t)channels * sizeof(f32));
  s->frames = frames;
  s->channels = channels;
  s->sr = e->sampleRate;
  s->volume = 1.0f;
  if (!registerSound(e, s)) {
    memFree(s->pcm);
    memFree(s);
    return nullptr;
  }
  return s;
}

AudioSound* audioEngineCreateStream(AudioEngine* e, CircBuffer streamBuffer, i32 channels, u32 sampleRate) {
  if (!e || channels <= 0 || !streamBuffer.Base || streamBuffer.Size == 0 ||
      streamBuffer.Size % ((u64)channels * sizeof(f32)) != 0)
    return nullptr;
  // The mixer plays only the engine's own format: anything else would sit in
  // the list unheard.
  if (channels != e->outChannels || sampleRate != e->sampleRate) return nullptr;
  auto* s = static_cast<AudioSound*>(memCalloc(1, sizeof(AudioSound)));
  if (!s) return nullptr;
  s->channels = channels;
  s->sr = sampleRate;
  s->volume = 1.0f;
  s->streaming = 1;
  s->stream = streamBuffer;
  if (!registerSound(e, s)) {
    memFree(s);
    return nullptr;
  }
  return s;
}

i32 audioSoundPushFrames(AudioEngine* e, AudioSound* s, const f32* pcm, size_t frames) {
  if (!e || !s || !s->streaming || (!pcm && frames)) return -1;
  const u64 frameBytes = (u64)s->channels * sizeof(f32);
  const u64 size = s->stream.Size;
  u64 bytes = (u64)frames * frameBytes;
  const u8* src = reinterpret_cast<const u8*>(pcm);
  if (bytes > size) {
    // Only the newest whole frames that fit.
    const u64 keep = size / frameBytes * frameBytes;
    src += bytes - keep;
    bytes = keep;
  }
  threadMutexLock(&e->lock);
  if (s->streamAvailableBytes + bytes > size) {
    const u64 drop = s->streamAvailableBytes + bytes - size;
    s->streamReadPos = (s->streamReadPos + drop) % size;
    s->streamAvailableBytes -= drop;
  }
  u64 done = 0;
  while (done < bytes) {
    const u64 run = std::min(bytes - done, size - s->streamWritePos);
    std::memcpy(s->stream.Base + s->streamWritePos, src + done, run);
    done += run;
    s->streamWritePos = (s->streamWritePos + run) % size;
  }
  s->streamAvailableBytes += bytes;
  threadMutexUnlock(&e->lock);
  return 0;
}

u64 audioSoundGetQueuedBytes(AudioEngine* e, AudioSound* s) {
  if (!e || !s) return 0;
  threadMutexLock(&e->lock);
  u64 n = s->streamAvailableBytes;
  threadMutexUnlock(&e->lock);
  return n;
}

i32 audioSoundPlay(AudioEngine* e, AudioSound* s, i32 loop) {
  if (!e || !s) return -1;
  threadMutexLock(&e->lock);
  s->looping = loop != 0;
  s->playing = 1;
  threadMutexUnlock(&e->lock);
  return 0;
}

i32 audioSoundPause(AudioEngine* e, AudioSound* s) {
  if (!e || !s) return -1;
  threadMutexLock(&e->lock);
  s->playing = 0;
  threadMutexUnlock(&e->lock);
  return 0;
}

i32 audioSoundStop(AudioEngine* e, AudioSound* s) {
  if (!e || !s) return -1;
  threadMutexLock(&e->lock);
  s->playing = 0;
  s->cursor = 0;
  if (s->streaming) {
    s->streamReadPos = s->streamWritePos = 0;
    s->streamAvailableBytes = 0;
  }
  threadMutexUnlock(&e->lock);
  return 0;
}

namespace {

// Frame at `seconds` from the start, saturating at 0 and at the end.
size_t frameAt(f64 seconds, u32 rate, size_t frames) {
  if (seconds <= 0) return 0;
  const f64 f = seconds * rate;
  return f >= (f64)frames ? frames : (size_t)f;
}

}  // namespace

i32 audioSoundSeekSeconds(AudioEngine* e, AudioSound* s, f32 seconds) {
  if (!e || !s || s->streaming || !std::isfinite(seconds)) return -1;
  threadMutexLock(&e->lock);
  s->cursor = frameAt(seconds, e->sampleRate, s->frames);
  threadMutexUnlock(&e->lock);
  return 0;
}

i32 audioSoundSkipSeconds(AudioEngine* e, AudioSound* s, f32 seconds) {
  if (!e || !s || s->streaming || !std::isfinite(seconds) || e->sampleRate == 0) return -1;
  threadMutexLock(&e->lock);
  const f64 now = (f64)s->cursor / e->sampleRate;
  s->cursor = frameAt(now + seconds, e->sampleRate, s->frames);
  threadMutexUnlock(&e->lock);
  return 0;
}

i32 audioSoundSetVolume(AudioEngine* e, AudioSound* s, f32 volume) {
  if (!e || !s || !std::isfinite(volume)) return -1;
  threadMutexLock(&e->lock);
  s->volume = volume;
  threadMutexUnlock(&e->lock);
  return 0;
}

f32 audioSoundGetDurationSeconds(AudioEngine* e, AudioSound* s) {
  if (!e || !s || e->sampleRate == 0) return 0.0f;
  return (f32)((f64)s->frames / e->sampleRate);
}

void audioSoundDestroy(AudioEngine* e, AudioSound* s) {
  if (!e || !s) return;
  threadMutexLock(&e->lock);
  const size_t i = s->index;
  if (i < e->soundCount && e->sounds[i] == s) {
    AudioSound* last = e->sounds[e->soundCount - 1];
    e->sounds[i] = last;
    last->index = i;
    e->soundCount--;
  }
  threadMutexUnlock(&e->lock);
  memFree(s->pcm);
  memFree(s);
}

// --------------------------------------------------------------- echo canceller

NlmsFilter NlmsFilterCreate(i32 Channels, u32 Taps, u32 Delay, f32 Step, f32 Epsilon) {
  NlmsFilter f{};
  // Step 2 and above make the normalised update diverge.
  if (Channels < 1 || Taps == 0 || !(Step > 0.0f) || !(Step < 2.0f)) return f;
  if (!(Epsilon > 0.0f) || !std::isfinite(Epsilon)) Epsilon = 0.000001f;
  f.Channels = Channels;
  f.Taps = Taps;
  f.Delay = Delay;
  f.Step = Step;
  f.Epsilon = Epsilon;
  const u64 minSamples = (u64)Taps + Delay + 2ull * kNlmsMaxPeriodFrames;
  f.Channel = static_cast<NlmsChannel*>(memCalloc((size_t)Channels, sizeof(NlmsChannel)));
  if (!f.Channel) return NlmsFilter{};
  b8 ok = true;
  for (i32 c = 0; c < Channels && ok; c++) {
    f.Channel[c].History = CircBufferAlloc(minSamples * sizeof(f32), 1);
    f.Channel[c].Weights = static_cast<f32*>(memCalloc(Taps, sizeof(f32)));
    ok = f.Channel[c].History.Base && f.Channel[c].Weights;
    if (ok) {
      f.RingSamples = f.Channel[c].History.Size / sizeof(f32);
      std::memset(f.Channel[c].History.Base, 0, f.Channel[c].History.Size);
    }
  }
  if (!ok || f.RingSamples <= (u64)Taps + Delay) {
    NlmsFilterDestroy(&f);
    return NlmsFilter{};
  }
  return f;
}

void NlmsFilterDestroy(NlmsFilter* f) {
  if (!f || !f->Channel) return;
  for (i32 c = 0; c < f->Channels; c++) {
    CircBufferDealloc(f->Channel[c].History);
    memFree(f->Channel[c].Weights);
  }
  memFree(f->Channel);
  f->Channel = nullptr;
}

namespace {

void clearHistoryAndWeights(NlmsFilter* f) {
  for (i32 c = 0; c < f->Channels; c++) {
    std::memset(f->Channel[c].History.Base, 0, f->Channel[c].History.Size);
    std::memset(f->Channel[c].Weights, 0, f->Taps * sizeof(f32));
  }
}

}  // namespace

void NlmsFilterReset(NlmsFilter* f) {
  if (!f || !f->Channel) return;
  clearHistoryAndWeights(f);
  for (i32 c = 0; c < f->Channels; c++) f->Channel[c].WritePos = 0;
  f->Written = 0;
  f->ReadPos = 0;
}

void NlmsFilterPushReference(NlmsFilter* f, const f32* reference, size_t frames) {
  if (!f || !f->Channel || !reference) return;
  const size_t ch = (size_t)f->Channels;
  const u64 ring = f->RingSamples;
  for (size_t c = 0; c < ch; c++) {
    NlmsChannel& k = f->Channel[c];
    f32* hist = reinterpret_cast<f32*>(k.History.Base);
    u64 w = k.WritePos;
    size_t i = 0;
    while (i < frames) {
      const size_t run = std::min<size_t>(frames - i, ring - w);
      f32* dst = hist + w;
      const f32* src = reference + i * ch + c;
      for (size_t j = 0; j < run; j++) {
        const f32 v = src[j * ch];
        dst[j] = v - v == 0.0f ? v : 0.0f;  // NaN and infinities to 0
      }
      i += run;
      w += run;
      if (w == ring) w = 0;
    }
    k.WritePos = w;
  }
  f->Written += frames;
}

namespace {

using f32x4 = f32 __attribute__((vector_size(16)));

inline f32x4 load4(const f32* p) {
  f32x4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline f32 sum4(f32x4 v) { return (v[0] + v[2]) + (v[1] + v[3]); }

// Where the reference window of the next captured frame starts in the ring.
// Capture running ahead of the reference, or so far behind that its window was
// overwritten, is put back inside the ring.
struct WindowCursor {
  i64 readPos, written, ring, maxLag, delay, taps;
  b8 realigned;
  i64 next() {
    i64 end = readPos - delay;  // newest reference frame of the window
    if (end >= written) {
      end = written - 1;
      realigned = true;
    } else if (written - 1 - end > maxLag) {
      end = written - 1 - maxLag / 2;
      realigned = true;
    }
    readPos = end + delay + 1;
    return ((end - taps + 1) % ring + ring) % ring;
  }
};

// y = w.x and energy = eps + x.x over taps (a multiple of 8 or not).
inline void dotEnergy(const f32* w, const f32* x, u32 taps, f32 eps, f32* y, f32* energy) {
  f32x4 y0 = {}, y1 = {}, e0 = {}, e1 = {};
  u32 i = 0;
  for (; i + 8 <= taps; i += 8) {
    const f32x4 xa = load4(x + i), xb = load4(x + i + 4);
    y0 += load4(w + i) * xa;
    y1 += load4(w + i + 4) * xb;
    e0 += xa * xa;
    e1 += xb * xb;
  }
  f32 ys = sum4(y0 + y1), es = eps + sum4(e0 + e1);
  for (; i < taps; i++) {
    ys += w[i] * x[i];
    es += x[i] * x[i];
  }
  *y = ys;
  *energy = es;
}

// w += k * x, then y = w.x' and energy = eps + x'.x' for the next window, in
// one pass over the weights.
inline void updateThenDot(f32* w, const f32* x, f32 k, const f32* xn, u32 taps, f32 eps, f32* y, f32* energy) {
  const f32x4 kv = {k, k, k, k};
  f32x4 y0 = {}, y1 = {}, e0 = {}, e1 = {};
  u32 i = 0;
  for (; i + 8 <= taps; i += 8) {
    f32x4 wa = load4(w + i) + kv * load4(x + i);
    f32x4 wb = load4(w + i + 4) + kv * load4(x + i + 4);
    std::memcpy(w + i, &wa, sizeof wa);
    std::memcpy(w + i + 4, &wb, sizeof wb);
    const f32x4 na = load4(xn + i), nb = load4(xn + i + 4);
    y0 += wa * na;
    y1 += wb * nb;
    e0 += na * na;
    e1 += nb * nb;
  }
  f32 ys = sum4(y0 + y1), es = eps + sum4(e0 + e1);
  for (; i < taps; i++) {
    w[i] += k * x[i];
    ys += w[i] * xn[i];
    es += xn[i] * xn[i];
  }
  *y = ys;
  *energy = es;
}

}  // namespace

void NlmsFilterCancel(NlmsFilter* f, const f32* input, f32* output, size_t frames) {
  if (!f || !input || !output) return;
  const size_t ch = f->Channel ? (size_t)f->Channels : 0;
  if (!f->Channel || f->Taps == 0) {
    if (output != input) std::memmove(output, input, frames * (ch ? ch : 1) * sizeof(f32));
    return;
  }
  const u32 taps = f->Taps;
  const i64 ring = (i64)f->RingSamples;
  const WindowCursor start{(i64)f->ReadPos, (i64)f->Written, ring, ring - (i64)taps, (i64)f->Delay, (i64)taps, false};
  WindowCursor cur = start;
  // Channel by channel, each walking the same windows, so that one pass over
  // the weights applies a frame's update and computes the next frame's output.
  for (size_t c = 0; c < ch; c++) {
    cur = start;
    const f32* hist = reinterpret_cast<const f32*>(f->Channel[c].History.Base);
    f32* w = f->Channel[c].Weights;
    if (frames == 0) break;
    const f32* x = hist + cur.next();
    f32 y, energy;
    dotEnergy(w, x, taps, f->Epsilon, &y, &energy);
    for (size_t fr = 0; fr < frames; fr++) {
      const f32 e = input[fr * ch + c] - y;
      const b8 last = fr + 1 == frames;
      const f32* xn = last ? nullptr : hist + cur.next();
      if (!std::isfinite(e) || !std::isfinite(energy)) {
        // A NaN or an overflow would poison every weight: start this channel over.
        std::memset(f->Channel[c].History.Base, 0, f->Channel[c].History.Size);
        std::memset(w, 0, taps * sizeof(f32));
        f->Resets++;
        output[fr * ch + c] = 0.0f;
        if (!last) dotEnergy(w, xn, taps, f->Epsilon, &y, &energy);
        x = xn;
        continue;
      }
      output[fr * ch + c] = e;
      const f32 k = f->Step * e / energy;
      if (last) {
        for (u32 t = 0; t < taps; t++) w[t] += k * x[t];
      } else {
        updateThenDot(w, x, k, xn, taps, f->Epsilon, &y, &energy);
      }
      x = xn;
    }
  }
  f->ReadPos = (u64)cur.readPos;
  if (cur.realigned) f->Realigns++;
}
