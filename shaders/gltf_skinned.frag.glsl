#version 460
// Skinned glTF primitives: textured, lit, shadow maps.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_buffer_reference : require
#include "lit.inc"
#include "gltf_shadowmap.inc"
#include "gltf_shade.inc"

layout(push_constant) uniform Push {
  mat4 mvp;
  vec3 origin;
  float scale;
  uvec2 boneAddr;
  uvec2 pad;
  vec4 baseColorFactor;
  float alphaCutoff;
  uint textureIndex;
  LightData lightData;
} pc;

void main() { outColor = gltfShade(pc.lightData, pc.baseColorFactor, pc.alphaCutoff, pc.textureIndex); }
