// Our DHT node on arbitrary datagrams. The input is a sequence of records:
// [source selector][clock step][length, 2 bytes][bytes]. A selector with the top
// bit set turns the bytes into the body of a reply to the last query the node
// sent, from the address it went to, so matched replies (nodes, values,
// tokens, acknowledgements) are reached too. Everything the node sends must be
// one well-formed bencoded message.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "components/bencode.h"
#include "components/dht.h"
#include "components/dht_user.h"

namespace {

time_t gNow = 2000000000;
time_t fuzzClock() { return gNow; }

std::string gLastTid;
sockaddr_storage gLastTo;
int gLastToLen = 0;
BencDoc gDoc;

int checkSend(int, const void* buf, int len, const sockaddr* to, int tolen) {
  if (len <= 0 || len > 2048 || !bencParse(&gDoc, buf, (size_t)len) || gDoc.nodes[0].type != BENC_DICT) abort();
  u32 yl = 0;
  const u8* y = bencString(&gDoc, bencDictGet(&gDoc, 0, "y"), &yl);
  if (!y || yl != 1) abort();
  if (y[0] == 'q') {
    u32 tl = 0;
    const u8* t = bencString(&gDoc, bencDictGet(&gDoc, 0, "t"), &tl);
    if (!t || tl != 4) abort();  // our transaction ids are always 4 bytes
    gLastTid.assign((const char*)t, tl);
    memcpy(&gLastTo, to, (size_t)tolen);
    gLastToLen = tolen;
  }
  return len;
}

void callback(void*, int event, const unsigned char* hash, const void* data, size_t len) {
  if (!hash) abort();
  if ((event == DHT_EVENT_VALUES && len % 6) || (event == DHT_EVENT_VALUES6 && len % 18)) abort();
  volatile unsigned char sink = 0;
  for (size_t i = 0; i < len; i++) sink = sink ^ ((const unsigned char*)data)[i];
}

sockaddr_storage source(unsigned sel, int* len) {
  sockaddr_storage ss{};
  if (sel & 1) {
    sockaddr_in6* s = (sockaddr_in6*)&ss;
    s->sin6_family = AF_INET6;
    s->sin6_port = htons((uint16_t)(6881 + (sel >> 1 & 3)));
    inet_pton(AF_INET6, sel & 8 ? "2001:db8::2" : "2001:db8::3", &s->sin6_addr);
    *len = sizeof *s;
  } else {
    sockaddr_in* s = (sockaddr_in*)&ss;
    s->sin_family = AF_INET;
    s->sin_port = htons((uint16_t)(6881 + (sel >> 1 & 3)));
    s->sin_addr.s_addr = htonl(0x0a000000u | (sel >> 3 & 15));
    *len = sizeof *s;
  }
  return ss;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = [] {
    dht_set_clock(fuzzClock);
    dhtUserSetSendHook(checkSend);
    return true;
  }();
  (void)once;
  gNow = 2000000000;
  gLastTid.clear();
  const unsigned char id[20] = {0x80, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
  if (dht_init(1, 2, id, (const unsigned char*)"TR01") != 1) abort();
  // A few known nodes and a running announce, so that replies have somewhere to go.
  for (unsigned i = 0; i < 4; i++) {
    unsigned char nid[20];
    memset(nid, (int)(0x10 * (i + 1)), sizeof nid);
    int len = 0;
    sockaddr_storage ss = source(i << 3, &len);
    dht_insert_node(nid, (sockaddr*)&ss, len);
  }
  const unsigned char hash[20] = {0x42};
  dht_search(hash, 7000, AF_INET, callback, nullptr);
  size_t pos = 0;
  while (pos + 4 <= size) {
    unsigned sel = data[pos];
    gNow += data[pos + 1];
    size_t len = (size_t)data[pos + 2] << 8 | data[pos + 3];
    pos += 4;
    if (len > size - pos) len = size - pos;
    std::string msg((const char*)data + pos, len);
    pos += len;
    sockaddr_storage from;
    int fromLen = 0;
    if ((sel & 0x80) && !gLastTid.empty()) {
      msg = "d1:rd" + msg + "e1:t4:" + gLastTid + "1:y1:re";
      from = gLastTo;
      fromLen = gLastToLen;
    } else {
      from = source(sel, &fromLen);
    }
    msg.push_back('\0');
    time_t sleep = 0;
    if (dht_periodic(msg.data(), msg.size() - 1, (sockaddr*)&from, fromLen, &sleep, callback, nullptr) != 1) abort();
    if (sleep < 0 || sleep > 3600) abort();
  }
  dht_uninit();
  return 0;
}
