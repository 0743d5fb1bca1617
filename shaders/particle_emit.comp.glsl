#version 450
// One invocation per particle to spawn: pop a free index, fill the particle.
#include "particle_common.inc"

layout(local_size_x = 128) in;

layout(std430, set = 0, binding = 0) buffer Particles { Particle particles[]; };
layout(std430, set = 0, binding = 1) readonly buffer FreeIndices { uint freeIndices[]; };
layout(std430, set = 0, binding = 2) buffer FreeCount { int freeCount; };
layout(std430, set = 0, binding = 4) readonly buffer Emitters { Emitter emitters[]; };

uint rngState;

float rand01() {
  rngState ^= rngState << 13;
  rngState ^= rngState >> 17;
  rngState ^= rngState << 5;
  return float(rngState) * (1.0 / 4294967296.0);
}

vec3 rand3() { return vec3(rand01(), rand01(), rand01()); }

void main() {
  uint inv = gl_GlobalInvocationID.x;
  uint emitterIndex = uint(pc.dispatch.x);
  if (inv >= uint(pc.dispatch.y)) return;
  // Pop: only pops run in this pass, so the value returned names a distinct entry
  // while it is positive; a pop that finds the list empty gives its count back.
  int c = atomicAdd(freeCount, -1);
  if (c <= 0) {
    atomicAdd(freeCount, 1);
    return;
  }
  uint idx = freeIndices[c - 1];
  Emitter e = emitters[emitterIndex];
  // Integer products wrap in 32 bits, so every emitter index gives a defined term.
  rngState = uint(pc.dispatch.z) ^ idx ^ inv ^ (idx * 747796405u) ^ (emitterIndex * 2654435840u);
  if (rngState == 0u) rngState = 0x9e3779b9u;
  float life = max(0.05, mix(e.lifeSize.x, e.lifeSize.y, rand01()));
  float size = max(0.01, mix(e.lifeSize.z, e.lifeSize.w, rand01()));
  int shape = int(round(e.spawn.z));
  vec3 offset = vec3(0.0);
  if (shape == 1 || shape == 3) {
    offset = mix(e.minOffset.xyz, e.maxOffset.xyz, rand3());
    if (shape == 3) offset.y = abs(offset.y);
  } else if (shape == 2) {
    float z = rand01() * 2.0 - 1.0;
    float a = rand01() * 6.28318530718;
    float s = sqrt(max(0.0, 1.0 - z * z));
    offset = vec3(s * cos(a), s * sin(a), z) * mix(e.minOffset.x, e.maxOffset.x, rand01());
  }
  mat3 rot = mat3(e.rotation);
  vec3 pos = e.model[3].xyz + rot * offset;
  vec3 vel = rot * mix(e.minVelocity.xyz, e.maxVelocity.xyz, rand3());
  vec3 acc = rot * mix(e.minAccel.xyz, e.maxAccel.xyz, rand3());
  vec4 col = mix(e.minColor, e.maxColor, rand01());
  Particle p;
  p.color = col;
  p.startColor = col;
  p.endColor = vec4(e.maxColor.rgb, 0.0);
  p.posLife = vec4(pos, life);
  p.velInitLife = vec4(vel, life);
  p.accelScale = vec4(acc, size);
  particles[idx] = p;
}
