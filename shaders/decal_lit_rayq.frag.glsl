#version 460
// Lit decals, shadows from ray queries against the scene's structure.
#extension GL_GOOGLE_include_directive : require
#include "lit.inc"
#include "gltf_rayq.inc"
#include "decal_lit.inc"
