#version 460
// Lit debug shapes, shadows from ray queries against the scene's structure.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_ray_query : require
#include "lit.inc"

layout(set = 1, binding = 0) uniform sampler2DArrayShadow shadowMaps;
layout(set = 1, binding = 1) uniform accelerationStructureEXT lightingTlas;

layout(push_constant) uniform Push {
  mat4 mvp;
  LightData lightData;
  uvec2 instanceAddr;  // read by the vertex stage
} pc;

layout(location = 0) in vec3 inWorldPos;
layout(location = 1) in vec3 inNormal;
layout(location = 2) in vec4 inColor;
layout(location = 0) out vec4 outColor;

float shadowVisibility(GPULight light, vec3 P, vec3 N) {
  rayQueryEXT q;
  rayQueryInitializeEXT(q, lightingTlas,
                        gl_RayFlagsOpaqueEXT | gl_RayFlagsTerminateOnFirstHitEXT | gl_RayFlagsSkipClosestHitShaderEXT,
                        0xFF, P + N * 0.02, 0.001, normalize(light.direction.xyz), 100000.0);
  while (rayQueryProceedEXT(q)) {
  }
  return rayQueryGetIntersectionTypeEXT(q, true) == gl_RayQueryCommittedIntersectionNoneEXT ? 1.0 : 0.0;
}

void main() {
  vec3 N = normalize(inNormal);
  outColor = vec4(litColor(pc.lightData, inColor.rgb, inWorldPos, N, 0.0), inColor.a);
}
