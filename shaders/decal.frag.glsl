#version 450
// Unlit decals: the picture times the tint; nearly transparent texels leave no trace.

layout(set = 0, binding = 0) uniform sampler2DArray decalAtlas;

layout(location = 0) in vec2 inUV;
layout(location = 1) in vec4 inColor;
layout(location = 2) flat in uint inLayer;
layout(location = 0) out vec4 outColor;

void main() {
  vec4 c = texture(decalAtlas, vec3(inUV, float(inLayer))) * inColor;
  if (c.a < 0.01) discard;
  outColor = c;
}
