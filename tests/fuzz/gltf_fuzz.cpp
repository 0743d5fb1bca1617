// glTF loading on arbitrary bytes (.gltf text or .glb): whatever loads keeps
// its promises: indices below the vertex count, joints below the skin's joint
// count, weights summing to 255; poses of every skin can be evaluated.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/memory.h"
#include "renderer/gltf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MeshPool vp, ip;
  meshPoolInitRanges(&vp, 1u << 26);
  meshPoolInitRanges(&ip, 1u << 26);
  // No directory to find external files in: the bytes alone.
  GltfModel* m = gltfLoadFromMemory(data, size, "/nonexistent/", "fuzz", nullptr, &vp, &ip);
  if (m) {
    for (u32 i = 0; i < m->meshCount; i++)
      for (u32 p = 0; p < m->meshes[i].primitiveCount; p++) {
        const GltfPrimitive& pr = m->meshes[i].primitives[p];
        if (!pr.cpuVertices || !pr.cpuIndices) std::abort();
        for (u32 k = 0; k < pr.indexCount; k++) {
          u32 v = 0;
          if (pr.indexType == VK_INDEX_TYPE_UINT32) std::memcpy(&v, pr.cpuIndices + k * 4, 4);
          else {
            u16 s;
            std::memcpy(&s, pr.cpuIndices + k * 2, 2);
            v = s;
          }
          if (v >= pr.vertexCount) std::abort();
        }
        if (pr.isSkinned) {
          const GltfSkin& skin = m->skins[pr.skinIndex];
          const auto* sv = reinterpret_cast<const GltfSkinnedVertex*>(pr.cpuVertices);
          for (u32 k = 0; k < pr.vertexCount; k++) {
            if (sv[k].weights[0] + sv[k].weights[1] + sv[k].weights[2] + sv[k].weights[3] != 255) std::abort();
            for (int j = 0; j < 4; j++)
              if (sv[k].joints[j] >= skin.jointCount) std::abort();
          }
        }
      }
    for (u32 s = 0; s < m->skinCount; s++) {
      GltfPose* pose = gltfPoseCreate(m->skins[s].jointCount);
      gltfPoseReset(pose, &m->skins[s]);
      for (u32 a = 0; a < m->animationCount; a++)
        for (f32 t : {0.0f, 0.37f, 1e6f, -2.0f}) {
          gltfAnimatePose(pose, &m->skins[s], &m->animations[a], t);
          gltfComputeSkinMatrices(pose, &m->skins[s]);
        }
      gltfPoseDestroy(pose);
    }
    gltfDestroy(m);
  }
  meshPoolDestroy(&vp);
  meshPoolDestroy(&ip);
  return 0;
}
