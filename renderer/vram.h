// Device-memory accounting against the process budget, and the GPU timeline that
// says when memory the GPU may still read can be reused or released.
#pragma once

#include "platform/types.h"
#include "renderer/vkloader.h"

// Stores the device and zeroes the device and staging counters.
void vramInit(VkDevice device, VkPhysicalDevice physicalDevice);
// First memory type allowed by typeFilter with all of properties; 0 when none.
u32 vramFindMemoryType(u32 typeFilter, VkMemoryPropertyFlags properties);
// Refuses (VK_ERROR_OUT_OF_DEVICE_MEMORY, counters untouched) past the VRAM limit.
VkResult vramAlloc(const VkMemoryAllocateInfo* allocInfo, VkDeviceMemory* outMemory);
// size: the allocation size recorded by the caller. The staging counter drops by
// what vramAlloc added for this memory, whatever hostVisible (what the caller asked
// for) says: on unified memory both can differ.
void vramFree(VkDeviceMemory memory, VkDeviceSize size, b8 hostVisible);
// A buffer of `size` bytes bound to new memory with memoryFlags, allocated through
// vramAlloc (device-address capable when usage asks for it). outAllocated gets the
// allocation size to hand back to vramFree. False, with nothing left behind, on failure.
b8 vramCreateBuffer(VkDevice device, VkDeviceSize size, VkBufferUsageFlags usage, VkMemoryPropertyFlags memoryFlags,
                    VkBuffer* outBuffer, VkDeviceMemory* outMemory, VkDeviceSize* outAllocated);
// A single-mip, single-layer, optimally tiled 2D image bound to new device-local
// memory allocated through vramAlloc; outAllocated as above. False, with nothing
// left behind, on failure.
b8 vramCreateImage2D(VkDevice device, VkExtent2D extent, VkFormat format, VkImageUsageFlags usage, VkImage* outImage,
                     VkDeviceMemory* outMemory, VkDeviceSize* outAllocated);

// GPU timeline. Memory the GPU may read is tagged with a serial and is safe to
// reuse once gpuSerialDone() reaches it. A frame opens a serial when it begins; a
// waited frame fence or an idle queue completes serials. When current == done
// nothing is in flight and released memory can go at once; with no renderer both
// stay 0.
u64 gpuSerialCurrent();
u64 gpuSerialDone();
// The serial to tag commands being recorded now (e.g. copies into a one-time
// command buffer): opens a new one when nothing is in flight, so that the tag is
// complete only after the work is.
u64 gpuSerialUse();
// The renderer's side: a frame begins recording (returns its serial), a serial is
// known complete, the queue went idle (everything submitted is complete).
u64 gpuSerialBeginFrame();
void gpuSerialComplete(u64 serial);
void gpuSerialQueueIdle(b8 frameRecording);

// Releases a buffer and its memory once the GPU is done with the current serial;
// at once when nothing is in flight.
void vramDeferFree(VkBuffer buffer, VkDeviceMemory memory, VkDeviceSize size, b8 hostVisible);
// The device-wide wait used when nothing else is safe (the renderer installs its
// own, which takes the queue lock); null: a plain vkDeviceWaitIdle.
void vramSetIdleWait(void (*wait)(void* context), void* context);
// Releases what has become safe; everything when force is set (device idle).
void vramCollect(b8 force);
// Entries still waiting (for tests).
u32 vramDeferredCount();
