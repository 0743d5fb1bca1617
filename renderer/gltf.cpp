// glTF loading: tinygltf parses (JSON, .glb chunks, buffers, data URIs); every
// accessor read, index and range check, node transform and vertex encoding is
// done here. Hostile files are expected: anything out of range drops the
// primitive, texture or sampler it belongs to, never more and never a crash.
#include <tiny_gltf.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <stb/stb_image.h>

#include "platform/memory.h"
#include "renderer/gltf.h"
#include "renderer/renderer.h"

namespace {

// No accessor may describe more elements than this, whatever the file says (an
// accessor without a buffer view reads as zeros and would otherwise allocate
// whatever count it claims).
constexpr u64 kMaxAccessorElements = 1u << 24;

char* dupString(const std::string& s) {
  if (s.empty()) return nullptr;
  auto* p = static_cast<char*>(memAlloc(s.size() + 1));
  if (!p) return nullptr;
  std::memcpy(p, s.data(), s.size());
  p[s.size()] = 0;
  return p;
}

u32 componentSize(int componentType) {
  switch (componentType) {
    case TINYGLTF_COMPONENT_TYPE_BYTE:
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE: return 1;
    case TINYGLTF_COMPONENT_TYPE_SHORT:
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: return 2;
    case TINYGLTF_COMPONENT_TYPE_INT:
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT:
    case TINYGLTF_COMPONENT_TYPE_FLOAT: return 4;
    default: return 0;
  }
}

u32 componentCount(int type) {
  switch (type) {
    case TINYGLTF_TYPE_SCALAR: return 1;
    case TINYGLTF_TYPE_VEC2: return 2;
    case TINYGLTF_TYPE_VEC3: return 3;
    case TINYGLTF_TYPE_VEC4: return 4;
    case TINYGLTF_TYPE_MAT2: return 4;
    case TINYGLTF_TYPE_MAT3: return 9;
    case TINYGLTF_TYPE_MAT4: return 16;
    default: return 0;
  }
}

// One component as a float; normalised integers map to [-1, 1] or [0, 1].
f32 readComponent(const u8* p, int componentType, b8 normalized) {
  switch (componentType) {
    case TINYGLTF_COMPONENT_TYPE_FLOAT: {
      f32 v;
      std::memcpy(&v, p, 4);
      return v;
    }
    case TINYGLTF_COMPONENT_TYPE_BYTE: {
      f32 v = (f32)(i8)p[0];
      return normalized ? std::fmax(v / 127.0f, -1.0f) : v;
    }
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE: return normalized ? p[0] / 255.0f : (f32)p[0];
    case TINYGLTF_COMPONENT_TYPE_SHORT: {
      i16 v;
      std::memcpy(&v, p, 2);
      return normalized ? std::fmax(v / 32767.0f, -1.0f) : (f32)v;
    }
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: {
      u16 v;
      std::memcpy(&v, p, 2);
      return normalized ? v / 65535.0f : (f32)v;
    }
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT: {
      u32 v;
      std::memcpy(&v, p, 4);
      return (f32)v;
    }
    case TINYGLTF_COMPONENT_TYPE_INT: {
      i32 v;
      std::memcpy(&v, p, 4);
      return (f32)v;
    }
    default: return 0.0f;
  }
}

u32 readUint(const u8* p, int componentType) {
  switch (componentType) {
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
    case TINYGLTF_COMPONENT_TYPE_BYTE: return p[0];
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT:
    case TINYGLTF_COMPONENT_TYPE_SHORT: {
      u16 v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT:
    case TINYGLTF_COMPONENT_TYPE_INT: {
      u32 v;
      std::memcpy(&v, p, 4);
      return v;
    }
    case TINYGLTF_COMPONENT_TYPE_FLOAT: {
      f32 v;
      std::memcpy(&v, p, 4);
      // Never convert a value out of u32's range (or NaN): it reads as 0.
      return (v >= 0.0f && v < 4294967040.0f) ? (u32)v : 0;
    }
    default: return 0;
  }
}

// The bytes a buffer view spans, or null when the view or its buffer is out of range.
const u8* viewBytes(const tinygltf::Model& m, int viewIndex, u64* outLength, u64* outStride) {
  if (viewIndex < 0 || (size_t)viewIndex >= m.bufferViews.size()) return nullptr;
  const tinygltf::BufferView& v = m.bufferViews[(size_t)viewIndex];
  if (v.buffer < 0 || (size_t)v.buffer >= m.buffers.size()) return nullptr;
  const std::vector<unsigned char>& data = m.buffers[(size_t)v.buffer].data;
  u64 off = v.byteOffset, len = v.byteLength;
  if (off > data.size() || len > data.size() - off) return nullptr;
  *outLength = len;
  *outStride = v.byteStride;
  return data.data() + off;
}

// A checked accessor: element i's bytes are at base + i * stride, all of them
// inside the view and the buffer. Sparse substitutions are listed separately.
struct AccessorView {
  const u8* base;  // null: zeros
  u64 stride;
  u64 count;
  u32 comps;
  u32 compSize;
  int componentType;
  b8 normalized;
  // Sparse.
  u64 sparseCount;
  const u8* sparseIndices;
  int sparseIndexType;
  const u8* sparseValues;
};

b8 checkAccessor(const tinygltf::Model& m, int index, AccessorView* out) {
  *out = AccessorView{};
  if (index < 0 || (size_t)index >= m.accessors.size()) return false;
  const tinygltf::Accessor& a = m.accessors[(size_t)index];
  out->comps = componentCount(a.type);
  out->compSize = componentSize(a.componentType);
  out->componentType = a.componentType;
  out->normalized = a.normalized;
  if (out->comps == 0 || out->compSize == 0) return false;
  if (a.count > kMaxAccessorElements) return false;
  out->count = a.count;
  const u64 elem = (u64)out->comps * out->compSize;
  if (a.bufferView >= 0) {
    u64 len = 0, stride = 0;
    const u8* bytes = viewBytes(m, a.bufferView, &len, &stride);
    if (!bytes) return false;
    if (stride == 0) stride = elem;
    if (stride < elem) return false;
    if (a.byteOffset > len) return false;
    if (out->count > 0) {
      u64 need = (u64)a.byteOffset + stride * (out->count - 1) + elem;
      if (need > len) return false;
    }
    out->base = bytes + a.byteOffset;
    out->stride = stride;
  }
  if (a.sparse.isSparse) {
    u64 n = (u64)(a.sparse.count < 0 ? 0 : a.sparse.count);
    if (a.sparse.count < 0 || n > out->count) return false;
    int it = a.sparse.indices.componentType;
    u32 isz = componentSize(it);
    if (it != TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE && it != TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT &&
        it != TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT)
      return false;
    u64 len = 0, stride = 0;
    const u8* ib = viewBytes(m, a.sparse.indices.bufferView, &len, &stride);
    if (!ib || (u64)a.sparse.indices.byteOffset > len || n * isz > len - (u64)a.sparse.indices.byteOffset)
      return false;
    const u8* vb = viewBytes(m, a.sparse.values.bufferView, &len, &stride);
    if (!vb || (u64)a.sparse.values.byteOffset > len || n * elem > len - (u64)a.sparse.values.byteOffset)
      return false;
    out->sparseCount = n;
    out->sparseIndices = ib + a.sparse.indices.byteOffset;
    out->sparseIndexType = it;
    out->sparseValues = vb + a.sparse.values.byteOffset;
    for (u64 i = 0; i < n; i++)
      if (readUint(out->sparseIndices + i * isz, it) >= out->count) return false;
  }
  return true;
}

// All elements as floats (count * comps), sparse values applied. memAlloc'd.
f32* readFloats(const AccessorView& v) {
  const u64 n = v.count * v.comps;
  auto* out = static_cast<f32*>(memAlloc(sizeof(f32) * (n ? n : 1)));
  if (!out) return nullptr;
  for (u64 i = 0; i < v.count; i++)
    for (u32 c = 0; c < v.comps; c++)
      out[i * v.comps + c] = v.base ? readComponent(v.base + i * v.stride + c * v.compSize, v.componentType, v.normalized)
                                    : 0.0f;
  const u64 elem = (u64)v.comps * v.compSize;
  const u32 isz = componentSize(v.sparseIndexType);
  for (u64 s = 0; s < v.sparseCount; s++) {
    u64 idx = readUint(v.sparseIndices + s * isz, v.sparseIndexType);
    for (u32 c = 0; c < v.comps; c++)
      out[idx * v.comps + c] = readComponent(v.sparseValues + s * elem + c * v.compSize, v.componentType, v.normalized);
  }
  return out;
}

u32* readUints(const AccessorView& v) {
  const u64 n = v.count * v.comps;
  auto* out = static_cast<u32*>(memAlloc(sizeof(u32) * (n ? n : 1)));
  if (!out) return nullptr;
  for (u64 i = 0; i < v.count; i++)
    for (u32 c = 0; c < v.comps; c++)
      out[i * v.comps + c] = v.base ? readUint(v.base + i * v.stride + c * v.compSize, v.componentType) : 0;
  const u64 elem = (u64)v.comps * v.compSize;
  const u32 isz = componentSize(v.sparseIndexType);
  for (u64 s = 0; s < v.sparseCount; s++) {
    u64 idx = readUint(v.sparseIndices + s * isz, v.sparseIndexType);
    for (u32 c = 0; c < v.comps; c++)
      out[idx * v.comps + c] = readUint(v.sparseValues + s * elem + c * v.compSize, v.componentType);
  }
  return out;
}

f32 finiteOr(f64 v, f32 fallback) {
  f32 f = (f32)v;
  return std::isfinite(f) ? f : fallback;
}

mat4f32 nodeLocal(const tinygltf::Node& n) {
  if (n.matrix.size() == 16) {
    mat4f32 m;
    for (int i = 0; i < 16; i++) m.m[i] = finiteOr(n.matrix[(size_t)i], i % 5 == 0 ? 1.0f : 0.0f);
    return m;
  }
  f32 t[3] = {0, 0, 0}, q[4] = {0, 0, 0, 1}, s[3] = {1, 1, 1};
  if (n.translation.size() == 3)
    for (int i = 0; i < 3; i++) t[i] = finiteOr(n.translation[(size_t)i], 0.0f);
  if (n.rotation.size() == 4) {
    f32 len = 0;
    for (int i = 0; i < 4; i++) {
      q[i] = finiteOr(n.rotation[(size_t)i], i == 3 ? 1.0f : 0.0f);
      len += q[i] * q[i];
    }
    len = std::sqrt(len);
    if (len > 1e-10f)
      for (int i = 0; i < 4; i++) q[i] /= len;
    else
      q[0] = q[1] = q[2] = 0, q[3] = 1;
  }
  if (n.scale.size() == 3)
    for (int i = 0; i < 3; i++) s[i] = finiteOr(n.scale[(size_t)i], 1.0f);
  return gltfMat4FromTrs(t, q, s);
}

b8 isIdentity(const mat4f32& m) {
  const mat4f32 id = gltfMat4Identity();
  for (int i = 0; i < 16; i++)
    if (std::fabs(m.m[i] - id.m[i]) > 1e-6f) return false;
  return true;
}

// Parent of every node; false when a node has two parents, a child index is out
// of range, or the hierarchy has a cycle.
b8 buildParents(const tinygltf::Model& m, std::vector<int>* parents) {
  const size_t n = m.nodes.size();
  parents->assign(n, -1);
  for (size_t i = 0; i < n; i++)
    for (int c : m.nodes[i].children) {
      if (c < 0 || (size_t)c >= n || (size_t)c == i) return false;
      if ((*parents)[(size_t)c] != -1) return false;
      (*parents)[(size_t)c] = (int)i;
    }
  // With one parent each, a cycle is a walk up that never ends.
  for (size_t i = 0; i < n; i++) {
    int p = (*parents)[i];
    size_t steps = 0;
    while (p >= 0) {
      if (++steps > n) return false;
      p = (*parents)[(size_t)p];
    }
  }
  return true;
}

mat4f32 nodeWorld(const tinygltf::Model& m, const std::vector<int>& parents, int node) {
  mat4f32 w = nodeLocal(m.nodes[(size_t)node]);
  for (int p = parents[(size_t)node]; p >= 0; p = parents[(size_t)p]) w = gltfMat4Mul(nodeLocal(m.nodes[(size_t)p]), w);
  return w;
}

// tinygltf hands us the encoded image bytes; the decode is ours.
bool keepImageBytes(tinygltf::Image* image, const int, std::string*, std::string*, int, int, const unsigned char* bytes,
                    int size, void*) {
  // For an image in a buffer view the parser hands over the view's range
  // unchecked: those bytes are found, with range checks, after the parse.
  if (image->bufferView >= 0) return true;
  image->image.assign(bytes, bytes + (size > 0 ? size : 0));
  image->width = image->height = -1;
  image->as_is = true;
  return true;
}

struct LoadContext {
  const tinygltf::Model* m;
  GltfModel* model;
  std::vector<int> parents;
  const char* name;
  const char* baseDir;
};

// ---- Textures -------------------------------------------------------------

b8 decodeTexture(const u8* bytes, u64 size, GltfTexture* out, Renderer* r) {
  if (textureIsKtx2(bytes, size)) {
    u8* data = nullptr;
    u64 dataSize = 0;
    u32 w = 0, h = 0;
    VkFormat format = VK_FORMAT_UNDEFINED;
    b8 ok = textureReadKtx2(bytes, size, &data, &dataSize, &w, &h, &format);
    if (ok && r) ok = textureCreateFromCompressed(data, dataSize, w, h, format, out, r);
    memFree(data);
    if (!ok) std::fprintf(stderr, "GLTF: invalid or unsupported KTX2 texture\n");
    return ok;
  }
  if (size > 0x7fffffff) {
    std::fprintf(stderr, "GLTF: failed to decode image\n");
    return false;
  }
  int w = 0, h = 0, ch = 0;
  stbi_uc* px = stbi_load_from_memory(bytes, (int)size, &w, &h, &ch, 4);
  if (!px) {
    std::fprintf(stderr, "GLTF: failed to decode image\n");
    return false;
  }
  b8 ok = r ? textureCreateFromRgba(px, (u32)w, (u32)h, out, r) : true;
  stbi_image_free(px);
  return ok;
}

void loadTextures(LoadContext* ctx, Renderer* r) {
  const tinygltf::Model& m = *ctx->m;
  GltfModel* model = ctx->model;
  if (m.textures.empty()) {
    model->textures = static_cast<GltfTexture*>(memCalloc(1, sizeof(GltfTexture)));
    if (model->textures) {
      model->textureCount = 1;
      if (r) textureCreateFallback(&model->textures[0], r, 8, 8);
    }
    return;
  }
  model->textures = static_cast<GltfTexture*>(memCalloc(m.textures.size(), sizeof(GltfTexture)));
  if (!model->textures) return;
  model->textureCount = (u32)m.textures.size();
  for (size_t ti = 0; ti < m.textures.size(); ti++) {
    const tinygltf::Texture& t = m.textures[ti];
    GltfTexture* out = &model->textures[ti];
    int source = t.source;
    auto ext = t.extensions.find("KHR_texture_basisu");
    if (ext != t.extensions.end() && ext->second.IsObject() && ext->second.Has("source") &&
        ext->second.Get("source").IsInt())
      source = ext->second.Get("source").GetNumberAsInt();
    b8 ok = true;
    if (source < 0 || (size_t)source >= m.images.size()) {
      if (!t.name.empty()) {
        if (r) ok = textureLoadFileAsync(t.name.c_str(), ctx->baseDir, out, r);
      } else {
        std::fprintf(stderr, "GLTF: texture %zu: no image source\n", ti);
        ok = false;
      }
    } else {
      const tinygltf::Image& img = m.images[(size_t)source];
      u64 viewLen = 0, viewStride = 0;
      const u8* viewData = img.bufferView >= 0 ? viewBytes(m, img.bufferView, &viewLen, &viewStride) : nullptr;
      if (viewData && viewLen > 0) {
        ok = decodeTexture(viewData, viewLen, out, r);
      } else if (!img.image.empty()) {
        ok = decodeTexture(img.image.data(), img.image.size(), out, r);
      } else if (!img.name.empty()) {
        if (r) ok = textureLoadFileAsync(img.name.c_str(), ctx->baseDir, out, r);
      } else {
        std::fprintf(stderr, "GLTF: failed to load image data\n");
        ok = false;
      }
    }
    if (!ok) {
      std::fprintf(stderr, "GLTF: failed to load texture %zu\n", ti);
      *out = GltfTexture{};
    }
  }
}

void loadMaterials(LoadContext* ctx) {
  const tinygltf::Model& m = *ctx->m;
  GltfModel* model = ctx->model;
  if (m.materials.empty()) return;
  model->materials = static_cast<GltfMaterial*>(memCalloc(m.materials.size(), sizeof(GltfMaterial)));
  if (!model->materials) return;
  model->materialCount = (u32)m.materials.size();
  for (size_t i = 0; i < m.materials.size(); i++) {
    const tinygltf::Material& src = m.materials[i];
    GltfMaterial& d = model->materials[i];
    d.baseColorTextureIndex = -1;
    const tinygltf::PbrMetallicRoughness& pbr = src.pbrMetallicRoughness;
    for (int c = 0; c < 4; c++)
      d.baseColorFactor[c] = pbr.baseColorFactor.size() == 4 ? finiteOr(pbr.baseColorFactor[(size_t)c], 1.0f) : 1.0f;
    d.metallicFactor = finiteOr(pbr.metallicFactor, 1.0f);
    d.roughnessFactor = finiteOr(pbr.roughnessFactor, 1.0f);
    d.alphaCutoff = src.alphaMode == "MASK" ? finiteOr(src.alphaCutoff, 0.5f) : 0.0f;
    int tex = pbr.baseColorTexture.index;
    if (tex >= 0 && (u32)tex < model->textureCount && !m.textures.empty())
      d.baseColorTextureIndex = (i32)model->textures[(size_t)tex].bindlessIndex;
  }
}

// ---- Skins ------------------------------------------------------------------

b8 loadSkins(LoadContext* ctx) {
  const tinygltf::Model& m = *ctx->m;
  GltfModel* model = ctx->model;
  if (m.skins.empty()) return true;
  model->skins = static_cast<GltfSkin*>(memCalloc(m.skins.size(), sizeof(GltfSkin)));
  if (!model->skins) return false;
  model->skinCount = (u32)m.skins.size();
  for (size_t si = 0; si < m.skins.size(); si++) {
    const tinygltf::Skin& src = m.skins[si];
    GltfSkin& skin = model->skins[si];
    skin.name = dupString(src.name);
    skin.rootTransform = gltfMat4Identity();
    const size_t n = src.joints.size();
    // A joint outside the node list, or one node listed twice, makes the skin unusable.
    for (size_t j = 0; j < n; j++) {
      int node = src.joints[j];
      if (node < 0 || (size_t)node >= m.nodes.size()) {
        std::fprintf(stderr, "GLTF: skin %zu: joint %zu is not a node\n", si, j);
        return false;
      }
      for (size_t k = 0; k < j; k++)
        if (src.joints[k] == node) {
          std::fprintf(stderr, "GLTF: skin %zu: node %d listed twice\n", si, node);
          return false;
        }
    }
    if (n == 0 || n > 0xFFFF) continue;
    skin.joints = static_cast<GltfJoint*>(memCalloc(n, sizeof(GltfJoint)));
    skin.order = static_cast<u32*>(memCalloc(n, sizeof(u32)));
    skin.bindTrs = static_cast<f32*>(memCalloc(n * 10, sizeof(f32)));
    if (!skin.joints || !skin.order || !skin.bindTrs) return false;
    skin.jointCount = (u32)n;
    f32* ibm = nullptr;
    AccessorView av;
    if (src.inverseBindMatrices >= 0) {
      if (checkAccessor(m, src.inverseBindMatrices, &av) && av.comps == 16 && av.count >= n)
        ibm = readFloats(av);
      else
        std::fprintf(stderr, "GLTF: skin %zu: inverse bind matrices out of range, using identity\n", si);
    }
    for (size_t j = 0; j < n; j++) {
      GltfJoint& jt = skin.joints[j];
      const int node = src.joints[j];
      jt.parent = -1;
      const int pn = ctx->parents[(size_t)node];
      for (size_t k = 0; k < n && pn >= 0; k++)
        if (src.joints[k] == pn) {
          jt.parent = (i32)k;
          break;
        }
      jt.localBindTransform = nodeLocal(m.nodes[(size_t)node]);
      f32* trs = skin.bindTrs + j * 10;
      gltfMat4Decompose(jt.localBindTransform, trs, trs + 3, trs + 7);
      jt.inverseBindMatrix = gltfMat4Identity();
      if (ibm)
        for (int e = 0; e < 16; e++) jt.inverseBindMatrix.m[e] = finiteOr(ibm[j * 16 + (size_t)e], e % 5 == 0 ? 1.0f : 0.0f);
      jt.name = dupString(m.nodes[(size_t)node].name);
    }
    memFree(ibm);
    // Parents first: depth of each joint in the skin's own hierarchy, then a
    // stable order by depth (indices unchanged).
    std::vector<u32> depth(n, 0);
    u32 maxDepth = 0;
    for (size_t j = 0; j < n; j++) {
      u32 d = 0;
      for (i32 p = skin.joints[j].parent; p >= 0 && d <= n; p = skin.joints[(size_t)p].parent) d++;
      depth[j] = d;
      if (d > maxDepth) maxDepth = d;
    }
    u32 w = 0;
    for (u32 d = 0; d <= maxDepth; d++)
      for (size_t j = 0; j < n; j++)
        if (depth[j] == d) skin.order[w++] = (u32)j;
    // Root transform: the non-joint ancestors above the first joint.
    for (int p = ctx->parents[(size_t)src.joints[0]]; p >= 0; p = ctx->parents[(size_t)p]) {
      b8 isJoint = false;
      for (size_t k = 0; k < n; k++)
        if (src.joints[k] == p) isJoint = true;
      if (isJoint) break;
      skin.rootTransform = gltfMat4Mul(nodeLocal(m.nodes[(size_t)p]), skin.rootTransform);
    }
  }
  return true;
}

// ---- Animations ---------------------------------------------------------------

void loadAnimations(LoadContext* ctx) {
  const tinygltf::Model& m = *ctx->m;
  GltfModel* model = ctx->model;
  if (m.animations.empty()) return;
  model->animations = static_cast<GltfAnimation*>(memCalloc(m.animations.size(), sizeof(GltfAnimation)));
  if (!model->animations) return;
  model->animationCount = (u32)m.animations.size();
  const tinygltf::Skin* firstSkin = m.skins.empty() ? nullptr : &m.skins[0];
  for (size_t ai = 0; ai < m.animations.size(); ai++) {
    const tinygltf::Animation& src = m.animations[ai];
    GltfAnimation& anim = model->animations[ai];
    anim.name = dupString(src.name);
    if (!src.samplers.empty()) {
      anim.samplers = static_cast<GltfAnimSampler*>(memCalloc(src.samplers.size(), sizeof(GltfAnimSampler)));
      if (anim.samplers) anim.samplerCount = (u32)src.samplers.size();
    }
    for (u32 s = 0; s < anim.samplerCount; s++) {
      const tinygltf::AnimationSampler& ss = src.samplers[s];
      GltfAnimSampler& d = anim.samplers[s];
      d.interpolation = ss.interpolation == "STEP"          ? GLTF_INTERP_STEP
                        : ss.interpolation == "CUBICSPLINE" ? GLTF_INTERP_CUBICSPLINE
                                                            : GLTF_INTERP_LINEAR;
      AccessorView in, out;
      const u32 perKey = d.interpolation == GLTF_INTERP_CUBICSPLINE ? 3 : 1;
      b8 ok = checkAccessor(m, ss.input, &in) && in.comps == 1 && checkAccessor(m, ss.output, &out) &&
              (out.comps == 3 || out.comps == 4) && in.count > 0 && out.count >= in.count * perKey;
      f32* times = ok ? readFloats(in) : nullptr;
      f32* values = ok ? readFloats(out) : nullptr;
      if (ok && (!times || !values)) ok = false;
      for (u64 k = 0; ok && k < in.count; k++)
        if (!std::isfinite(times[k]) || (k > 0 && times[k] < times[k - 1])) ok = false;
      for (u64 k = 0; ok && k < out.count * out.comps; k++)
        if (!std::isfinite(values[k])) ok = false;
      if (!ok) {
        std::fprintf(stderr, "GLTF: animation %zu: sampler %u dropped (keys or values out of range)\n", ai, s);
        memFree(times);
        memFree(values);
        continue;
      }
      if (perKey == 3) {
        // In-tangent, value, out-tangent per key: keep the values.
        for (u64 k = 0; k < in.count; k++)
          std::memmove(values + k * out.comps, values + (k * 3 + 1) * out.comps, sizeof(f32) * out.comps);
      }
      d.times = times;
      d.values = values;
      d.count = (u32)in.count;
      d.components = out.comps;
      if (times[in.count - 1] > anim.duration) anim.duration = times[in.count - 1];
    }
    if (!src.channels.empty()) {
      anim.channels = static_cast<GltfAnimChannel*>(memCalloc(src.channels.size(), sizeof(GltfAnimChannel)));
      if (anim.channels) anim.channelCount = (u32)src.channels.size();
    }
    for (u32 c = 0; c < anim.channelCount; c++) {
      const tinygltf::AnimationChannel& cs = src.channels[c];
      GltfAnimChannel& d = anim.channels[c];
      d.samplerIndex = cs.sampler >= 0 ? (u32)cs.sampler : 0xFFFFFFFFu;
      d.jointIndex = kGltfInvalidJoint;
      if (cs.target_path == "translation") d.path = GLTF_ANIM_TRANSLATION;
      else if (cs.target_path == "rotation") d.path = GLTF_ANIM_ROTATION;
      else if (cs.target_path == "scale") d.path = GLTF_ANIM_SCALE;
      else continue;  // morph weights: not a joint transform, never applied
      if (firstSkin)
        for (size_t k = 0; k < firstSkin->joints.size(); k++)
          if (firstSkin->joints[k] == cs.target_node) {
            d.jointIndex = (u32)k;
            break;
          }
    }
  }
}

// ---- Meshes ---------------------------------------------------------------------

b8 isHighBoundary(f32 val, int dim, u32 vertIdx, u32 vertexCount, const f32* uvs) {
  if (val < 0.5f) return false;
  if (val - std::floor(val) > 1e-5f) return false;
  u32 face = vertIdx - vertIdx % 3;
  if (face >= vertexCount) return false;
  for (u32 k = face; k < face + 3 && k < vertexCount; k++)
    if (std::fabs(uvs[k * 2 + (u32)dim] - (val - 1.0f)) < 1e-5f) return true;
  return false;
}

u16 encodeUv(f32 c, int dim, u32 vi, u32 vertexCount, const f32* uvs) {
  if (!std::isfinite(c)) return 0;
  f32 f = c - std::floor(c);
  if (f < 1e-5f && isHighBoundary(c, dim, vi, vertexCount, uvs)) f = 1.0f;
  f32 v = f * 65535.0f;
  if (!(v >= 0.0f)) v = 0.0f;
  if (v > 65535.0f) v = 65535.0f;
  return (u16)v;
}

i16 quantise(f32 p, f32 origin, f32 scale) {
  f32 q = (p - origin) / scale;
  if (!(q >= -1.0f)) q = q > 1.0f ? 1.0f : -1.0f;  // NaN lands on -1, never on the integer conversion
  if (q > 1.0f) q = 1.0f;
  return (i16)(q * 32767.0f);
}

void encodeWeights(const f32 w[4], u8 out[4]) {
  f32 v[4] = {w[0], w[1], w[2], w[3]};
  for (int i = 0; i < 4; i++)
    if (!std::isfinite(v[i]) || v[i] < 0.0f) v[i] = 0.0f;
  f32 sum = v[0] + v[1] + v[2] + v[3];
  if (sum > 0.0f && std::isfinite(sum))
    for (int i = 0; i < 4; i++) v[i] /= sum;
  else
    v[0] = 1.0f, v[1] = v[2] = v[3] = 0.0f;
  int q[4], total = 0, largest = 0;
  for (int i = 0; i < 4; i++) {
    f32 s = std::round(v[i] * 255.0f);  // half away from zero
    q[i] = s < 0 ? 0 : (s > 255 ? 255 : (int)s);
    total += q[i];
    if (v[i] > v[largest]) largest = i;
  }
  if (total != 255) {
    int adj = q[largest] + (255 - total);
    q[largest] = adj < 0 ? 0 : (adj > 255 ? 255 : adj);
  }
  for (int i = 0; i < 4; i++) out[i] = (u8)q[i];
}

void failPrimitive(size_t prim, size_t node) {
  std::fprintf(stderr, "GLTF: failed to load primitive %zu of node %zu\n", prim, node);
}

struct Attr {
  AccessorView view;
  b8 present;
};

b8 findAttr(const tinygltf::Model& m, const tinygltf::Primitive& p, const char* name, u32 comps, u32 vertexCount,
            Attr* out) {
  out->present = false;
  auto it = p.attributes.find(name);
  if (it == p.attributes.end()) return true;
  if (!checkAccessor(m, it->second, &out->view)) return false;
  if (out->view.comps != comps || out->view.count < vertexCount) return false;
  out->present = true;
  return true;
}

// One primitive into `out`; false (with the Part's lines printed) drops it.
b8 loadPrimitive(LoadContext* ctx, const tinygltf::Primitive& p, size_t primIndex, size_t nodeIndex, b8 hasNodeXform,
                 const mat4f32& nodeXform, i32 skinIndex, GltfPrimitive* out) {
  const tinygltf::Model& m = *ctx->m;
  GltfModel* model = ctx->model;
  *out = GltfPrimitive{};
  out->blasId = -1;
  out->materialIndex = (p.material >= 0 && (u32)p.material < model->materialCount) ? p.material : -1;
  out->skinIndex = skinIndex >= 0 ? skinIndex : 0;
  auto posIt = p.attributes.find("POSITION");
  if (posIt == p.attributes.end()) {
    std::fprintf(stderr, "GLTF: primitive missing position attribute\n");
    failPrimitive(primIndex, nodeIndex);
    return false;
  }
  AccessorView posView;
  if (!checkAccessor(m, posIt->second, &posView) || posView.comps != 3 || posView.count == 0 ||
      posView.count > 0xFFFFFFFFull) {
    std::fprintf(stderr, "GLTF: primitive %zu of node %zu: position accessor out of range\n", primIndex, nodeIndex);
    failPrimitive(primIndex, nodeIndex);
    return false;
  }
  const u32 vertexCount = (u32)posView.count;
  Attr nrm, uv, joints, weights;
  b8 attrsOk = findAttr(m, p, "NORMAL", 3, vertexCount, &nrm) && findAttr(m, p, "TEXCOORD_0", 2, vertexCount, &uv) &&
               findAttr(m, p, "JOINTS_0", 4, vertexCount, &joints) &&
               findAttr(m, p, "WEIGHTS_0", 4, vertexCount, &weights);
  AccessorView idxView{};
  b8 hasIndices = p.indices >= 0;
  if (attrsOk && hasIndices)
    attrsOk = checkAccessor(m, p.indices, &idxView) && idxView.comps == 1 &&
              idxView.componentType != TINYGLTF_COMPONENT_TYPE_FLOAT && idxView.count <= 0xFFFFFFFFull;
  if (!attrsOk) {
    std::fprintf(stderr, "GLTF: primitive %zu of node %zu: attribute or index accessor out of range\n", primIndex,
                 nodeIndex);
    failPrimitive(primIndex, nodeIndex);
    return false;
  }
  // Joints index the node's skin; without one there is nothing to skin with.
  const GltfSkin* skin = (skinIndex >= 0 && (u32)skinIndex < model->skinCount) ? &model->skins[skinIndex] : nullptr;
  out->isSkinned = joints.present && weights.present && skin != nullptr;

  f32* pos = readFloats(posView);
  f32* normals = nrm.present ? readFloats(nrm.view) : nullptr;
  f32* uvs = uv.present ? readFloats(uv.view) : nullptr;
  u32* jointIdx = out->isSkinned ? readUints(joints.view) : nullptr;
  f32* wts = out->isSkinned ? readFloats(weights.view) : nullptr;
  u32* indices = hasIndices ? readUints(idxView) : nullptr;
  b8 ok = pos && (!nrm.present || normals) && (!uv.present || uvs) && (!out->isSkinned || (jointIdx && wts)) &&
          (!hasIndices || indices);
  const char* why = "out of memory";
  if (ok && out->isSkinned)
    for (u64 i = 0; i < (u64)vertexCount * 4; i++)
      if (jointIdx[i] >= skin->jointCount) {
        // A zero weight may name any joint; the shader still reads that bone.
        ok = false;
        why = "joint index past the skin's joints";
        break;
      }
  if (ok && hasIndices)
    for (u64 i = 0; i < idxView.count; i++)
      if (indices[i] >= vertexCount) {
        ok = false;
        why = "index past the vertex count";
        break;
      }
  if (ok && hasNodeXform) {
    for (u32 i = 0; i < vertexCount; i++) {
      f32* v = pos + i * 3;
      f32 x = v[0], y = v[1], z = v[2];
      v[0] = nodeXform.m[0] * x + nodeXform.m[4] * y + nodeXform.m[8] * z + nodeXform.m[12];
      v[1] = nodeXform.m[1] * x + nodeXform.m[5] * y + nodeXform.m[9] * z + nodeXform.m[13];
      v[2] = nodeXform.m[2] * x + nodeXform.m[6] * y + nodeXform.m[10] * z + nodeXform.m[14];
      if (normals) {
        f32* nn = normals + i * 3;
        f32 a = nn[0], b = nn[1], c = nn[2];
        f32 rx = nodeXform.m[0] * a + nodeXform.m[4] * b + nodeXform.m[8] * c;
        f32 ry = nodeXform.m[1] * a + nodeXform.m[5] * b + nodeXform.m[9] * c;
        f32 rz = nodeXform.m[2] * a + nodeXform.m[6] * b + nodeXform.m[10] * c;
        f32 len = std::sqrt(rx * rx + ry * ry + rz * rz);
        if (len > 0.0f) rx /= len, ry /= len, rz /= len;
        nn[0] = rx, nn[1] = ry, nn[2] = rz;
      }
    }
  }
  if (ok) {
    v3f bmin{1e30f, 1e30f, 1e30f, 0}, bmax{-1e30f, -1e30f, -1e30f, 0};
    const tinygltf::Accessor& pa = m.accessors[(size_t)posIt->second];
    b8 fileBounds = !hasNodeXform && pa.minValues.size() == 3 && pa.maxValues.size() == 3 && posView.sparseCount == 0;
    for (int c = 0; fileBounds && c < 3; c++)
      if (!std::isfinite((f32)pa.minValues[(size_t)c]) || !std::isfinite((f32)pa.maxValues[(size_t)c]) ||
          pa.minValues[(size_t)c] > pa.maxValues[(size_t)c])
        fileBounds = false;
    if (fileBounds) {
      bmin = v3f{(f32)pa.minValues[0], (f32)pa.minValues[1], (f32)pa.minValues[2], 0};
      bmax = v3f{(f32)pa.maxValues[0], (f32)pa.maxValues[1], (f32)pa.maxValues[2], 0};
    } else {
      for (u32 i = 0; i < vertexCount; i++) {
        const f32* v = pos + i * 3;
        bmin.x = std::fmin(bmin.x, v[0]), bmin.y = std::fmin(bmin.y, v[1]), bmin.z = std::fmin(bmin.z, v[2]);
        bmax.x = std::fmax(bmax.x, v[0]), bmax.y = std::fmax(bmax.y, v[1]), bmax.z = std::fmax(bmax.z, v[2]);
      }
      if (bmin.x > bmax.x) bmin = bmax = v3f{};
    }
    out->transform = gltfComputeTransform(bmin, bmax);
  }
  const u32 stride = out->isSkinned ? 20 : 12;
  const b8 gpu = model->vertexPool && model->vertexPool->buffer && model->indexPool && model->indexPool->buffer;
  u8* vbytes = nullptr;
  if (ok) {
    out->vertexCount = vertexCount;
    out->vertexAlloc = meshPoolAlloc(model->vertexPool, (VkDeviceSize)vertexCount * stride);
    if (out->vertexAlloc.size == 0) {
      std::fprintf(stderr, "GLTF: failed to allocate vertex buffer (%llu bytes)\n",
                   (unsigned long long)vertexCount * stride);
      ok = false;
      why = nullptr;
    } else {
      vbytes = gpu ? static_cast<u8*>(meshPoolStage(model->vertexPool, out->vertexAlloc))
                   : static_cast<u8*>(memAlloc((u64)vertexCount * stride));
      if (!vbytes) {
        meshPoolFree(model->vertexPool, out->vertexAlloc);
        out->vertexAlloc = MeshAlloc{};
        ok = false;
      } else if (!gpu) {
        out->cpuVertices = vbytes;
      }
    }
  }
  if (ok) {
    const GltfMeshTransform& t = out->transform;
    for (u32 i = 0; i < vertexCount; i++) {
      GltfSkinnedVertex v{};
      const f32* pp = pos + i * 3;
      v.pos[0] = quantise(pp[0], t.origin.x, t.scale);
      v.pos[1] = quantise(pp[1], t.origin.y, t.scale);
      v.pos[2] = quantise(pp[2], t.origin.z, t.scale);
      v3f n = normals ? v3f{normals[i * 3], normals[i * 3 + 1], normals[i * 3 + 2], 0} : v3f{0, 1, 0, 0};
      v2f o = gltfEncodeOctNormal(n);
      v.normal[0] = gltfOctByte(o.x);
      v.normal[1] = gltfOctByte(o.y);
      if (uvs) {
        v.uv[0] = encodeUv(uvs[i * 2], 0, i, vertexCount, uvs);
        v.uv[1] = encodeUv(uvs[i * 2 + 1], 1, i, vertexCount, uvs);
      }
      if (out->isSkinned) {
        for (int k = 0; k < 4; k++) v.joints[k] = (u8)(jointIdx[i * 4 + (u32)k] & 0xFF);
        encodeWeights(wts + i * 4, v.weights);
      }
      std::memcpy(vbytes + (u64)i * stride, &v, stride);
    }
    switch (p.mode) {
      case TINYGLTF_MODE_TRIANGLE_STRIP: out->topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_STRIP; break;
      case TINYGLTF_MODE_TRIANGLE_FAN: out->topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_FAN; break;
      default: out->topology = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST; break;
    }
    out->indexType = vertexCount > 65535 ? VK_INDEX_TYPE_UINT32 : VK_INDEX_TYPE_UINT16;
    out->indexCount = hasIndices ? (u32)idxView.count : vertexCount;
    const u32 isz = out->indexType == VK_INDEX_TYPE_UINT32 ? 4 : 2;
    if (out->indexCount == 0) {
      why = "no indices";
      ok = false;
    } else {
      out->indexAlloc = meshPoolAlloc(model->indexPool, (VkDeviceSize)out->indexCount * isz);
      u8* ibytes = nullptr;
      if (out->indexAlloc.size != 0)
        ibytes = gpu ? static_cast<u8*>(meshPoolStage(model->indexPool, out->indexAlloc))
                     : static_cast<u8*>(memAlloc((u64)out->indexCount * isz));
      if (!ibytes) {
        why = "index range";
        ok = false;
      } else {
        if (!gpu) out->cpuIndices = ibytes;
        for (u32 i = 0; i < out->indexCount; i++) {
          u32 v = hasIndices ? indices[i] : i;
          if (isz == 4) std::memcpy(ibytes + (u64)i * 4, &v, 4);
          else {
            u16 s = (u16)v;
            std::memcpy(ibytes + (u64)i * 2, &s, 2);
          }
        }
      }
    }
    if (!ok) {
      if (out->indexAlloc.size) meshPoolFree(model->indexPool, out->indexAlloc);
      meshPoolFree(model->vertexPool, out->vertexAlloc);
      memFree(out->cpuVertices);
      memFree(out->cpuIndices);
      out->cpuVertices = out->cpuIndices = nullptr;
      out->vertexAlloc = out->indexAlloc = MeshAlloc{};
    }
  }
  memFree(pos);
  memFree(normals);
  memFree(uvs);
  memFree(jointIdx);
  memFree(wts);
  memFree(indices);
  if (!ok) {
    if (why) std::fprintf(stderr, "GLTF: primitive %zu of node %zu: %s\n", primIndex, nodeIndex, why);
    failPrimitive(primIndex, nodeIndex);
  }
  return ok;
}

void loadMeshes(LoadContext* ctx) {
  const tinygltf::Model& m = *ctx->m;
  GltfModel* model = ctx->model;
  u32 count = 0;
  for (const tinygltf::Node& n : m.nodes)
    if (n.mesh >= 0 && (size_t)n.mesh < m.meshes.size()) count++;
  if (count == 0) return;
  model->meshes = static_cast<GltfMesh*>(memCalloc(count, sizeof(GltfMesh)));
  if (!model->meshes) return;
  u32 w = 0;
  for (size_t ni = 0; ni < m.nodes.size(); ni++) {
    const tinygltf::Node& node = m.nodes[ni];
    if (node.mesh < 0 || (size_t)node.mesh >= m.meshes.size()) continue;
    const tinygltf::Mesh& src = m.meshes[(size_t)node.mesh];
    GltfMesh& mesh = model->meshes[w++];
    model->meshCount = w;
    mesh.name = dupString(node.name);
    const b8 skinned = node.skin >= 0 && (u32)node.skin < model->skinCount;
    mat4f32 xf = gltfMat4Identity();
    b8 hasXf = false;
    if (!skinned) {
      xf = nodeWorld(m, ctx->parents, (int)ni);
      hasXf = !isIdentity(xf);
    }
    if (src.primitives.empty()) continue;
    mesh.primitives = static_cast<GltfPrimitive*>(memCalloc(src.primitives.size(), sizeof(GltfPrimitive)));
    if (!mesh.primitives) continue;
    for (size_t pi = 0; pi < src.primitives.size(); pi++) {
      GltfPrimitive prim;
      if (loadPrimitive(ctx, src.primitives[pi], pi, ni, hasXf, xf, skinned ? node.skin : -1, &prim))
        mesh.primitives[mesh.primitiveCount++] = prim;
    }
  }
}

// tinygltf reads .bin files and data URIs while it parses; its messages tell a
// buffer failure from a malformed file. Our numbers follow the usual result
// codes: 1 data too short, 2 unknown format, 3 invalid JSON, 4 invalid glTF,
// 6 file not found, 7 read error.
b8 isBufferError(const std::string& err) {
  if (err.find("File not found") != std::string::npos) return true;
  return err.find("buffer") != std::string::npos && (err.find("load") != std::string::npos ||
                                                      err.find("Load") != std::string::npos ||
                                                      err.find("size") != std::string::npos);
}

int parseErrorCode(const std::string& err, b8 binary) {
  if (binary && (err.find("short") != std::string::npos || err.find("Truncated") != std::string::npos ||
                 err.find("too") != std::string::npos))
    return 1;
  if (err.find("JSON") != std::string::npos || err.find("json") != std::string::npos) return 3;
  return 4;
}

}  // namespace

GltfModel* gltfLoadFromMemory(const u8* data, u64 size, const char* baseDir, const char* name, Renderer* renderer,
                              MeshPool* vertexPool, MeshPool* indexPool) {
  if (!name) name = "(memory)";
  if (!data || size == 0 || size > 0x7fffffff) {
    std::fprintf(stderr, "GLTF: failed to parse %s (error %d)\n", name, size == 0 ? 1 : 7);
    return nullptr;
  }
  auto* m = new (std::nothrow) tinygltf::Model();
  if (!m) return nullptr;
  std::string err, warn;
  b8 ok;
  const b8 binary = size >= 4 && std::memcmp(data, "glTF", 4) == 0;
  // The parser is a library that may throw on input it cannot represent; what
  // it throws is a parse failure, never the end of the program.
  try {
    tinygltf::TinyGLTF parser;
    parser.SetImageLoader(keepImageBytes, nullptr);
    const std::string dir = baseDir ? baseDir : "";
    ok = binary ? parser.LoadBinaryFromMemory(m, &err, &warn, data, (unsigned)size, dir, tinygltf::REQUIRE_VERSION)
                : parser.LoadASCIIFromString(m, &err, &warn, reinterpret_cast<const char*>(data), (unsigned)size, dir,
                                             tinygltf::REQUIRE_VERSION);
  } catch (...) {
    ok = false;
    err = "exception";
  }
  if (!ok) {
    if (isBufferError(err)) std::fprintf(stderr, "GLTF: failed to load buffers for %s (error %d)\n", name, 6);
    else std::fprintf(stderr, "GLTF: failed to parse %s (error %d)\n", name, parseErrorCode(err, binary));
    delete m;
    return nullptr;
  }
  // Buffers must hold what they claim; a short one is a buffer failure.
  for (const tinygltf::Buffer& b : m->buffers)
    if (b.data.empty() && b.uri.empty() && !binary) {
      std::fprintf(stderr, "GLTF: failed to load buffers for %s (error %d)\n", name, 6);
      delete m;
      return nullptr;
    }
  LoadContext ctx{};
  ctx.m = m;
  ctx.name = name;
  ctx.baseDir = baseDir ? baseDir : "";
  if (!buildParents(*m, &ctx.parents)) {
    std::fprintf(stderr, "GLTF: failed to parse %s (error %d)\n", name, 4);
    delete m;
    return nullptr;
  }
  auto* model = static_cast<GltfModel*>(memCalloc(1, sizeof(GltfModel)));
  if (!model) {
    delete m;
    return nullptr;
  }
  model->renderer = renderer;
  model->vertexPool = vertexPool;
  model->indexPool = indexPool;
  ctx.model = model;
  loadTextures(&ctx, renderer);
  loadMaterials(&ctx);
  if (!loadSkins(&ctx)) {
    std::fprintf(stderr, "GLTF: failed to parse %s (error %d)\n", name, 4);
    delete m;
    gltfDestroy(model);
    return nullptr;
  }
  loadAnimations(&ctx);
  loadMeshes(&ctx);
  f32 radius = 1.0f;
  for (u32 i = 0; i < model->meshCount; i++)
    for (u32 p = 0; p < model->meshes[i].primitiveCount; p++) {
      const GltfMeshTransform& t = model->meshes[i].primitives[p].transform;
      f32 r = std::sqrt(t.origin.x * t.origin.x + t.origin.y * t.origin.y + t.origin.z * t.origin.z) + t.scale;
      if (r > radius) radius = r;
    }
  model->boundingRadius = radius;
  delete m;
  return model;
}

GltfModel* gltfLoad(const char* path, Renderer* renderer, MeshPool* vertexPool, MeshPool* indexPool) {
  if (!path) return nullptr;
  u8* bytes = nullptr;
  u64 size = 0;
  if (!textureReadFile(path, &bytes, &size)) {
    std::fprintf(stderr, "GLTF: failed to parse %s (error %d)\n", path, 6);
    return nullptr;
  }
  // The model's directory: up to and including the last separator.
  const char* slash = nullptr;
  for (const char* c = path; *c; c++)
    if (*c == '/' || *c == '\\') slash = c;
  std::string dir = slash ? std::string(path, (size_t)(slash - path + 1)) : std::string();
  GltfModel* model = gltfLoadFromMemory(bytes, size, dir.c_str(), path, renderer, vertexPool, indexPool);
  memFree(bytes);
  return model;
}

void gltfFlush(GltfModel* model, VkCommandBuffer cmd) {
  if (!model) return;
  if (model->vertexPool) meshPoolFlush(model->vertexPool, cmd);
  if (model->indexPool) meshPoolFlush(model->indexPool, cmd);
}

void gltfFree(GltfModel* model) {
  if (!model) return;
  for (u32 i = 0; i < model->meshCount; i++) {
    GltfMesh& mesh = model->meshes[i];
    for (u32 p = 0; p < mesh.primitiveCount; p++) {
      memFree(mesh.primitives[p].cpuVertices);
      memFree(mesh.primitives[p].cpuIndices);
    }
    memFree(mesh.primitives);
    memFree(mesh.name);
  }
  memFree(model->meshes);
  memFree(model->textures);
  memFree(model->materials);
  for (u32 i = 0; i < model->skinCount; i++) {
    GltfSkin& s = model->skins[i];
    for (u32 j = 0; j < s.jointCount; j++) memFree(s.joints[j].name);
    memFree(s.joints);
    memFree(s.order);
    memFree(s.bindTrs);
    memFree(s.name);
  }
  memFree(model->skins);
  for (u32 i = 0; i < model->animationCount; i++) {
    GltfAnimation& a = model->animations[i];
    for (u32 s = 0; s < a.samplerCount; s++) {
      memFree(a.samplers[s].times);
      memFree(a.samplers[s].values);
    }
    memFree(a.samplers);
    memFree(a.channels);
    memFree(a.name);
  }
  memFree(model->animations);
  memFree(model);
}

void gltfDestroy(GltfModel* model) {
  if (!model) return;
  for (u32 i = 0; i < model->meshCount; i++)
    for (u32 p = 0; p < model->meshes[i].primitiveCount; p++) {
      GltfPrimitive& prim = model->meshes[i].primitives[p];
      if (model->vertexPool && prim.vertexAlloc.size) meshPoolFree(model->vertexPool, prim.vertexAlloc);
      if (model->indexPool && prim.indexAlloc.size) meshPoolFree(model->indexPool, prim.indexAlloc);
    }
  if (model->renderer)
    for (u32 i = 0; i < model->textureCount; i++)
      if (model->textures[i].image || model->textures[i].pendingUpload) textureDestroy(&model->textures[i], model->renderer);
  gltfFree(model);
}
