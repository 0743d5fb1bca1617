#version 460
// Static glTF primitives of posed models: one draw, the full matrix pushed.
#extension GL_GOOGLE_include_directive : require
#include "gltf_common.inc"

layout(location = 0) in vec3 inPos;
layout(location = 1) in vec2 inNormal;
layout(location = 2) in vec2 inUV;

layout(push_constant) uniform Push {
  mat4 mvp;
  vec3 origin;
  float scale;
} pc;

layout(location = 0) out vec3 outWorldPos;
layout(location = 1) out vec3 outNormal;
layout(location = 2) out vec2 outUV;

void main() {
  vec3 p = pc.origin + pc.scale * inPos;
  outWorldPos = p;
  outNormal = gltfDecodeNormal(inNormal);
  outUV = inUV;
  gl_Position = pc.mvp * vec4(p, 1.0);
}
