// The renderer core on lavapipe: device selection, presenting to a window under X,
// swapchain rebuilds, shader failures, and the GPU buffers.
#include "gpu_fixture.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_syswm.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/memory.h"
#include "renderer/dynbuffer.h"
#include "renderer/meshpool.h"
#include "renderer/validation.h"
#include "renderer/vram.h"

namespace {

struct HeadlessGpu : testing::Test {
  void SetUp() override {
    memoryInit(~0ull, ~0ull);
    if (!gpuRendererHeadless(&r, &instance, &surface, 64, 64)) GTEST_SKIP() << "no Vulkan device with a headless surface";
  }
  void TearDown() override { gpuRendererRelease(&r, instance, surface); }
  void frame(void (*record)(HeadlessGpu*, VkCommandBuffer) = nullptr) {
    VkCommandBuffer cmd;
    u32 image;
    ASSERT_TRUE(rendererBeginFrame(&r, &cmd, &image));
    if (record) record(this, cmd);
    rendererBeginRenderPass(&r, image);
    rendererEndFrame(&r, image);
  }
  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  MeshPool pool{};
};

TEST(RendererSelect, PrintsFoundGpuAndFallbackSelection) {
  memoryInit(~0ull, ~0ull);
  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  testing::internal::CaptureStdout();
  b8 ok = gpuRendererHeadless(&r, &instance, &surface, 64, 64);
  std::string out = testing::internal::GetCapturedStdout();
  if (!ok) GTEST_SKIP() << "no Vulkan device";
  VkPhysicalDeviceProperties props;
  vkGetPhysicalDeviceProperties(r.physicalDevice, &props);
  EXPECT_NE(out.find(std::string("Found GPU: ") + props.deviceName + "\n"), std::string::npos) << out;
  char line[512];
  bool discrete = props.deviceType == VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU;
  std::snprintf(line, sizeof line, "Selected: %s (%s, vendor 0x%04X)\n", props.deviceName,
                discrete ? "discrete" : "fallback", props.vendorID);
  EXPECT_NE(out.find(line), std::string::npos) << out;
  EXPECT_EQ(r.vendorId, props.vendorID);
  EXPECT_NE(r.device, VK_NULL_HANDLE);
  EXPECT_GT(r.swapchainImageCount, 0u);
  EXPECT_EQ(r.swapchainExtent.width, 64u);
  // lavapipe offers MAILBOX, so the loop paces itself by sleeping.
  EXPECT_NE(r.presentMode, VK_PRESENT_MODE_FIFO_KHR);
  gpuRendererRelease(&r, instance, surface);
}

TEST_F(HeadlessGpu, MissingShaderFailsPipelineCreation) {
  testing::internal::CaptureStderr();
  u64 size = 0;
  const u32* code = rendererLoadShader("shaders/missing.vert.spv", &size);
  PipelineConfig c = gpuFullscreenConfig("shaders/solid.frag.spv", VK_NULL_HANDLE);
  c.vertCode = code;
  c.vertSize = size;
  VkPipelineLayout layout = VK_NULL_HANDLE;
  VkPipeline pipeline = VK_NULL_HANDLE;
  EXPECT_FALSE(rendererCreatePipeline(&r, &c, &layout, &pipeline));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Shader not found: shaders/missing.vert.spv\nFailed to create shader modules\n");
  EXPECT_EQ(pipeline, VK_NULL_HANDLE);
}

TEST_F(HeadlessGpu, DynBufferGrowthKeepsItsBytesAndIsAccounted) {
  Memory* m = memoryGet();
  size_t stagingBefore = m->stagingUsed.load();
  DynBuffer b;
  dynBufferInit(&b, r.device, r.physicalDevice, 1024, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT,
                VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT);
  ASSERT_NE(b.mapped, nullptr);
  EXPECT_EQ(m->stagingUsed.load(), stagingBefore + b.allocatedSize);
  u8* first = static_cast<u8*>(dynBufferAlloc(&b, 1000));
  ASSERT_NE(first, nullptr);
  for (int i = 0; i < 1000; i++) first[i] = (u8)(i * 7);
  VkBuffer old = b.buffer;
  u8* more = static_cast<u8*>(dynBufferAlloc(&b, 100));
  ASSERT_NE(more, nullptr);
  EXPECT_EQ(b.capacity, 2048u);
  EXPECT_EQ(b.used, 1100u);
  EXPECT_NE(b.buffer, old);
  EXPECT_EQ(more, static_cast<u8*>(b.mapped) + 1000);
  const u8* now = static_cast<const u8*>(b.mapped);
  for (int i = 0; i < 1000; i++) ASSERT_EQ(now[i], (u8)(i * 7)) << i;
  EXPECT_EQ(vramDeferredCount(), 0u) << "nothing in flight: the old buffer goes at once";
  EXPECT_EQ(m->stagingUsed.load(), stagingBefore + b.allocatedSize);
  dynBufferDestroy(&b);
  EXPECT_EQ(m->stagingUsed.load(), stagingBefore);
}

// Copies the pool's bytes at [offset, offset + size) into a host buffer.
std::string readPool(Renderer* r, MeshPool* pool, VkDeviceSize offset, VkDeviceSize size) {
  GpuBuffer host = gpuCreateHostBuffer(r, size, VK_BUFFER_USAGE_TRANSFER_DST_BIT);
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(r);
  VkBufferCopy region{offset, 0, size};
  vkCmdCopyBuffer(cmd, pool->buffer, host.buffer, 1, &region);
  rendererEndOneTimeCommands(r, cmd);
  std::string bytes(static_cast<const char*>(host.mapped), size);
  gpuDestroyBuffer(r, &host);
  return bytes;
}

// Data staged after a flush into a frame's command buffer, but before that frame
// is submitted, must not overwrite the bytes the frame still has to copy.
TEST_F(HeadlessGpu, MeshPoolStagingOutlivesTheFrameThatCopiesIt) {
  meshPoolInit(&pool, r.device, r.physicalDevice, 1 << 16,
               VK_BUFFER_USAGE_VERTEX_BUFFER_BIT | VK_BUFFER_USAGE_SHADER_DEVICE_ADDRESS_BIT);
  ASSERT_NE(pool.buffer, VK_NULL_HANDLE);
  static MeshAlloc a, b;
  a = meshPoolAlloc(&pool, 256);
  b = meshPoolAlloc(&pool, 256);
  frame([](HeadlessGpu* t, VkCommandBuffer cmd) {
    std::memset(meshPoolStage(&t->pool, a), 0xAA, 256);
    meshPoolFlush(&t->pool, cmd);
    std::memset(meshPoolStage(&t->pool, b), 0xBB, 256);
  });
  frame([](HeadlessGpu* t, VkCommandBuffer cmd) { meshPoolFlush(&t->pool, cmd); });
  rendererWaitIdle(&r);
  EXPECT_EQ(readPool(&r, &pool, a.offset, 256), std::string(256, '\xAA'));
  EXPECT_EQ(readPool(&r, &pool, b.offset, 256), std::string(256, '\xBB'));
  // Once the frames are done the first staging buffer is written from its start again.
  for (int i = 0; i < 3; i++) frame();
  std::memset(meshPoolStage(&pool, a), 0xCC, 256);
  EXPECT_EQ(pool.pendingCopies[0].srcOffset, 0u);
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
  meshPoolFlush(&pool, cmd);
  rendererEndOneTimeCommands(&r, cmd);
  EXPECT_EQ(readPool(&r, &pool, a.offset, 256), std::string(256, '\xCC'));
  meshPoolDestroy(&pool);
}

TEST_F(HeadlessGpu, MeshPoolGrowKeepsContentAndExtendsTheFreeTail) {
  Memory* m = memoryGet();
  size_t vramBefore = m->vramUsed.load(), stagingBefore = m->stagingUsed.load();
  meshPoolInit(&pool, r.device, r.physicalDevice, 1024, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT);
  MeshAlloc a = meshPoolAlloc(&pool, 512);
  std::memset(meshPoolStage(&pool, a), 0x5A, 512);
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
  meshPoolFlush(&pool, cmd);
  rendererEndOneTimeCommands(&r, cmd);
  cmd = rendererBeginOneTimeCommands(&r);
  ASSERT_TRUE(meshPoolReserve(&pool, 3000, cmd));
  rendererEndOneTimeCommands(&r, cmd);
  EXPECT_EQ(pool.capacity, 4096u);
  EXPECT_EQ(pool.freeBlockCount, 1u);
  EXPECT_EQ(meshPoolLargestFree(&pool), 4096u - 512u);
  EXPECT_EQ(readPool(&r, &pool, a.offset, 512), std::string(512, '\x5A'));
  meshPoolDestroy(&pool);
  // Device-local memory may be host-visible here (lavapipe): the counters still
  // return to where they were.
  EXPECT_EQ(m->vramUsed.load(), vramBefore);
  EXPECT_EQ(m->stagingUsed.load(), stagingBefore);
}

// An SDL window under X: frames reach the screen and resizes rebuild the swapchain.
class WindowGpu : public testing::Test {
 protected:
  void SetUp() override {
    memoryInit(~0ull, ~0ull);
    const char* d = std::getenv("DISPLAY");
    if (!d || !*d) GTEST_SKIP() << "no X display";
    // Xvfb now and then refuses a connection made right after another one
    // closed (several windows in one process): try again for a moment.
    for (int i = 0; i < 20 && !plat; i++) {
      if (i) SDL_Delay(50);
      plat = platformCreate(320, 200, "Terrain renderer test");
    }
    ASSERT_NE(plat, nullptr);
    ASSERT_EQ(volkInitialize(), VK_SUCCESS);
    u32 n = 0;
    const char** exts = platformGetRequiredExtensions(&n);
    instance = gpuCreateInstance(exts, n);
    ASSERT_NE(instance, VK_NULL_HANDLE);
    ASSERT_EQ(platformCreateSurface(plat, instance, &surface), VK_SUCCESS);
    ASSERT_TRUE(rendererInit(&r, instance, surface, 320, 200));
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    ASSERT_TRUE(SDL_GetWindowWMInfo(plat->window, &info));
    display = info.info.x11.display;
    xwindow = info.info.x11.window;
  }
  void TearDown() override {
    if (r.device) gpuRendererRelease(&r, instance, surface);
    if (plat) platformDestroy(plat);
  }
  void frames(int n) {
    for (int i = 0; i < n; i++) {
      platformPoll(plat);
      InputEvent ev;
      while (platformPollInput(plat, &ev))
        if (ev.type == InputEventResize) rendererResize(&r, ev.resize.width, ev.resize.height);
      VkCommandBuffer cmd;
      u32 image;
      if (!rendererBeginFrame(&r, &cmd, &image)) continue;
      rendererBeginRenderPass(&r, image);
      rendererEndFrame(&r, image);
    }
    rendererWaitIdle(&r);
  }
  u32 pixel(int x, int y) {
    XSync(display, False);
    XImage* img = XGetImage(display, xwindow, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!img) return 0xFFFFFFFF;
    u32 p = (u32)XGetPixel(img, 0, 0) & 0xFFFFFF;
    XDestroyImage(img);
    return p;
  }
  // Presentation may land on the screen a little after the present call (the
  // window system's own thread): keep drawing until the pixel shows or time is up.
  u32 presentedPixel(int x, int y, u32 want) {
    u32 got = 0;
    for (int i = 0; i < 100; i++) {
      frames(1);
      got = pixel(x, y);
      if (got == want) break;
      SDL_Delay(10);
    }
    return got;
  }
  Platform* plat = nullptr;
  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  Display* display = nullptr;
  Window xwindow = 0;
};

TEST_F(WindowGpu, FramesPresentTheClearColourAndResizeRebuilds) {
  frames(4);
  EXPECT_EQ(r.swapchainExtent.width, 320u);
  EXPECT_EQ(presentedPixel(160, 100, 0x333333u), 0x333333u) << "clear colour 0.2 reads back as 51";
  SDL_SetWindowSize(plat->window, 400, 260);
  for (int i = 0; i < 40 && r.swapchainExtent.width != 400; i++) {
    frames(1);
    SDL_Delay(10);
  }
  EXPECT_EQ(r.swapchainExtent.width, 400u);
  EXPECT_EQ(r.swapchainExtent.height, 260u);
  EXPECT_EQ(presentedPixel(390, 250, 0x333333u), 0x333333u) << "the grown area is drawn too";
}

// A depth buffer that does not fit the VRAM budget, at a larger size after a
// resize: reported once, nothing drawn (and nothing faulting) until the budget
// allows a rebuild, then frames reach the window again, the grown area included.
TEST_F(WindowGpu, DepthBufferOverBudgetAfterAResizeSkipsFramesUntilARebuildFits) {
  EXPECT_EQ(presentedPixel(160, 100, 0x333333u), 0x333333u);
  memoryGet()->vramLimit = memoryGet()->vramUsed.load();
  testing::internal::CaptureStderr();
  SDL_SetWindowSize(plat->window, 400, 260);
  for (int i = 0; i < 40 && !r.swapchainFailed; i++) {
    frames(1);
    SDL_Delay(10);
  }
  frames(5);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(r.swapchainFailed);
  EXPECT_EQ(r.swapchain, VK_NULL_HANDLE);
  EXPECT_EQ(r.depthView, VK_NULL_HANDLE);
  size_t at = err.find("Failed to create depth buffer (400x260)\n");
  EXPECT_NE(at, std::string::npos) << err;
  EXPECT_EQ(err.find("Failed to create depth buffer", at + 1), std::string::npos) << "reported once: " << err;
  memoryGet()->vramLimit = ~0ull;
  EXPECT_EQ(presentedPixel(390, 250, 0x333333u), 0x333333u) << "drawn again once the depth buffer fits";
  EXPECT_FALSE(r.swapchainFailed);
  EXPECT_EQ(r.swapchainExtent.width, 400u);
}

VkResult gFailWith = VK_SUCCESS;
RendererQueueOp gFailOp = RENDERER_OP_SUBMIT;
int gFailuresLeft = 0;
VkResult failOnce(RendererQueueOp op) {
  if (op != gFailOp || gFailuresLeft == 0) return VK_SUCCESS;
  gFailuresLeft--;
  return gFailWith;
}

// A failed submit must not leave the acquire semaphore signalled for the next
// acquire, nor the fence unsignalled; a failed present (other than out of date)
// is reported and the swapchain rebuilt. Validation reports any misuse; frames
// reach the window afterwards.
TEST_F(WindowGpu, FailedSubmitAndPresentAreReportedAndDrawingGoesOn) {
  struct Case {
    RendererQueueOp op;
    VkResult result;
    const char* message;
  };
  const Case cases[] = {
      {RENDERER_OP_SUBMIT, VK_ERROR_OUT_OF_DEVICE_MEMORY, "Failed to submit frame: -2\n"},
      {RENDERER_OP_SUBMIT, VK_ERROR_DEVICE_LOST, "Failed to submit frame: -4\n"},
      {RENDERER_OP_PRESENT, VK_ERROR_OUT_OF_HOST_MEMORY, "Failed to present swapchain image: -1\n"},
      {RENDERER_OP_PRESENT, VK_ERROR_SURFACE_LOST_KHR, "Failed to present swapchain image: -1000000000\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    frames(3);
    gFailOp = c.op;
    gFailWith = c.result;
    gFailuresLeft = 1;
    rendererSetFaultHook(failOnce);
    testing::internal::CaptureStderr();
    frames(6);
    std::string err = testing::internal::GetCapturedStderr();
    rendererSetFaultHook(nullptr);
    EXPECT_EQ(gFailuresLeft, 0);
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_EQ(presentedPixel(160, 100, 0x333333u), 0x333333u);
  }
}

}  // namespace

namespace {

// Start-up with a depth buffer over the VRAM budget: reported, frames skipped
// without faulting, and drawing starts once a rebuild fits.
TEST(RendererStartup, DepthBufferOverBudgetSkipsFramesUntilARebuildFits) {
  memoryInit(~0ull, 0);
  Renderer r{};
  VkInstance instance = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  testing::internal::CaptureStderr();
  b8 ok = gpuRendererHeadless(&r, &instance, &surface, 64, 64);
  VkCommandBuffer cmd;
  u32 image;
  b8 drew = false;
  for (int i = 0; i < 4 && ok; i++) drew |= rendererBeginFrame(&r, &cmd, &image);
  std::string err = testing::internal::GetCapturedStderr();
  if (!ok) GTEST_SKIP() << "no Vulkan device";
  EXPECT_TRUE(ok) << "start-up fails only without a GPU or device";
  EXPECT_FALSE(drew);
  EXPECT_NE(err.find("Failed to create depth buffer (64x64)\n"), std::string::npos) << err;
  memoryGet()->vramLimit = ~0ull;
  ASSERT_TRUE(rendererBeginFrame(&r, &cmd, &image));
  EXPECT_NE(r.depthView, VK_NULL_HANDLE);
  rendererBeginRenderPass(&r, image);
  rendererEndFrame(&r, image);
  rendererWaitIdle(&r);
  gpuRendererRelease(&r, instance, surface);
}

// Per-frame data: what one frame wrote stays intact while the next frame records.
TEST_F(HeadlessGpu, FrameBuffersAlternateWithTheFramesInFlight) {
  static FrameDynBuffer fb;
  frameDynBufferInit(&fb, r.device, r.physicalDevice, 1024, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT,
                     VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT);
  static u8* written[3];
  static VkBuffer used[3];
  static int n;
  n = 0;
  auto record = [](HeadlessGpu* t, VkCommandBuffer) {
    DynBuffer* b = frameDynBufferBegin(&fb, t->r.currentFrame);
    EXPECT_EQ(b->used, 0u);
    written[n] = static_cast<u8*>(dynBufferAlloc(b, 64));
    std::memset(written[n], 0x10 + n, 64);
    used[n] = b->buffer;
    n++;
  };
  frame(record);
  frame(record);
  EXPECT_NE(used[0], used[1]);
  EXPECT_EQ(written[0][63], 0x10) << "frame 0's bytes survive frame 1's recording";
  frame(record);
  EXPECT_EQ(used[2], used[0]) << "frame 0's slot is reused once its fence was waited";
  EXPECT_EQ(written[1][0], 0x11);
  rendererWaitIdle(&r);
  frameDynBufferDestroy(&fb);
}

}  // namespace

namespace {
u32 gSeenErrors = 0;
void countError(const char*) { gSeenErrors++; }
}  // namespace

// The checks every GPU test relies on are really on: two unordered copies into one
// buffer are a write-after-write hazard that synchronisation validation reports.
TEST_F(HeadlessGpu, ValidationReportsAnUnsynchronisedWrite) {
  if (const char* v = std::getenv("TERRAIN_VALIDATION"); v && std::strcmp(v, "0") == 0)
    GTEST_SKIP() << "validation turned off";
  GpuBuffer src = gpuCreateHostBuffer(&r, 256, VK_BUFFER_USAGE_TRANSFER_SRC_BIT);
  GpuBuffer dst = gpuCreateHostBuffer(&r, 256, VK_BUFFER_USAGE_TRANSFER_DST_BIT);
  u32 before = validationErrorCount();
  gSeenErrors = 0;
  validationSetErrorHook(countError);
  VkCommandBuffer cmd = rendererBeginOneTimeCommands(&r);
  VkBufferCopy region{0, 0, 256};
  vkCmdCopyBuffer(cmd, src.buffer, dst.buffer, 1, &region);
  vkCmdCopyBuffer(cmd, src.buffer, dst.buffer, 1, &region);
  rendererEndOneTimeCommands(&r, cmd);
  validationSetErrorHook(gpuFailOnValidationError);
  EXPECT_GT(validationErrorCount(), before);
  EXPECT_GT(gSeenErrors, 0u);
  gpuDestroyBuffer(&r, &src);
  gpuDestroyBuffer(&r, &dst);
}
