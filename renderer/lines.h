// Coloured debug line segments (boxes, gizmo handles, contacts, joints, vector
// fields): one instanced draw of two-vertex lines.
#pragma once

#include "platform/types.h"
#include "platform/vecmath.h"
#include "renderer/dynbuffer.h"
#include "renderer/vkloader.h"

struct Renderer;
struct Pipelines;

struct LineSegment {
  f32 start[3];
  f32 end[3];
  u32 color;  // packed RGBA8, red in the lowest byte
};
static_assert(sizeof(LineSegment) == 28);

struct LinesPushConstants {
  f32 mvp[16];
  f32 viewport[2];
  f32 lineWidth;
  f32 padding;
  f32 cameraPos[3];
  f32 padding2;
};
static_assert(sizeof(LinesPushConstants) == 96);

inline constexpr u32 kLinesPipelineSlot = 4;

struct Lines {
  VkDevice device;
  // One buffer per frame in flight: recording never rewrites what the GPU reads.
  FrameDynBuffer segments;
  u32 segmentCount;
  Renderer* renderer;
};

void linesInit(Lines* l, Renderer* r);
void linesDestroy(Lines* l);
void linesCreatePipeline(Pipelines* p, Renderer* r);
// Starts this frame's segments (after rendererBeginFrame).
void linesBeginFrame(Lines* l);
void linesAdd(Lines* l, v3 start, v3 end, u32 color);
void linesAddLatLon(Lines* l, f64 lat1, f64 lon1, f64 lat2, f64 lon2, u32 color);
// `points`: count (longitude, latitude) pairs in units of 1e-5 degree.
void linesAddPolyline(Lines* l, const i32* points, u32 count, u32 color);
void linesBind(Lines* l, VkCommandBuffer cmd);
void linesDraw(Lines* l, Pipelines* p, u32 pipelineIndex, VkCommandBuffer cmd, const mat4f32* mvp, f32 viewportW,
               f32 viewportH, f32 lineWidth, v3 cameraPos);
