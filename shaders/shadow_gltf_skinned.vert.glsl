#version 460
// Skinned glTF primitives into a shadow map.
#extension GL_GOOGLE_include_directive : require
#include "gltf_common.inc"

layout(location = 0) in vec3 inPos;
layout(location = 3) in uvec4 inJoints;
layout(location = 4) in vec4 inWeights;

layout(push_constant) uniform Push {
  mat4 vp;
  vec3 origin;
  float scale;
  Matrices bones;
} pc;

void main() {
  float sum = inWeights.x + inWeights.y + inWeights.z + inWeights.w;
  vec4 w = sum > 0.0 ? inWeights / sum : vec4(1.0, 0.0, 0.0, 0.0);
  mat4 skin = w.x * pc.bones.items[inJoints.x] + w.y * pc.bones.items[inJoints.y] +
              w.z * pc.bones.items[inJoints.z] + w.w * pc.bones.items[inJoints.w];
  gl_Position = pc.vp * (skin * vec4(pc.origin + pc.scale * inPos, 1.0));
}
