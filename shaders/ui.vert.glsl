#version 450
// Interface quads in pixels to clip space.

layout(location = 0) in vec2 inPos;
layout(location = 1) in vec4 inColor;

layout(push_constant) uniform Push {
  vec2 viewport;
  vec2 pad;
} pc;

layout(location = 0) out vec4 outColor;

void main() {
  gl_Position = vec4(2.0 * inPos.x / pc.viewport.x - 1.0, 2.0 * inPos.y / pc.viewport.y - 1.0, 0.0, 1.0);
  outColor = inColor;
}
