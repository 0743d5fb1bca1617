// The multicast DNS reader on arbitrary datagrams: names it reports are dotted
// text within 255 bytes, record data lies inside the message.
#include <cstdlib>
#include <cstring>

#include "components/mdns.h"

namespace {

struct Span {
  const uint8_t* data;
  size_t size;
};

void checkName(const char* name) {
  size_t n = strlen(name);
  if (n == 0 || n > kDnsMaxName || name[n - 1] != '.') abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65535) return 0;
  Span span{data, size};
  MdnsHandlers h{[](void*, const MdnsQuestion& q) { checkName(q.name); },
                 [](void* c, const MdnsRecord& r) {
                   const Span* s = (const Span*)c;
                   checkName(r.name);
                   if (r.rdata < s->data || r.rdata + r.rdlength > s->data + s->size) abort();
                   if (r.type == kDnsTypeSrv && r.rdlength >= 8) {
                     char target[kDnsMaxName + 1];
                     if (mdnsReadName(s->data, (u32)s->size, (u32)(r.rdata + 6 - s->data), target) >= 0)
                       checkName(target);
                   }
                 },
                 &span};
  mdnsParse(data, (u32)size, h);
  return 0;
}
