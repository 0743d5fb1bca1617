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

struct WorldMap;
struct Renderer;
struct Pipelines;
struct Lighting;

inline constexpr u32 kTerrainAlbedoLayers = 256;
inline constexpr u32 kTerrainSplatPushBytes = 116;

struct TerrainChunk {
  u32 tileX;
  u32 tileY;
  MeshAlloc vertexAlloc;
  MeshAlloc indexAlloc;
  u32 vertexCount;
  u32 indexCount;
  f32 origin[3];
  f32 scale;
  u8 materialIds[4];
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
// Stages the tile's chunk into the pools (nothing if it exists); the pools must be
// flushed before it is drawn.
void terrainMeshLoadTile(TerrainMesh* tm, u32 tileX, u32 tileY);
void terrainMeshUnloadTile(TerrainMesh* tm, u32 tileX, u32 tileY);
// Unload and load again, then flush both pools in one one-time command buffer.
b8 terrainMeshRefreshTile(TerrainMesh* tm, u32 tileX, u32 tileY);
b8 terrainMeshRefreshSplatmap(TerrainMesh* tm);
b8 terrainMeshRefreshMaterials(TerrainMesh* tm);
void terrainMeshRefreshChunkMaterialIds(TerrainMesh* tm, u32 tileX, u32 tileY);
// frustumPlanes: six double planes (inside where n.p + d >= 0) or null.
void terrainMeshDraw(TerrainMesh* tm, VkCommandBuffer cmd, const mat4f32* vpMatrix, VkDescriptorSet lightSet,
                     const v4* frustumPlanes, VkDeviceAddress lightDataAddr);
void terrainMeshDrawShadow(TerrainMesh* tm, VkCommandBuffer cmd, const mat4f32* lightVP, const Lighting* lighting);
