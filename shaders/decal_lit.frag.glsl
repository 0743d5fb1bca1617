#version 460
// Lit decals, shadows from the shadow maps.
#extension GL_GOOGLE_include_directive : require
#include "lit.inc"
#include "gltf_shadowmap.inc"
#include "decal_lit.inc"
