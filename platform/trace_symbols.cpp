// Address-to-name lookup for the profiler. The dynamic linker only knows
// exported symbols, so the executable's own symbol table is read first; that is
// what names static and anonymous-namespace functions.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/memory.h"
#include "platform/trace_profiler.h"

namespace {

struct FuncSym {
  u64 start, size;
  u32 nameOffset;
};

struct ExeSymbols {
  b8 loaded;
  FuncSym* syms;
  u32 count;
  char* names;  // a copy of the string table
};
ExeSymbols gExe;

struct CacheSlot {
  u64 address;  // 0: empty
  char* name;
};
constexpr u32 kCacheCap = 8192;  // power of two
CacheSlot* gCache;
u32 gCacheUsed;
char gScratch[64];

int firstModule(dl_phdr_info* info, size_t, void* out) {
  *(u64*)out = (u64)info->dlpi_addr;
  return 1;  // the first module is the executable
}

void loadExeSymbols() {
  gExe.loaded = true;
  const int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (fstat(fd, &st) != 0 || (u64)st.st_size < sizeof(Elf64_Ehdr)) {
    close(fd);
    return;
  }
  const u64 size = (u64)st.st_size;
  void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return;
  const u8* base = (const u8*)map;
  const Elf64_Ehdr* eh = (const Elf64_Ehdr*)base;
  u64 bias = 0;
  dl_iterate_phdr(firstModule, &bias);
  if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) == 0 && eh->e_ident[EI_CLASS] == ELFCLASS64 &&
      eh->e_shentsize == sizeof(Elf64_Shdr) && eh->e_shoff < size &&
      (u64)eh->e_shnum * sizeof(Elf64_Shdr) <= size - eh->e_shoff) {
    const Elf64_Shdr* sh = (const Elf64_Shdr*)(base + eh->e_shoff);
    for (u32 i = 0; i < eh->e_shnum; ++i) {
      if (sh[i].sh_type != SHT_SYMTAB || sh[i].sh_link >= eh->e_shnum) continue;
      const Elf64_Shdr& strs = sh[sh[i].sh_link];
      if (sh[i].sh_offset > size || sh[i].sh_size > size - sh[i].sh_offset || strs.sh_offset > size ||
          strs.sh_size > size - strs.sh_offset || strs.sh_size == 0 || strs.sh_size > 0xffffffffull)
        continue;
      const Elf64_Sym* syms = (const Elf64_Sym*)(base + sh[i].sh_offset);
      const u64 n = sh[i].sh_size / sizeof(Elf64_Sym);
      gExe.names = (char*)memAlloc(strs.sh_size + 1);
      gExe.syms = (FuncSym*)memAlloc(sizeof(FuncSym) * (n ? n : 1));
      if (!gExe.names || !gExe.syms) {
        memFree(gExe.names);
        memFree(gExe.syms);
        gExe.names = nullptr;
        gExe.syms = nullptr;
        break;
      }
      std::memcpy(gExe.names, base + strs.sh_offset, strs.sh_size);
      gExe.names[strs.sh_size] = 0;
      for (u64 k = 0; k < n; ++k) {
        if (ELF64_ST_TYPE(syms[k].st_info) != STT_FUNC || syms[k].st_value == 0 || syms[k].st_name >= strs.sh_size)
          continue;
        gExe.syms[gExe.count++] = FuncSym{syms[k].st_value + bias, syms[k].st_size, syms[k].st_name};
      }
      std::sort(gExe.syms, gExe.syms + gExe.count, [](const FuncSym& a, const FuncSym& b) { return a.start < b.start; });
      break;
    }
  }
  munmap(map, size);
}

const char* exeLookup(u64 address) {
  if (!gExe.loaded) loadExeSymbols();
  if (gExe.count == 0) return nullptr;
  const FuncSym* end = gExe.syms + gExe.count;
  const FuncSym* it = std::upper_bound((const FuncSym*)gExe.syms, end, address, [](u64 a, const FuncSym& s) { return a < s.start; });
  // Walk back over zero-sized neighbours to the symbol that covers the address.
  while (it != gExe.syms) {
    --it;
    if (address < it->start + std::max<u64>(it->size, 1)) return gExe.names + it->nameOffset;
    if (it->size != 0) break;
  }
  return nullptr;
}

char* ownedName(const char* mangled) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);  // system heap
  const char* text = (status == 0 && demangled) ? demangled : mangled;
  const size_t len = std::strlen(text);
  char* out = (char*)memAlloc(len + 1);
  if (out) std::memcpy(out, text, len + 1);
  std::free(demangled);
  return out;
}

}  // namespace

const char* traceSymbolName(u64 address) {
  if (!gCache) gCache = (CacheSlot*)memCalloc(kCacheCap, sizeof(CacheSlot));
  const u64 key = address ? address : 1;
  u32 slot = (u32)((key * 0x9e3779b97f4a7c15ull) >> 51) & (kCacheCap - 1);
  if (gCache) {
    for (u32 probe = 0; probe < kCacheCap; ++probe, slot = (slot + 1) & (kCacheCap - 1)) {
      if (gCache[slot].address == key) return gCache[slot].name;
      if (gCache[slot].address == 0) break;
    }
  }
  const char* raw = exeLookup(address);
  Dl_info info{};
  if (!raw && dladdr((void*)address, &info) && info.dli_sname) raw = info.dli_sname;
  char* name = raw ? ownedName(raw) : nullptr;
  if (!name) {
    std::snprintf(gScratch, sizeof gScratch, "0x%llx", (unsigned long long)address);
    name = ownedName(gScratch);
    if (!name) return gScratch;
  }
  // The cache keeps at most three quarters full; past that names are not kept.
  if (gCache && gCacheUsed < kCacheCap / 4 * 3 && gCache[slot].address == 0) {
    gCache[slot] = CacheSlot{key, name};
    ++gCacheUsed;
    return name;
  }
  std::snprintf(gScratch, sizeof gScratch, "%.63s", name);
  memFree(name);
  return gScratch;
}
