#version 460
// Static and instanced glTF primitives: textured, lit, ray-query shadows.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_buffer_reference : require
#include "lit.inc"
#include "gltf_rayq.inc"
#include "gltf_shade.inc"

layout(push_constant) uniform Push {
  mat4 mvp;
  vec3 origin;
  float scale;
  vec4 baseColorFactor;
  float alphaCutoff;
  uint textureIndex;
  LightData lightData;
} pc;

void main() { outColor = gltfShade(pc.lightData, pc.baseColorFactor, pc.alphaCutoff, pc.textureIndex); }
