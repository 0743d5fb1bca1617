#version 460
// Static glTF instances into a shadow map.
#extension GL_GOOGLE_include_directive : require
#include "gltf_common.inc"

layout(location = 0) in vec3 inPos;

layout(push_constant) uniform Push {
  mat4 vp;
  vec3 origin;
  float scale;
  Matrices instances;
} pc;

void main() {
  gl_Position = pc.vp * (pc.instances.items[gl_InstanceIndex] * vec4(pc.origin + pc.scale * inPos, 1.0));
}
