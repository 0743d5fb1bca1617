// SPIR-V programs compiled from shaders/ at build time and embedded in the program.
#pragma once

#include "platform/types.h"

struct ShaderData {
  const char* name;  // e.g. "shaders/lines.vert.spv"
  const u32* data;  // SPIR-V words
  u64 size;  // bytes
};

extern const ShaderData shader_table[];
extern const u32 shader_table_count;

// Row with exactly this name (case-sensitive) in a table; null when absent.
const ShaderData* shaderTableFind(const ShaderData* table, u32 count, const char* name);
