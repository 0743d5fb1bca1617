#include "renderer/lines.h"

#include <cmath>

#include "renderer/pipelines.h"
#include "renderer/renderer.h"

namespace {

constexpr VkDeviceSize kInitialBytes = 0x1C000;  // 4096 segments
constexpr f64 kEarthRadius = 6.371e6;
constexpr f64 kPolylineRadius = 6371050.0;  // just above the lat/lon lines
constexpr f64 kDegToRad = kPi / 180.0;

v3 onSphere(f64 latDeg, f64 lonDeg, f64 radius) {
  f64 lat = latDeg * kDegToRad, lon = lonDeg * kDegToRad;
  return V3(radius * std::cos(lat) * std::sin(lon), radius * std::sin(lat), radius * std::cos(lat) * std::cos(lon));
}

}  // namespace

void linesInit(Lines* l, Renderer* r) {
  if (!l || !r) return;
  *l = Lines{};
  l->device = r->device;
  l->renderer = r;
  frameDynBufferInit(&l->segments, r->device, r->physicalDevice, kInitialBytes, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT,
                     VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT);
}

void linesDestroy(Lines* l) {
  if (!l || !l->device) return;
  frameDynBufferDestroy(&l->segments);
  *l = Lines{};
}

void linesCreatePipeline(Pipelines* p, Renderer* r) {
  if (!p || !r) return;
  u64 vertSize = 0, fragSize = 0;
  const u32* vert = rendererLoadShader("shaders/lines.vert.spv", &vertSize);
  const u32* frag = rendererLoadShader("shaders/lines.frag.spv", &fragSize);
  if (!vert || !frag) return;
  VkVertexInputBindingDescription binding{0, sizeof(LineSegment), VK_VERTEX_INPUT_RATE_INSTANCE};
  VkVertexInputAttributeDescription attrs[3] = {{0, 0, VK_FORMAT_R32G32B32_SFLOAT, 0},
                                                {1, 0, VK_FORMAT_R32G32B32_SFLOAT, 12},
                                                {2, 0, VK_FORMAT_R32_UINT, 24}};
  VkPushConstantRange push{VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, sizeof(LinesPushConstants)};
  PipelineConfig c{};
  c.vertCode = vert;
  c.vertSize = vertSize;
  c.fragCode = frag;
  c.fragSize = fragSize;
  c.vertexBindings = &binding;
  c.vertexBindingCount = 1;
  c.vertexAttributes = attrs;
  c.vertexAttributeCount = 3;
  c.pushConstants = &push;
  c.pushConstantCount = 1;
  c.cullMode = VK_CULL_MODE_NONE;
  c.blendEnable = true;
  c.topology = VK_PRIMITIVE_TOPOLOGY_LINE_LIST;
  pipelinesCreate(p, kLinesPipelineSlot, &c, nullptr, 0, nullptr, 0);
}

void linesBeginFrame(Lines* l) {
  if (!l || !l->renderer) return;
  frameDynBufferBegin(&l->segments, l->renderer->currentFrame);
  l->segmentCount = 0;
}

void linesAdd(Lines* l, v3 start, v3 end, u32 color) {
  if (!l || !l->device) return;
  auto* s = static_cast<LineSegment*>(dynBufferAlloc(frameDynBufferCurrent(&l->segments), sizeof(LineSegment)));
  if (!s) return;  // the buffer could not grow: dropped
  s->start[0] = (f32)start.x, s->start[1] = (f32)start.y, s->start[2] = (f32)start.z;
  s->end[0] = (f32)end.x, s->end[1] = (f32)end.y, s->end[2] = (f32)end.z;
  s->color = color;
  l->segmentCount++;
}

void linesAddLatLon(Lines* l, f64 lat1, f64 lon1, f64 lat2, f64 lon2, u32 color) {
  linesAdd(l, onSphere(lat1, lon1, kEarthRadius), onSphere(lat2, lon2, kEarthRadius), color);
}

void linesAddPolyline(Lines* l, const i32* points, u32 count, u32 color) {
  if (!l || !points || count < 2) return;
  for (u32 i = 0; i + 1 < count; i++) {
    v3 a = onSphere(points[2 * i + 1] * 1e-5, points[2 * i] * 1e-5, kPolylineRadius);
    v3 b = onSphere(points[2 * i + 3] * 1e-5, points[2 * i + 2] * 1e-5, kPolylineRadius);
    linesAdd(l, a, b, color);
  }
}

void linesBind(Lines* l, VkCommandBuffer cmd) {
  if (!l || !cmd) return;
  VkBuffer b = frameDynBufferCurrent(&l->segments)->buffer;
  if (!b) return;
  VkDeviceSize offset = 0;
  vkCmdBindVertexBuffers(cmd, 0, 1, &b, &offset);
}

void linesDraw(Lines* l, Pipelines* p, u32 pipelineIndex, VkCommandBuffer cmd, const mat4f32* mvp, f32 viewportW,
               f32 viewportH, f32 lineWidth, v3 cameraPos) {
  if (!l || !cmd || !mvp || l->segmentCount == 0) return;
  Pipeline* pl = pipelinesGet(p, pipelineIndex);
  if (!pl) return;
  pipelineBind(p, pipelineIndex, cmd);
  LinesPushConstants pc{};
  for (int i = 0; i < 16; i++) pc.mvp[i] = mvp->m[i];
  pc.viewport[0] = viewportW;
  pc.viewport[1] = viewportH;
  pc.lineWidth = lineWidth;
  pc.cameraPos[0] = (f32)cameraPos.x, pc.cameraPos[1] = (f32)cameraPos.y, pc.cameraPos[2] = (f32)cameraPos.z;
  vkCmdPushConstants(cmd, pl->layout, VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0, sizeof pc, &pc);
  linesBind(l, cmd);
  vkCmdDraw(cmd, 2, l->segmentCount, 0, 0);
}
