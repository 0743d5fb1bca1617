// Terrain chunks on the GPU: one chunk per loaded tile, built from the world map's
// heightmap (or read from a stored "terrain/mesh/x_y" blob) into the renderer's mesh
// pools, drawn with the splat pipeline: four layers of one albedo array per chunk,
// weighted by the world's splat map (a bindless texture).
#pragma once

#include "platform/types.h"
#include "platform/vecmath.h"
#include "renderer/meshpool.h"
#include "renderer/texture.h"
#include "renderer/vkloader.h"
#include "terrain/terrain_chunk.h"

struct WorldMap;
struct Renderer;
struct Pipelines;
struct Lighting;

inline constexpr u32 kTerrainAlbedoLayers = 256;
inline constexpr u32 kTerrainSplatPushBytes = 116;

// One per loaded tile, or one per piece of a tile over 65536 vertices.
struct TerrainChunk {
  u32 tileX;
  u32 tileY;
  TerrainPiece piece;  // its samples (zero for a chunk read from a stored mesh)
  MeshAlloc vertexAlloc;
  MeshAlloc indexAlloc;
  u32 vertexCount;
  u32 indexCount;
  f32 origin[3];
  f32 scale;
  u8 materialIds[4];
  // Built from the heightmap at the next flush (into the same ranges); not drawn
  // until then.
  b8 needsUpload;
  // Only the samples dirtyX0..X1 x dirtyZ0..Z1 change at the next flush: a height
  // edit inside the chunk's quantisation cube rewrites just those vertices.
  b8 partial;
  u32 dirtyX0, dirtyX1, dirtyZ0, dirtyZ1;
};

struct TerrainMesh {
  WorldMap* wm;
  Renderer* renderer;
  MeshPool* vertexPool;
  MeshPool* indexPool;
  TerrainChunk* chunks;
  u32 chunkCount;
  u32 chunkCap;
  Pipelines* pipelines;
  u32 pipelineSlot;  // the plain textured-mesh pipeline (made elsewhere)
  u32 splatPipelineSlot;
  b8 splatReady;
  // A lighting switch rebuilds the splat pipeline with the registry's other lit
  // pipelines (its fragment shader is resolved per mode, its image written again);
  // the draw reads the pipeline's current set each time.
  VkDescriptorSetLayout lightSetLayout;
  GltfTexture splatmapTex;
  u32 splatBindlessSlot;  // 0: none
  VkImage albedoArrayImage;
  VkDeviceMemory albedoArrayMemory;
  VkDeviceSize albedoArrayMemSize;
  VkImageView albedoArrayView;
  VkSampler albedoArraySampler;
  GltfTexture fallbackTex;
};

void terrainMeshInit(TerrainMesh* tm, WorldMap* wm, MeshPool* vertexPool, MeshPool* indexPool, Pipelines* pipelines,
                     u32 pipelineSlot, u32 splatPipelineSlot, Renderer* renderer, VkDescriptorSetLayout lightSetLayout);
void terrainMeshDestroy(TerrainMesh* tm);
// Makes the tile's chunk (nothing if it exists): its ranges are allocated now, its
// vertices built at the next terrainMeshFlush (a stored mesh is staged at once).
void terrainMeshLoadTile(TerrainMesh* tm, u32 tileX, u32 tileY);
void terrainMeshUnloadTile(TerrainMesh* tm, u32 tileX, u32 tileY);
// Marks the tile's chunk for rebuilding at the next flush: any number of requests
// between two flushes cost one build each (brush dabs, undo).
void terrainMeshQueueRefresh(TerrainMesh* tm, u32 tileX, u32 tileY);
// As above for a height edit of samples x0..x1 x z0..z1 (inclusive): chunks whose
// cube still holds the new heights rewrite only the vertices around those samples.
void terrainMeshQueueRefreshRect(TerrainMesh* tm, u32 tileX, u32 tileY, u32 x0, u32 z0, u32 x1, u32 z1);
// Builds every chunk marked since the last flush into the staging memory and
// records both pools' copies into cmd (the frame's command buffer, before its
// render pass). Chunks rewritten in place wait for earlier frames' reads.
void terrainMeshFlush(TerrainMesh* tm, VkCommandBuffer cmd);
// Queue and flush at once in a one-time command buffer; false if no chunk resulted.
b8 terrainMeshRefreshTile(TerrainMesh* tm, u32 tileX, u32 tileY);
b8 terrainMeshRefreshSplatmap(TerrainMesh* tm);
b8 terrainMeshRefreshMaterials(TerrainMesh* tm);
// After a lighting switch: the new lighting set layout, for a splat pipeline made
// later (the registry rebuilds an existing one with the other lit pipelines).
void terrainMeshSetLightSetLayout(TerrainMesh* tm, VkDescriptorSetLayout lightSetLayout);
void terrainMeshRefreshChunkMaterialIds(TerrainMesh* tm, u32 tileX, u32 tileY);
// frustumPlanes: six double planes (inside where n.p + d >= 0) or null.
void terrainMeshDraw(TerrainMesh* tm, VkCommandBuffer cmd, const mat4f32* vpMatrix, VkDescriptorSet lightSet,
                     const v4* frustumPlanes, VkDeviceAddress lightDataAddr);
void terrainMeshDrawShadow(TerrainMesh* tm, VkCommandBuffer cmd, const mat4f32* lightVP, const Lighting* lighting);
