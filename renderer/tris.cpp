#include "renderer/tris.h"

#include <cmath>
#include <cstring>

#include "renderer/lighting.h"
#include "renderer/pipelines.h"
#include "renderer/renderer.h"

namespace {

constexpr VkMemoryPropertyFlags kHostMemory =
    VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
constexpr VkDeviceSize kInitialInstanceBytes = 4096;
constexpr u32 kSphereVerts = 192, kBoxVerts = 36, kCapsuleVerts = 180, kQuadVerts = 6;
constexpr f64 kCapsuleRatioSteps = 64.0;  // acceleration structures per unit of length ratio

struct MeshBuilder {
  TrisVertex* v;
  u32 n;
};

void put(MeshBuilder* m, v3 p, v3 n) {
  TrisVertex& out = m->v[m->n++];
  out.pos[0] = (f32)p.x, out.pos[1] = (f32)p.y, out.pos[2] = (f32)p.z;
  out.normal[0] = (f32)n.x, out.normal[1] = (f32)n.y, out.normal[2] = (f32)n.z;
  out.color = 0;
}

// One triangle wound counter-clockwise seen from outside (`outward` says which side
// that is); degenerate ones at the poles are kept as they come.
void tri(MeshBuilder* m, v3 a, v3 b, v3 c, v3 na, v3 nb, v3 nc, v3 outward) {
  if (v3Dot(v3Cross(b - a, c - a), outward) < 0.0) {
    std::swap(b, c);
    std::swap(nb, nc);
  }
  put(m, a, na);
  put(m, b, nb);
  put(m, c, nc);
}

void quadCell(MeshBuilder* m, v3 p00, v3 p01, v3 p11, v3 p10, v3 n00, v3 n01, v3 n11, v3 n10, v3 outward) {
  tri(m, p00, p01, p11, n00, n01, n11, outward);
  tri(m, p00, p11, p10, n00, n11, n10, outward);
}

v3 spherePoint(f64 lat, f64 lon) { return V3(std::cos(lat) * std::cos(lon), std::sin(lat), std::cos(lat) * std::sin(lon)); }

void buildSphere(MeshBuilder* m) {
  for (u32 band = 0; band < 4; band++) {
    f64 a0 = -kPi / 2 + band * kPi / 4, a1 = a0 + kPi / 4;
    for (u32 seg = 0; seg < 8; seg++) {
      f64 b0 = seg * kPi / 4, b1 = b0 + kPi / 4;
      v3 p00 = spherePoint(a0, b0), p01 = spherePoint(a0, b1), p11 = spherePoint(a1, b1), p10 = spherePoint(a1, b0);
      v3 mid = v3Normalize(spherePoint((a0 + a1) / 2, (b0 + b1) / 2));
      quadCell(m, p00, p01, p11, p10, p00, p01, p11, p10, mid);
    }
  }
}

void buildBox(MeshBuilder* m) {
  for (int axis = 0; axis < 3; axis++)
    for (int sign = -1; sign <= 1; sign += 2) {
      v3 n = V3(0, 0, 0);
      v3Set(n, axis, sign);
      v3 u = V3(0, 0, 0), w = V3(0, 0, 0);
      v3Set(u, (axis + 1) % 3, 1);
      v3Set(w, (axis + 2) % 3, 1);
      quadCell(m, n - u - w, n + u - w, n + u + w, n - u + w, n, n, n, n, n);
    }
}

// Cylinder wall of radius 1 from y = -1 to 1 and two hemispheres of radius 1 at y = +-1.
void buildCapsule(MeshBuilder* m) {
  for (u32 seg = 0; seg < 6; seg++) {
    f64 b0 = seg * kPi / 3, b1 = b0 + kPi / 3;
    v3 r0 = V3(std::cos(b0), 0, std::sin(b0)), r1 = V3(std::cos(b1), 0, std::sin(b1));
    v3 up = V3(0, 1, 0);
    quadCell(m, r0 - up, r1 - up, r1 + up, r0 + up, r0, r1, r1, r0, v3Normalize(r0 + r1));
  }
  for (int cap = -1; cap <= 1; cap += 2) {
    v3 centre = V3(0, cap, 0);
    for (u32 band = 0; band < 2; band++) {
      f64 a0 = band * kPi / 4 * cap, a1 = a0 + kPi / 4 * cap;
      for (u32 seg = 0; seg < 6; seg++) {
        f64 b0 = seg * kPi / 3, b1 = b0 + kPi / 3;
        v3 p00 = spherePoint(a0, b0), p01 = spherePoint(a0, b1), p11 = spherePoint(a1, b1), p10 = spherePoint(a1, b0);
        v3 mid = v3Normalize(spherePoint((a0 + a1) / 2, (b0 + b1) / 2));
        quadCell(m, centre + p00, centre + p01, centre + p11, centre + p10, p00, p01, p11, p10, mid);
      }
    }
  }
}

void buildQuad(MeshBuilder* m) {
  v3 n = V3(0, 1, 0);
  put(m, V3(-1, 0, -1), n);
  put(m, V3(1, 0, 1), n);
  put(m, V3(1, 0, -1), n);
  put(m, V3(-1, 0, -1), n);
  put(m, V3(-1, 0, 1), n);
  put(m, V3(1, 0, 1), n);
}

VkBufferUsageFlags vertexUsage(const Renderer* r) {
  VkBufferUsageFlags u = VK_BUFFER_USAGE_VERTEX_BUFFER_BIT;
  // Ray-query shadows build their structures straight from these buffers.
  if (r->rayQuerySupported)
    u |= VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT | VK_BUFFER_USAGE_ACCELERATION_STRUCTURE_BUILD_INPUT_READ_ONLY_BIT_KHR;
  return u;
}

// Builds one unit mesh straight into its exactly sized vertex buffer.
u32 uploadUnitShape(Tris* t, DynBuffer* buf, u32 count, void (*build)(MeshBuilder*)) {
  dynBufferInit(buf, t->device, t->renderer->physicalDevice, count * sizeof(TrisVertex), vertexUsage(t->renderer),
                kHostMemory);
  auto* v = static_cast<TrisVertex*>(dynBufferAlloc(buf, count * sizeof(TrisVertex)));
  if (!v) return 0;
  MeshBuilder m{v, 0};
  build(&m);
  return m.n;
}

FrameDynBuffer* instBuf(Tris* t, u32 kind) {
  FrameDynBuffer* b[kTrisShapeKinds] = {&t->sphereInstBuf, &t->boxInstBuf, &t->capsuleInstBuf, &t->quadInstBuf};
  return b[kind];
}

u32* instCount(Tris* t, u32 kind) {
  u32* c[kTrisShapeKinds] = {&t->sphereInstCount, &t->boxInstCount, &t->capsuleInstCount, &t->quadInstCount};
  return c[kind];
}

void shapeMesh(Tris* t, u32 kind, VkBuffer* buffer, u32* count) {
  const DynBuffer* m[kTrisShapeKinds] = {&t->unitSphereVerts, &t->unitBoxVerts, &t->unitCapsuleVerts,
                                         &t->unitQuadVerts};
  const u32 c[kTrisShapeKinds] = {t->sphereVtxCount, t->boxVtxCount, t->capsuleVtxCount, t->quadVtxCount};
  *buffer = m[kind]->buffer;
  *count = c[kind];
}

VkDeviceAddress bufferAddress(VkDevice device, VkBuffer buffer) {
  if (!buffer) return 0;
  VkBufferDeviceAddressInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_BUFFER_DEVICE_ADDRESS_INFO;
  ai.buffer = buffer;
  return vkGetBufferDeviceAddress(device, &ai);
}

// translation(center) * rotation * scale, column-major.
void modelMatrix(f32 out[16], v3 c, v4 q, v3 s) {
  f64 x = q.x, y = q.y, z = q.z, w = q.w;
  f64 cols[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y + w * z), 2 * (x * z - w * y)},
                    {2 * (x * y - w * z), 1 - 2 * (x * x + z * z), 2 * (y * z + w * x)},
                    {2 * (x * z + w * y), 2 * (y * z - w * x), 1 - 2 * (x * x + y * y)}};
  f64 scale[3] = {s.x, s.y, s.z};
  for (int i = 0; i < 3; i++) {
    for (int j = 0; j < 3; j++) out[i * 4 + j] = (f32)(cols[i][j] * scale[i]);
    out[i * 4 + 3] = 0.0f;
  }
  out[12] = (f32)c.x, out[13] = (f32)c.y, out[14] = (f32)c.z, out[15] = 1.0f;
}

TrisInstance* addInstance(Tris* t, u32 kind, u32 color) {
  auto* inst = static_cast<TrisInstance*>(dynBufferAlloc(frameDynBufferCurrent(instBuf(t, kind)), sizeof(TrisInstance)));
  if (!inst) return nullptr;  // the buffer could not grow: the shape is dropped
  inst->color = color;
  inst->_pad0 = inst->_pad1 = inst->_pad2 = 0;
  (*instCount(t, kind))++;
  return inst;
}

f32 capsuleShift(const TrisInstance& inst) {
  f32 k;
  std::memcpy(&k, &inst._pad0, sizeof k);
  return k;
}

i32 capsuleBlas(Tris* t, Lighting* l, f32 shift) {
  i32 key = (i32)std::lround(shift * kCapsuleRatioSteps);
  i32 nearest = -1, nearestGap = 0x7fffffff;
  for (u32 i = 0; i < kTrisCapsuleBlasCache; i++) {
    const TrisCapsuleBlas& c = t->capsuleBlas[i];
    if (c.key < 0 || c.blasId < 0) continue;
    if (c.key == key) return c.blasId;
    i32 gap = std::abs(c.key - key);
    if (gap < nearestGap) nearestGap = gap, nearest = c.blasId;
  }
  // A full cache lends the closest ratio: structures in use are never replaced.
  if (t->capsuleBlasNext >= kTrisCapsuleBlasCache) return nearest;
  TrisCapsuleBlas& c = t->capsuleBlas[t->capsuleBlasNext];
  u32 n = uploadUnitShape(t, &c.verts, kCapsuleVerts, buildCapsule);
  if (n != kCapsuleVerts) return nearest;
  auto* v = static_cast<TrisVertex*>(c.verts.mapped);
  f32 k = (f32)(key / kCapsuleRatioSteps);
  for (u32 i = 0; i < n; i++) v[i].pos[1] += v[i].pos[1] > 0.0f ? k : (v[i].pos[1] < 0.0f ? -k : 0.0f);
  c.blasId = lightingRegisterBlas(l, bufferAddress(t->device, c.verts.buffer), VK_FORMAT_R32G32B32_SFLOAT,
                                  sizeof(TrisVertex), n);
  if (c.blasId < 0) {
    dynBufferDestroy(&c.verts);
    return nearest;
  }
  c.key = key;
  t->capsuleBlasNext++;
  return c.blasId;
}

i32 unitBlas(Tris* t, Lighting* l, i32* id, const DynBuffer* verts, u32 count) {
  if (*id == -1 && count > 0) {
    *id = lightingRegisterBlas(l, bufferAddress(t->device, verts->buffer), VK_FORMAT_R32G32B32_SFLOAT,
                               sizeof(TrisVertex), count);
    if (*id < 0) *id = -2;  // failed: do not retry every frame
  }
  return *id;
}

}  // namespace

u32 trisColorRGBA(u8 r, u8 g, u8 b, u8 a) { return (u32)r | (u32)g << 8 | (u32)b << 16 | (u32)a << 24; }

void trisInit(Tris* t, Renderer* r) {
  if (!t || !r) return;
  *t = Tris{};
  t->device = r->device;
  t->renderer = r;
  t->sphereBlas = t->boxBlas = t->quadBlas = -1;
  for (TrisCapsuleBlas& c : t->capsuleBlas) c.key = c.blasId = -1;
  t->sphereVtxCount = uploadUnitShape(t, &t->unitSphereVerts, kSphereVerts, buildSphere);
  t->boxVtxCount = uploadUnitShape(t, &t->unitBoxVerts, kBoxVerts, buildBox);
  t->capsuleVtxCount = uploadUnitShape(t, &t->unitCapsuleVerts, kCapsuleVerts, buildCapsule);
  for (u32 k = 0; k < kTrisShapeKinds; k++)
    frameDynBufferInit(instBuf(t, k), r->device, r->physicalDevice, kInitialInstanceBytes,
                       VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT, kHostMemory);
}

void trisCreatePipeline(Pipelines* p, Renderer* r, VkDescriptorSetLayout emptySetLayout,
                        VkDescriptorSetLayout lightSetLayout) {
  if (!p || !r) return;
  const char* frag = "shaders/tris.frag.spv";
  u64 vertSize = 0, fragSize = 0;
  const u32* vert = rendererLoadShader("shaders/tris.vert.spv", &vertSize);
  const u32* fragCode = rendererLoadShader(rendererLitShaderPath(r, frag), &fragSize);
  if (!vert || !fragCode) return;
  VkVertexInputBindingDescription binding{0, sizeof(TrisVertex), VK_VERTEX_INPUT_RATE_VERTEX};
  VkVertexInputAttributeDescription attrs[3] = {{0, 0, VK_FORMAT_R32G32B32_SFLOAT, 0},
                                                {1, 0, VK_FORMAT_R32G32B32_SFLOAT, 12},
                                                {2, 0, VK_FORMAT_R32_UINT, 24}};
  VkPushConstantRange push{VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, 80};
  VkDescriptorSetLayout layouts[2] = {emptySetLayout, lightSetLayout};
  PipelineConfig c{};
  c.vertCode = vert;
  c.vertSize = vertSize;
  c.fragCode = fragCode;
  c.fragSize = fragSize;
  c.litFragmentShader = frag;  // a lighting-mode change picks the matching variant
  c.vertexBindings = &binding;
  c.vertexBindingCount = 1;
  c.vertexAttributes = attrs;
  c.vertexAttributeCount = 3;
  c.descriptorSetLayouts = layouts;
  c.descriptorSetLayoutCount = 2;
  c.pushConstants = &push;
  c.pushConstantCount = 1;
  c.cullMode = VK_CULL_MODE_BACK_BIT;
  c.frontFace = VK_FRONT_FACE_COUNTER_CLOCKWISE;
  c.depthTest = true;
  c.depthWrite = true;
  c.topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
  pipelinesCreate(p, kTrisPipelineSlot, &c, nullptr, 0, nullptr, 0);
}

void trisBeginFrame(Tris* t) {
  if (!t || !t->renderer) return;
  for (u32 k = 0; k < kTrisShapeKinds; k++) {
    frameDynBufferBegin(instBuf(t, k), t->renderer->currentFrame);
    *instCount(t, k) = 0;
  }
}

void trisRepeatFrame(Tris* t) {
  if (!t || !t->renderer) return;
  for (u32 k = 0; k < kTrisShapeKinds; k++) {
    FrameDynBuffer* fb = instBuf(t, k);
    u32 prevSlot = fb->current;
    DynBuffer* cur = frameDynBufferBegin(fb, t->renderer->currentFrame);
    const DynBuffer* prev = &fb->frames[prevSlot];
    u32 count = *instCount(t, k);
    // Same slot (no frame in between): the bytes are still there, only reclaimed.
    void* dst = dynBufferAlloc(cur, (VkDeviceSize)count * sizeof(TrisInstance));
    if (!dst) {
      *instCount(t, k) = 0;
      continue;
    }
    if (count && prev != cur) std::memcpy(dst, prev->mapped, (size_t)count * sizeof(TrisInstance));
  }
}

void trisAddSphere(Tris* t, v3 center, f64 radius, v4 rotation, u32 color) {
  if (!t) return;
  TrisInstance* inst = addInstance(t, 0, color);
  if (inst) modelMatrix(inst->model, center, rotation, V3(radius, radius, radius));
}

void trisAddBox(Tris* t, v3 center, v3 halfExtents, v4 rotation, u32 color) {
  if (!t) return;
  TrisInstance* inst = addInstance(t, 1, color);
  if (inst) modelMatrix(inst->model, center, rotation, halfExtents);
}

void trisAddCapsule(Tris* t, v3 center, f64 radius, f64 halfHeight, v4 rotation, u32 color) {
  if (!t) return;
  TrisInstance* inst = addInstance(t, 2, color);
  if (!inst) return;
  // Uniform scale by the radius keeps the caps round; the halves move apart by
  // halfHeight / radius - 1 (unit caps sit at +-1), giving 2 halfHeight + 2 radius.
  modelMatrix(inst->model, center, rotation, V3(radius, radius, radius));
  f32 shift = radius > 0.0 ? (f32)(halfHeight / radius - 1.0) : 0.0f;
  std::memcpy(&inst->_pad0, &shift, sizeof shift);
}

void trisAddGroundPlane(Tris* t, f64 size, f64 y, u32 color) {
  if (!t) return;
  if (t->quadVtxCount == 0) t->quadVtxCount = uploadUnitShape(t, &t->unitQuadVerts, kQuadVerts, buildQuad);
  TrisInstance* inst = addInstance(t, 3, color);
  if (!inst) return;
  std::memset(inst->model, 0, sizeof inst->model);
  inst->model[0] = (f32)size;
  inst->model[5] = 1.0f;
  inst->model[10] = (f32)size;
  inst->model[13] = (f32)y;
  inst->model[15] = 1.0f;
}

void drawShapeBDA(VkCommandBuffer cmd, VkPipelineLayout layout, VkBuffer vertexBuf, u32 vertexCount,
                  u32 instanceCount, const void* pcBase, u32 pcSize, VkShaderStageFlags stages) {
  if (instanceCount == 0 || !vertexBuf || vertexCount == 0) return;
  vkCmdPushConstants(cmd, layout, stages, 0, pcSize, pcBase);
  VkDeviceSize offset = 0;
  vkCmdBindVertexBuffers(cmd, 0, 1, &vertexBuf, &offset);
  vkCmdDraw(cmd, vertexCount, instanceCount, 0, 0);
}

namespace {

struct ShapePush {
  mat4f32 mvp;
  VkDeviceAddress lightDataAddr;
  VkDeviceAddress instanceAddr;
};
static_assert(sizeof(ShapePush) == 80);

struct ShadowPush {
  mat4f32 mvp;
  VkDeviceAddress instanceAddr;
};

b8 anyInstances(const Tris* t) {
  return t->sphereInstCount || t->boxInstCount || t->capsuleInstCount || t->quadInstCount;
}

}  // namespace

void trisDraw(Tris* t, Pipelines* p, VkCommandBuffer cmd, const mat4f32* mvp, VkDescriptorSet emptySet,
              VkDescriptorSet lightSet, VkDeviceAddress lightDataAddr) {
  if (!t || !cmd || !mvp || !anyInstances(t)) return;
  Pipeline* pl = pipelinesGet(p, kTrisPipelineSlot);
  if (!pl) return;
  vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pl->pipeline);
  VkDescriptorSet sets[2] = {emptySet, lightSet};
  vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, pl->layout, 0, 2, sets, 0, nullptr);
  ShapePush pc{*mvp, lightDataAddr, 0};
  for (u32 k = 0; k < kTrisShapeKinds; k++) {
    VkBuffer mesh;
    u32 verts;
    shapeMesh(t, k, &mesh, &verts);
    u32 count = *instCount(t, k);
    if (count == 0) continue;
    pc.instanceAddr = bufferAddress(t->device, frameDynBufferCurrent(instBuf(t, k))->buffer);
    drawShapeBDA(cmd, pl->layout, mesh, verts, count, &pc, sizeof pc,
                 VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT);
  }
}

void trisDrawShadow(Tris* t, VkCommandBuffer cmd, VkPipelineLayout shadowLayout, VkDescriptorSet set0,
                    VkDescriptorSet set1, const mat4f32* shadowVP) {
  if (!t || !cmd || !shadowLayout || !shadowVP || !anyInstances(t)) return;
  VkDescriptorSet sets[2] = {set0, set1};
  vkCmdBindDescriptorSets(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, shadowLayout, 0, 2, sets, 0, nullptr);
  ShadowPush pc{*shadowVP, 0};
  for (u32 k = 0; k < kTrisShapeKinds; k++) {
    VkBuffer mesh;
    u32 verts;
    shapeMesh(t, k, &mesh, &verts);
    u32 count = *instCount(t, k);
    if (count == 0) continue;
    pc.instanceAddr = bufferAddress(t->device, frameDynBufferCurrent(instBuf(t, k))->buffer);
    drawShapeBDA(cmd, shadowLayout, mesh, verts, count, &pc, sizeof pc, VK_SHADER_STAGE_VERTEX_BIT);
  }
}

void trisAddToTlas(Tris* t, Lighting* l) {
  if (!t || !l || !l->tlas.as) return;
  for (u32 k = 0; k < kTrisShapeKinds; k++) {
    u32 count = *instCount(t, k);
    if (count == 0) continue;
    i32 blas = -1;
    if (k == 0) blas = unitBlas(t, l, &t->sphereBlas, &t->unitSphereVerts, t->sphereVtxCount);
    if (k == 1) blas = unitBlas(t, l, &t->boxBlas, &t->unitBoxVerts, t->boxVtxCount);
    if (k == 3) blas = unitBlas(t, l, &t->quadBlas, &t->unitQuadVerts, t->quadVtxCount);
    const auto* inst = static_cast<const TrisInstance*>(frameDynBufferCurrent(instBuf(t, k))->mapped);
    for (u32 i = 0; i < count; i++) {
      const f32* m = inst[i].model;
      i32 id = k == 2 ? capsuleBlas(t, l, capsuleShift(inst[i])) : blas;
      if (id < 0) continue;
      // Row-major 3x4 from the column-major model matrix.
      f32 x[12] = {m[0], m[4], m[8], m[12], m[1], m[5], m[9], m[13], m[2], m[6], m[10], m[14]};
      lightingTlasAdd(l, id, x);
    }
  }
}

void trisDestroy(Tris* t) {
  if (!t || !t->device) return;
  dynBufferDestroy(&t->unitSphereVerts);
  dynBufferDestroy(&t->unitBoxVerts);
  dynBufferDestroy(&t->unitCapsuleVerts);
  dynBufferDestroy(&t->unitQuadVerts);
  for (TrisCapsuleBlas& c : t->capsuleBlas) dynBufferDestroy(&c.verts);
  for (u32 k = 0; k < kTrisShapeKinds; k++) frameDynBufferDestroy(instBuf(t, k));
  *t = Tris{};
}
