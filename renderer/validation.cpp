#include "renderer/validation.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kLayerName = "VK_LAYER_KHRONOS_validation";
constexpr u32 kMaxLayers = 64;

// Messages may arrive from any thread that calls into Vulkan.
std::atomic<u32> gErrors{0};
std::atomic<void (*)(const char*)> gHook{nullptr};
VkDebugUtilsMessengerEXT gMessenger = VK_NULL_HANDLE;

VKAPI_ATTR VkBool32 VKAPI_CALL onMessage(VkDebugUtilsMessageSeverityFlagBitsEXT severity,
                                         VkDebugUtilsMessageTypeFlagsEXT,
                                         const VkDebugUtilsMessengerCallbackDataEXT* data, void*) {
  if (!(severity & VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT)) return VK_FALSE;
  const char* text = data && data->pMessage ? data->pMessage : "(no message)";
  gErrors.fetch_add(1, std::memory_order_relaxed);
  std::fprintf(stderr, "validation: %s\n", text);
  if (auto hook = gHook.load(std::memory_order_acquire)) hook(text);
  return VK_FALSE;
}

b8 layerInstalled() {
  if (!vkEnumerateInstanceLayerProperties) return false;
  VkLayerProperties layers[kMaxLayers];
  u32 count = kMaxLayers;
  VkResult res = vkEnumerateInstanceLayerProperties(&count, layers);
  if (res != VK_SUCCESS && res != VK_INCOMPLETE) return false;
  for (u32 i = 0; i < count; i++)
    if (std::strcmp(layers[i].layerName, kLayerName) == 0) return true;
  return false;
}

}  // namespace

b8 validationRequested() {
  const char* v = std::getenv("TERRAIN_VALIDATION");
  return v && *v && std::strcmp(v, "0") != 0;
}

b8 validationPrepare(ValidationSetup* v, VkInstanceCreateInfo* ci) {
  if (!v || !ci) return false;
  *v = ValidationSetup{};
  u32 n = ci->enabledExtensionCount;
  if (n + 1 > sizeof v->extensions / sizeof v->extensions[0] || !layerInstalled()) return false;
  for (u32 i = 0; i < n; i++) v->extensions[i] = ci->ppEnabledExtensionNames[i];
  v->extensions[n] = VK_EXT_DEBUG_UTILS_EXTENSION_NAME;
  v->layer = kLayerName;
  v->enables[0] = VK_VALIDATION_FEATURE_ENABLE_SYNCHRONIZATION_VALIDATION_EXT;
  v->messenger.sType = VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT;
  v->messenger.messageSeverity = VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
  v->messenger.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT |
                             VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                             VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT;
  v->messenger.pfnUserCallback = onMessage;
  // Chained into the instance record too, so creation and destruction are checked.
  v->messenger.pNext = ci->pNext;
  v->features.sType = VK_STRUCTURE_TYPE_VALIDATION_FEATURES_EXT;
  v->features.pNext = &v->messenger;
  v->features.enabledValidationFeatureCount = 1;
  v->features.pEnabledValidationFeatures = v->enables;
  ci->pNext = &v->features;
  ci->enabledLayerCount = 1;
  ci->ppEnabledLayerNames = &v->layer;
  ci->enabledExtensionCount = n + 1;
  ci->ppEnabledExtensionNames = v->extensions;
  v->enabled = true;
  return true;
}

b8 validationStart(VkInstance instance) {
  // A messenger left by an instance that was never released is forgotten.
  if (!instance || !vkCreateDebugUtilsMessengerEXT) return false;
  VkDebugUtilsMessengerCreateInfoEXT ci{};
  ci.sType = VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT;
  ci.messageSeverity = VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
  ci.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT | VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                   VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT;
  ci.pfnUserCallback = onMessage;
  return vkCreateDebugUtilsMessengerEXT(instance, &ci, nullptr, &gMessenger) == VK_SUCCESS;
}

void validationStop(VkInstance instance) {
  if (!instance || !gMessenger || !vkDestroyDebugUtilsMessengerEXT) return;
  vkDestroyDebugUtilsMessengerEXT(instance, gMessenger, nullptr);
  gMessenger = VK_NULL_HANDLE;
}

u32 validationErrorCount() { return gErrors.load(std::memory_order_relaxed); }

void validationSetErrorHook(void (*hook)(const char* message)) { gHook.store(hook, std::memory_order_release); }
