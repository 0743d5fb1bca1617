#version 450
// Unlit decals: the picture times the tint; nearly transparent texels leave no trace.
#extension GL_GOOGLE_include_directive : require

layout(set = 0, binding = 0) uniform sampler2DArray decalAtlas;
#include "decal_common.inc"

layout(location = 0) in vec2 inUV;
layout(location = 1) in vec4 inColor;
layout(location = 2) flat in uint inLayer;
layout(location = 5) flat in vec2 inUVMax;
layout(location = 0) out vec4 outColor;

void main() {
  vec4 c = texture(decalAtlas, vec3(decalUV(inUV, inUVMax, decalAtlas), float(inLayer))) * inColor;
  if (c.a < 0.01) discard;
  outColor = c;
}
