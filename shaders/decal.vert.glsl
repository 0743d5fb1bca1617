#version 450
// Decal quads: one unit quad per instance, placed by the instance's matrix; the
// UV window and the array layer select the picture.

layout(location = 0) in vec3 inPos;
layout(location = 1) in vec2 inUV;
layout(location = 2) in mat4 inModel;  // locations 2 to 5
layout(location = 6) in vec4 inColor;
layout(location = 7) in vec4 inUVRect;
layout(location = 8) in uint inTextureLayer;
layout(location = 9) in vec2 inUVMax;  // 0: the picture fills its layer

layout(push_constant) uniform Push {
  mat4 viewProj;
} pc;

layout(location = 0) out vec2 outUV;
layout(location = 1) out vec4 outColor;
layout(location = 2) flat out uint outLayer;
layout(location = 3) out vec3 outWorldPos;
layout(location = 4) out vec3 outNormal;
layout(location = 5) flat out vec2 outUVMax;

void main() {
  vec4 world = inModel * vec4(inPos, 1.0);
  gl_Position = pc.viewProj * world;
  outUV = inUVRect.xy + inUV * inUVRect.zw;
  outColor = inColor;
  outLayer = inTextureLayer;
  outUVMax = inUVMax;
  outWorldPos = world.xyz;
  outNormal = normalize(mat3(transpose(inverse(inModel))) * vec3(0.0, 0.0, 1.0));
}
