// Terrain chunk geometry on the CPU: the packed vertices and 16-bit indices of one
// tile's chunk, built from the world's heightmap, and the stored "terrain/mesh/x_y"
// blobs a chunk is read from when it cannot be built.
#pragma once

#include <cstddef>

#include "platform/types.h"

struct WorldMap;
struct WorldMeta;

// The packed vertex shared with the glTF mesh path: position quantised to the chunk's
// cube (origin, scale), octahedral normal, texture coordinates as 16-bit fractions.
struct WorldTerrainVert {
  i16 pos[3];
  i8 normal[2];
  u16 uv[2];
};
static_assert(sizeof(WorldTerrainVert) == 12);

inline constexpr u32 kTerrainMeshBlobHeader = 24;

// A stored mesh blob's fields; vertices and indices point into the blob.
struct TerrainMeshBlob {
  f32 origin[3];
  f32 scale;
  u32 vertCount;
  u32 indexCount;
  const WorldTerrainVert* verts;  // may be unaligned: copy, do not dereference fields in place
  const u8* indices;              // u16 little-endian
};

// Accepts a blob only when its sizes fit its length (in 64-bit arithmetic), it holds
// whole triangles, every index is below the vertex count, the vertex count fits 16-bit
// indices, and origin and scale are finite (scale positive).
b8 terrainMeshBlobParse(const u8* data, size_t len, TerrainMeshBlob* out);

// Sample range [x0, x1] x [z0, z1] of a tile's chunk; false when the tile lies outside
// the sampled area (or the map has no usable heightmap).
b8 terrainChunkRange(const WorldMeta* meta, u32 tileX, u32 tileY, u32* x0, u32* x1, u32* z0, u32* z1);

struct TerrainChunkGeometry {
  f32 origin[3];
  f32 scale;
  u32 vertCount;
  u32 indexCount;
};

// Counts of a tile's chunk built from the heightmap (0, 0 when it cannot be built).
void terrainChunkCounts(const WorldMap* wm, u32 tileX, u32 tileY, u32* vertCount, u32* indexCount);
// Builds the chunk into caller arrays of at least the counted sizes. False when the
// tile cannot be built from the heightmap or needs more than 65536 vertices.
b8 terrainChunkBuild(const WorldMap* wm, u32 tileX, u32 tileY, WorldTerrainVert* verts, u16* indices,
                     TerrainChunkGeometry* out);

// A part of a tile's chunk: an inclusive sample range. A tile whose chunk needs more
// than 65536 vertices is built as bands of whole rows sharing their border rows.
struct TerrainPiece {
  u32 x0, x1, z0, z1;
};
// The pieces of a tile (at most maxPieces); 0 when it cannot be built from the heightmap.
u32 terrainChunkPieces(const WorldMap* wm, u32 tileX, u32 tileY, TerrainPiece* out, u32 maxPieces);
b8 terrainPieceBuild(const WorldMap* wm, const TerrainPiece* piece, WorldTerrainVert* verts, u16* indices,
                     TerrainChunkGeometry* out);

// Lowest and highest height (world units) of samples x0..x1 x z0..z1 (inclusive).
void terrainSampleRange(const WorldMap* wm, u32 x0, u32 x1, u32 z0, u32 z1, f32* lo, f32* hi);
// Vertices of samples x0..x1 of row z, quantised to a given cube (a chunk updated in
// place keeps the cube it was built with).
void terrainBuildRowVerts(const WorldMap* wm, u32 x0, u32 x1, u32 z, const f32* origin, f32 scale,
                          WorldTerrainVert* out);

// The octahedral pair of a unit normal (each component in [-1, 1]) and its stored bytes.
void terrainEncodeOctNormal(f32 nx, f32 ny, f32 nz, f32* ox, f32* oy);
i8 terrainOctByte(f32 component);
// Quantisation cube of a box: centre and largest half-extent (1 when below 1e-6).
void terrainComputeTransform(const f32* bmin, const f32* bmax, f32* origin, f32* scale);
