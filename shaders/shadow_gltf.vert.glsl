#version 460
// glTF primitives of posed models into a shadow map.
layout(location = 0) in vec3 inPos;

layout(push_constant) uniform Push {
  mat4 mvp;  // light view-projection times the model matrix
  vec3 origin;
  float scale;
} pc;

void main() { gl_Position = pc.mvp * vec4(pc.origin + pc.scale * inPos, 1.0); }
