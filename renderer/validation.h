// The Khronos validation layer with synchronisation checks, for test and CI runs.
// Asked for with TERRAIN_VALIDATION=1 in the environment (tests ask directly).
// Messages of error severity are printed and counted; a run with a count above
// zero has used Vulkan wrongly.
#pragma once

#include "platform/types.h"
#include "renderer/vkloader.h"

// Everything added to an instance's creation record; must outlive vkCreateInstance.
struct ValidationSetup {
  b8 enabled;
  const char* layer;
  const char* extensions[16];
  VkValidationFeatureEnableEXT enables[1];
  VkValidationFeaturesEXT features;
  VkDebugUtilsMessengerCreateInfoEXT messenger;
};

// True when TERRAIN_VALIDATION is set to anything but empty or "0".
b8 validationRequested();
// Adds the layer, the debug-utils extension (after the caller's extensions, at
// most 15 in all) and synchronisation validation to ci. False when the layer is
// not installed or the names do not fit: ci is then left as it was.
b8 validationPrepare(ValidationSetup* v, VkInstanceCreateInfo* ci);
// Creates the messenger on an instance made from a prepared record
// (after volkLoadInstance). False when validation is not enabled there.
b8 validationStart(VkInstance instance);
// Destroys the messenger; call before vkDestroyInstance.
void validationStop(VkInstance instance);
// Messages of error severity since the start of the process.
u32 validationErrorCount();
// Called with each error message as well (tests turn them into failures); null clears.
void validationSetErrorHook(void (*hook)(const char* message));
