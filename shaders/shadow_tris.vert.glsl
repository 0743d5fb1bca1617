#version 460
// Debug shapes into a shadow map: depth only, from the light's view.
#extension GL_GOOGLE_include_directive : require
#include "tris_common.inc"

layout(location = 0) in vec3 inPos;

layout(push_constant) uniform Push {
  mat4 mvp;  // the light's view-projection
  Instances instances;
} pc;

void main() {
  TrisInstance inst = pc.instances.items[gl_InstanceIndex];
  gl_Position = pc.mvp * (inst.model * vec4(shapeLocal(inPos, inst.pad0), 1.0));
}
