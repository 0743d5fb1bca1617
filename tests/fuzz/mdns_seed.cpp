// Writes seeds for fuzz_mdns into argv[1]: a question, an announcement and a
// compressed answer.
#include <cstdio>
#include <string>

#include "components/mdns.h"

namespace {

void write(const char* dir, const char* name, const u8* data, u32 len) {
  std::string path = std::string(dir) + "/" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  fwrite(data, 1, len, f);
  fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  const u8 id[20] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  char name[kDnsMaxName + 1];
  mdnsInstanceName(id, name);
  u8 buf[512];
  MdnsWriter q{buf, sizeof buf, 0, false};
  mdnsWriteHeader(&q, 0, 1, 0, 0, 0);
  mdnsWriteQuestion(&q, name, kDnsTypeAny, kDnsClassIn | kDnsTopBit);
  write(argv[1], "question", buf, q.length);
  MdnsWriter a{buf, sizeof buf, 0, false};
  mdnsWriteHeader(&a, 0x8400, 0, 2, 0, 1);
  mdnsWriteSrv(&a, name, 120, 4242, name);
  mdnsWriteTxt(&a, name, kDnsClassIn | kDnsTopBit, 60, "txtvers=1");
  mdnsWriteA(&a, name, 120, 0x0100000a);
  write(argv[1], "announce", buf, a.length);
  const u8 compressed[] = {0, 0, 0x84, 0, 0, 0, 0, 2, 0, 0, 0, 0,
                           5, 'l', 'o', 'c', 'a', 'l', 0, 0, 1, 0, 1, 0, 0, 0, 0x78, 0, 4, 10, 0, 0, 1,
                           1, 'x', 0xc0, 12, 0, 33, 0, 1, 0, 0, 0, 0x78, 0, 8, 0, 0, 0, 0, 0x10, 0x92, 0xc0, 12};
  write(argv[1], "compressed", compressed, sizeof compressed);
  return 0;
}
