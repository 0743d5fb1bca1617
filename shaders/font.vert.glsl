#version 450
// Glyph quads in pixels to clip space; colour unpacked from RGBA bytes (red lowest).

layout(location = 0) in vec2 inPos;
layout(location = 1) in vec2 inUv;
layout(location = 2) in uint inColor;

layout(push_constant) uniform Push {
  vec2 viewport;
  uint texIdx;
} pc;

layout(location = 0) out vec2 outUv;
layout(location = 1) out vec4 outColor;

void main() {
  gl_Position = vec4(2.0 * inPos.x / pc.viewport.x - 1.0, 2.0 * inPos.y / pc.viewport.y - 1.0, 0.0, 1.0);
  outUv = inUv;
  outColor = unpackUnorm4x8(inColor);
}
