// Sampled colour textures: BC7 compression on the CPU, KTX2 files with ready
// block data, Vulkan image creation with synchronous or worker-finished uploads,
// and the one bindless table of 2048 combined image samplers that every lit
// shader indexes by the slot number in its push constants. Slot 0 is always the
// fallback checkerboard.
#pragma once

#include "platform/types.h"
#include "renderer/vkloader.h"

struct Renderer;

inline constexpr u32 kTextureBindlessSlots = 2048;

struct GltfTexture {
  VkImage image;
  VkDeviceMemory memory;
  VkImageView view;
  VkSampler sampler;
  VkDeviceSize memorySize;  // allocated, for vramFree
  // The image's true size in pixels; compressed data is padded to whole blocks,
  // the image is not, so that UV 0..1 spans exactly the picture.
  u32 width;
  u32 height;
  VkFormat format;
  u32 bindlessIndex;  // 0: the fallback slot
  b8 pendingUpload;  // a worker-finished upload is in flight; read under the texture lock
};

// The bindless table. Creates the upload state, the table when the renderer has
// none, an 8x8 fallback in slot 0 and the upload worker. Idempotent for the same
// renderer; false for another one.
b8 textureEnsureBindless(Renderer* r);
// Just before rendererDestroy: finishes queued uploads, joins the worker, frees
// what waits for the GPU, the fallback, the command pool and the bindless table.
void textureShutdown(Renderer* r);

// A width x height (0: 8) magenta/black checkerboard with nearest filtering.
b8 textureCreateFallback(GltfTexture* out, Renderer* r, u32 width, u32 height);
b8 textureCreateFromRgba(const u8* pixels, u32 width, u32 height, GltfTexture* out, Renderer* r);
// Synchronous creation and upload of one level. The data must hold the format's
// bytes for width x height; formats the device cannot sample and sizes above its
// 2D limit are refused. True with slot 0 when the table is full.
b8 textureCreateFromCompressed(const void* data, u64 dataSize, u32 width, u32 height, VkFormat format,
                               GltfTexture* out, Renderer* r);
// As above, but the copy finishes on the worker, which then publishes the slot;
// until then the slot shows the fallback. Fails when no slot is left.
b8 textureCreateFromCompressedAsync(const void* data, u64 dataSize, u32 width, u32 height, VkFormat format,
                                    GltfTexture* out, Renderer* r);
// Files relative to basePath's directory; a name without a dot also tries
// ".png", ".jpg" and ".ktx2".
b8 textureLoadFile(const char* filename, const char* basePath, GltfTexture* out, Renderer* r);
b8 textureLoadFileAsync(const char* filename, const char* basePath, GltfTexture* out, Renderer* r);
// Waits for a pending upload, resets the slot to the fallback (slots are never
// reused) and releases the Vulkan objects once frames in flight are done.
void textureDestroy(GltfTexture* texture, Renderer* r);
// Releases destroyed textures the GPU no longer reads; all of them when force
// is set (device idle).
void textureCollect(b8 force);

// The next slot, or 0 when all are used or the table does not exist.
u32 textureReserveBindlessSlot();
// Writes one slot (null sampler or view: the fallback's).
void textureWriteBindless(u32 slot, VkSampler sampler, VkImageView view);

// Whole file into a memAlloc buffer; false on a missing, empty or short file.
b8 textureReadFile(const char* path, u8** outData, u64* outSize);
// The same, also false for a file larger than maxBytes (nothing is read then).
b8 textureReadFileMax(const char* path, u64 maxBytes, u8** outData, u64* outSize);

// KTX2 container.
struct ktx2_level {
  u64 byte_offset;
  u64 byte_length;
  u64 uncompressed_byte_length;
};
struct ktx2_header {
  u32 vk_format;
  u32 type_size;
  u32 pixel_width;
  u32 pixel_height;
  u32 pixel_depth;
  u32 layer_count;
  u32 face_count;
  u32 level_count;
  u32 supercompression_scheme;
  ktx2_level levels[16];
};
b8 textureIsKtx2(const void* data, u64 size);
// 0 on success, -1 for a short or inconsistent header.
int ktx2_read_header(const u8* data, u64 size, ktx2_header* header);
// Level 0's first slice (layer 0, face 0, z 0) in a new memAlloc buffer. Refuses
// supercompressed files, width 0, unknown formats and a level 0 too short for
// its format; height 0 (a 1D texture) reads as 1.
b8 textureReadKtx2(const u8* data, u64 size, u8** outData, u64* outSize, u32* outWidth, u32* outHeight,
                   VkFormat* outFormat);
b8 textureReadKtx2File(const char* path, u8** outData, u64* outSize, u32* outWidth, u32* outHeight,
                       VkFormat* outFormat);
// Bytes of one width x height level of a format, 0 for formats we do not know.
u64 textureFormatLevelSize(VkFormat format, u32 width, u32 height);
// Texel block of a format (1 x 1 when uncompressed); false for formats we do not know.
b8 textureFormatBlockExtent(VkFormat format, u32* outWidth, u32* outHeight);

// BC7.
b8 textureCompressRgbaToBc7(const u8* rgba, u32 width, u32 height, u8** outData, u64* outSize);
u64 textureBc7Size(u32 width, u32 height);
u32 textureAlignToBlock(u32 v);
void bc7f_init();
// 64 bytes of RGBA (4x4, row-major) to one 16-byte block.
void bc7f_compress_block(const u8* pixels_rgba, u8* block);
// Our reference decoder: one block to 64 bytes of RGBA. Reads the one- and
// two-subset modes (4 to 7, 1 and 3); false for the three-subset modes (0, 2)
// and for a reserved mode, which gives transparent black.
b8 bc7DecodeBlock(const u8* block, u8* pixels_rgba);
