// qel: command-line access to ".qel" store files.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/memory.h"
#include "store/blob_store.h"
#include "store/crypto.h"
#include "terrain/world_map.h"

namespace {

const char kUsage[] =
    "usage: qel [--key <private-key>] [--to <public-key>] <command> [arguments]\n"
    "commands:\n"
    "  list <store>                    entries: size, chunks, last change (UTC), name\n"
    "  add <store> <file> [<name>]     add a file (name: the file's own name)\n"
    "  extract <store> <name> [<out>]  write an entry to a file, or to standard output\n"
    "  delete <store> <name>           delete an entry\n"
    "  verify <store>                  check every chunk record\n"
    "  compact <store>                 drop deleted entries and unused chunks\n"
    "  stats <store>                   entries, chunks and space\n"
    "  keygen <private-key> <public-key>  make an X25519 key pair (never overwrites)\n"
    "  world-new <store> <samples-x> <samples-z> [--cell m] [--tile m] [--height m]\n"
    "                                  make a flat terrain world centred on the origin\n"
    "                                  (defaults: 1 m cells, 64 m tiles, heights +-256 m)\n"
    "options:\n"
    "  --key <file>  private key to open an encrypted store\n"
    "  --to <file>   recipient public key: a store created by 'add' is encrypted to it\n";

struct Options {
  const char* key = nullptr;
  const char* to = nullptr;
  const char* hold = nullptr;  // tests: pause with the store open (see holdForTest)
};

enum class Access { Read, Write, Create };

int fail(const char* fmt, const char* a = "", const char* b = "") {
  std::fprintf(stderr, "qel: ");
  std::fprintf(stderr, fmt, a, b);
  std::fprintf(stderr, "\n");
  return 1;
}

bool isFile(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// True when the file's superblock says the store is encrypted.
bool looksEncrypted(const char* path) {
  unsigned char head[56];
  if (read_file_exact(path, head, sizeof head) != 0) return false;
  return head[48] == 0x43 && head[49] == 0x52 && head[50] == 0x59 && head[51] == 0x30;
}

// Tests of two processes on one store: with the store open, announce it by making
// "<prefix>.held" and wait (at most 30 s) until "<prefix>.go" exists.
void holdForTest(const char* prefix) {
  if (!prefix) return;
  char held[4096], go[4096];
  std::snprintf(held, sizeof held, "%s.held", prefix);
  std::snprintf(go, sizeof go, "%s.go", prefix);
  if (FILE* f = std::fopen(held, "w")) std::fclose(f);
  for (int i = 0; i < 3000 && access(go, F_OK) != 0; i++) usleep(10000);
}

// Opens with the program's configuration. Only "add" may create a store; commands
// that only read take a shared hold and never write.
bs_store* openStore(const char* path, const Options& o, Access mode) {
  if (mode != Access::Create && !isFile(path)) {
    fail(access(path, F_OK) == 0 ? "'%s' is not a regular file" : "no such store: '%s'", path);
    return nullptr;
  }
  bs_cfg cfg{};
  cfg.chunk_size = 65536;
  cfg.privkey_path = o.key;
  cfg.recipient_pub_path = o.to;
  cfg.read_only = mode == Access::Read;
  bs_store* s = nullptr;
  bs_status r = bs_open(&s, path, &cfg);
  if (r == BS_OK) {
    holdForTest(o.hold);
    return s;
  }
  if (r == BS_BUSY)
    fail("'%s' is in use by another process; try again when it has finished", path);
  else if (!o.key && isFile(path) && looksEncrypted(path))
    fail("'%s' is encrypted: pass its private key with --key", path);
  else if (o.key)
    fail("cannot open '%s': not a store, damaged, or not encrypted to this key", path);
  else
    fail("cannot open '%s': not a store, damaged, or unwritable", path);
  return nullptr;
}

int closeStore(bs_store* s, const char* path, int status) {
  // A compaction the store wants (one at open may have failed) is tried here, so
  // that a failure is seen; the command itself has still succeeded.
  if (status == 0 && bs_compaction_pending(s) && bs_compact(s) != BS_OK)
    fail("'%s' is due for compaction, which failed and left it unchanged ('qel compact' retries)", path);
  if (bs_close(s) != BS_OK && status == 0) return fail("could not write '%s' completely", path);
  return status;
}

const char* baseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

int cmdList(const char* path, const Options& o) {
  bs_store* s = openStore(path, o, Access::Read);
  if (!s) return 1;
  u64 n = bs_manifest_count(s);
  for (u64 i = 0; i < n; i++) {
    u64 size = 0, chunks = 0, mtime = 0;
    const char* name = bs_manifest_name(s, i);
    if (!name || bs_manifest_entry_info(s, i, &size, &chunks, &mtime) != BS_OK) continue;
    char when[32] = "-";
    time_t t = (time_t)mtime;
    struct tm tm;
    if (gmtime_r(&t, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    std::printf("%12llu %7llu  %s  %s\n", (unsigned long long)size, (unsigned long long)chunks, when, name);
  }
  return closeStore(s, path, 0);
}

int cmdAdd(const char* path, const char* file, const char* name, const Options& o) {
  if (!isFile(file)) return fail("cannot read '%s': not a regular file", file);
  if (!name) name = baseName(file);
  size_t len = std::strlen(name);
  if (len == 0 || len > 255) return fail("entry names are 1 to 255 bytes: '%s'", name);
  // The recipient key only shapes a new store; never let it suggest an existing
  // plain store would be encrypted.
  if (o.to && access(path, F_OK) == 0) return fail("'%s' exists: --to only applies when a store is created", path);
  // A key opens an existing encrypted store; a new store made here would not be
  // encrypted, and the key could never open it.
  if (o.key && access(path, F_OK) != 0)
    return fail("no such store: '%s' (--key opens an existing store; --to creates an encrypted one)", path);
  bs_store* s = openStore(path, o, Access::Create);
  if (!s) return 1;
  int r = 0;
  if (bs_add_file(s, file, name) != BS_OK)
    r = fail("could not add '%s' to '%s'", file, path);
  else if (bs_flush(s) != BS_OK)
    r = fail("could not write '%s'", path);
  return closeStore(s, path, r);
}

int cmdExtract(const char* path, const char* name, const char* out, const Options& o) {
  bs_store* s = openStore(path, o, Access::Read);
  if (!s) return 1;
  int r = 0;
  if (out && std::strcmp(out, "-") != 0) {
    // The entry is restored whole before the output is opened: a missing or
    // damaged entry never truncates it.
    if (bs_restore_file(s, name, out) != BS_OK)
      r = fail("cannot extract '%s' to '%s': no such entry, damaged, or unwritable output", name, out);
  } else {
    u8* buf = nullptr;
    size_t n = 0;
    if (bs_restore_buffer(s, name, &buf, &n) != BS_OK)
      r = fail("cannot extract '%s': no such entry, or it is damaged", name);
    else if ((n && std::fwrite(buf, 1, n, stdout) != n) || std::fflush(stdout) != 0)
      r = fail("could not write to standard output: %s", std::strerror(errno));
    memFree(buf);
  }
  return closeStore(s, path, r);
}

int cmdDelete(const char* path, const char* name, const Options& o) {
  bs_store* s = openStore(path, o, Access::Write);
  if (!s) return 1;
  int r = 0;
  if (bs_delete(s, name) != BS_OK)
    r = fail("no entry '%s' in '%s'", name, path);
  else if (bs_flush(s) != BS_OK)
    r = fail("could not write '%s'", path);
  return closeStore(s, path, r);
}

int cmdVerify(const char* path, const Options& o) {
  bs_store* s = openStore(path, o, Access::Read);
  if (!s) return 1;
  int r = bs_verify(s) == BS_OK ? 0 : fail("'%s' has damaged records", path);
  return closeStore(s, path, r);
}

int cmdCompact(const char* path, const Options& o) {
  bs_store* s = openStore(path, o, Access::Write);
  if (!s) return 1;
  int r = bs_compact(s) == BS_OK ? 0 : fail("could not compact '%s'; it is unchanged", path);
  return closeStore(s, path, r);
}

int cmdStats(const char* path, const Options& o) {
  bs_store* s = openStore(path, o, Access::Read);
  if (!s) return 1;
  u64 n = bs_manifest_count(s), bytes = 0, refs = 0;
  for (u64 i = 0; i < n; i++) {
    u64 size = 0, chunks = 0;
    if (bs_manifest_entry_info(s, i, &size, &chunks, nullptr) == BS_OK) {
      bytes += size;
      refs += chunks;
    }
  }
  struct stat st;
  unsigned long long fileBytes = stat(path, &st) == 0 ? (unsigned long long)st.st_size : 0;
  std::printf("entries:          %llu\n", (unsigned long long)n);
  std::printf("entry bytes:      %llu\n", (unsigned long long)bytes);
  std::printf("chunk references: %llu\n", (unsigned long long)refs);
  std::printf("chunk records:    %llu\n", (unsigned long long)bs_chunk_count(s));
  std::printf("file bytes:       %llu\n", fileBytes);
  if (fileBytes) std::printf("ratio:            %.3f\n", (double)bytes / (double)fileBytes);
  std::printf("encrypted:        %s\n", looksEncrypted(path) ? "yes" : "no");
  return closeStore(s, path, 0);
}

int cmdKeygen(const char* privPath, const char* pubPath) {
  if (std::strcmp(privPath, pubPath) == 0) return fail("the two key files must differ");
  if (access(privPath, F_OK) == 0) return fail("'%s' exists; it is never overwritten", privPath);
  if (access(pubPath, F_OK) == 0) return fail("'%s' exists; it is never overwritten", pubPath);
  u8 priv[32], pub[32];
  if (random_bytes(priv, 32) != 0 || x25519_public_key(pub, priv) != 0) {
    secure_wipe(priv, sizeof priv);
    return fail("could not make a key pair");
  }
  int r = 0;
  if (write_file_new_0600(privPath, priv, 32) != 0) {
    r = fail("could not create '%s': %s", privPath, std::strerror(errno));
  } else if (write_file_new_0600(pubPath, pub, 32) != 0) {
    r = fail("could not create '%s': %s", pubPath, std::strerror(errno));
    unlink(privPath);  // no private key without its public half
  }
  secure_wipe(priv, sizeof priv);
  return r;
}

bool parseCount(const char* s, u32* out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s, &end, 10);
  if (errno || end == s || *end || s[0] == '-' || v > 0xFFFFFFFFull) return false;
  *out = (u32)v;
  return true;
}

bool parseMetres(const char* s, f32* out) {
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(s, &end);
  if (errno || end == s || *end || !(v > 0.0) || v > 1e30) return false;
  *out = (f32)v;
  return true;
}

int cmdWorldNew(int nargs, char** a) {
  const char* path = a[0];
  u32 sx = 0, sz = 0;
  if (!parseCount(a[1], &sx) || !parseCount(a[2], &sz)) return fail("sample counts must be whole numbers"), 2;
  f32 cell = 1.0f, tile = 64.0f, height = 256.0f;
  for (int i = 3; i < nargs; i += 2) {
    f32* dst = !std::strcmp(a[i], "--cell") ? &cell : !std::strcmp(a[i], "--tile") ? &tile
             : !std::strcmp(a[i], "--height") ? &height : nullptr;
    if (!dst) return fail("unknown option '%s'", a[i]), 2;
    if (i + 1 >= nargs || !parseMetres(a[i + 1], dst)) return fail("%s needs a positive number of metres", a[i]), 2;
  }
  if (isFile(path) || access(path, F_OK) == 0) return fail("'%s' already exists", path);
  WorldMeta m = worldDefaultMeta(sx, sz, cell, tile, height);
  char err[160];
  if (!worldMetaCheck(&m, kWorldMaxTileVerts, err, sizeof err)) return fail("cannot make that world: %s", err);
  WorldMap* wm = worldCreate();
  if (!wm) return fail("out of memory");
  bool ok = worldNew(wm, path, &m);
  worldClose(wm);
  if (!ok) return fail("could not create '%s'", path);
  u32 tx, ty;
  worldMetaTileGrid(&m, &tx, &ty);
  std::printf("created world '%s': %u x %u samples, %u x %u tiles\n", path, sx, sz, tx, ty);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; i++) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) return fail("option %s needs a file", argv[i]), 2;
    if (std::strcmp(argv[i], "--key") == 0)
      o.key = argv[++i];
    else if (std::strcmp(argv[i], "--to") == 0)
      o.to = argv[++i];
    else if (std::strcmp(argv[i], "--test-hold") == 0)
      o.hold = argv[++i];
    else
      return fail("unknown option %s", argv[i]), std::fputs(kUsage, stderr), 2;
  }
  if (i >= argc) return std::fputs(kUsage, stderr), 2;
  const char* cmd = argv[i++];
  int nargs = argc - i;
  char** a = argv + i;
  struct Command { const char* name; int min, max; } commands[] = {
      {"list", 1, 1}, {"add", 2, 3},     {"extract", 2, 3}, {"delete", 2, 2},
      {"verify", 1, 1}, {"compact", 1, 1}, {"stats", 1, 1},   {"keygen", 2, 2},
      {"world-new", 3, 9},
  };
  for (const Command& c : commands) {
    if (std::strcmp(cmd, c.name) != 0) continue;
    if (nargs < c.min || nargs > c.max) return fail("wrong number of arguments for '%s'", cmd), 2;
    if (!std::strcmp(cmd, "list")) return cmdList(a[0], o);
    if (!std::strcmp(cmd, "add")) return cmdAdd(a[0], a[1], nargs > 2 ? a[2] : nullptr, o);
    if (!std::strcmp(cmd, "extract")) return cmdExtract(a[0], a[1], nargs > 2 ? a[2] : nullptr, o);
    if (!std::strcmp(cmd, "delete")) return cmdDelete(a[0], a[1], o);
    if (!std::strcmp(cmd, "verify")) return cmdVerify(a[0], o);
    if (!std::strcmp(cmd, "compact")) return cmdCompact(a[0], o);
    if (!std::strcmp(cmd, "stats")) return cmdStats(a[0], o);
    if (!std::strcmp(cmd, "world-new")) return cmdWorldNew(nargs, a);
    return cmdKeygen(a[0], a[1]);
  }
  fail("unknown command '%s'", cmd);
  std::fputs(kUsage, stderr);
  return 2;
}
