// Decals: textured, tinted quads with a full transform, collected anew every
// frame and drawn in one instanced draw. Their textures are named by path,
// decoded and compressed by loader threads, and packed one per layer into a
// single 2D array texture, so one descriptor serves every decal. The file
// dialog's image previews are the main user (unlit, in pixel space).
#pragma once

#include "platform/threads.h"
#include "platform/types.h"
#include "platform/vecmath.h"
#include "renderer/dynbuffer.h"
#include "renderer/meshpool.h"
#include "renderer/vkloader.h"

struct Renderer;
struct Pipelines;

inline constexpr u32 DECAL_MAX_INSTANCES = 4096;
inline constexpr u32 DECAL_MAX_TEXTURES = 256;  // = array layers
inline constexpr u32 DECAL_WORKER_COUNT = 8;
inline constexpr u32 DECAL_NO_INDEX = 0xFFFFFFFFu;
// Longest side of a decal texture: larger pictures are box-filtered down before
// compression, larger KTX2 files (ready blocks, nothing to filter) are dropped.
inline constexpr u32 DECAL_MAX_TEXTURE_SIZE = 512;
// Bound on the whole array (every layer has the largest texture's size).
inline constexpr u64 DECAL_MAX_ARRAY_BYTES = 256ull << 20;
// Files larger than this are not read at all.
inline constexpr u64 DECAL_MAX_FILE_BYTES = 64ull << 20;

struct DecalVertex {
  f32 pos[3];
  f32 uv[2];
};
static_assert(sizeof(DecalVertex) == 20);

struct DecalInstance {
  mat4f32 model;
  v4f color;
  v4f uvRect;  // xy: offset, zw: scale of the quad's UV within the texture
  u32 textureLayer;
  // Written by the draw, not by callers: the largest UV that stays inside a
  // picture smaller than its layer (0: the picture fills it), so that filtering
  // at its right and bottom edges never reaches texels beyond it.
  f32 uvMax[2];
  u32 _pad;
};
static_assert(sizeof(DecalInstance) == 112);

extern const DecalVertex gDecalQuad[4];
extern const u16 gDecalQuadIndices[6];

struct DecalTextureKey {
  char path[256];
};

// One decal texture. Its compressed level 0 stays in host memory: a repack into a
// new, larger array copies every layer again from it.
struct DecalTextureEntry {
  char key[256];  // the path
  u32 layer;  // = entry index
  u8* data;  // null: still loading, or failed (decals show layer 0)
  u64 dataSize;
  u32 width, height;  // the picture's own size
  u32 blockWidth, blockHeight;  // the size in whole blocks, as stored in its layer
  VkFormat format;
};

// The array texture: one image, every layer the same size and format.
struct DecalTextureArray {
  VkImage image;
  VkDeviceMemory memory;
  VkDeviceSize memorySize;
  VkImageView view;
  VkSampler sampler;
};

struct DecalLoadJob {
  char path[256];
  u32 slot;
  DecalLoadJob* next;
};

struct DecalLoadResult {
  char path[256];
  u32 slot;
  u8* data;  // compressed bytes (memAlloc)
  u64 dataSize;
  u32 width, height;
  VkFormat format;
  DecalLoadResult* next;
};

// The loader of one decal system: worker threads decoding and compressing files
// off the main thread, a job FIFO in and a result FIFO out, under one mutex.
struct DecalAsyncState {
  Thread* workers[DECAL_WORKER_COUNT];
  u32 workerCount;
  ThreadMutex mutex;
  ThreadCond cond;
  DecalLoadJob* jobHead;
  DecalLoadJob* jobTail;
  DecalLoadResult* doneHead;
  DecalLoadResult* doneTail;
  b8 running;
  b8 initialized;
  u32 busy;  // jobs popped and not yet finished, under the mutex
};

struct DecalSystem {
  Renderer* renderer;
  Pipelines* pipelines;
  u32 pipelineIndex;
  b8 lit;
  b8 depthTest;
  b8 stencilTest;
  MeshPool vertexPool;
  MeshPool indexPool;
  MeshAlloc vertexAlloc;
  MeshAlloc indexAlloc;
  // Instances are written by the CPU straight into this frame's buffer, so the
  // draw can be recorded inside a render pass.
  FrameDynBuffer instances;
  u64 instanceFrameSerial;  // frame whose buffer `instances` currently fills
  void* textureMap;  // DecalTextureKey -> u32 entry index
  DecalTextureEntry* textures;
  u32 textureCount;  // one past the highest loaded entry
  u32 textureCapacity;
  u32 entryCount;  // registered entries (loaded or not)
  DecalTextureArray textureArray;
  u32 textureArrayWidth;
  u32 textureArrayHeight;
  VkFormat textureArrayFormat;
  u32 textureArrayLayers;
  DecalInstance* items;
  u32 count;
  u32 capacity;
  // Set once this frame's draw is recorded; reset clears it. An array change
  // would invalidate the recorded descriptor, so adds then leave results queued.
  b8 drawRecorded;
  DecalAsyncState* loader;
};

// lit takes effect only with a light set layout. atlasPath (may be null or
// empty) is the default texture of layer 0, an 8x8 checkerboard when absent.
b8 decalSystemInit(DecalSystem* d, Renderer* r, Pipelines* p, u32 pipelineIndex, b8 lit, b8 depthTest,
                   b8 stencilTest, VkDescriptorSetLayout lightSetLayout, const char* atlasPath);
// Stops the loader (queued jobs are dropped), frees the textures, the array, the
// instances and the pools, and zeroes the record. Waits for the device.
void decalSystemDestroy(DecalSystem* d);
// Start of each frame: no decals queued.
void decalSystemReset(DecalSystem* d);
// The decal's index, or DECAL_NO_INDEX for a null record or model, a full frame,
// or a new texture path that cannot be registered (256 in use). Paths of 256
// bytes or more are not registered: the decal shows layer 0.
u32 decalSystemAdd(DecalSystem* d, const mat4f32* model, v4f color, v4f uvRect, const char* texturePath);
// Records the one instanced draw (inside a render pass). lightSet and
// lightDataAddr are used by lit systems only.
void decalSystemDraw(DecalSystem* d, VkCommandBuffer cmd, const mat4f32* viewProj, VkDescriptorSet lightSet,
                     u64 lightDataAddr);

// Applies finished loads (main thread; also done by Add and Draw).
void decalAsyncPoll(DecalSystem* d);

// The loader on its own (the decal system starts one; tests drive it directly).
b8 decalAsyncInit(DecalAsyncState* s, u32 workerCount);
// Queues a load of path for entry slot; false when the loader is not running or
// the path does not fit.
b8 decalAsyncQueue(DecalAsyncState* s, const char* path, u32 slot);
// The whole finished list (caller frees each with decalLoadResultFree).
DecalLoadResult* decalAsyncTake(DecalAsyncState* s);
void decalLoadResultFree(DecalLoadResult* r);
// Stops and joins the workers, frees queued jobs and unconsumed results.
void decalAsyncShutdown(DecalAsyncState* s);

// What a worker does with one file: read, decode, scale down to the size cap,
// compress. KTX2 data is taken as it is (dropped above the cap). False for a
// missing, empty, oversize or corrupt file.
b8 decalLoadImage(const char* path, u8** outData, u64* outSize, u32* outWidth, u32* outHeight, VkFormat* outFormat);
// Box filter of RGBA8 pixels to fit within maxSide a side (an integer factor);
// returns a memAlloc buffer, or null. Sizes already within the cap are copied.
u8* decalBoxDownscale(const u8* rgba, u32 width, u32 height, u32 maxSide, u32* outWidth, u32* outHeight);
