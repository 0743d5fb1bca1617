// The "Open File..." dialog's part of the program: its set-up, the button that
// opens it, and what a result does. A result is taken at the start of the next
// frame, never while a frame is being recorded: opening a world or a model waits
// for the GPU and rebuilds what frames draw with.
#include <cstdio>
#include <cstring>

#include "app/state.h"

namespace {

// What the "Open File..." button offers: worlds and models.
const char* const kModelExtensions[] = {".glb", ".gltf", ".qel", nullptr};

// One of the letters-plus-".qel" names at least: ".qel" alone is a model path.
b8 isWorldPath(const char* path) {
  size_t n = std::strlen(path);
  if (n < 5) return false;
  const char* ext = path + n - 4;
  return ext[0] == '.' && (ext[1] | 0x20) == 'q' && (ext[2] | 0x20) == 'e' && (ext[3] | 0x20) == 'l';
}

void openModelFile(State* s, const char* path) {
  rendererWaitIdle(&s->renderer);
  const u32 model = loadModelAsset(s, path);
  if (model == 0xFFFFFFFFu) {
    std::fprintf(stderr, "Failed to load model: %s\n", path);
    return;
  }
  const v3 at = s->camera.position + CameraGetForward(&s->camera) * 20.0;
  modelSystemSpawn(s->modelSys, &s->ecs, model, v3f{(f32)at.x, (f32)at.y, (f32)at.z, 0}, v4f{0, 0, 0, 1});
}

}  // namespace

const char* const* appModelExtensions() { return kModelExtensions; }

void appFileDialogInit(State* s) {
  fileDialogInit(&s->fileDialog, nullptr, kModelExtensions);
  // Previews only when the decal system came up (a test's State has none).
  if (s->fileDialogDecals.renderer) s->fileDialog.previewDecals = &s->fileDialogDecals;
}

void drawOpenFileButton(State* s, mu_Context* ctx) {
  if (mu_button(ctx, "Open File...")) fileDialogOpen(&s->fileDialog);
}

FileDialogPick fileDialogPick(i32 result, const char* path) {
  if (result < 0) return FileDialogPick::Cancelled;
  if (result == 0 || !path || !path[0]) return FileDialogPick::None;
  return isWorldPath(path) ? FileDialogPick::World : FileDialogPick::Model;
}

void updateFileDialog(State* s) {
  const i32 result = fileDialogUpdate(&s->fileDialog, uiGetMuContext(&s->ui), uiGetScale(&s->ui), s->windowH);
  if (result != 0) s->fileDialogResult = result;
}

void handleFileDialogResult(State* s) {
  const i32 result = s->fileDialogResult;
  s->fileDialogResult = 0;
  if (result == 0) return;
  const char* path = s->fileDialog.resultPath;
  switch (fileDialogPick(result, path)) {
    case FileDialogPick::None:
    case FileDialogPick::Cancelled:
      break;
    case FileDialogPick::World:
      loadWorld(s, path);
      break;
    case FileDialogPick::Model:
      // With a world open the model becomes a kind of its catalog, placed there.
      if (!placeWorldModel(s, path)) openModelFile(s, path);
      break;
  }
  // Whatever asked for other files, the next opening lists models again.
  s->fileDialog.filterExts = kModelExtensions;
}
