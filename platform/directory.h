// Directory listing and file queries for the file dialog: names, directory flags,
// sizes and modification times of POSIX paths.
#pragma once

#include "platform/types.h"

struct DirEntryInfo {
  const char* name;  // valid during the callback only
  b8 isDir;          // after following a symbolic link
  u64 size;          // bytes (0 for directories)
  i64 modified;      // seconds since the epoch
};

// Return false to end the walk early.
using DirVisitFn = b8 (*)(void* user, const DirEntryInfo* entry);

// Calls `visit` for every entry of the directory `path` in directory order,
// "." and ".." left out. Entries that cannot be queried (broken or looping
// links, entries removed meanwhile) are skipped. False when the directory
// cannot be opened.
b8 platformListDirectory(const char* path, DirVisitFn visit, void* user);

// What `path` names, links followed; false when it does not exist or cannot be
// queried (entry->name is null).
b8 platformStatPath(const char* path, DirEntryInfo* out);

// The working directory into buf; false (buf empty) when it does not fit.
b8 platformCurrentDirectory(char* buf, u32 size);
