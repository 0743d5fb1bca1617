#include "font/vertex_stream.h"

#include "platform/memory.h"
#include "renderer/renderer.h"

namespace {

constexpr VkMemoryPropertyFlags kHostMemory =
    VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;

DynBuffer* current(const VertexStream* s) {
  return s->renderer ? frameDynBufferCurrent(const_cast<FrameDynBuffer*>(&s->gpu)) : nullptr;
}

}  // namespace

void vertexStreamInit(VertexStream* s, Renderer* renderer, u64 initialBytes) {
  *s = VertexStream{};
  s->renderer = renderer;
  s->initialBytes = initialBytes ? initialBytes : 4096;
  if (renderer)
    frameDynBufferInit(&s->gpu, renderer->device, renderer->physicalDevice, initialBytes,
                       VK_BUFFER_USAGE_VERTEX_BUFFER_BIT, kHostMemory);
}

void vertexStreamDestroy(VertexStream* s) {
  if (s->renderer) frameDynBufferDestroy(&s->gpu);
  memFree(s->cpu);
  *s = VertexStream{};
}

void vertexStreamBegin(VertexStream* s) {
  if (s->renderer) {
    frameDynBufferBegin(&s->gpu, s->renderer->currentFrame);
  } else {
    s->cpuUsed = 0;
  }
}

void* vertexStreamAlloc(VertexStream* s, u64 bytes) {
  if (s->renderer) return dynBufferAlloc(current(s), bytes);
  if (s->cpuUsed + bytes > s->cpuCap) {
    u64 cap = s->cpuCap ? s->cpuCap : s->initialBytes;
    while (cap < s->cpuUsed + bytes) cap *= 2;
    u8* grown = static_cast<u8*>(memRealloc(s->cpu, cap));
    if (!grown) return nullptr;
    s->cpu = grown;
    s->cpuCap = cap;
  }
  void* p = s->cpu + s->cpuUsed;
  s->cpuUsed += bytes;
  return p;
}

void vertexStreamGiveBack(VertexStream* s, u64 bytes) {
  if (s->renderer) {
    DynBuffer* b = current(s);
    b->used -= bytes < b->used ? bytes : b->used;
  } else {
    s->cpuUsed -= bytes < s->cpuUsed ? bytes : s->cpuUsed;
  }
}

u64 vertexStreamUsed(const VertexStream* s) { return s->renderer ? current(s)->used : s->cpuUsed; }

u8* vertexStreamData(const VertexStream* s) {
  return s->renderer ? static_cast<u8*>(current(s)->mapped) : s->cpu;
}

VkBuffer vertexStreamBuffer(const VertexStream* s) { return s->renderer ? current(s)->buffer : VK_NULL_HANDLE; }
