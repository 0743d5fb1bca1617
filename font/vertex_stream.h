// Vertices built during one frame: one host-visible buffer per frame in flight,
// or a plain CPU array when there is no renderer (tools, benchmarks, CPU tests
// lay out exactly as the program does).
#pragma once

#include "platform/types.h"
#include "renderer/dynbuffer.h"

struct Renderer;

struct VertexStream {
  FrameDynBuffer gpu;
  Renderer* renderer;  // null: CPU array
  u8* cpu;
  u64 cpuUsed, cpuCap;
  u64 initialBytes;
};

// renderer null: the CPU array.
void vertexStreamInit(VertexStream* s, Renderer* renderer, u64 initialBytes);
void vertexStreamDestroy(VertexStream* s);
// Starts the frame: the buffer of the renderer's current frame slot, emptied.
void vertexStreamBegin(VertexStream* s);
// `bytes` fresh bytes at the end; null when the storage cannot grow.
void* vertexStreamAlloc(VertexStream* s, u64 bytes);
// Returns the last `bytes` of what was allocated (an over-estimate taken in one piece).
void vertexStreamGiveBack(VertexStream* s, u64 bytes);
u64 vertexStreamUsed(const VertexStream* s);
u8* vertexStreamData(const VertexStream* s);
// The GPU buffer of the frame being built (null for the CPU array).
VkBuffer vertexStreamBuffer(const VertexStream* s);
