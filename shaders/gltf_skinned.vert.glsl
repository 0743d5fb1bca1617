#version 460
// Skinned glTF primitives: four bone matrices blended by the vertex weights;
// the bones already hold the instance's placement.
#extension GL_GOOGLE_include_directive : require
#include "gltf_common.inc"

layout(location = 0) in vec3 inPos;
layout(location = 1) in vec2 inNormal;
layout(location = 2) in vec2 inUV;
layout(location = 3) in uvec4 inJoints;
layout(location = 4) in vec4 inWeights;

layout(push_constant) uniform Push {
  mat4 mvp;
  vec3 origin;
  float scale;
  Matrices bones;
} pc;

layout(location = 0) out vec3 outWorldPos;
layout(location = 1) out vec3 outNormal;
layout(location = 2) out vec2 outUV;

void main() {
  float sum = inWeights.x + inWeights.y + inWeights.z + inWeights.w;
  vec4 w = sum > 0.0 ? inWeights / sum : vec4(1.0, 0.0, 0.0, 0.0);
  mat4 skin = w.x * pc.bones.items[inJoints.x] + w.y * pc.bones.items[inJoints.y] +
              w.z * pc.bones.items[inJoints.z] + w.w * pc.bones.items[inJoints.w];
  vec4 world = skin * vec4(pc.origin + pc.scale * inPos, 1.0);
  outWorldPos = world.xyz;
  outNormal = normalize(mat3(skin) * gltfDecodeNormal(inNormal));
  outUV = inUV;
  gl_Position = pc.mvp * world;
}
