#version 450
// One invocation per particle slot: move the living, return the dead to the free
// list, append the living to the draw list and count them in the draw command.
#include "particle_common.inc"

layout(local_size_x = 128) in;

layout(std430, set = 0, binding = 0) buffer Particles { Particle particles[]; };
layout(std430, set = 0, binding = 1) writeonly buffer FreeIndices { uint freeIndices[]; };
layout(std430, set = 0, binding = 2) buffer FreeCount { int freeCount; };
layout(std430, set = 0, binding = 3) writeonly buffer DrawIndices { uint drawIndices[]; };
layout(std430, set = 0, binding = 5) buffer IndirectCommand {
  uint vertexCount;
  uint instanceCount;
  uint firstVertex;
  uint firstInstance;
};

void main() {
  uint i = gl_GlobalInvocationID.x;
  if (i >= uint(particles.length())) return;
  vec4 posLife = particles[i].posLife;
  if (posLife.w <= 0.0) return;
  float dt = pc.cameraPosDt.w;
  vec4 velInit = particles[i].velInitLife;
  vec3 accel = particles[i].accelScale.xyz;
  posLife.xyz += velInit.xyz * dt;
  velInit.xyz += accel * dt;
  posLife.w -= dt;
  particles[i].velInitLife = velInit;
  if (posLife.w <= 0.0) {
    posLife.w = 0.0;
    particles[i].posLife = posLife;
    particles[i].color.a = 0.0;
    int slot = atomicAdd(freeCount, 1);
    freeIndices[slot] = i;
    return;
  }
  particles[i].posLife = posLife;
  float t = clamp(posLife.w / max(velInit.w, 0.0001), 0.0, 1.0);
  particles[i].color = mix(particles[i].endColor, particles[i].startColor, t);
  uint at = atomicAdd(instanceCount, 1u);
  drawIndices[at] = i;
}
