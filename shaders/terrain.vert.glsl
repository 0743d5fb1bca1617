#version 460
// Terrain chunks: packed vertices (position quantised to the chunk's cube,
// octahedral normal, texture coordinates over the whole map).

layout(location = 0) in vec4 inPos;  // xyz in [-1, 1]; w holds the normal's bytes, unused
layout(location = 1) in vec2 inOct;
layout(location = 2) in vec2 inUV;

layout(push_constant) uniform Push {
  mat4 mvp;
  vec3 origin;
  float scale;
  vec4 baseColorFactor;
  float alphaCutoff;
  uint packedMaterialIds;
  uvec2 lightDataAddr;  // read by the fragment stage
  uint splatTexIdx;
} pc;

layout(location = 0) out vec3 outWorldPos;
layout(location = 1) out vec3 outNormal;
layout(location = 2) out vec2 outUV;

vec3 octDecode(vec2 o) {
  vec3 n = vec3(o.x, o.y, 1.0 - abs(o.x) - abs(o.y));
  if (n.z < 0.0) n.xy = (1.0 - abs(n.yx)) * vec2(n.x >= 0.0 ? 1.0 : -1.0, n.y >= 0.0 ? 1.0 : -1.0);
  float l = length(n);
  return l > 0.0 ? n / l : vec3(0.0);
}

void main() {
  vec3 world = pc.origin + inPos.xyz * pc.scale;
  outWorldPos = world;
  outNormal = octDecode(inOct);
  outUV = inUV;
  gl_Position = pc.mvp * vec4(world, 1.0);
}
