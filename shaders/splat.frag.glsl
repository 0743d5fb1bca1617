#version 460
// Splat-mapped terrain, shadows from the shadow maps.
#extension GL_GOOGLE_include_directive : require
#include "lit.inc"

layout(set = 2, binding = 0) uniform sampler2DArrayShadow shadowMaps;

float shadowVisibility(GPULight light, vec3 P, vec3 N) {
  vec4 c = light.shadowVP * vec4(P, 1.0);
  c.xy = c.xy * 0.5 + 0.5;
  vec3 p = c.xyz / c.w;
  if (p.x < 0.0 || p.x > 1.0 || p.y < 0.0 || p.y > 1.0) return 1.0;
  float sum = 0.0;
  for (int dy = -1; dy <= 1; dy++)
    for (int dx = -1; dx <= 1; dx++)
      sum += texture(shadowMaps, vec4(p.xy + vec2(dx, dy) * (1.0 / 4096.0), float(light.shadowIndex), p.z));
  return sum / 9.0;
}

#include "splat_common.inc"
