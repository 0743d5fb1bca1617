#include "renderer/vkloader.h"

#include <dlfcn.h>

#define TERRAIN_VK_DEFINE(name) TERRAIN_VK_HIDDEN PFN_##name name = nullptr;
TERRAIN_VK_HIDDEN PFN_vkGetInstanceProcAddr vkGetInstanceProcAddr = nullptr;
TERRAIN_VK_GLOBAL_FUNCS(TERRAIN_VK_DEFINE)
TERRAIN_VK_INSTANCE_FUNCS(TERRAIN_VK_DEFINE)
TERRAIN_VK_DEVICE_FUNCS(TERRAIN_VK_DEFINE)
#undef TERRAIN_VK_DEFINE

namespace {

void* gLibrary = nullptr;
VkInstance gInstance = VK_NULL_HANDLE;
VkDevice gDevice = VK_NULL_HANDLE;

}  // namespace

VkResult volkInitialize() {
  if (vkGetInstanceProcAddr) return VK_SUCCESS;
  // Kept open for the life of the process: function pointers into it stay valid.
  void* lib = dlopen("libvulkan.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!lib) lib = dlopen("libvulkan.so", RTLD_NOW | RTLD_LOCAL);
  if (!lib) return VK_ERROR_INITIALIZATION_FAILED;
  auto gipa = reinterpret_cast<PFN_vkGetInstanceProcAddr>(dlsym(lib, "vkGetInstanceProcAddr"));
  if (!gipa) {
    dlclose(lib);
    return VK_ERROR_INITIALIZATION_FAILED;
  }
  gLibrary = lib;
  vkGetInstanceProcAddr = gipa;
#define TERRAIN_VK_LOAD(name) name = reinterpret_cast<PFN_##name>(vkGetInstanceProcAddr(VK_NULL_HANDLE, #name));
  TERRAIN_VK_GLOBAL_FUNCS(TERRAIN_VK_LOAD)
#undef TERRAIN_VK_LOAD
  if (!vkCreateInstance || !vkEnumerateInstanceExtensionProperties) return VK_ERROR_INITIALIZATION_FAILED;
  return VK_SUCCESS;
}

void volkLoadInstance(VkInstance instance) {
  if (!vkGetInstanceProcAddr) return;
  gInstance = instance;
#define TERRAIN_VK_LOAD(name) name = reinterpret_cast<PFN_##name>(vkGetInstanceProcAddr(instance, #name));
  TERRAIN_VK_INSTANCE_FUNCS(TERRAIN_VK_LOAD)
  TERRAIN_VK_DEVICE_FUNCS(TERRAIN_VK_LOAD)
#undef TERRAIN_VK_LOAD
}

void volkLoadDevice(VkDevice device) {
  if (!vkGetDeviceProcAddr) return;
  gDevice = device;
#define TERRAIN_VK_LOAD(name) name = reinterpret_cast<PFN_##name>(vkGetDeviceProcAddr(device, #name));
  TERRAIN_VK_DEVICE_FUNCS(TERRAIN_VK_LOAD)
#undef TERRAIN_VK_LOAD
}

VkInstance volkGetLoadedInstance() { return gInstance; }
VkDevice volkGetLoadedDevice() { return gDevice; }
