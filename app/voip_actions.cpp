// The "VoIP" window's actions: host and join through discovery, stop, copy and
// paste of the service id, and a new choice of audio devices. The network is
// touched only here, when the user asks: advertising, the port mapping, the
// join's search and the DHT's bootstrap nodes all start with Host or Join.
#include <netdb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/state.h"
#include "components/dht.h"
#include "platform/memory.h"

namespace {

constexpr u16 kDefaultPort = 40000;
constexpr u32 kPortMapLifetime = 3600;  // seconds; discovery renews at half of it

// The DHT's well-known entry points, looked up (without blocking the frame) on
// the first Host or Join. Tests replace them (TERRAIN_DHT_BOOTSTRAP: numeric
// "a.b.c.d:port" words, or empty for none) so that no run they start ever
// reaches outside.
constexpr const char* kBootstrapNodes[][2] = {
    {"router.bittorrent.com", "6881"},
    {"dht.transmissionbt.com", "6881"},
    {"router.utorrent.com", "6881"},
    {"dht.libtorrent.org", "25401"},
};
constexpr int kBootstrapNames = sizeof kBootstrapNodes / sizeof kBootstrapNodes[0];

// Name look-ups in flight (glibc answers them on its own threads).
struct BootstrapLookup {
  gaicb requests[kBootstrapNames];
  gaicb* list[kBootstrapNames];
  addrinfo hints;
  b8 done[kBootstrapNames];
};

void setStatus(State* s, const char* text) { std::snprintf(s->voipStatus, sizeof s->voipStatus, "%s", text); }

void addBootstrapText(NetAddr* out, int* n, int cap, const char* text) {
  char word[80];
  while (*text && *n < cap) {
    while (*text == ' ' || *text == ',' || *text == '\t') text++;
    size_t len = std::strcspn(text, " ,\t");
    if (len == 0) break;
    if (len < sizeof word) {
      std::memcpy(word, text, len);
      word[len] = 0;
      if (netAddrParse(word, &out[*n])) (*n)++;
      else std::fprintf(stderr, "voip: bad bootstrap address \"%s\"\n", word);
    }
    text += len;
  }
}

void startLookups(State* s) {
  auto* l = static_cast<BootstrapLookup*>(memCalloc(1, sizeof(BootstrapLookup)));
  if (!l) return;
  l->hints.ai_family = AF_UNSPEC;
  l->hints.ai_socktype = SOCK_DGRAM;
  l->hints.ai_flags = AI_NUMERICSERV;
  for (int i = 0; i < kBootstrapNames; i++) {
    l->requests[i].ar_name = kBootstrapNodes[i][0];
    l->requests[i].ar_service = kBootstrapNodes[i][1];
    l->requests[i].ar_request = &l->hints;
    l->list[i] = &l->requests[i];
  }
  if (getaddrinfo_a(GAI_NOWAIT, l->list, kBootstrapNames, nullptr) != 0) {
    memFree(l);
    return;
  }
  s->voipBootstrapLookup = l;
}

void ensureBootstrap(State* s) {
  if (s->voipBootstrapped || !s->discovery) return;
  s->voipBootstrapped = true;
  if (const char* env = std::getenv("TERRAIN_DHT_BOOTSTRAP")) {
    NetAddr addrs[kDiscoveryBootstrap];
    int n = 0;
    addBootstrapText(addrs, &n, kDiscoveryBootstrap, env);
    if (n > 0) discoveryAddBootstrap(s->discovery, addrs, n);
    return;
  }
  startLookups(s);
}

void hexId(const u8 id[20], char out[41]) {
  for (int i = 0; i < 20; i++) std::snprintf(out + 2 * i, 3, "%02x", id[i]);
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

b8 ready(State* s) {
  if (!s->audio) {
    setStatus(s, "No audio engine");
    return false;
  }
  if (!s->discovery) {
    setStatus(s, "No discovery");
    return false;
  }
  return true;
}

const char* panelText(State* s, const char* (*get)(const VoipPanel*)) { return s->voipPanel ? get(s->voipPanel) : ""; }

void host(State* s) {
  if (!ready(s)) return;
  u16 port = kDefaultPort;
  appParsePort(panelText(s, voipPanelGetPort), &port);
  voipSessionClose(s);
  u8 id[20];
  if (dht_random_bytes(id, sizeof id) != 0) {
    setStatus(s, "Create failed");
    return;
  }
  if (!appVoipHost(s, port)) return;
  port = voipLocalPort(s->voip);
  char hex[41];
  hexId(id, hex);
  voipPanelSetHostId(s->voipPanel, hex);
  std::memcpy(s->voipServiceId, id, sizeof id);
  ensureBootstrap(s);
  discoveryAdvertise(s->discovery, id, port);
  s->voipAdvertising = true;
  // Without a gateway this fails at once and hosting goes on for the LAN.
  if (discoveryMapPort(s->discovery, port, port, kPortMapLifetime) >= 0) s->voipMappedPort = port;
  if (s->plat) platformSetClipboard(s->plat, hex);
}

void join(State* s) {
  if (!ready(s)) return;
  u16 port = kDefaultPort + 1;
  u16 text;
  // The joiner listens one above the host's port, so both fit one machine.
  if (appParsePort(panelText(s, voipPanelGetPort), &text) && text < 65535) port = (u16)(text + 1);
  u8 id[20];
  // A bad id leaves whatever runs as it is.
  if (!appParseServiceId(panelText(s, voipPanelGetJoinId), id)) {
    setStatus(s, "Bad ID");
    return;
  }
  if (!appVoipJoin(s, port, nullptr)) return;
  std::memcpy(s->voipJoinId, id, sizeof id);
  s->voipResolving = true;
  ensureBootstrap(s);
  if (discoveryResolve(s->discovery, id, discoCallback, s) != 0) {
    s->voipResolving = false;
    setStatus(s, "Search failed");
  }
}

void paste(State* s) {
  if (!s->plat || !s->voipPanel) return;
  char text[65];  // up to 64 characters
  if (platformGetClipboard(s->plat, text, sizeof text) > 0) voipPanelSetJoinId(s->voipPanel, text);
}

// The engine on the chosen devices; the other direction stays on what the
// panel last reported (the default when nothing was chosen).
void switchDevices(State* s, const char* newSink, const char* newSource) {
  const VoipPanel* p = s->voipPanel;
  const char* sink = newSink ? newSink : (p ? p->curSinkName : nullptr);
  const char* source = newSource ? newSource : (p ? p->curSourceName : nullptr);
  voipSessionClose(s);
  appAudioShutdown(s);
  appAudioStart(s, sink, source);
}

}  // namespace

b8 appParsePort(const char* text, u16* out) {
  if (!text || !*text) return false;
  u32 v = 0;
  for (const char* c = text; *c; c++) {
    if (*c < '0' || *c > '9') return false;
    v = v * 10 + (u32)(*c - '0');
    if (v > 65535) return false;
  }
  if (v == 0) return false;  // "any port" would tell the other side nothing
  *out = (u16)v;
  return true;
}

b8 appParseServiceId(const char* text, u8 out[20]) {
  if (!text) return false;
  while (*text == ' ' || *text == '\t' || *text == '\r' || *text == '\n') text++;
  size_t len = std::strlen(text);
  while (len > 0 && (text[len - 1] == ' ' || text[len - 1] == '\t' || text[len - 1] == '\r' || text[len - 1] == '\n'))
    len--;
  if (len != 40) return false;
  u8 id[20];
  for (int i = 0; i < 20; i++) {
    int hi = hexDigit(text[2 * i]), lo = hexDigit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    id[i] = (u8)(hi << 4 | lo);
  }
  std::memcpy(out, id, 20);
  return true;
}

void discoCallback(void* closure, const u8* id, NetAddr addr) {
  State* s = static_cast<State*>(closure);
  if (!s || !id || !s->voip || voipIsHost(s->voip) || !s->voipResolving) return;
  if (std::memcmp(id, s->voipJoinId, sizeof s->voipJoinId) != 0) return;
  s->voipResolving = false;
  if (s->discovery) discoveryCancelResolve(s->discovery, s->voipJoinId);
  appVoipFound(s, &addr);
}

void appVoipBootstrapPoll(State* s) {
  auto* l = static_cast<BootstrapLookup*>(s->voipBootstrapLookup);
  if (!l) return;
  b8 pending = false;
  for (int i = 0; i < kBootstrapNames; i++) {
    if (l->done[i]) continue;
    int e = gai_error(&l->requests[i]);
    if (e == EAI_INPROGRESS) {
      pending = true;
      continue;
    }
    l->done[i] = true;
    if (e != 0) continue;
    NetAddr addrs[kDiscoveryBootstrap];
    int n = 0;
    for (addrinfo* a = l->requests[i].ar_result; a && n < kDiscoveryBootstrap; a = a->ai_next)
      if (netAddrFromSockaddr(a->ai_addr, a->ai_addrlen, &addrs[n])) n++;
    freeaddrinfo(l->requests[i].ar_result);
    l->requests[i].ar_result = nullptr;
    if (n > 0 && s->discovery) discoveryAddBootstrap(s->discovery, addrs, n);
  }
  if (pending) return;
  memFree(l);
  s->voipBootstrapLookup = nullptr;
}

void appVoipBootstrapRelease(State* s) {
  auto* l = static_cast<BootstrapLookup*>(s->voipBootstrapLookup);
  if (!l) return;
  s->voipBootstrapLookup = nullptr;
  for (int i = 0; i < kBootstrapNames; i++) {
    if (l->done[i]) continue;
    // One glibc cannot call off any more still writes into the record: leave it.
    if (gai_error(&l->requests[i]) == EAI_INPROGRESS && gai_cancel(&l->requests[i]) != EAI_CANCELED) return;
    if (gai_error(&l->requests[i]) == 0) freeaddrinfo(l->requests[i].ar_result);
  }
  memFree(l);
}

void appVoipDiscoveryStop(State* s) {
  if (s->discovery) {
    if (s->voipAdvertising) discoveryStopAdvertise(s->discovery);
    if (s->voipMappedPort) discoveryUnmapPort(s->discovery, s->voipMappedPort);
    if (s->voipResolving) discoveryCancelResolve(s->discovery, s->voipJoinId);
  }
  s->voipAdvertising = false;
  s->voipMappedPort = 0;
  s->voipResolving = false;
}

void appVoipPanelActions(State* s, u32 actions, const char* newSink, const char* newSource) {
  if (actions & kVoipPanelHost) host(s);
  if (actions & kVoipPanelStop) voipSessionClose(s);
  if (actions & kVoipPanelJoin) join(s);
  if ((actions & kVoipPanelCopy) && s->plat && s->voipPanel && s->voipPanel->hostIdText[0])
    platformSetClipboard(s->plat, s->voipPanel->hostIdText);
  if (actions & kVoipPanelPaste) paste(s);
  if (newSink || newSource) switchDevices(s, newSink, newSource);
}

void drawVoipPanel(State* s, mu_Context* ctx) {
  if (!s->voipPanel) return;
  appVoipUpdate(s);
  appVoipBootstrapPoll(s);
  voipPanelSetStatus(s->voipPanel, s->voipStatus[0] ? s->voipStatus : "Disconnected");
  char* sink = nullptr;
  char* source = nullptr;
  u32 actions = voipPanelUpdate(s->voipPanel, ctx, uiGetScale(&s->ui), s->voip, &sink, &source);
  appVoipPanelActions(s, actions, sink, source);
  memFree(sink);
  memFree(source);
}
