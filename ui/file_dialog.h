// The in-application "Open File" window: lists one directory, walks up and down
// the tree, takes a typed path, shows a list or a four-column grid with image
// previews (through a decal system, as screen-space quads) and hands back the
// path of a file whose name ends in one of the caller's extensions.
//
// Paths are POSIX paths with "/" as the root. Paths that do not fit the
// 1024-byte buffers are refused, never cut: a cut path would name another file.
#pragma once

#include "platform/types.h"
#include "ui/microui.h"

struct DecalSystem;

inline constexpr u32 kFileDialogPathSize = 1024;
inline constexpr u32 kFileDialogNameSize = 256;
inline constexpr i32 kFileDialogMaxEntries = 2048;
inline constexpr char kFileDialogTitle[] = "Open File";

struct FileDialog {
  b8 active;        // the window is shown
  b8 fileSelected;  // set on the frame a file is accepted
  b8 cancelled;     // set on the frame the user cancels or closes the window
  char dirPath[kFileDialogPathSize];  // the directory listed
  char selectedFile[kFileDialogNameSize];
  char resultPath[kFileDialogPathSize];  // full path of the accepted file
  // The listing: owned strings; sizes and times read once when listed.
  char** names;
  char** paths;
  b8* isDir;
  u64* sizes;
  i64* modified;
  i32 fileCount;
  i32 capacity;
  i32 selectedIndex;  // -1 for none
  const char* const* filterExts;  // null-terminated list, e.g. ".qel"; null accepts every file
  b8 gridView;
  DecalSystem* previewDecals;  // null: no previews
  char pathBuf[kFileDialogPathSize];  // the editable path box
  i32 scrollY;       // the list's scroll offset as last drawn
  b8 scrollReset;    // a new listing: scroll back to the top
  i32 winX, winY, winW, winH;  // last position and size (0: not yet placed)
  b8 raise;  // bring the window to the front on its next frame
};

// Zeroes the record; dirPath = initPath when given and non-empty, else the
// working directory, else ".".
void fileDialogInit(FileDialog* fd, const char* initPath, const char* const* filterExts);
// Shows the window: clears the result, lists dirPath, copies it into pathBuf.
void fileDialogOpen(FileDialog* fd);
// Builds the window for this frame: 1 on the frame a file is accepted, -1 when
// cancelled or closed, 0 otherwise (and 0 when not active). The preview decals
// are reset on every call, active or not, so a closed dialog leaves none behind.
i32 fileDialogUpdate(FileDialog* fd, mu_Context* mu, f32 scale, i32 viewportH);
void fileDialogDestroy(FileDialog* fd);

// Pieces exposed for tests and the application.
// Lists dirPath again (selection cleared).
void fileDialogLoadDirectory(FileDialog* fd);
// ".." drops the last component of dirPath ("/a" -> "/"); any other path
// replaces it. False (nothing changes) for a path that does not fit.
b8 fileDialogNavigateTo(FileDialog* fd, const char* path);
// `typed` (absolute, or relative to dirPath) made absolute-or-relative as dirPath
// is, with ".", empty components and ".." resolved; false when it is empty or
// the result does not fit `size` bytes.
b8 fileDialogResolvePath(const FileDialog* fd, const char* typed, char* out, u32 size);
// The typed path box was submitted: a directory is listed, a file that passes
// the filter is accepted. True when something happened.
b8 fileDialogSubmitPath(FileDialog* fd, const char* typed);
// Case-insensitive suffix match against the filter (null accepts everything).
b8 fileDialogMatchesFilter(const char* const* filterExts, const char* name);
// Names whose last extension is .png, .jpg, .jpeg, .tga, .ktx2 or .bmp.
b8 fileDialogIsPreviewImage(const char* name);
// "1023 B", "1.5 KB", "10 KB", ... into buf.
void fileDialogFormatSize(u64 bytes, char* buf, u32 size);

// A preview rectangle (y down, pixels) cut to the clip rectangle: the visible
// part and the window of the texture it shows. False when nothing is visible.
struct FileDialogPreviewQuad {
  f32 centerX, centerY;  // pixels, y upward (viewportH - y)
  f32 width, height;
  f32 uvX, uvY, uvW, uvH;
};
b8 fileDialogPreviewQuad(mu_Rect preview, mu_Rect clip, i32 viewportH, FileDialogPreviewQuad* out);
