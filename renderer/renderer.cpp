#include "renderer/renderer.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/memory.h"
#include "renderer/pipelines.h"
#include "renderer/shader_table.h"
#include "renderer/vram.h"

namespace {

constexpr u32 kVendorNvidia = 0x10DE;
constexpr u32 kMaxQueueFamilies = 64;

b8 hasExtension(const VkExtensionProperties* exts, u32 count, const char* name) {
  for (u32 i = 0; i < count; i++)
    if (std::strcmp(exts[i].extensionName, name) == 0) return true;
  return false;
}

// The device's extension list in an accounted array (null when it has none).
VkExtensionProperties* deviceExtensions(VkPhysicalDevice dev, u32* count) {
  *count = 0;
  if (vkEnumerateDeviceExtensionProperties(dev, nullptr, count, nullptr) != VK_SUCCESS || *count == 0) return nullptr;
  auto* exts = static_cast<VkExtensionProperties*>(memAlloc(sizeof(VkExtensionProperties) * *count));
  if (!exts) {
    *count = 0;
    return nullptr;
  }
  if (vkEnumerateDeviceExtensionProperties(dev, nullptr, count, exts) != VK_SUCCESS) *count = 0;
  return exts;
}

VkImageAspectFlags depthAspect(VkFormat f) {
  return f == VK_FORMAT_D32_SFLOAT ? VK_IMAGE_ASPECT_DEPTH_BIT
                                   : (VK_IMAGE_ASPECT_DEPTH_BIT | VK_IMAGE_ASPECT_STENCIL_BIT);
}

VkFormat chooseDepthFormat(Renderer* r) {
  const VkFormat candidates[] = {VK_FORMAT_D24_UNORM_S8_UINT, VK_FORMAT_D32_SFLOAT_S8_UINT, VK_FORMAT_D32_SFLOAT};
  for (VkFormat f : candidates) {
    VkFormatProperties props;
    vkGetPhysicalDeviceFormatProperties(r->physicalDevice, f, &props);
    if (props.optimalTilingFeatures & VK_FORMAT_FEATURE_DEPTH_STENCIL_ATTACHMENT_BIT) return f;
  }
  std::fprintf(stderr, "No suitable depth format found\n");
  return VK_FORMAT_D32_SFLOAT;
}

b8 nonZero(VkExtent2D e) { return e.width != 0 && e.height != 0; }

// Modes that wait for vertical sync pace the loop themselves.
b8 presentModeWaits(VkPresentModeKHR m) {
  return m == VK_PRESENT_MODE_FIFO_KHR || m == VK_PRESENT_MODE_FIFO_RELAXED_KHR;
}

VkPresentModeKHR choosePresentMode(Renderer* r) {
  u32 count = 0;
  vkGetPhysicalDeviceSurfacePresentModesKHR(r->physicalDevice, r->surface, &count, nullptr);
  VkPresentModeKHR modes[16];
  if (count > 16) count = 16;
  vkGetPhysicalDeviceSurfacePresentModesKHR(r->physicalDevice, r->surface, &count, modes);
  b8 immediate = false, mailbox = false;
  for (u32 i = 0; i < count; i++) {
    immediate |= modes[i] == VK_PRESENT_MODE_IMMEDIATE_KHR;
    mailbox |= modes[i] == VK_PRESENT_MODE_MAILBOX_KHR;
  }
  if (r->vendorId == kVendorNvidia) return immediate ? VK_PRESENT_MODE_IMMEDIATE_KHR : VK_PRESENT_MODE_FIFO_KHR;
  return mailbox ? VK_PRESENT_MODE_MAILBOX_KHR : VK_PRESENT_MODE_FIFO_KHR;
}

// Rebuild failures are reported once, until a rebuild succeeds again: a rebuild
// that keeps failing is retried every frame.
void reportRebuild(Renderer* r, const char* what, int code) {
  if (!r->swapchainFailed) std::fprintf(stderr, "%s: %d\n", what, code);
}

// B8G8R8A8_UNORM when offered, else the first format; false when there is none.
b8 chooseSurfaceFormat(Renderer* r, VkSurfaceFormatKHR* out) {
  u32 formatCount = 0;
  vkGetPhysicalDeviceSurfaceFormatsKHR(r->physicalDevice, r->surface, &formatCount, nullptr);
  VkSurfaceFormatKHR formats[64];
  if (formatCount > 64) formatCount = 64;
  if (formatCount == 0 ||
      vkGetPhysicalDeviceSurfaceFormatsKHR(r->physicalDevice, r->surface, &formatCount, formats) < 0 ||
      formatCount == 0)
    return false;
  *out = formats[0];
  for (u32 i = 0; i < formatCount; i++)
    if (formats[i].format == VK_FORMAT_B8G8R8A8_UNORM) {
      *out = formats[i];
      break;
    }
  return true;
}

b8 createSwapchain(Renderer* r, u32 width, u32 height) {
  VkSurfaceCapabilitiesKHR caps;
  VkResult capsRes = vkGetPhysicalDeviceSurfaceCapabilitiesKHR(r->physicalDevice, r->surface, &caps);
  if (capsRes != VK_SUCCESS) {
    reportRebuild(r, "Failed to create swapchain", (int)capsRes);
    return false;
  }
  VkSurfaceFormatKHR format;
  if (!chooseSurfaceFormat(r, &format)) {
    reportRebuild(r, "Failed to create swapchain", (int)VK_ERROR_FORMAT_NOT_SUPPORTED);
    return false;
  }
  r->presentMode = choosePresentMode(r);
  VkExtent2D extent = caps.currentExtent;
  if (extent.width == 0xFFFFFFFFu) {
    auto clamp = [](u32 v, u32 lo, u32 hi) { return v < lo ? lo : (v > hi ? hi : v); };
    extent.width = clamp(width, caps.minImageExtent.width, caps.maxImageExtent.width);
    extent.height = clamp(height, caps.minImageExtent.height, caps.maxImageExtent.height);
  }
  // Kept even when creation fails: a later retry on a surface without an extent
  // of its own asks for the same size.
  r->swapchainExtent = extent;
  if (!nonZero(extent)) {
    reportRebuild(r, "Failed to create swapchain", (int)VK_ERROR_OUT_OF_DATE_KHR);
    return false;
  }
  u32 imageCount = caps.minImageCount + 1;
  if (caps.maxImageCount != 0 && imageCount > caps.maxImageCount) imageCount = caps.maxImageCount;

  VkSwapchainCreateInfoKHR ci{};
  ci.sType = VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR;
  ci.surface = r->surface;
  ci.minImageCount = imageCount;
  ci.imageFormat = format.format;
  ci.imageColorSpace = format.colorSpace;
  ci.imageExtent = extent;
  ci.imageArrayLayers = 1;
  ci.imageUsage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT;
  // Copies out of the presented images (screenshots) where the surface allows them.
  r->swapchainTransferSrc = (caps.supportedUsageFlags & VK_IMAGE_USAGE_TRANSFER_SRC_BIT) != 0;
  if (r->swapchainTransferSrc) ci.imageUsage |= VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
  u32 families[2] = {r->graphicsFamily, r->presentFamily};
  if (r->graphicsFamily != r->presentFamily) {
    ci.imageSharingMode = VK_SHARING_MODE_CONCURRENT;
    ci.queueFamilyIndexCount = 2;
    ci.pQueueFamilyIndices = families;
  } else {
    ci.imageSharingMode = VK_SHARING_MODE_EXCLUSIVE;
  }
  ci.preTransform = caps.currentTransform;
  ci.compositeAlpha = VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR;
  ci.presentMode = r->presentMode;
  ci.clipped = VK_TRUE;
  VkResult res = vkCreateSwapchainKHR(r->device, &ci, nullptr, &r->swapchain);
  if (res != VK_SUCCESS) {
    reportRebuild(r, "Failed to create swapchain", (int)res);
    r->swapchain = VK_NULL_HANDLE;
    return false;
  }
  r->swapchainFormat = format.format;
  u32 count = 0;
  res = vkGetSwapchainImagesKHR(r->device, r->swapchain, &count, nullptr);
  if (res == VK_SUCCESS && count > 0) {
    r->swapchainImages = static_cast<VkImage*>(memAlloc(sizeof(VkImage) * count));
    res = r->swapchainImages ? vkGetSwapchainImagesKHR(r->device, r->swapchain, &count, r->swapchainImages)
                             : VK_ERROR_OUT_OF_HOST_MEMORY;
  }
  if (res != VK_SUCCESS || count == 0) {
    reportRebuild(r, "Failed to get swapchain images", (int)(res != VK_SUCCESS ? res : VK_ERROR_INITIALIZATION_FAILED));
    return false;
  }
  r->swapchainImageCount = count;
  return true;
}

b8 createSwapchainImageViews(Renderer* r) {
  r->swapchainImageViews = static_cast<VkImageView*>(memCalloc(r->swapchainImageCount, sizeof(VkImageView)));
  if (!r->swapchainImageViews) {
    reportRebuild(r, "Failed to create swapchain image views", (int)VK_ERROR_OUT_OF_HOST_MEMORY);
    return false;
  }
  for (u32 i = 0; i < r->swapchainImageCount; i++) {
    VkImageViewCreateInfo vi{};
    vi.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
    vi.image = r->swapchainImages[i];
    vi.viewType = VK_IMAGE_VIEW_TYPE_2D;
    vi.format = r->swapchainFormat;
    vi.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    VkResult res = vkCreateImageView(r->device, &vi, nullptr, &r->swapchainImageViews[i]);
    if (res != VK_SUCCESS) {
      r->swapchainImageViews[i] = VK_NULL_HANDLE;
      reportRebuild(r, "Failed to create swapchain image views", (int)res);
      return false;
    }
  }
  return true;
}

// One render-finished semaphore per image: a frame in flight may still have its
// present waiting on the semaphore of the image it drew.
b8 createRenderFinishedSemaphores(Renderer* r) {
  r->renderFinishedSemaphores = static_cast<VkSemaphore*>(memCalloc(r->swapchainImageCount, sizeof(VkSemaphore)));
  if (!r->renderFinishedSemaphores) {
    reportRebuild(r, "Failed to create semaphores", (int)VK_ERROR_OUT_OF_HOST_MEMORY);
    return false;
  }
  VkSemaphoreCreateInfo si{};
  si.sType = VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO;
  for (u32 i = 0; i < r->swapchainImageCount; i++) {
    VkResult res = vkCreateSemaphore(r->device, &si, nullptr, &r->renderFinishedSemaphores[i]);
    if (res != VK_SUCCESS) {
      r->renderFinishedSemaphores[i] = VK_NULL_HANDLE;
      reportRebuild(r, "Failed to create semaphores", (int)res);
      return false;
    }
  }
  return true;
}

b8 createRenderPass(Renderer* r) {
  VkAttachmentDescription att[2]{};
  att[0].format = r->swapchainFormat;
  att[0].samples = VK_SAMPLE_COUNT_1_BIT;
  att[0].loadOp = VK_ATTACHMENT_LOAD_OP_CLEAR;
  att[0].storeOp = VK_ATTACHMENT_STORE_OP_STORE;
  att[0].stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
  att[0].stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
  att[0].initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  att[0].finalLayout = VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
  att[1].format = r->depthFormat;
  att[1].samples = VK_SAMPLE_COUNT_1_BIT;
  att[1].loadOp = VK_ATTACHMENT_LOAD_OP_CLEAR;
  att[1].storeOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
  att[1].stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
  att[1].stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
  att[1].initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  att[1].finalLayout = VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL;
  VkAttachmentReference color{0, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL};
  VkAttachmentReference depth{1, VK_IMAGE_LAYOUT_DEPTH_STENCIL_ATTACHMENT_OPTIMAL};
  VkSubpassDescription sub{};
  sub.pipelineBindPoint = VK_PIPELINE_BIND_POINT_GRAPHICS;
  sub.colorAttachmentCount = 1;
  sub.pColorAttachments = &color;
  sub.pDepthStencilAttachment = &depth;
  VkSubpassDependency dep = rendererMainPassDependency();
  VkRenderPassCreateInfo ci{};
  ci.sType = VK_STRUCTURE_TYPE_RENDER_PASS_CREATE_INFO;
  ci.attachmentCount = 2;
  ci.pAttachments = att;
  ci.subpassCount = 1;
  ci.pSubpasses = &sub;
  ci.dependencyCount = 1;
  ci.pDependencies = &dep;
  VkResult res = vkCreateRenderPass(r->device, &ci, nullptr, &r->renderPass);
  if (res != VK_SUCCESS) {
    std::fprintf(stderr, "Failed to create render pass: %d\n", (int)res);
    r->renderPass = VK_NULL_HANDLE;
    return false;
  }
  return true;
}

b8 createDepthResources(Renderer* r) {
  if (!vramCreateImage2D(r->device, r->swapchainExtent, r->depthFormat, VK_IMAGE_USAGE_DEPTH_STENCIL_ATTACHMENT_BIT,
                         &r->depthImage, &r->depthMemory, &r->depthMemorySize)) {
    if (!r->swapchainFailed)
      std::fprintf(stderr, "Failed to create depth buffer (%ux%u)\n", r->swapchainExtent.width,
                   r->swapchainExtent.height);
    return false;
  }
  VkImageViewCreateInfo vi{};
  vi.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
  vi.image = r->depthImage;
  vi.viewType = VK_IMAGE_VIEW_TYPE_2D;
  vi.format = r->depthFormat;
  vi.subresourceRange = {depthAspect(r->depthFormat), 0, 1, 0, 1};
  VkResult res = vkCreateImageView(r->device, &vi, nullptr, &r->depthView);
  if (res != VK_SUCCESS) {
    r->depthView = VK_NULL_HANDLE;
    reportRebuild(r, "Failed to create depth buffer view", (int)res);
    return false;
  }
  return true;
}

b8 createFramebuffers(Renderer* r) {
  if (!r->renderPass) {
    reportRebuild(r, "Failed to create framebuffers", (int)VK_ERROR_INITIALIZATION_FAILED);
    return false;
  }
  r->framebuffers = static_cast<VkFramebuffer*>(memCalloc(r->swapchainImageCount, sizeof(VkFramebuffer)));
  if (!r->framebuffers) {
    reportRebuild(r, "Failed to create framebuffers", (int)VK_ERROR_OUT_OF_HOST_MEMORY);
    return false;
  }
  for (u32 i = 0; i < r->swapchainImageCount; i++) {
    VkImageView views[2] = {r->swapchainImageViews[i], r->depthView};
    VkFramebufferCreateInfo fi{};
    fi.sType = VK_STRUCTURE_TYPE_FRAMEBUFFER_CREATE_INFO;
    fi.renderPass = r->renderPass;
    fi.attachmentCount = 2;
    fi.pAttachments = views;
    fi.width = r->swapchainExtent.width;
    fi.height = r->swapchainExtent.height;
    fi.layers = 1;
    VkResult res = vkCreateFramebuffer(r->device, &fi, nullptr, &r->framebuffers[i]);
    if (res != VK_SUCCESS) {
      r->framebuffers[i] = VK_NULL_HANDLE;
      reportRebuild(r, "Failed to create framebuffers", (int)res);
      return false;
    }
  }
  return true;
}

void cleanupSwapchain(Renderer* r) {
  if (r->depthView) vkDestroyImageView(r->device, r->depthView, nullptr);
  if (r->depthImage) vkDestroyImage(r->device, r->depthImage, nullptr);
  vramFree(r->depthMemory, r->depthMemorySize, false);
  r->depthView = VK_NULL_HANDLE;
  r->depthImage = VK_NULL_HANDLE;
  r->depthMemory = VK_NULL_HANDLE;
  r->depthMemorySize = 0;
  for (u32 i = 0; i < r->swapchainImageCount; i++) {
    if (r->framebuffers && r->framebuffers[i]) vkDestroyFramebuffer(r->device, r->framebuffers[i], nullptr);
    if (r->swapchainImageViews && r->swapchainImageViews[i])
      vkDestroyImageView(r->device, r->swapchainImageViews[i], nullptr);
    if (r->renderFinishedSemaphores && r->renderFinishedSemaphores[i])
      vkDestroySemaphore(r->device, r->renderFinishedSemaphores[i], nullptr);
  }
  memFree(r->framebuffers);
  memFree(r->swapchainImageViews);
  memFree(r->swapchainImages);
  memFree(r->renderFinishedSemaphores);
  r->framebuffers = nullptr;
  r->swapchainImageViews = nullptr;
  r->swapchainImages = nullptr;
  r->renderFinishedSemaphores = nullptr;
  r->swapchainImageCount = 0;
  if (r->swapchain) vkDestroySwapchainKHR(r->device, r->swapchain, nullptr);
  r->swapchain = VK_NULL_HANDLE;
}

// Every object that depends on the swapchain, or none: a partial set (say a
// framebuffer without its depth view) would fault in the next render pass. On
// failure nothing is left and frames are skipped until a later build succeeds.
b8 buildSwapchain(Renderer* r, u32 width, u32 height) {
  b8 ok = createSwapchain(r, width, height) && createSwapchainImageViews(r) && createRenderFinishedSemaphores(r) &&
          createDepthResources(r) && createFramebuffers(r);
  if (!ok) {
    cleanupSwapchain(r);
    r->swapchainFailed = true;
    return false;
  }
  r->swapchainFailed = false;
  return true;
}

b8 recreateSwapchain(Renderer* r, u32 width, u32 height) {
  rendererWaitIdle(r);
  cleanupSwapchain(r);
  return buildSwapchain(r, width, height);
}

// Rebuilds at the surface's current extent; a zero extent (minimised) keeps the old one.
void rebuildAtCurrentExtent(Renderer* r) {
  VkSurfaceCapabilitiesKHR caps;
  if (vkGetPhysicalDeviceSurfaceCapabilitiesKHR(r->physicalDevice, r->surface, &caps) != VK_SUCCESS) return;
  VkExtent2D e = caps.currentExtent;
  // Surfaces without an extent of their own keep the size we chose.
  if (e.width == 0xFFFFFFFFu) e = r->swapchainExtent;
  if (nonZero(e)) recreateSwapchain(r, e.width, e.height);
}

void waitIdleFor(void* renderer) { rendererWaitIdle(static_cast<Renderer*>(renderer)); }

std::atomic<VkResult (*)(RendererQueueOp)> gFaultHook{nullptr};

VkResult faultHookResult(RendererQueueOp op) {
  auto hook = gFaultHook.load(std::memory_order_acquire);
  return hook ? hook(op) : VK_SUCCESS;
}

// A frame whose submit failed leaves its image-available semaphore signalled
// (or about to be) and its fence unsignalled. An empty batch consumes the one and
// signals the other; should even that fail, both are replaced after the queue
// has gone idle.
void recoverFailedSubmit(Renderer* r, u32 f) {
  VkPipelineStageFlags waitStage = VK_PIPELINE_STAGE_ALL_COMMANDS_BIT;
  VkSubmitInfo si{};
  si.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
  si.waitSemaphoreCount = 1;
  si.pWaitSemaphores = &r->imageAvailableSemaphores[f];
  si.pWaitDstStageMask = &waitStage;
  threadMutexLock(&r->queueMutex);
  VkResult res = vkQueueSubmit(r->graphicsQueue, 1, &si, r->inFlightFences[f]);
  threadMutexUnlock(&r->queueMutex);
  if (res != VK_SUCCESS) {
    rendererWaitIdle(r);
    VkSemaphoreCreateInfo sci{};
    sci.sType = VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO;
    vkDestroySemaphore(r->device, r->imageAvailableSemaphores[f], nullptr);
    r->imageAvailableSemaphores[f] = VK_NULL_HANDLE;
    vkCreateSemaphore(r->device, &sci, nullptr, &r->imageAvailableSemaphores[f]);
    VkFenceCreateInfo fi{};
    fi.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
    fi.flags = VK_FENCE_CREATE_SIGNALED_BIT;
    vkDestroyFence(r->device, r->inFlightFences[f], nullptr);
    r->inFlightFences[f] = VK_NULL_HANDLE;
    vkCreateFence(r->device, &fi, nullptr, &r->inFlightFences[f]);
  }
  // The acquired image was never presented: a rebuild hands every image back.
  rebuildAtCurrentExtent(r);
}

}  // namespace

VkSubpassDependency rendererMainPassDependency() {
  // The depth buffer is shared by both frames in flight: this frame's clear
  // waits for the other frame's depth tests and writes (early and late).
  const VkPipelineStageFlags stages = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT |
                                      VK_PIPELINE_STAGE_EARLY_FRAGMENT_TESTS_BIT |
                                      VK_PIPELINE_STAGE_LATE_FRAGMENT_TESTS_BIT;
  VkSubpassDependency dep{};
  dep.srcSubpass = VK_SUBPASS_EXTERNAL;
  dep.dstSubpass = 0;
  dep.srcStageMask = stages;
  dep.dstStageMask = stages;
  dep.srcAccessMask = VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT;
  dep.dstAccessMask = VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT | VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_READ_BIT |
                      VK_ACCESS_DEPTH_STENCIL_ATTACHMENT_WRITE_BIT;
  return dep;
}

QueueFamilyIndices findQueueFamilies(VkPhysicalDevice device, VkSurfaceKHR surface) {
  QueueFamilyIndices q{};
  u32 count = 0;
  vkGetPhysicalDeviceQueueFamilyProperties(device, &count, nullptr);
  if (count > kMaxQueueFamilies) count = kMaxQueueFamilies;
  VkQueueFamilyProperties props[kMaxQueueFamilies];
  vkGetPhysicalDeviceQueueFamilyProperties(device, &count, props);
  for (u32 i = 0; i < count; i++) {
    if (props[i].queueFlags & VK_QUEUE_GRAPHICS_BIT) {
      q.graphicsFamily = i;
      q.hasGraphics = true;
    }
    VkBool32 present = VK_FALSE;
    if (surface) vkGetPhysicalDeviceSurfaceSupportKHR(device, i, surface, &present);
    if (present) {
      q.presentFamily = i;
      q.hasPresent = true;
    }
    if (q.hasGraphics && q.hasPresent) break;
  }
  return q;
}

b8 selectPhysicalDevice(Renderer* r) {
  u32 count = 0;
  vkEnumeratePhysicalDevices(r->instance, &count, nullptr);
  if (count == 0) {
    std::fprintf(stderr, "No Vulkan-capable GPUs found\n");
    return false;
  }
  auto* devices = static_cast<VkPhysicalDevice*>(memAlloc(sizeof(VkPhysicalDevice) * count));
  if (!devices) return false;
  vkEnumeratePhysicalDevices(r->instance, &count, devices);
  VkPhysicalDevice fallback = VK_NULL_HANDLE;
  VkPhysicalDeviceProperties fallbackProps{};
  b8 chosen = false;
  for (u32 i = 0; i < count && !chosen; i++) {
    VkPhysicalDeviceProperties props;
    vkGetPhysicalDeviceProperties(devices[i], &props);
    QueueFamilyIndices q = findQueueFamilies(devices[i], r->surface);
    if (!q.hasGraphics || !q.hasPresent) continue;
    u32 extCount = 0;
    VkExtensionProperties* exts = deviceExtensions(devices[i], &extCount);
    b8 swapchain = hasExtension(exts, extCount, VK_KHR_SWAPCHAIN_EXTENSION_NAME);
    memFree(exts);
    if (!swapchain) continue;
    std::printf("Found GPU: %s\n", props.deviceName);
    if (props.deviceType == VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU) {
      r->physicalDevice = devices[i];
      r->vendorId = props.vendorID;
      std::printf("Selected: %s (discrete, vendor 0x%04X)\n", props.deviceName, props.vendorID);
      chosen = true;
    } else if (!fallback) {
      fallback = devices[i];
      fallbackProps = props;
    }
  }
  memFree(devices);
  if (!chosen) {
    if (!fallback) {
      std::fprintf(stderr, "No suitable GPU found\n");
      return false;
    }
    r->physicalDevice = fallback;
    r->vendorId = fallbackProps.vendorID;
    std::printf("Selected: %s (fallback, vendor 0x%04X)\n", fallbackProps.deviceName, fallbackProps.vendorID);
  }
  std::fflush(stdout);
  QueueFamilyIndices q = findQueueFamilies(r->physicalDevice, r->surface);
  r->graphicsFamily = q.graphicsFamily;
  r->presentFamily = q.presentFamily;
  return true;
}

b8 createLogicalDevice(Renderer* r) {
  float priority = 1.0f;
  VkDeviceQueueCreateInfo queues[2]{};
  u32 queueCount = 1;
  queues[0].sType = VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO;
  queues[0].queueFamilyIndex = r->graphicsFamily;
  queues[0].queueCount = 1;
  queues[0].pQueuePriorities = &priority;
  if (r->presentFamily != r->graphicsFamily) {
    queues[1] = queues[0];
    queues[1].queueFamilyIndex = r->presentFamily;
    queueCount = 2;
  }

  u32 extCount = 0;
  VkExtensionProperties* exts = deviceExtensions(r->physicalDevice, &extCount);
  b8 hasAccel = hasExtension(exts, extCount, VK_KHR_ACCELERATION_STRUCTURE_EXTENSION_NAME);
  b8 hasBda = hasExtension(exts, extCount, VK_KHR_BUFFER_DEVICE_ADDRESS_EXTENSION_NAME);
  b8 hasDeferred = hasExtension(exts, extCount, VK_KHR_DEFERRED_HOST_OPERATIONS_EXTENSION_NAME);
  b8 hasRayQuery = hasExtension(exts, extCount, VK_KHR_RAY_QUERY_EXTENSION_NAME);
  b8 hasMesh = hasExtension(exts, extCount, VK_EXT_MESH_SHADER_EXTENSION_NAME);
  memFree(exts);

  // What the device offers. Extension records are chained only when the device
  // lists the extension.
  VkPhysicalDeviceFeatures core;
  vkGetPhysicalDeviceFeatures(r->physicalDevice, &core);
  VkPhysicalDeviceRayQueryFeaturesKHR rq{};
  rq.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_RAY_QUERY_FEATURES_KHR;
  VkPhysicalDeviceAccelerationStructureFeaturesKHR as{};
  as.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ACCELERATION_STRUCTURE_FEATURES_KHR;
  VkPhysicalDeviceMeshShaderFeaturesEXT ms{};
  ms.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_MESH_SHADER_FEATURES_EXT;
  VkPhysicalDeviceBufferDeviceAddressFeatures bda{};
  bda.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_BUFFER_DEVICE_ADDRESS_FEATURES;
  VkPhysicalDeviceFeatures2 f2{};
  f2.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2;
  // The bindless texture table: a partially bound array written after binding.
  VkPhysicalDeviceDescriptorIndexingFeatures di{};
  di.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_DESCRIPTOR_INDEXING_FEATURES;
  void** tail = &f2.pNext;
  *tail = &bda;
  tail = &bda.pNext;
  *tail = &di;
  tail = &di.pNext;
  if (hasMesh) {
    *tail = &ms;
    tail = &ms.pNext;
  }
  if (hasAccel) {
    *tail = &as;
    tail = &as.pNext;
  }
  if (hasRayQuery) *tail = &rq;
  vkGetPhysicalDeviceFeatures2(r->physicalDevice, &f2);
  VkPhysicalDeviceMeshShaderPropertiesEXT msProps{};
  msProps.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_MESH_SHADER_PROPERTIES_EXT;
  VkPhysicalDeviceProperties2 p2{};
  p2.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2;
  if (hasMesh) p2.pNext = &msProps;
  vkGetPhysicalDeviceProperties2(r->physicalDevice, &p2);

  r->sparseBinding = core.sparseBinding;
  r->sparseResidencyImage2D = core.sparseResidencyImage2D;
  r->rayQuerySupported = rq.rayQuery && as.accelerationStructure && bda.bufferDeviceAddress && hasAccel && hasBda &&
                         hasDeferred && hasRayQuery;
  r->meshShaderSupported = ms.meshShader && hasMesh;
  if (r->meshShaderSupported) {
    r->maxMeshWorkGroupInvocations = msProps.maxMeshWorkGroupInvocations;
    r->maxMeshOutputVertices = msProps.maxMeshOutputVertices;
    r->maxMeshOutputPrimitives = msProps.maxMeshOutputPrimitives;
    for (int i = 0; i < 3; i++) r->maxMeshWorkGroupCount[i] = msProps.maxMeshWorkGroupCount[i];
  }

  // What we enable.
  VkPhysicalDeviceRayQueryFeaturesKHR rqOn{};
  rqOn.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_RAY_QUERY_FEATURES_KHR;
  VkPhysicalDeviceAccelerationStructureFeaturesKHR asOn{};
  asOn.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ACCELERATION_STRUCTURE_FEATURES_KHR;
  VkPhysicalDeviceMeshShaderFeaturesEXT msOn{};
  msOn.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_MESH_SHADER_FEATURES_EXT;
  VkPhysicalDeviceBufferDeviceAddressFeatures bdaOn{};
  bdaOn.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_BUFFER_DEVICE_ADDRESS_FEATURES;
  VkPhysicalDeviceFeatures2 on{};
  on.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2;
  // A device without large points would otherwise refuse to be created at all.
  on.features.largePoints = core.largePoints;
  if (r->sparseBinding) {
    on.features.sparseBinding = VK_TRUE;
    on.features.sparseResidencyImage2D = r->sparseResidencyImage2D;
  }
  bdaOn.bufferDeviceAddress = VK_TRUE;
  on.pNext = &bdaOn;
  tail = &bdaOn.pNext;
  VkPhysicalDeviceDescriptorIndexingFeatures diOn{};
  diOn.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_DESCRIPTOR_INDEXING_FEATURES;
  diOn.runtimeDescriptorArray = di.runtimeDescriptorArray;
  diOn.descriptorBindingPartiallyBound = di.descriptorBindingPartiallyBound;
  diOn.descriptorBindingSampledImageUpdateAfterBind = di.descriptorBindingSampledImageUpdateAfterBind;
  diOn.descriptorBindingUpdateUnusedWhilePending = di.descriptorBindingUpdateUnusedWhilePending;
  diOn.shaderSampledImageArrayNonUniformIndexing = di.shaderSampledImageArrayNonUniformIndexing;
  *tail = &diOn;
  tail = &diOn.pNext;
  const char* names[12];
  u32 nameCount = 0;
  names[nameCount++] = VK_KHR_SWAPCHAIN_EXTENSION_NAME;
  if (hasBda) names[nameCount++] = VK_KHR_BUFFER_DEVICE_ADDRESS_EXTENSION_NAME;
  if (r->meshShaderSupported) {
    names[nameCount++] = VK_EXT_MESH_SHADER_EXTENSION_NAME;
    msOn.meshShader = VK_TRUE;
    msOn.taskShader = VK_FALSE;
    *tail = &msOn;
    tail = &msOn.pNext;
  }
  if (r->rayQuerySupported) {
    names[nameCount++] = VK_KHR_ACCELERATION_STRUCTURE_EXTENSION_NAME;
    names[nameCount++] = VK_KHR_DEFERRED_HOST_OPERATIONS_EXTENSION_NAME;
    names[nameCount++] = VK_KHR_RAY_QUERY_EXTENSION_NAME;
    asOn.accelerationStructure = VK_TRUE;
    rqOn.rayQuery = VK_TRUE;
    *tail = &asOn;
    asOn.pNext = &rqOn;
  }

  VkDeviceCreateInfo ci{};
  ci.sType = VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO;
  ci.pNext = &on;
  ci.queueCreateInfoCount = queueCount;
  ci.pQueueCreateInfos = queues;
  ci.enabledExtensionCount = nameCount;
  ci.ppEnabledExtensionNames = names;
  VkResult res = vkCreateDevice(r->physicalDevice, &ci, nullptr, &r->device);
  if (res != VK_SUCCESS) {
    std::fprintf(stderr, "Failed to create logical device: %d\n", (int)res);
    r->device = VK_NULL_HANDLE;
    return false;
  }
  volkLoadDevice(r->device);
  vkGetDeviceQueue(r->device, r->graphicsFamily, 0, &r->graphicsQueue);
  vkGetDeviceQueue(r->device, r->presentFamily, 0, &r->presentQueue);
  r->sparseQueue = r->graphicsQueue;
  if (r->sparseBinding)
    std::fprintf(stderr, "Sparse binding: enabled (residency2D: %s)\n", r->sparseResidencyImage2D ? "yes" : "no");
  std::fprintf(stderr, "Ray-query lighting: %s\n", r->rayQuerySupported ? "available" : "unavailable");
  return true;
}

b8 rendererInit(Renderer* r, VkInstance instance, VkSurfaceKHR surface, u32 width, u32 height) {
  if (!r) return false;
  std::memset(static_cast<void*>(r), 0, sizeof(*r));
  threadMutexInit(&r->queueMutex);
  r->instance = instance;
  r->surface = surface;
  if (!instance || !vkEnumeratePhysicalDevices) {
    std::fprintf(stderr, "No Vulkan-capable GPUs found\n");
    threadMutexDestroy(&r->queueMutex);
    return false;
  }
  if (!selectPhysicalDevice(r) || !createLogicalDevice(r)) {
    threadMutexDestroy(&r->queueMutex);
    return false;
  }
  vramInit(r->device, r->physicalDevice);
  vramSetIdleWait(waitIdleFor, r);
  r->depthFormat = chooseDepthFormat(r);
  // The render pass outlives every swapchain: its colour format is the surface
  // format, chosen the same way at each rebuild.
  VkSurfaceFormatKHR format;
  if (chooseSurfaceFormat(r, &format)) {
    r->swapchainFormat = format.format;
    createRenderPass(r);
  } else {
    std::fprintf(stderr, "Failed to create render pass: %d\n", (int)VK_ERROR_FORMAT_NOT_SUPPORTED);
  }
  // A failure here is reported; frames are skipped until a rebuild succeeds.
  buildSwapchain(r, width, height);

  VkCommandPoolCreateInfo pi{};
  pi.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
  pi.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
  pi.queueFamilyIndex = r->graphicsFamily;
  VkResult res = vkCreateCommandPool(r->device, &pi, nullptr, &r->commandPool);
  if (res == VK_SUCCESS) {
    VkCommandBufferAllocateInfo ai{};
    ai.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
    ai.commandPool = r->commandPool;
    ai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    ai.commandBufferCount = kRendererFramesInFlight;
    res = vkAllocateCommandBuffers(r->device, &ai, r->commandBuffers);
    if (res != VK_SUCCESS)
      for (VkCommandBuffer& c : r->commandBuffers) c = VK_NULL_HANDLE;
  } else {
    r->commandPool = VK_NULL_HANDLE;
  }
  if (res != VK_SUCCESS) std::fprintf(stderr, "Failed to create command buffers: %d\n", (int)res);
  VkSemaphoreCreateInfo si{};
  si.sType = VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO;
  VkFenceCreateInfo fi{};
  fi.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
  fi.flags = VK_FENCE_CREATE_SIGNALED_BIT;
  for (u32 i = 0; i < kRendererFramesInFlight; i++) {
    VkResult a = vkCreateSemaphore(r->device, &si, nullptr, &r->imageAvailableSemaphores[i]);
    VkResult b = vkCreateFence(r->device, &fi, nullptr, &r->inFlightFences[i]);
    if (a != VK_SUCCESS) r->imageAvailableSemaphores[i] = VK_NULL_HANDLE;
    if (b != VK_SUCCESS) r->inFlightFences[i] = VK_NULL_HANDLE;
    if (a != VK_SUCCESS || b != VK_SUCCESS)
      std::fprintf(stderr, "Failed to create synchronisation objects: %d\n", (int)(a != VK_SUCCESS ? a : b));
  }
  r->currentFrame = 0;
  r->framebufferResized = false;
  r->lastFrameTimeNs = clockNanos();
  return true;
}

void rendererDestroy(Renderer* r) {
  if (!r || !r->device) return;
  rendererWaitIdle(r);
  vramSetIdleWait(nullptr, nullptr);
  vramCollect(true);
  for (u32 i = 0; i < kRendererFramesInFlight; i++) {
    if (r->imageAvailableSemaphores[i]) vkDestroySemaphore(r->device, r->imageAvailableSemaphores[i], nullptr);
    if (r->inFlightFences[i]) vkDestroyFence(r->device, r->inFlightFences[i], nullptr);
  }
  if (r->commandPool) vkDestroyCommandPool(r->device, r->commandPool, nullptr);
  cleanupSwapchain(r);
  if (r->renderPass) vkDestroyRenderPass(r->device, r->renderPass, nullptr);
  vkDestroyDevice(r->device, nullptr);
  // The counters stay as they are: whatever is still accounted was leaked.
  memoryGet()->device = nullptr;
  memoryGet()->physicalDevice = nullptr;
  threadMutexDestroy(&r->queueMutex);
  VkInstance instance = r->instance;
  VkSurfaceKHR surface = r->surface;
  std::memset(static_cast<void*>(r), 0, sizeof(*r));
  r->instance = instance;
  r->surface = surface;
}

void rendererResize(Renderer* r, u32, u32) {
  if (r) r->framebufferResized = true;
}

void rendererSetRefreshRate(Renderer* r, f32 hz) {
  if (!r) return;
  if (!(hz > 0.0f)) hz = 60.0f;
  r->targetFrameTimeNs = 1e9 / (f64)hz;
}

void rendererSetLightingMode(Renderer* r, RendererLightingMode mode) {
  if (!r) return;
  if (mode == RENDERER_LIGHTING_RAY_QUERY && !r->rayQuerySupported) {
    std::fprintf(stderr, "Ray-query lighting requested but unsupported; using shadow maps\n");
    r->lightingMode = RENDERER_LIGHTING_SHADOW_MAPS;
    return;
  }
  r->lightingMode = mode;
}

const char* rendererLitShaderPath(const Renderer* r, const char* path) {
  static char buffer[256];
  if (!r || !path || r->lightingMode != RENDERER_LIGHTING_RAY_QUERY) return path;
  const char* at = std::strstr(path, ".frag.spv");
  if (!at) return path;
  std::snprintf(buffer, sizeof buffer, "%.*s_rayq%s", (int)(at - path), path, ".frag.spv");
  return buffer;
}

const ShaderData* shaderTableFind(const ShaderData* table, u32 count, const char* name) {
  if (!table || !name) return nullptr;
  for (u32 i = 0; i < count; i++)
    if (table[i].name && std::strcmp(table[i].name, name) == 0) return &table[i];
  return nullptr;
}

const u32* rendererLoadShader(const char* path, u64* outSize) {
  const ShaderData* s = shaderTableFind(shader_table, shader_table_count, path);
  if (!s) {
    std::fprintf(stderr, "Shader not found: %s\n", path ? path : "(null)");
    return nullptr;
  }
  if (outSize) *outSize = s->size;
  return s->data;
}

VkShaderModule rendererCreateShaderModule(Renderer* r, const u32* code, u64 size) {
  if (!r || !r->device || !code || size == 0) return VK_NULL_HANDLE;
  VkShaderModuleCreateInfo ci{};
  ci.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
  ci.codeSize = size;
  ci.pCode = code;
  VkShaderModule m = VK_NULL_HANDLE;
  if (vkCreateShaderModule(r->device, &ci, nullptr, &m) != VK_SUCCESS) {
    std::fprintf(stderr, "Failed to create shader module\n");
    return VK_NULL_HANDLE;
  }
  return m;
}

b8 rendererCreatePipeline(Renderer* r, const PipelineConfig* c, VkPipelineLayout* outLayout,
                          VkPipeline* outPipeline) {
  if (!r || !r->device || !c || !outLayout || !outPipeline) return false;
  VkShaderModule vert = rendererCreateShaderModule(r, c->vertCode, c->vertSize);
  VkShaderModule frag = rendererCreateShaderModule(r, c->fragCode, c->fragSize);
  if (!vert || !frag) {
    std::fprintf(stderr, "Failed to create shader modules\n");
    if (vert) vkDestroyShaderModule(r->device, vert, nullptr);
    if (frag) vkDestroyShaderModule(r->device, frag, nullptr);
    return false;
  }
  VkPipelineLayoutCreateInfo li{};
  li.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
  li.setLayoutCount = c->descriptorSetLayoutCount;
  li.pSetLayouts = c->descriptorSetLayouts;
  li.pushConstantRangeCount = c->pushConstantCount;
  li.pPushConstantRanges = c->pushConstants;
  if (vkCreatePipelineLayout(r->device, &li, nullptr, outLayout) != VK_SUCCESS) {
    std::fprintf(stderr, "Failed to create pipeline layout\n");
    *outLayout = VK_NULL_HANDLE;
    vkDestroyShaderModule(r->device, vert, nullptr);
    vkDestroyShaderModule(r->device, frag, nullptr);
    return false;
  }
  VkPipelineShaderStageCreateInfo stages[2]{};
  stages[0].sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
  stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
  stages[0].module = vert;
  stages[0].pName = "main";
  stages[1] = stages[0];
  stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
  stages[1].module = frag;
  VkPipelineVertexInputStateCreateInfo vin{};
  vin.sType = VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO;
  vin.vertexBindingDescriptionCount = c->vertexBindingCount;
  vin.pVertexBindingDescriptions = c->vertexBindings;
  vin.vertexAttributeDescriptionCount = c->vertexAttributeCount;
  vin.pVertexAttributeDescriptions = c->vertexAttributes;
  VkPipelineInputAssemblyStateCreateInfo ia{};
  ia.sType = VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO;
  ia.topology = c->topology;
  VkPipelineViewportStateCreateInfo vp{};
  vp.sType = VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO;
  vp.viewportCount = 1;
  vp.scissorCount = 1;
  VkPipelineRasterizationStateCreateInfo rs{};
  rs.sType = VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO;
  rs.polygonMode = VK_POLYGON_MODE_FILL;
  rs.cullMode = c->cullMode;
  rs.frontFace = c->frontFace;
  rs.depthBiasEnable = c->depthBiasEnable;
  rs.depthBiasConstantFactor = c->depthBiasConstant;
  rs.depthBiasSlopeFactor = c->depthBiasSlope;
  rs.lineWidth = 1.0f;
  VkPipelineMultisampleStateCreateInfo msi{};
  msi.sType = VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO;
  msi.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;
  VkStencilOpState st{};
  st.failOp = c->stencilFailOp;
  st.passOp = c->stencilPassOp;
  st.depthFailOp = c->stencilDepthFailOp;
  st.compareOp = c->stencilCompareOp;
  st.compareMask = c->stencilCompareMask;
  st.writeMask = c->stencilWrite ? c->stencilWriteMask : 0;
  st.reference = c->stencilReference;
  VkPipelineDepthStencilStateCreateInfo ds{};
  ds.sType = VK_STRUCTURE_TYPE_PIPELINE_DEPTH_STENCIL_STATE_CREATE_INFO;
  ds.depthTestEnable = c->depthTest;
  ds.depthWriteEnable = c->depthWrite;
  ds.depthCompareOp = VK_COMPARE_OP_LESS;
  ds.stencilTestEnable = c->stencilTest;
  ds.front = st;
  ds.back = st;
  VkPipelineColorBlendAttachmentState blend{};
  blend.blendEnable = c->blendEnable;
  blend.srcColorBlendFactor = VK_BLEND_FACTOR_SRC_ALPHA;
  blend.dstColorBlendFactor = VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA;
  blend.colorBlendOp = VK_BLEND_OP_ADD;
  blend.srcAlphaBlendFactor = VK_BLEND_FACTOR_ONE;
  blend.dstAlphaBlendFactor = VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA;
  blend.alphaBlendOp = VK_BLEND_OP_ADD;
  blend.colorWriteMask = VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT | VK_COLOR_COMPONENT_B_BIT |
                         VK_COLOR_COMPONENT_A_BIT;
  VkPipelineColorBlendStateCreateInfo cb{};
  cb.sType = VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO;
  cb.attachmentCount = c->depthOnly ? 0 : 1;
  cb.pAttachments = c->depthOnly ? nullptr : &blend;
  VkDynamicState dynamic[2] = {VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR};
  VkPipelineDynamicStateCreateInfo dyn{};
  dyn.sType = VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO;
  dyn.dynamicStateCount = 2;
  dyn.pDynamicStates = dynamic;
  VkGraphicsPipelineCreateInfo pi{};
  pi.sType = VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO;
  pi.stageCount = 2;
  pi.pStages = stages;
  pi.pVertexInputState = &vin;
  pi.pInputAssemblyState = &ia;
  pi.pViewportState = &vp;
  pi.pRasterizationState = &rs;
  pi.pMultisampleState = &msi;
  pi.pDepthStencilState = &ds;
  pi.pColorBlendState = &cb;
  pi.pDynamicState = &dyn;
  pi.layout = *outLayout;
  pi.renderPass = c->renderPass ? c->renderPass : r->renderPass;
  pi.subpass = 0;
  VkResult res = vkCreateGraphicsPipelines(r->device, VK_NULL_HANDLE, 1, &pi, nullptr, outPipeline);
  vkDestroyShaderModule(r->device, vert, nullptr);
  vkDestroyShaderModule(r->device, frag, nullptr);
  if (res != VK_SUCCESS) {
    std::fprintf(stderr, "Failed to create pipeline: %d\n", (int)res);
    vkDestroyPipelineLayout(r->device, *outLayout, nullptr);
    *outLayout = VK_NULL_HANDLE;
    *outPipeline = VK_NULL_HANDLE;
    return false;
  }
  return true;
}

u32 rendererFindMemoryType(Renderer* r, u32 typeFilter, VkMemoryPropertyFlags properties) {
  if (r && r->physicalDevice) {
    VkPhysicalDeviceMemoryProperties props;
    vkGetPhysicalDeviceMemoryProperties(r->physicalDevice, &props);
    for (u32 i = 0; i < props.memoryTypeCount; i++)
      if ((typeFilter & (1u << i)) && (props.memoryTypes[i].propertyFlags & properties) == properties) return i;
  }
  std::fprintf(stderr, "Failed to find suitable memory type\n");
  return 0;
}

VkDescriptorSetLayout rendererCreateDescriptorSetLayout(Renderer* r, const VkDescriptorSetLayoutBinding* bindings,
                                                        u32 count) {
  VkDescriptorSetLayoutCreateInfo ci{};
  ci.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO;
  ci.bindingCount = count;
  ci.pBindings = bindings;
  VkDescriptorSetLayout layout = VK_NULL_HANDLE;
  if (vkCreateDescriptorSetLayout(r->device, &ci, nullptr, &layout) != VK_SUCCESS) return VK_NULL_HANDLE;
  return layout;
}

VkDescriptorPool rendererCreateDescriptorPool(Renderer* r, const VkDescriptorPoolSize* poolSizes, u32 poolSizeCount,
                                              u32 maxSets) {
  VkDescriptorPoolCreateInfo ci{};
  ci.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO;
  ci.maxSets = maxSets;
  ci.poolSizeCount = poolSizeCount;
  ci.pPoolSizes = poolSizes;
  VkDescriptorPool pool = VK_NULL_HANDLE;
  if (vkCreateDescriptorPool(r->device, &ci, nullptr, &pool) != VK_SUCCESS) return VK_NULL_HANDLE;
  return pool;
}

VkDescriptorSet rendererAllocDescriptorSet(Renderer* r, VkDescriptorPool pool, VkDescriptorSetLayout layout) {
  VkDescriptorSetAllocateInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO;
  ai.descriptorPool = pool;
  ai.descriptorSetCount = 1;
  ai.pSetLayouts = &layout;
  VkDescriptorSet set = VK_NULL_HANDLE;
  if (vkAllocateDescriptorSets(r->device, &ai, &set) != VK_SUCCESS) return VK_NULL_HANDLE;
  return set;
}

void rendererUpdateDescriptorImage(Renderer* r, VkDescriptorSet set, u32 binding, VkSampler sampler,
                                   VkImageView view) {
  if (!r || !set || !sampler || !view) return;
  VkDescriptorImageInfo ii{sampler, view, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL};
  VkWriteDescriptorSet w{};
  w.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
  w.dstSet = set;
  w.dstBinding = binding;
  w.descriptorCount = 1;
  w.descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
  w.pImageInfo = &ii;
  vkUpdateDescriptorSets(r->device, 1, &w, 0, nullptr);
}

VkCommandBuffer rendererBeginOneTimeCommands(Renderer* r) {
  if (!r || !r->device) return VK_NULL_HANDLE;
  VkCommandBufferAllocateInfo ai{};
  ai.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
  ai.commandPool = r->commandPool;
  ai.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
  ai.commandBufferCount = 1;
  VkCommandBuffer cmd = VK_NULL_HANDLE;
  if (vkAllocateCommandBuffers(r->device, &ai, &cmd) != VK_SUCCESS) return VK_NULL_HANDLE;
  VkCommandBufferBeginInfo bi{};
  bi.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
  bi.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
  vkBeginCommandBuffer(cmd, &bi);
  return cmd;
}

void rendererEndOneTimeCommands(Renderer* r, VkCommandBuffer cmd) {
  if (!r || !r->device || !cmd) return;
  vkEndCommandBuffer(cmd);
  VkSubmitInfo si{};
  si.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
  si.commandBufferCount = 1;
  si.pCommandBuffers = &cmd;
  threadMutexLock(&r->queueMutex);
  vkQueueSubmit(r->graphicsQueue, 1, &si, VK_NULL_HANDLE);
  vkQueueWaitIdle(r->graphicsQueue);
  // Read under the lock that the frame thread holds while it opens a frame, so
  // that a frame being recorded is never taken for complete.
  gpuSerialQueueIdle(r->frameRecording);
  threadMutexUnlock(&r->queueMutex);
  vkFreeCommandBuffers(r->device, r->commandPool, 1, &cmd);
  vramCollect(false);
}

void rendererWaitIdle(Renderer* r) {
  if (!r || !r->device) return;
  threadMutexLock(&r->queueMutex);
  vkDeviceWaitIdle(r->device);
  gpuSerialQueueIdle(r->frameRecording);
  threadMutexUnlock(&r->queueMutex);
}

void rendererSetFaultHook(VkResult (*hook)(RendererQueueOp op)) { gFaultHook.store(hook, std::memory_order_release); }

b8 rendererBeginFrame(Renderer* r, VkCommandBuffer* outCmd, u32* outImageIndex) {
  if (!r || !r->device || !outCmd || !outImageIndex) return false;
  // Without vertical sync the loop would run flat out and starve the other threads.
  if (!presentModeWaits(r->presentMode) && r->targetFrameTimeNs > 0.0) {
    f64 remaining = r->lastFrameTimeNs + r->targetFrameTimeNs - clockNanos();
    if (remaining > 0.0) nanoSleep((u64)remaining);
    r->lastFrameTimeNs = clockNanos();
  }
  u32 f = (u32)r->currentFrame;
  if (!r->commandBuffers[f] || !r->inFlightFences[f] || !r->imageAvailableSemaphores[f]) return false;
  vkWaitForFences(r->device, 1, &r->inFlightFences[f], VK_TRUE, UINT64_MAX);
  gpuSerialComplete(r->frameSerial[f]);
  vramCollect(false);
  if (!r->swapchain) {
    rebuildAtCurrentExtent(r);
    if (!r->swapchain) return false;
  }
  u32 imageIndex = 0;
  VkResult res = vkAcquireNextImageKHR(r->device, r->swapchain, UINT64_MAX, r->imageAvailableSemaphores[f],
                                       VK_NULL_HANDLE, &imageIndex);
  if (res == VK_ERROR_OUT_OF_DATE_KHR) {
    rebuildAtCurrentExtent(r);
    return false;
  }
  if (res != VK_SUCCESS && res != VK_SUBOPTIMAL_KHR) {
    std::fprintf(stderr, "Failed to acquire swapchain image: %d\n", (int)res);
    return false;
  }
  vkResetFences(r->device, 1, &r->inFlightFences[f]);
  VkCommandBuffer cmd = r->commandBuffers[f];
  vkResetCommandBuffer(cmd, 0);
  VkCommandBufferBeginInfo bi{};
  bi.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
  vkBeginCommandBuffer(cmd, &bi);
  // Opening the serial and marking the frame as recording are one step for an
  // upload thread that completes serials after its queue went idle.
  threadMutexLock(&r->queueMutex);
  r->frameSerial[f] = gpuSerialBeginFrame();
  r->frameRecording = true;
  threadMutexUnlock(&r->queueMutex);
  *outCmd = cmd;
  *outImageIndex = imageIndex;
  return true;
}

void rendererBeginRenderPass(Renderer* r, u32 imageIndex) {
  if (!r || !r->frameRecording || imageIndex >= r->swapchainImageCount || !r->framebuffers) return;
  VkCommandBuffer cmd = r->commandBuffers[r->currentFrame];
  VkClearValue clears[2];
  clears[0].color = {{0.2f, 0.2f, 0.2f, 1.0f}};
  clears[1].depthStencil = {1.0f, 0};
  VkRenderPassBeginInfo bi{};
  bi.sType = VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO;
  bi.renderPass = r->renderPass;
  bi.framebuffer = r->framebuffers[imageIndex];
  bi.renderArea = {{0, 0}, r->swapchainExtent};
  bi.clearValueCount = 2;
  bi.pClearValues = clears;
  vkCmdBeginRenderPass(cmd, &bi, VK_SUBPASS_CONTENTS_INLINE);
  VkViewport viewport{0.0f, 0.0f, (f32)r->swapchainExtent.width, (f32)r->swapchainExtent.height, 0.0f, 1.0f};
  VkRect2D scissor{{0, 0}, r->swapchainExtent};
  vkCmdSetViewport(cmd, 0, 1, &viewport);
  vkCmdSetScissor(cmd, 0, 1, &scissor);
}

namespace {

struct Capture {
  VkBuffer buffer;
  VkDeviceMemory memory;
  VkDeviceSize allocated;
  u32 width, height;
};

// Records the copy of the finished image into a new host buffer; false (nothing
// recorded) when no buffer could be made.
b8 recordCapture(Renderer* r, VkCommandBuffer cmd, u32 imageIndex, Capture* c) {
  *c = Capture{};
  c->width = r->swapchainExtent.width;
  c->height = r->swapchainExtent.height;
  VkDeviceSize bytes = (VkDeviceSize)c->width * c->height * 4;
  if (bytes == 0 || !vramCreateBuffer(r->device, bytes, VK_BUFFER_USAGE_TRANSFER_DST_BIT,
                                      VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT,
                                      &c->buffer, &c->memory, &c->allocated))
    return false;
  VkImage image = r->swapchainImages[imageIndex];
  VkImageMemoryBarrier b{};
  b.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER;
  b.srcAccessMask = VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT;
  b.dstAccessMask = VK_ACCESS_TRANSFER_READ_BIT;
  b.oldLayout = VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
  b.newLayout = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
  b.srcQueueFamilyIndex = b.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  b.image = image;
  b.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT, VK_PIPELINE_STAGE_TRANSFER_BIT, 0, 0,
                       nullptr, 0, nullptr, 1, &b);
  VkBufferImageCopy region{};
  region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  region.imageExtent = {c->width, c->height, 1};
  vkCmdCopyImageToBuffer(cmd, image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, c->buffer, 1, &region);
  b.srcAccessMask = VK_ACCESS_TRANSFER_READ_BIT;
  b.dstAccessMask = 0;
  b.oldLayout = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
  b.newLayout = VK_IMAGE_LAYOUT_PRESENT_SRC_KHR;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_BOTTOM_OF_PIPE_BIT, 0, 0, nullptr, 0,
                       nullptr, 1, &b);
  VkMemoryBarrier host{};
  host.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
  host.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
  host.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
  vkCmdPipelineBarrier(cmd, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_HOST_BIT, 0, 1, &host, 0, nullptr, 0,
                       nullptr);
  return true;
}

// Waits for the frame's fence, hands the pixels over (as RGBA) and frees the buffer.
void finishCapture(Renderer* r, u32 frame, Capture* c, b8 submitted, void (*fn)(void*, const u8*, u32, u32),
                   void* user) {
  u8* pixels = nullptr;
  if (submitted && c->buffer &&
      vkWaitForFences(r->device, 1, &r->inFlightFences[frame], VK_TRUE, UINT64_MAX) == VK_SUCCESS) {
    void* mapped = nullptr;
    if (vkMapMemory(r->device, c->memory, 0, VK_WHOLE_SIZE, 0, &mapped) == VK_SUCCESS) {
      pixels = static_cast<u8*>(mapped);
      b8 bgra = r->swapchainFormat == VK_FORMAT_B8G8R8A8_UNORM || r->swapchainFormat == VK_FORMAT_B8G8R8A8_SRGB;
      u64 n = (u64)c->width * c->height;
      for (u64 i = 0; i < n; i++) {
        u8* p = pixels + 4 * i;
        if (bgra) {
          u8 t = p[0];
          p[0] = p[2];
          p[2] = t;
        }
        p[3] = 255;  // the window is opaque whatever alpha the passes left
      }
    }
  }
  fn(user, pixels, pixels ? c->width : 0, pixels ? c->height : 0);
  if (pixels) vkUnmapMemory(r->device, c->memory);
  if (c->buffer) vkDestroyBuffer(r->device, c->buffer, nullptr);
  if (c->memory) vramFree(c->memory, c->allocated, true);
  *c = Capture{};
}

}  // namespace

b8 rendererRequestCapture(Renderer* r, void (*fn)(void*, const u8*, u32, u32), void* user) {
  if (!r || !fn || !r->swapchainTransferSrc) return false;
  r->captureFn = fn;
  r->captureUser = user;
  return true;
}

void rendererEndFrame(Renderer* r, u32 imageIndex) {
  if (!r || !r->frameRecording) return;
  u32 f = (u32)r->currentFrame;
  VkCommandBuffer cmd = r->commandBuffers[f];
  vkCmdEndRenderPass(cmd);
  Capture capture{};
  auto captureFn = r->captureFn;
  void* captureUser = r->captureUser;
  r->captureFn = nullptr;
  r->captureUser = nullptr;
  b8 capturing = captureFn && r->swapchainTransferSrc && recordCapture(r, cmd, imageIndex, &capture);
  vkEndCommandBuffer(cmd);
  VkPipelineStageFlags waitStage = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT;
  VkSemaphore renderFinished = r->renderFinishedSemaphores[imageIndex];
  VkSubmitInfo si{};
  si.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
  si.waitSemaphoreCount = 1;
  si.pWaitSemaphores = &r->imageAvailableSemaphores[f];
  si.pWaitDstStageMask = &waitStage;
  si.commandBufferCount = 1;
  si.pCommandBuffers = &cmd;
  si.signalSemaphoreCount = 1;
  si.pSignalSemaphores = &renderFinished;
  threadMutexLock(&r->queueMutex);
  VkResult submitted = faultHookResult(RENDERER_OP_SUBMIT);
  if (submitted == VK_SUCCESS) submitted = vkQueueSubmit(r->graphicsQueue, 1, &si, r->inFlightFences[f]);
  r->frameRecording = false;
  threadMutexUnlock(&r->queueMutex);
  r->currentFrame = (r->currentFrame + 1) % kRendererFramesInFlight;
  if (submitted != VK_SUCCESS) {
    std::fprintf(stderr, "Failed to submit frame: %d\n", (int)submitted);
    recoverFailedSubmit(r, f);
    if (captureFn) finishCapture(r, f, &capture, false, captureFn, captureUser);
    return;
  }
  if (captureFn) finishCapture(r, f, &capture, capturing, captureFn, captureUser);
  VkPresentInfoKHR pi{};
  pi.sType = VK_STRUCTURE_TYPE_PRESENT_INFO_KHR;
  pi.waitSemaphoreCount = 1;
  pi.pWaitSemaphores = &renderFinished;
  pi.swapchainCount = 1;
  pi.pSwapchains = &r->swapchain;
  pi.pImageIndices = &imageIndex;
  threadMutexLock(&r->queueMutex);
  VkResult res = faultHookResult(RENDERER_OP_PRESENT);
  if (res == VK_SUCCESS) res = vkQueuePresentKHR(r->presentQueue, &pi);
  threadMutexUnlock(&r->queueMutex);
  if (res != VK_SUCCESS && res != VK_SUBOPTIMAL_KHR && res != VK_ERROR_OUT_OF_DATE_KHR) {
    // The image and its semaphore are in an unknown state: a rebuild replaces
    // both (and, if it fails, frames are skipped until one succeeds).
    std::fprintf(stderr, "Failed to present swapchain image: %d\n", (int)res);
    r->framebufferResized = false;
    rebuildAtCurrentExtent(r);
    return;
  }
  if (res == VK_ERROR_OUT_OF_DATE_KHR || res == VK_SUBOPTIMAL_KHR || r->framebufferResized) {
    r->framebufferResized = false;
    rebuildAtCurrentExtent(r);
  }
}
