// F12: the presented picture saved as the next free "terrain-NNNN.png" in the
// working directory.
#include <cstdio>
#include <sys/stat.h>

#include <stb/stb_image_write.h>

#include "app/state.h"

namespace {

constexpr u32 kMaxScreenshots = 10000;

void saveScreenshot(void*, const u8* rgba, u32 width, u32 height) {
  char name[32] = "terrain-????.png";
  if (!rgba || width == 0 || height == 0) {
    std::printf("Screenshot failed: %s\n", "the image could not be read back");
    std::fflush(stdout);
    return;
  }
  b8 found = false;
  for (u32 i = 0; i < kMaxScreenshots && !found; i++) {
    std::snprintf(name, sizeof name, "terrain-%04u.png", i);
    struct stat st;
    found = stat(name, &st) != 0;
  }
  if (!found) {
    std::printf("Screenshot failed: %s\n", "no free file name");
  } else if (!stbi_write_png(name, (int)width, (int)height, 4, rgba, (int)(width * 4))) {
    std::printf("Screenshot failed: %s\n", name);
  } else {
    std::printf("Screenshot saved: %s\n", name);
  }
  std::fflush(stdout);
}

}  // namespace

void requestScreenshot(State* s) {
  if (!s || !s->screenshotRequested) return;
  s->screenshotRequested = false;
  if (!rendererRequestCapture(&s->renderer, saveScreenshot, s)) {
    std::printf("Screenshot failed: %s\n", "the window's images cannot be copied");
    std::fflush(stdout);
  }
}
