#version 460
// Splat-mapped terrain, shadows from ray queries against the scene's structure.
#extension GL_GOOGLE_include_directive : require
#extension GL_EXT_ray_query : require
#include "lit.inc"

layout(set = 2, binding = 0) uniform sampler2DArrayShadow shadowMaps;
layout(set = 2, binding = 1) uniform accelerationStructureEXT lightingTlas;

float shadowVisibility(GPULight light, vec3 P, vec3 N) {
  rayQueryEXT q;
  rayQueryInitializeEXT(q, lightingTlas,
                        gl_RayFlagsOpaqueEXT | gl_RayFlagsTerminateOnFirstHitEXT | gl_RayFlagsSkipClosestHitShaderEXT,
                        0xFF, P + N * 0.02, 0.001, normalize(light.direction.xyz), 100000.0);
  while (rayQueryProceedEXT(q)) {
  }
  return rayQueryGetIntersectionTypeEXT(q, true) == gl_RayQueryCommittedIntersectionNoneEXT ? 1.0 : 0.0;
}

#include "splat_common.inc"
