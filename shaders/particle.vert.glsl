#version 450
// A camera-facing quad of the particle's size, six vertices per live particle.
#include "particle_common.inc"

layout(std430, set = 0, binding = 0) readonly buffer ParticlesIn { Particle particles[]; };
layout(std430, set = 0, binding = 3) readonly buffer DrawIndices { uint drawIndices[]; };

layout(location = 0) out vec4 outColor;
layout(location = 1) out vec2 outUv;

const vec2 kCorners[6] = vec2[](vec2(-1, -1), vec2(1, -1), vec2(1, 1), vec2(-1, -1), vec2(1, 1), vec2(-1, 1));

void main() {
  Particle p = particles[drawIndices[gl_InstanceIndex]];
  vec2 c = kCorners[gl_VertexIndex];
  vec3 pos = p.posLife.xyz + (c.x * pc.cameraRight.xyz + c.y * pc.cameraUp.xyz) * p.accelScale.w;
  gl_Position = pc.viewProj * vec4(pos, 1.0);
  outColor = p.color;
  outUv = c * 0.5 + 0.5;
}
