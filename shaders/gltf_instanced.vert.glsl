#version 460
// Static glTF instances: one instanced draw per primitive, each instance's
// matrix read by instance index. Lighting works in world space.
#extension GL_GOOGLE_include_directive : require
#include "gltf_common.inc"

layout(location = 0) in vec3 inPos;
layout(location = 1) in vec2 inNormal;
layout(location = 2) in vec2 inUV;

layout(push_constant) uniform Push {
  mat4 vp;
  vec3 origin;
  float scale;
  vec4 baseColorFactor;
  float alphaCutoff;
  uint textureIndex;
  uvec2 lightDataAddr;
  Matrices instances;
} pc;

layout(location = 0) out vec3 outWorldPos;
layout(location = 1) out vec3 outNormal;
layout(location = 2) out vec2 outUV;

void main() {
  mat4 model = pc.instances.items[gl_InstanceIndex];
  vec4 world = model * vec4(pc.origin + pc.scale * inPos, 1.0);
  outWorldPos = world.xyz;
  outNormal = mat3(model) * gltfDecodeNormal(inNormal);
  outUV = inUV;
  gl_Position = pc.vp * world;
}
