#version 450
// Debug line segments: one instance per segment, two vertices each.

layout(location = 0) in vec3 inStart;
layout(location = 1) in vec3 inEnd;
layout(location = 2) in uint inColor;

layout(push_constant) uniform LinesPushConstants {
  mat4 mvp;
  vec2 viewport;
  float lineWidth;
  float padding;
  vec3 cameraPos;
  float padding2;
} pc;

layout(location = 0) out vec4 outColor;

void main() {
  vec3 p = gl_VertexIndex == 0 ? inStart : inEnd;
  gl_Position = pc.mvp * vec4(p, 1.0);
  // Red in the lowest byte.
  outColor = unpackUnorm4x8(inColor);
}
