// The voice chat glue: sessions made, started and closed for the user's host,
// join and stop actions, and the audio engine's callbacks that reach the
// session. Nothing is sent on the network before the user hosts or joins.
#include <cstdio>

#include "app/state.h"

namespace {

void setStatus(State* s, const char* text) { std::snprintf(s->voipStatus, sizeof s->voipStatus, "%s", text); }

// The session for host and join: closes the previous one, creates and starts
// a new one in the given mode and installs the callbacks. False with the
// status set on any failure.
b8 openSession(State* s, u16 port, b8 host) {
  if (!s->audio) {
    setStatus(s, "No audio engine");
    return false;
  }
  voipSessionClose(s);
  VoipConfig cfg;
  appVoipConfig(&cfg);
  Voip* v = voipCreate(&cfg, port, nullptr);
  if (!v) {
    setStatus(s, "Create failed");
    return false;
  }
  voipSetHostMode(v, host);
  if (voipStart(v) != 0) {
    voipDestroy(v);
    setStatus(s, "Start failed");
    return false;
  }
  // Published before the callbacks that read it (the engine's callback lock
  // orders the two).
  s->voip = v;
  audioEngineSetCallbacks(s->audio, voipAudioSinkCb, s, voipAudioSourceCb, s);
  return true;
}

}  // namespace

void appVoipConfig(VoipConfig* cfg) {
  voipConfigDefault(cfg);
  cfg->channels = 2;
  cfg->bitrate = 48000;
  cfg->nlmsTaps = 64;
}

b8 appVoipHost(State* s, u16 port) {
  if (!openSession(s, port, true)) return false;
  std::snprintf(s->voipStatus, sizeof s->voipStatus, "Hosting on %u", voipLocalPort(s->voip));
  return true;
}

b8 appVoipJoin(State* s, u16 port, const NetAddr* hostOrNull) {
  if (!openSession(s, port, false)) return false;
  if (hostOrNull) {
    appVoipFound(s, hostOrNull);
  } else {
    setStatus(s, "Searching...");
  }
  return true;
}

void appVoipFound(State* s, const NetAddr* host) {
  if (!s->voip || !host) return;
  voipSetPeer(s->voip, host);
  // An address is not a conversation yet: "Connected" waits for the host's answer.
  s->voipAwaitingHost = true;
}

void appVoipUpdate(State* s) {
  if (!s->voip || !s->voipAwaitingHost || !voipHostHeard(s->voip)) return;
  s->voipAwaitingHost = false;
  setStatus(s, "Connected");
}

void voipSessionClose(State* s) {
  if (s->voip) {
    // Once this returns the audio thread no longer calls into the session.
    if (s->audio) audioEngineSetCallbacks(s->audio, nullptr, nullptr, nullptr, nullptr);
    voipDestroy(s->voip);
    s->voip = nullptr;
    voipPanelClearMeters(s->voipPanel);
  }
  appVoipDiscoveryStop(s);
  s->voipAwaitingHost = false;
  voipPanelSetHostId(s->voipPanel, "");
  setStatus(s, "Stopped");
}

i32 voipAudioSinkCb(f32* samples, size_t frames, i32 channels, void* user) {
  State* s = static_cast<State*>(user);
  // Without a session the engine's own mix (the game's sounds) stays as it is.
  if (!s || !s->voip || frames > 0xffffffffu) return 0;
  i32 r = voipAudioSink(samples, (u32)frames, channels, s->voip);
  voipPanelFeedSpeaker(s->voipPanel, samples, (u32)frames, channels);
  return r;
}

i32 voipAudioSourceCb(f32* samples, size_t frames, i32 channels, void* user) {
  State* s = static_cast<State*>(user);
  if (!s || !s->voip || frames > 0xffffffffu) return 0;
  voipPanelFeedMic(s->voipPanel, samples, (u32)frames, channels);
  return voipAudioSource(samples, (u32)frames, channels, s->voip);
}
