#version 460
// Lit debug shapes: unit meshes placed by per-instance transforms.
#extension GL_GOOGLE_include_directive : require
#include "tris_common.inc"

layout(location = 0) in vec3 inPos;
layout(location = 1) in vec3 inNormal;
layout(location = 2) in uint inColor;  // unused: the instance gives the colour

layout(push_constant) uniform Push {
  mat4 mvp;
  uvec2 lightDataAddr;  // read by the fragment stage
  Instances instances;
} pc;

layout(location = 0) out vec3 outWorldPos;
layout(location = 1) out vec3 outNormal;
layout(location = 2) out vec4 outColor;

void main() {
  TrisInstance inst = pc.instances.items[gl_InstanceIndex];
  vec4 world = inst.model * vec4(shapeLocal(inPos, inst.pad0), 1.0);
  outWorldPos = world.xyz;
  outNormal = mat3(inst.model) * inNormal;
  outColor = unpackUnorm4x8(inst.color);
  gl_Position = pc.mvp * world;
}
