// The program's models: loading an asset onto the GPU and the default
// character's spawn action.
#include <cstdio>

#include "app/state.h"

u32 loadModelAsset(State* s, const char* path) {
  if (!s || !path || !s->modelSys) return 0xFFFFFFFFu;
  const u32 index = modelSystemLoadModel(s->modelSys, path);
  if (index == 0xFFFFFFFFu) return index;
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(&s->renderer);
  if (cmd) {
    gltfFlush(s->modelSys->models[index], cmd);
    meshPoolFlush(&s->vertexPool, cmd);
    meshPoolFlush(&s->indexPool, cmd);
    rendererEndOneTimeCommands(&s->renderer, cmd);
  }
  modelSystemRebuildDescriptors(s->modelSys);
  return index;
}

Entity spawnCesiumMan(State* s) {
  if (!s || !s->modelSys || s->cesiumManModelIndex == 0xFFFFFFFFu) return 0;
  LocalPlayer* p = statePlayer(s, s->keyboardPlayer);
  const Camera* cam = p ? &p->camera : &s->camera;
  const v3 at = cam->position + CameraGetForward(cam) * 20.0;
  return modelSystemSpawn(s->modelSys, &s->ecs, s->cesiumManModelIndex, v3f{(f32)at.x, (f32)at.y, (f32)at.z, 0},
                          v4f{0, 0, 0, 1});
}
