#version 450
// The sprite tinted by the particle colour.
layout(set = 0, binding = 6) uniform sampler2D u_sprite;

layout(location = 0) in vec4 inColor;
layout(location = 1) in vec2 inUv;
layout(location = 0) out vec4 outColor;

void main() {
  vec4 s = texture(u_sprite, inUv);
  outColor = s * inColor;
}
