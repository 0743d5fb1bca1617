// glTF 2.0 models: compressed vertices in the shared mesh pools, bindless
// textures, CPU-side skins and animations; pose evaluation (sampling, world
// transforms, skin matrices) and the bone pool the skinned shaders read through
// a device address. tinygltf parses the file; every accessor read, index and
// range check and node transform is ours.
#pragma once

#include "platform/types.h"
#include "platform/vecmath.h"
#include "renderer/meshpool.h"
#include "renderer/texture.h"
#include "renderer/vkloader.h"

struct Renderer;

// 12 bytes: position quantised to the primitive's box, octahedral normal, UV.
struct GltfVertex {
  i16 pos[3];
  i8 normal[2];
  u16 uv[2];
};
static_assert(sizeof(GltfVertex) == 12);

// 20 bytes: as above plus four joint indices into the skin and weights summing to 255.
struct GltfSkinnedVertex {
  i16 pos[3];
  i8 normal[2];
  u16 uv[2];
  u8 joints[4];
  u8 weights[4];
};
static_assert(sizeof(GltfSkinnedVertex) == 20);

// A vertex shader rebuilds the position as origin + scale * pos.
struct GltfMeshTransform {
  v3f origin;
  f32 scale;
};

struct GltfPrimitive {
  MeshAlloc vertexAlloc;
  MeshAlloc indexAlloc;
  u32 vertexCount;
  u32 indexCount;
  VkIndexType indexType;
  VkPrimitiveTopology topology;
  GltfMeshTransform transform;
  i32 materialIndex;  // -1: none
  i32 skinIndex;  // the node's skin; 0 when it has none
  b8 isSkinned;  // JOINTS_0 and WEIGHTS_0 present
  // Without GPU pools (tests, fuzzing) the bytes stay here; null otherwise.
  u8* cpuVertices;
  u8* cpuIndices;
  i32 blasId;  // ray-query structure of a static primitive, -1 when none
};

struct GltfMesh {
  GltfPrimitive* primitives;
  u32 primitiveCount;
  char* name;  // the node's name or null
};

struct GltfMaterial {
  i32 baseColorTextureIndex;  // bindless slot, -1 for none
  f32 baseColorFactor[4];
  f32 metallicFactor;
  f32 roughnessFactor;
  f32 alphaCutoff;  // 0 unless the alpha mode is MASK
};

struct GltfJoint {
  i32 parent;  // index into the same skin's joints, -1 for a root
  mat4f32 localBindTransform;
  mat4f32 inverseBindMatrix;
  char* name;
};

struct GltfSkin {
  GltfJoint* joints;
  u32 jointCount;
  char* name;
  mat4f32 rootTransform;  // local transforms of the non-joint ancestors above the first joint
  // Joint indices parents first: world transforms are composed in this order,
  // so a file listing a child before its parent still poses correctly.
  u32* order;
  // Each joint's bind transform taken apart (10 floats: translation, rotation,
  // scale), so that sampling from the bind pose need not take matrices apart.
  f32* bindTrs;
};

enum GltfAnimPath : u32 {
  GLTF_ANIM_TRANSLATION = 0,
  GLTF_ANIM_ROTATION = 1,
  GLTF_ANIM_SCALE = 2,
};

enum GltfAnimInterpolation : u32 {
  GLTF_INTERP_LINEAR = 0,
  GLTF_INTERP_STEP = 1,
  GLTF_INTERP_CUBICSPLINE = 2,  // keys hold the middle element of each triple
};

struct GltfAnimSampler {
  f32* times;
  f32* values;  // 3 floats per key (translation, scale) or 4 (rotation x, y, z, w)
  u32 count;  // keys; 0 for a sampler dropped at load
  u32 components;  // 3 or 4
  GltfAnimInterpolation interpolation;
};

struct GltfAnimChannel {
  u32 samplerIndex;
  u32 jointIndex;  // into the first skin's joints; 0xFFFFFFFF when not one of them
  GltfAnimPath path;
};

struct GltfAnimation {
  GltfAnimSampler* samplers;
  u32 samplerCount;
  GltfAnimChannel* channels;
  u32 channelCount;
  f32 duration;  // largest last key time
  char* name;
};

struct GltfModel {
  GltfMesh* meshes;
  u32 meshCount;
  GltfTexture* textures;
  u32 textureCount;
  GltfMaterial* materials;
  u32 materialCount;
  GltfSkin* skins;
  u32 skinCount;
  GltfAnimation* animations;
  u32 animationCount;
  f32 boundingRadius;
  MeshPool* vertexPool;
  MeshPool* indexPool;
  Renderer* renderer;
};

struct GltfPose {
  mat4f32* localTransforms;
  mat4f32* worldTransforms;
  mat4f32* skinMatrices;
  u32 jointCount;
  // Sampling scratch: each animated joint is taken apart once per call (10
  // floats: translation, rotation, scale), changed by all its channels, and put
  // together once.
  f32* trs;
  u32* stamp;  // == stampNow: trs holds this call's values
  u32* touched;
  u32 stampNow;
  // trs holds every joint's local transform taken apart (set by a reset to the
  // bind pose, kept by sampling; whoever writes localTransforms clears it).
  b8 trsFresh;
};

struct GltfBonePool {
  VkBuffer ssbo;
  VkDeviceMemory memory;
  VkDeviceSize size;  // maxInstances * bonesPerSkeleton * 64
  VkDeviceSize allocatedSize;
  mat4f32* cpuData;
  u32 maxInstances;
  u32 bonesPerSkeleton;
  VkDevice device;
  VkDeviceAddress ssboAddress;
};

inline constexpr u32 kGltfInvalidJoint = 0xFFFFFFFFu;

// Loads a .gltf or .glb (told by its magic). Pools without GPU buffers (only
// ranges) keep the vertex and index bytes on the primitives; a null renderer
// decodes images but creates no textures. Null only when the file cannot be
// read or parsed, or its buffers cannot be loaded.
GltfModel* gltfLoad(const char* path, Renderer* renderer, MeshPool* vertexPool, MeshPool* indexPool);
// The same from bytes in memory; external files are looked up in baseDir
// (ending in "/", may be empty); name is used in messages.
GltfModel* gltfLoadFromMemory(const u8* data, u64 size, const char* baseDir, const char* name, Renderer* renderer,
                              MeshPool* vertexPool, MeshPool* indexPool);
void gltfFlush(GltfModel* model, VkCommandBuffer cmd);
void gltfDestroy(GltfModel* model);
void gltfFree(GltfModel* model);

v2f gltfEncodeOctNormal(v3f n);
v3f gltfDecodeOctNormal(v2f oct);
GltfMeshTransform gltfComputeTransform(v3f bmin, v3f bmax);
// The byte stored for an encoded component (times 127, toward zero, NaN as 0).
i8 gltfOctByte(f32 component);

const VkVertexInputAttributeDescription* gltfGetVertexAttributes(u32* count);
const VkVertexInputAttributeDescription* gltfGetSkinnedVertexAttributes(u32* count);
VkVertexInputBindingDescription gltfGetVertexBinding();
VkVertexInputBindingDescription gltfGetSkinnedVertexBinding();

// Host-visible, host-coherent buffer of maxInstances x bonesPerSkeleton matrices,
// all identity. Null on failure.
GltfBonePool* gltfBonePoolCreate(VkDevice device, u32 maxInstances, u32 bonesPerSkeleton);
void gltfBonePoolDestroy(GltfBonePool* pool);
// Frees once no frame in flight reads it (a pool replaced by a larger one).
void gltfBonePoolDeferDestroy(GltfBonePool* pool);
void gltfBonePoolUpload(GltfBonePool* pool, VkCommandBuffer cmd);
mat4f32* gltfBonePoolGetInstance(GltfBonePool* pool, u32 instance);

GltfPose* gltfPoseCreate(u32 jointCount);
void gltfPoseDestroy(GltfPose* pose);
void gltfPoseReset(GltfPose* pose, const GltfSkin* skin);
// Only the local transforms back to the bind pose (no world or skin matrices).
void gltfPoseResetLocals(GltfPose* pose, const GltfSkin* skin);
void gltfAnimatePose(GltfPose* pose, const GltfSkin* skin, const GltfAnimation* anim, f32 time);
void gltfComputeSkinMatrices(GltfPose* pose, const GltfSkin* skin);

// Matrix helpers shared by the model system and ragdolls (column-major, M * v).
mat4f32 gltfMat4Identity();
mat4f32 gltfMat4Mul(const mat4f32& a, const mat4f32& b);
mat4f32 gltfMat4FromTrs(const f32 t[3], const f32 q[4], const f32 s[3]);
// Translation, unit rotation (x, y, z, w) and column lengths of an affine matrix.
void gltfMat4Decompose(const mat4f32& m, f32 t[3], f32 q[4], f32 s[3]);
// Inverse of an affine matrix (rotation, scale, translation); identity when singular.
mat4f32 gltfMat4InverseAffine(const mat4f32& m);
