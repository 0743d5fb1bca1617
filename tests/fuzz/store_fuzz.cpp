// Fuzzes opening a store file and everything done with it: a read-only open that
// restores every entry, then a writer's open that restores every entry (whole and
// into a short buffer), deletes one and compacts.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/memory.h"
#include "store/blob_store.h"
#include "store_fuzz_key.h"

namespace {

struct Paths {
  std::string store, compact, priv, pub;
};

const Paths& paths() {
  static Paths p = [] {
    Paths q;
    const char* tmp = getenv("TMPDIR");
    std::string base = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_store_" + std::to_string(getpid());
    q.store = base + ".qel";
    q.compact = q.store + ".compact";
    storeFuzzWriteKeys(base, &q.priv, &q.pub);
    return q;
  }();
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
  const Paths& p = paths();
  FILE* f = std::fopen(p.store.c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
  bool encrypted = size >= 52 && data[48] == 0x43 && data[49] == 0x52 && data[50] == 0x59 && data[51] == 0x30;
  bs_cfg cfg{};
  cfg.chunk_size = 4096;
  cfg.nz_block_size = 1;
  cfg.privkey_path = encrypted ? p.priv.c_str() : nullptr;
  bs_store* s = nullptr;
  // A reader first: it must neither crash nor write.
  cfg.read_only = 1;
  if (bs_open(&s, p.store.c_str(), &cfg) == BS_OK) {
    for (u64 i = 0, n = bs_manifest_count(s); i < n; i++) {
      u8* buf = nullptr;
      size_t len = 0;
      bs_restore_buffer(s, bs_manifest_name(s, i), &buf, &len);
      memFree(buf);
    }
    bs_close(s);
  }
  cfg.read_only = 0;
  if (bs_open(&s, p.store.c_str(), &cfg) == BS_OK) {
    u64 n = bs_manifest_count(s);
    for (u64 i = 0; i < n; i++) {
      const char* name = bs_manifest_name(s, i);
      u8* buf = nullptr;
      size_t len = 0;
      if (bs_restore_buffer(s, name, &buf, &len) == BS_OK && len) {
        volatile u8 sink = buf[len - 1];
        (void)sink;
      }
      memFree(buf);
      u8 small[64];
      bs_restore_buffer_into(s, name, small, sizeof small, &len);
    }
    if (n) bs_delete(s, bs_manifest_name(s, 0));
    bs_compact(s);
    bs_close(s);
  }
  unlink(p.store.c_str());
  unlink(p.compact.c_str());
  return 0;
}
