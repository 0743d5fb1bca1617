// Pose evaluation (animation sampling, world and skin matrices), vertex
// encodings, the bone pool, and the small matrix helpers they share.
#include <cmath>
#include <cstring>

#include "platform/memory.h"
#include "renderer/gltf.h"
#include "renderer/vram.h"

mat4f32 gltfMat4Identity() {
  mat4f32 m{};
  m.m[0] = m.m[5] = m.m[10] = m.m[15] = 1.0f;
  return m;
}

mat4f32 gltfMat4Mul(const mat4f32& a, const mat4f32& b) {
  mat4f32 r;
  for (int c = 0; c < 4; c++) {
    const f32 b0 = b.m[c * 4 + 0], b1 = b.m[c * 4 + 1], b2 = b.m[c * 4 + 2], b3 = b.m[c * 4 + 3];
    for (int row = 0; row < 4; row++)
      r.m[c * 4 + row] = a.m[row] * b0 + a.m[4 + row] * b1 + a.m[8 + row] * b2 + a.m[12 + row] * b3;
  }
  return r;
}

mat4f32 gltfMat4FromTrs(const f32 t[3], const f32 q[4], const f32 s[3]) {
  const f32 x = q[0], y = q[1], z = q[2], w = q[3];
  mat4f32 m{};
  m.m[0] = (1 - 2 * (y * y + z * z)) * s[0];
  m.m[1] = (2 * (x * y + z * w)) * s[0];
  m.m[2] = (2 * (x * z - y * w)) * s[0];
  m.m[4] = (2 * (x * y - z * w)) * s[1];
  m.m[5] = (1 - 2 * (x * x + z * z)) * s[1];
  m.m[6] = (2 * (y * z + x * w)) * s[1];
  m.m[8] = (2 * (x * z + y * w)) * s[2];
  m.m[9] = (2 * (y * z - x * w)) * s[2];
  m.m[10] = (1 - 2 * (x * x + y * y)) * s[2];
  m.m[12] = t[0];
  m.m[13] = t[1];
  m.m[14] = t[2];
  m.m[15] = 1.0f;
  return m;
}

namespace {

// Trace method on a rotation matrix given as three unit columns.
void quatFromColumns(const f32 c0[3], const f32 c1[3], const f32 c2[3], f32 q[4]) {
  const f32 m00 = c0[0], m10 = c0[1], m20 = c0[2];
  const f32 m01 = c1[0], m11 = c1[1], m21 = c1[2];
  const f32 m02 = c2[0], m12 = c2[1], m22 = c2[2];
  const f32 trace = m00 + m11 + m22;
  if (trace > 0.0f) {
    f32 s = std::sqrt(trace + 1.0f) * 2.0f;
    q[3] = 0.25f * s;
    q[0] = (m21 - m12) / s;
    q[1] = (m02 - m20) / s;
    q[2] = (m10 - m01) / s;
  } else if (m00 > m11 && m00 > m22) {
    f32 s = std::sqrt(1.0f + m00 - m11 - m22) * 2.0f;
    q[3] = (m21 - m12) / s;
    q[0] = 0.25f * s;
    q[1] = (m01 + m10) / s;
    q[2] = (m02 + m20) / s;
  } else if (m11 > m22) {
    f32 s = std::sqrt(1.0f + m11 - m00 - m22) * 2.0f;
    q[3] = (m02 - m20) / s;
    q[0] = (m01 + m10) / s;
    q[1] = 0.25f * s;
    q[2] = (m12 + m21) / s;
  } else {
    f32 s = std::sqrt(1.0f + m22 - m00 - m11) * 2.0f;
    q[3] = (m10 - m01) / s;
    q[0] = (m02 + m20) / s;
    q[1] = (m12 + m21) / s;
    q[2] = 0.25f * s;
  }
  f32 len = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  if (!(len >= 1e-10f)) {
    q[0] = q[1] = q[2] = 0.0f;
    q[3] = 1.0f;
    return;
  }
  for (int i = 0; i < 4; i++) q[i] /= len;
}

}  // namespace

void gltfMat4Decompose(const mat4f32& m, f32 t[3], f32 q[4], f32 s[3]) {
  f32 cols[3][3];
  for (int c = 0; c < 3; c++) {
    f32 len = std::sqrt(m.m[c * 4] * m.m[c * 4] + m.m[c * 4 + 1] * m.m[c * 4 + 1] + m.m[c * 4 + 2] * m.m[c * 4 + 2]);
    if (!(len >= 1e-8f)) len = 1.0f;
    s[c] = len;
    for (int r = 0; r < 3; r++) cols[c][r] = m.m[c * 4 + r] / len;
  }
  quatFromColumns(cols[0], cols[1], cols[2], q);
  t[0] = m.m[12];
  t[1] = m.m[13];
  t[2] = m.m[14];
}

mat4f32 gltfMat4InverseAffine(const mat4f32& m) {
  // Inverse of the upper 3x3 by cofactors, then -inv * t.
  const f32 a = m.m[0], b = m.m[4], c = m.m[8];
  const f32 d = m.m[1], e = m.m[5], f = m.m[9];
  const f32 g = m.m[2], h = m.m[6], i = m.m[10];
  const f32 A = e * i - f * h, B = -(d * i - f * g), C = d * h - e * g;
  const f32 det = a * A + b * B + c * C;
  if (!(std::fabs(det) > 1e-20f)) return gltfMat4Identity();
  const f32 inv = 1.0f / det;
  mat4f32 r{};
  r.m[0] = A * inv;
  r.m[1] = B * inv;
  r.m[2] = C * inv;
  r.m[4] = -(b * i - c * h) * inv;
  r.m[5] = (a * i - c * g) * inv;
  r.m[6] = -(a * h - b * g) * inv;
  r.m[8] = (b * f - c * e) * inv;
  r.m[9] = -(a * f - c * d) * inv;
  r.m[10] = (a * e - b * d) * inv;
  const f32 tx = m.m[12], ty = m.m[13], tz = m.m[14];
  r.m[12] = -(r.m[0] * tx + r.m[4] * ty + r.m[8] * tz);
  r.m[13] = -(r.m[1] * tx + r.m[5] * ty + r.m[9] * tz);
  r.m[14] = -(r.m[2] * tx + r.m[6] * ty + r.m[10] * tz);
  r.m[15] = 1.0f;
  return r;
}

// ---- Vertex encodings -------------------------------------------------------

namespace {
f32 sgnNonNeg(f32 a) { return a >= 0.0f ? 1.0f : -1.0f; }
}  // namespace

v2f gltfEncodeOctNormal(v3f n) {
  f32 s = std::fabs(n.x) + std::fabs(n.y) + std::fabs(n.z);
  // Also catches NaN: a normal that is not a number encodes as +Y.
  if (!(s >= 1e-6f) || !std::isfinite(s)) return v2f{0.0f, 1.0f};
  f32 u = n.x / s, v = n.y / s;
  if (!(n.z >= 0.0f)) {
    f32 ou = u, ov = v;
    u = (1.0f - std::fabs(ov)) * sgnNonNeg(ou);
    v = (1.0f - std::fabs(ou)) * sgnNonNeg(ov);
  }
  return v2f{u, v};
}

v3f gltfDecodeOctNormal(v2f oct) {
  f32 z = 1.0f - std::fabs(oct.x) - std::fabs(oct.y);
  f32 x, y;
  if (z < 0.0f) {
    x = (1.0f - std::fabs(oct.y)) * sgnNonNeg(oct.x);
    y = (1.0f - std::fabs(oct.x)) * sgnNonNeg(oct.y);
  } else {
    x = oct.x;
    y = oct.y;
  }
  f32 l = x * x + y * y + z * z;
  if (!(l > 0.0f)) return v3f{0, 0, 0, 0};
  f32 r = 1.0f / std::sqrt(l);
  r = r * -0.5f * (l * r * r - 3.0f);
  return v3f{x * r, y * r, z * r, 0};
}

i8 gltfOctByte(f32 component) {
  f32 v = component * 127.0f;
  if (!(v == v)) return 0;
  if (v > 127.0f) v = 127.0f;
  if (v < -127.0f) v = -127.0f;
  return (i8)v;  // toward zero
}

GltfMeshTransform gltfComputeTransform(v3f bmin, v3f bmax) {
  GltfMeshTransform t{};
  t.origin = v3f{(bmin.x + bmax.x) * 0.5f, (bmin.y + bmax.y) * 0.5f, (bmin.z + bmax.z) * 0.5f, 0};
  f32 hx = (bmax.x - bmin.x) * 0.5f, hy = (bmax.y - bmin.y) * 0.5f, hz = (bmax.z - bmin.z) * 0.5f;
  f32 s = std::fmax(hx, std::fmax(hy, hz));
  t.scale = (s >= 1e-6f && std::isfinite(s)) ? s : 1.0f;
  if (!std::isfinite(t.origin.x) || !std::isfinite(t.origin.y) || !std::isfinite(t.origin.z)) t.origin = v3f{};
  return t;
}

const VkVertexInputAttributeDescription* gltfGetVertexAttributes(u32* count) {
  static const VkVertexInputAttributeDescription attrs[] = {
      {0, 0, VK_FORMAT_R16G16B16_SNORM, 0},
      {1, 0, VK_FORMAT_R8G8_SNORM, 6},
      {2, 0, VK_FORMAT_R16G16_UNORM, 8},
  };
  if (count) *count = 3;
  return attrs;
}

const VkVertexInputAttributeDescription* gltfGetSkinnedVertexAttributes(u32* count) {
  static const VkVertexInputAttributeDescription attrs[] = {
      {0, 0, VK_FORMAT_R16G16B16_SNORM, 0}, {1, 0, VK_FORMAT_R8G8_SNORM, 6},   {2, 0, VK_FORMAT_R16G16_UNORM, 8},
      {3, 0, VK_FORMAT_R8G8B8A8_UINT, 12},  {4, 0, VK_FORMAT_R8G8B8A8_UNORM, 16},
  };
  if (count) *count = 5;
  return attrs;
}

VkVertexInputBindingDescription gltfGetVertexBinding() { return {0, 12, VK_VERTEX_INPUT_RATE_VERTEX}; }
VkVertexInputBindingDescription gltfGetSkinnedVertexBinding() { return {0, 20, VK_VERTEX_INPUT_RATE_VERTEX}; }

// ---- Bone pool ------------------------------------------------------------------

GltfBonePool* gltfBonePoolCreate(VkDevice device, u32 maxInstances, u32 bonesPerSkeleton) {
  if (!device || maxInstances == 0 || bonesPerSkeleton == 0) return nullptr;
  auto* pool = static_cast<GltfBonePool*>(memCalloc(1, sizeof(GltfBonePool)));
  if (!pool) return nullptr;
  pool->device = device;
  pool->maxInstances = maxInstances;
  pool->bonesPerSkeleton = bonesPerSkeleton;
  pool->size = (VkDeviceSize)maxInstances * bonesPerSkeleton * sizeof(mat4f32);
  if (!vramCreateBuffer(device, pool->size, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT,
                        VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT, &pool->ssbo,
                        &pool->memory, &pool->allocatedSize)) {
    memFree(pool);
    return nullptr;
  }
  void* mapped = nullptr;
  if (vkMapMemory(device, pool->memory, 0, pool->size, 0, &mapped) != VK_SUCCESS || !mapped) {
    vkDestroyBuffer(device, pool->ssbo, nullptr);
    vramFree(pool->memory, pool->allocatedSize, true);
    memFree(pool);
    return nullptr;
  }
  pool->cpuData = static_cast<mat4f32*>(mapped);
  VkBufferDeviceAddressInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_BUFFER_DEVICE_ADDRESS_INFO;
  ai.buffer = pool->ssbo;
  pool->ssboAddress = vkGetBufferDeviceAddress(device, &ai);
  const mat4f32 id = gltfMat4Identity();
  u64 n = (u64)maxInstances * bonesPerSkeleton;
  for (u64 i = 0; i < n; i++) pool->cpuData[i] = id;
  return pool;
}

void gltfBonePoolDestroy(GltfBonePool* pool) {
  if (!pool) return;
  if (pool->memory) vkUnmapMemory(pool->device, pool->memory);
  if (pool->ssbo) vkDestroyBuffer(pool->device, pool->ssbo, nullptr);
  if (pool->memory) vramFree(pool->memory, pool->allocatedSize, true);
  memFree(pool);
}

void gltfBonePoolDeferDestroy(GltfBonePool* pool) {
  if (!pool) return;
  // Mapped memory is unmapped by vkFreeMemory; the deferred free keeps both
  // alive until the frames that read them are done.
  vramDeferFree(pool->ssbo, pool->memory, pool->allocatedSize, true);
  memFree(pool);
}

void gltfBonePoolUpload(GltfBonePool*, VkCommandBuffer) {}

mat4f32* gltfBonePoolGetInstance(GltfBonePool* pool, u32 instance) {
  if (!pool || instance >= pool->maxInstances) return nullptr;
  return pool->cpuData + (u64)instance * pool->bonesPerSkeleton;
}

// ---- Poses ------------------------------------------------------------------------

GltfPose* gltfPoseCreate(u32 jointCount) {
  auto* pose = static_cast<GltfPose*>(memCalloc(1, sizeof(GltfPose)));
  if (!pose) return nullptr;
  pose->jointCount = jointCount;
  if (jointCount > 0) {
    // One block: three matrix arrays, then the sampling scratch.
    const u64 n = jointCount;
    const u64 bytes = sizeof(mat4f32) * 3 * n + sizeof(f32) * 10 * n + sizeof(u32) * 2 * n;
    auto* block = static_cast<mat4f32*>(memAlloc(bytes));
    if (!block) {
      memFree(pose);
      return nullptr;
    }
    pose->localTransforms = block;
    pose->worldTransforms = block + n;
    pose->skinMatrices = block + 2 * n;
    pose->trs = reinterpret_cast<f32*>(block + 3 * n);
    pose->stamp = reinterpret_cast<u32*>(pose->trs + 10 * n);
    pose->touched = pose->stamp + n;
    const mat4f32 id = gltfMat4Identity();
    for (u64 i = 0; i < 3 * n; i++) block[i] = id;
    for (u64 i = 0; i < n; i++) pose->stamp[i] = 0;
  }
  return pose;
}

void gltfPoseDestroy(GltfPose* pose) {
  if (!pose) return;
  memFree(pose->localTransforms);
  memFree(pose);
}

void gltfComputeSkinMatrices(GltfPose* pose, const GltfSkin* skin) {
  if (!pose || !skin || skin->jointCount == 0 || pose->jointCount == 0) return;
  const u32 n = pose->jointCount < skin->jointCount ? pose->jointCount : skin->jointCount;
  for (u32 k = 0; k < skin->jointCount; k++) {
    const u32 i = skin->order ? skin->order[k] : k;
    if (i >= n) continue;
    const i32 p = skin->joints[i].parent;
    pose->worldTransforms[i] = (p >= 0 && (u32)p < n)
                                   ? gltfMat4Mul(pose->worldTransforms[p], pose->localTransforms[i])
                                   : gltfMat4Mul(skin->rootTransform, pose->localTransforms[i]);
  }
  for (u32 i = 0; i < n; i++) pose->skinMatrices[i] = gltfMat4Mul(pose->worldTransforms[i], skin->joints[i].inverseBindMatrix);
}

void gltfPoseResetLocals(GltfPose* pose, const GltfSkin* skin) {
  if (!pose || !skin || pose->jointCount == 0) return;
  const u32 n = pose->jointCount < skin->jointCount ? pose->jointCount : skin->jointCount;
  for (u32 i = 0; i < n; i++) pose->localTransforms[i] = skin->joints[i].localBindTransform;
  // With every joint reset, the taken-apart bind transforms are the locals.
  pose->trsFresh = skin->bindTrs != nullptr && n == pose->jointCount;
  if (pose->trsFresh) std::memcpy(pose->trs, skin->bindTrs, sizeof(f32) * 10 * n);
}

void gltfPoseReset(GltfPose* pose, const GltfSkin* skin) {
  if (!pose || !skin || pose->jointCount == 0) return;
  gltfPoseResetLocals(pose, skin);
  gltfComputeSkinMatrices(pose, skin);
}

namespace {

void slerp(const f32* a, const f32* b0, f32 f, f32* out) {
  f32 b[4] = {b0[0], b0[1], b0[2], b0[3]};
  f32 dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
  if (dot < 0.0f) {
    for (int i = 0; i < 4; i++) b[i] = -b[i];
    dot = -dot;
  }
  if (dot <= 0.9995f) {
    f32 theta = std::acos(std::fmin(std::fmax(dot, -1.0f), 1.0f));
    f32 st = std::sin(theta);
    f32 wa = std::sin((1.0f - f) * theta) / st, wb = std::sin(f * theta) / st;
    for (int i = 0; i < 4; i++) out[i] = a[i] * wa + b[i] * wb;
  } else {
    f32 len = 0.0f;
    for (int i = 0; i < 4; i++) {
      out[i] = a[i] * (1.0f - f) + b[i] * f;
      len += out[i] * out[i];
    }
    len = std::sqrt(len);
    if (len > 0.0f)
      for (int i = 0; i < 4; i++) out[i] /= len;
  }
}

}  // namespace

void gltfAnimatePose(GltfPose* pose, const GltfSkin* skin, const GltfAnimation* anim, f32 time) {
  if (!pose || !anim || pose->jointCount == 0) return;
  (void)skin;
  f32 t = anim->duration > 0.0f ? std::fmod(time, anim->duration) : time;
  if (t < 0.0f) t += anim->duration;  // a negative time wraps into the loop too
  if (++pose->stampNow == 0) {
    // The stamp wrapped: forget every old one.
    for (u32 j = 0; j < pose->jointCount; j++) pose->stamp[j] = 0;
    pose->stampNow = 1;
  }
  u32 touchedCount = 0;
  for (u32 c = 0; c < anim->channelCount; c++) {
    const GltfAnimChannel& ch = anim->channels[c];
    if (ch.jointIndex >= pose->jointCount || ch.samplerIndex >= anim->samplerCount) continue;
    const GltfAnimSampler& s = anim->samplers[ch.samplerIndex];
    if (s.count == 0) continue;
    const u32 comps = s.components;
    if ((ch.path == GLTF_ANIM_ROTATION) != (comps == 4)) continue;
    // Key pair and factor. Outside the keys the end keys hold: the factor is
    // clamped, so a channel that ends before the others keeps its last value.
    u32 k0 = 0, k1 = 0;
    f32 f = 0.0f;
    if (t <= s.times[0]) {
      k0 = k1 = 0;
    } else if (t >= s.times[s.count - 1]) {
      k0 = k1 = s.count - 1;
    } else {
      // Binary search: the last key with times[k] <= t.
      u32 lo = 0, hi = s.count - 1;
      while (hi - lo > 1) {
        u32 mid = (lo + hi) / 2;
        if (s.times[mid] <= t) lo = mid;
        else hi = mid;
      }
      k0 = lo;
      k1 = hi;
      f32 t0 = s.times[k0], t1 = s.times[k1];
      f = t0 < t1 ? (t - t0) / (t1 - t0) : 0.0f;
      if (!(f >= 0.0f)) f = 0.0f;
      if (f > 1.0f) f = 1.0f;
      if (s.interpolation == GLTF_INTERP_STEP) f = 0.0f;
    }
    const u32 j = ch.jointIndex;
    f32* trs = pose->trs + (u64)j * 10;  // t[3], q[4], s[3]
    if (pose->stamp[j] != pose->stampNow) {
      if (!pose->trsFresh) gltfMat4Decompose(pose->localTransforms[j], trs, trs + 3, trs + 7);
      pose->stamp[j] = pose->stampNow;
      pose->touched[touchedCount++] = j;
    }
    const f32* a = s.values + (u64)k0 * comps;
    const f32* b = s.values + (u64)k1 * comps;
    if (ch.path == GLTF_ANIM_ROTATION) {
      slerp(a, b, f, trs + 3);
    } else {
      f32* dst = ch.path == GLTF_ANIM_TRANSLATION ? trs : trs + 7;
      for (int i = 0; i < 3; i++) dst[i] = a[i] * (1.0f - f) + b[i] * f;
    }
  }
  for (u32 k = 0; k < touchedCount; k++) {
    const u32 j = pose->touched[k];
    const f32* trs = pose->trs + (u64)j * 10;
    pose->localTransforms[j] = gltfMat4FromTrs(trs, trs + 3, trs + 7);
  }
}
