#include "platform/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

void fill(DirEntryInfo* out, const char* name, const struct stat& st) {
  out->name = name;
  out->isDir = S_ISDIR(st.st_mode);
  out->size = out->isDir ? 0 : (u64)st.st_size;
  out->modified = (i64)st.st_mtime;
}

}  // namespace

b8 platformListDirectory(const char* path, DirVisitFn visit, void* user) {
  if (!path || !path[0] || !visit) return false;
  DIR* dir = opendir(path);
  if (!dir) return false;
  const int fd = dirfd(dir);
  while (const struct dirent* e = readdir(dir)) {
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    // Relative to the open directory: no path to build, none too long.
    struct stat st;
    if (fstatat(fd, name, &st, 0) != 0) continue;
    DirEntryInfo info;
    fill(&info, name, st);
    if (!visit(user, &info)) break;
  }
  closedir(dir);
  return true;
}

b8 platformStatPath(const char* path, DirEntryInfo* out) {
  if (!path || !path[0] || !out) return false;
  struct stat st;
  if (stat(path, &st) != 0) return false;
  fill(out, nullptr, st);
  return true;
}

b8 platformCurrentDirectory(char* buf, u32 size) {
  if (!buf || size == 0) return false;
  if (!getcwd(buf, size)) {
    buf[0] = '\0';
    return false;
  }
  return true;
}
