// The frame's drawing: snapshot pin, tornado, light, body instances, the shadow
// pass or the ray-query structure, the scene in every player's cell, debug lines.
#include <cmath>

#include "app/state.h"
#include "platform/memory.h"

namespace {

constexpr v3 kLightDir = V3(0.5, 1.0, 0.3);
// The shadow map covers what player 0 looks at: texels of about 15 cm.
constexpr f64 kShadowFocusAhead = 100.0;
constexpr f64 kShadowRadius = 150.0;
constexpr u32 kColorStatic = 0xff888888u, kColorAwake = 0xff00ff00u, kColorAsleep = 0xff0000ffu;

void addAabbLines(Lines* l, Aabb b, u32 color) {
  v3 c[8];
  for (int i = 0; i < 8; i++) c[i] = V3(i & 1 ? b.max.x : b.min.x, i & 2 ? b.max.y : b.min.y, i & 4 ? b.max.z : b.min.z);
  static const int edges[12][2] = {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {0, 2}, {1, 3},
                                   {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};
  for (const auto& e : edges) linesAdd(l, c[e[0]], c[e[1]], color);
}

constexpr u32 kColorSelected = 0xff00ffffu, kColorVelocity = 0xffffff00u, kColorMarker = 0xff2080ffu;
constexpr u32 kColorHeightfield = 0xff00ffffu;
constexpr u32 kFieldColors[5] = {0xff4444ffu, 0xff44ff44u, 0xffff4444u, 0xffff44ffu, 0xffffff44u};
constexpr i32 kMarkerSegments = 48;
constexpr f64 kHeightfieldReach = 200.0;

// Shaft plus a four-line head along the last fifth.
void debugDrawArrow(Lines* l, v3 from, v3 to, u32 color) {
  linesAdd(l, from, to, color);
  v3 d = to - from;
  f64 len = v3Length(d);
  if (len < 1e-9) return;
  v3 dir = d / len;
  v3 side = std::fabs(dir.y) < 0.9 ? v3Normalize(v3Cross(dir, V3(0, 1, 0))) : v3Normalize(v3Cross(dir, V3(1, 0, 0)));
  v3 other = v3Cross(dir, side);
  v3 base = to - dir * (0.2 * len);
  f64 w = 0.08 * len;
  linesAdd(l, to, base + side * w, color);
  linesAdd(l, to, base - side * w, color);
  linesAdd(l, to, base + other * w, color);
  linesAdd(l, to, base - other * w, color);
}

// Three great circles: the blast's reach until the next blast or reset.
void addMarker(Lines* l, v3 c, f64 r) {
  for (int plane = 0; plane < 3; plane++) {
    v3 u = plane == 0 ? V3(1, 0, 0) : (plane == 1 ? V3(0, 1, 0) : V3(0, 0, 1));
    v3 w = plane == 0 ? V3(0, 1, 0) : (plane == 1 ? V3(0, 0, 1) : V3(1, 0, 0));
    v3 prev = c + u * r;
    for (int i = 1; i <= kMarkerSegments; i++) {
      f64 t = 2.0 * kPi * i / kMarkerSegments;
      v3 p = c + (u * std::cos(t) + w * std::sin(t)) * r;
      linesAdd(l, prev, p, kColorMarker);
      prev = p;
    }
  }
}

void addVectorFieldArrows(State* s) {
  const Camera& cam = s->camera;
  v3 centre = V3(std::floor(cam.position.x), std::floor(cam.position.y), std::floor(cam.position.z));
  Body probe;
  bodyInit(&probe);
  bodySetType(&probe, BODY_DYNAMIC);
  bodySetMass(&probe, 1.0);
  probe.isAwake = true;
  probe.isGravityEnabled = true;
  for (u32 f = 0; f < s->world.numVectorFields; f++) {
    const VectorField& field = s->world.vectorFields[f];
    if (!field.isEnabled || !field.fn) continue;
    u32 color = kFieldColors[f % 5];
    for (i32 x = -30; x <= 30; x += 5)
      for (i32 y = -30; y <= 30; y += 5)
        for (i32 z = -30; z <= 30; z += 5) {
          probe.position = centre + V3(x, y, z);
          if (field.volume && !field.volume(&probe, field.userData)) continue;
          v3 force = field.fn(&probe, field.userData);
          f64 mag = v3Length(force);
          if (!(mag >= 0.1)) continue;
          debugDrawArrow(&s->lines, probe.position, probe.position + force * 0.15, color);
        }
  }
}

void addHeightfieldGrid(State* s, const Body* b) {
  const auto* hf = reinterpret_cast<const HeightFieldShape*>(b->shape);
  if (!hf->heights || hf->rows < 2 || hf->cols < 2 || !(hf->cellSize > 0.0)) return;
  // The camera's neighbourhood in the field's cells.
  v3 local = quatRotate(quatConjugate(b->rotation), s->camera.position - b->position);
  auto range = [&](f64 at, u32 n, u32* lo, u32* hi) {
    f64 a = std::floor((at - kHeightfieldReach) / hf->cellSize), z = std::ceil((at + kHeightfieldReach) / hf->cellSize);
    if (z < 0.0 || a > (f64)(n - 1)) return false;
    *lo = a < 0.0 ? 0 : (u32)a;
    *hi = z > (f64)(n - 1) ? n - 1 : (u32)z;
    return true;
  };
  u32 c0, c1, r0, r1;
  if (!range(local.x, hf->cols, &c0, &c1) || !range(local.z, hf->rows, &r0, &r1)) return;
  u32 span = (c1 - c0 > r1 - r0 ? c1 - c0 : r1 - r0);
  u32 step = span > 100 ? span / 100 : 1;
  auto point = [&](u32 r, u32 c) {
    v3 p = V3(c * hf->cellSize, heightFieldGetHeight(hf, r, c), r * hf->cellSize);
    return b->position + quatRotate(b->rotation, p);
  };
  for (u32 r = r0; r <= r1; r += step)
    for (u32 c = c0; c <= c1; c += step) {
      if (c + step <= c1) linesAdd(&s->lines, point(r, c), point(r, c + step), kColorHeightfield);
      if (r + step <= r1) linesAdd(&s->lines, point(r, c), point(r + step, c), kColorHeightfield);
    }
}

// Debug lines from the pinned snapshot: boxes, velocities, height fields, field
// arrows, the blast marker, the selection and the gizmo.
void addDebugLines(State* s) {
  if (s->blastMarkerValid) {
    const v3f& m = s->blastMarkerPos;
    addMarker(&s->lines, V3(m.x, m.y, m.z), s->blastMarkerRadius);
  }
  if (s->showVectorFields) addVectorFieldArrows(s);
  const Snapshot* snap = s->frameSnap;
  b8 selection = s->editMode && s->selectedEntity;
  if (!snap || !(s->showAabb || s->showVelocity || s->showHeightfield || selection)) return;
  // Sleep states and velocities change in every step: read them between steps.
  worldLock(&s->world);
  if (s->showAabb || s->showVelocity || s->showHeightfield) {
    for (u32 i = 0; i < snap->count; i++) {
      const Xform& x = snap->xforms[i];
      if (x.id == 0xffffffffu) continue;
      const Body* b = worldGetBody(&s->world, (i32)i);
      if (!b || !b->shape) continue;
      if (s->showAabb) {
        u32 color = b->type == BODY_STATIC ? kColorStatic : (b->isAwake ? kColorAwake : kColorAsleep);
        addAabbLines(&s->lines, shapeComputeAabb(b->shape, Transform{x.pos, x.rot}), color);
      }
      if (s->showVelocity && b->type == BODY_DYNAMIC && v3Length(b->linearVelocity) > 0.1)
        linesAdd(&s->lines, x.pos, x.pos + b->linearVelocity * 0.3, kColorVelocity);
      if (s->showHeightfield && b->shape->type == SHAPE_HEIGHTFIELD) addHeightfieldGrid(s, b);
    }
  }
  if (selection) {
    const Body* b = editorGetBody(s);
    if (b && b->id >= 0 && (u32)b->id < snap->count && snap->xforms[b->id].id != 0xffffffffu) {
      const Xform& x = snap->xforms[b->id];
      Aabb box = b->shape ? shapeComputeAabb(b->shape, Transform{x.pos, x.rot})
                          : Aabb{x.pos + b->localAabb.min, x.pos + b->localAabb.max};
      addAabbLines(&s->lines, box, kColorSelected);
      // Hover follows the camera of the cell under the pointer.
      PointerView v;
      if (pointerView(s, s->mouseX, s->mouseY, &v))
        gizmoDraw(&s->gizmo, &s->lines, v.camera, x.pos, v.x, v.y, v.width, v.height);
      else
        gizmoDraw(&s->gizmo, &s->lines, &s->camera, x.pos, -100000, -100000, s->windowW, s->windowH);
    }
  }
  worldUnlock(&s->world);
}

void shadowPass(State* s, VkCommandBuffer cmd) {
  Lighting* l = &s->lighting;
  for (i32 i = 0; i < l->data.lightCount; i++) {
    const GPULight& light = l->data.lights[i];
    if (!light.castsShadow || light.shadowIndex < 0 || light.shadowIndex >= (i32)kShadowMapLayers) continue;
    VkClearValue clear{};
    clear.depthStencil = {1.0f, 0};
    VkRenderPassBeginInfo bi{};
    bi.sType = VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO;
    bi.renderPass = l->shadowRenderPass;
    bi.framebuffer = l->shadowFramebuffers[light.shadowIndex];
    bi.renderArea = {{0, 0}, {kShadowMapSize, kShadowMapSize}};
    bi.clearValueCount = 1;
    bi.pClearValues = &clear;
    vkCmdBeginRenderPass(cmd, &bi, VK_SUBPASS_CONTENTS_INLINE);
    VkViewport vp{0, 0, (f32)kShadowMapSize, (f32)kShadowMapSize, 0, 1};
    VkRect2D sc{{0, 0}, {kShadowMapSize, kShadowMapSize}};
    vkCmdSetViewport(cmd, 0, 1, &vp);
    vkCmdSetScissor(cmd, 0, 1, &sc);
    if (l->shadowTrisPipeline) {
      vkCmdBindPipeline(cmd, VK_PIPELINE_BIND_POINT_GRAPHICS, l->shadowTrisPipeline);
      trisDrawShadow(&s->tris, cmd, l->shadowTrisLayout, l->emptyDescSet, l->emptyDescSet, &light.shadowVP);
    }
    modelSystemDrawShadow(s->modelSys, &s->ecs, cmd, light.shadowVP, l, s->frameSnap);
    worldDrawTerrainShadow(s, cmd, &light.shadowVP);
    vkCmdEndRenderPass(cmd);
  }
}

}  // namespace

void updateTornado(State* s, f64 dt) {
  if (!s || s->tornadoFieldIdx < 0) return;
  s->tornadoPhase += 0.8 * dt;
  f64 p = s->tornadoPhase;
  v3 c = V3(8 * std::sin(0.5 * p) + 4 * std::sin(1.7 * p), 5 + 2 * std::sin(0.7 * p),
            8 * std::cos(0.3 * p) + 4 * std::cos(1.1 * p));
  // The physics thread reads the centre in every step.
  worldLock(&s->world);
  s->tornadoData.centre = c;
  worldUnlock(&s->world);
}

void setParticleFrame(State* s, f64 dt) {
  if (!s) return;
  mat4f32 vp = mat4ToF32(s->camera.view_projection);
  ParticleFrame f = particleFrameFromCamera(&vp, CameraGetRight(&s->camera), CameraGetUp(&s->camera),
                                            s->camera.position, (f32)dt);
  particleSystemSetFrame(&s->particles, &f);
}

void fillLighting(State* s) {
  if (!s) return;
  LightUBOData& d = s->lighting.data;
  d.ambient = v4f{0.3f, 0.3f, 0.3f, 1.0f};
  const Camera& cam = s->camera;
  d.cameraPos[0] = (f32)cam.position.x, d.cameraPos[1] = (f32)cam.position.y, d.cameraPos[2] = (f32)cam.position.z;
  d.lightCount = 1;
  GPULight& l = d.lights[0];
  l.direction = v4f{(f32)kLightDir.x, (f32)kLightDir.y, (f32)kLightDir.z, 0.0f};
  l.color = v4f{1.0f, 1.0f, 1.0f, 0.7f};
  l.castsShadow = 1;
  l.shadowIndex = 0;
  v3 focus = cam.position + CameraGetForward(&cam) * kShadowFocusAhead;
  focus = lightingSnapShadowFocus(kLightDir, focus, kShadowRadius);
  l.shadowVP = lightingComputeShadowVP(kLightDir, focus, kShadowRadius);
}

b8 buildBodyGeometry(State* s) {
  const Snapshot* snap = s->frameSnap;
  void* pool = s->ecs.pools[ECS_SYS_PHYSICS_BODY];
  u32 bodies = ecsPoolCount(pool);
  u64 sequence = snap ? snap->sequence : 0;
  if (sequence == s->lastSnapSequence && bodies == s->lastBodyCount) {
    trisRepeatFrame(&s->tris);
    return false;
  }
  s->lastSnapSequence = sequence;
  s->lastBodyCount = bodies;
  trisBeginFrame(&s->tris);
  if (!snap) return true;
  for (u32 i = 0; i < bodies; i++) {
    const auto* c = static_cast<const PhysicsBodyComp*>(ecsPoolComponent(pool, i));
    if (c->bodyId < 0 || (u32)c->bodyId >= snap->count) continue;
    const Xform& x = snap->xforms[c->bodyId];
    const Body* b = worldGetBody(&s->world, c->bodyId);
    if (x.id == 0xffffffffu || !b || !b->shape) continue;
    switch (b->shape->type) {
      case SHAPE_SPHERE:
        trisAddSphere(&s->tris, x.pos, reinterpret_cast<const SphereShape*>(b->shape)->radius, x.rot, c->color);
        break;
      case SHAPE_BOX:
        trisAddBox(&s->tris, x.pos, reinterpret_cast<const BoxShape*>(b->shape)->halfExtents, x.rot, c->color);
        break;
      case SHAPE_CAPSULE: {
        const auto* cap = reinterpret_cast<const CapsuleShape*>(b->shape);
        trisAddCapsule(&s->tris, x.pos, cap->radius, cap->halfHeight, x.rot, c->color);
        break;
      }
      default:
        break;
    }
  }
  return true;
}

void drawPlayers(State* s, VkCommandBuffer cmd) {
  for (u32 i = 0; i < s->localPlayerCount; i++) {
    LocalPlayer* p = statePlayer(s, i);
    SplitViewport cell = splitViewport(s->windowW, s->windowH, s->localPlayerCount, i);
    if (cell.width <= 0 || cell.height <= 0) continue;
    CameraSetAspect(&p->camera, (f64)cell.width / (f64)cell.height);
    VkViewport vp{(f32)cell.x, (f32)cell.y, (f32)cell.width, (f32)cell.height, 0.0f, 1.0f};
    VkRect2D scissor{{cell.x, cell.y}, {(u32)cell.width, (u32)cell.height}};
    vkCmdSetViewport(cmd, 0, 1, &vp);
    vkCmdSetScissor(cmd, 0, 1, &scissor);
    mat4f32 vpm = mat4ToF32(p->camera.view_projection);
    trisDraw(&s->tris, &s->pipelines, cmd, &vpm, s->lighting.emptyDescSet, s->lighting.descSet,
             lightingGetAddress(&s->lighting));
    v4 planes[6];
    CameraExtractFrustumPlanes(&p->camera, planes);
    modelSystemDraw(s->modelSys, &s->ecs, cmd, vpm, s->lighting.descSet, planes, lightingGetAddress(&s->lighting),
                    s->frameSnap);
    worldDrawTerrain(s, cmd, &vpm, planes);
    // Particles and debug lines in every cell, each with its own player's camera.
    particleSystemDrawView(&s->particles, cmd, &vpm, CameraGetRight(&p->camera), CameraGetUp(&p->camera),
                           p->camera.position);
    linesDraw(&s->lines, &s->pipelines, kLinesPipelineSlot, cmd, &vpm, (f32)cell.width, (f32)cell.height, 1.0f,
              p->camera.position);
  }
}

b8 renderFrame(State* s, f64 dt) {
  applyPendingActions(s);
  handleFileDialogResult(s);
  streamWorld(s);
  // One snapshot for every pose read of this frame.
  s->frameSnap = worldAcquireSnapshot(&s->world);
  updateTornado(s, dt);
  modelSystemUpdate(s->modelSys, &s->ecs, (f32)dt, s->frameSnap);
  if (s->discovery) discoveryTick(s->discovery, nullptr);
  fillLighting(s);
  setParticleFrame(s, dt);
  VkCommandBuffer cmd = VK_NULL_HANDLE;
  u32 imageIndex = 0;
  if (!rendererBeginFrame(&s->renderer, &cmd, &imageIndex)) {
    worldReleaseSnapshot(&s->world);
    s->frameSnap = nullptr;
    return false;
  }
  lightingUpdate(&s->lighting);
  modelSystemBeginFrame(s->modelSys);
  // Chunks rebuilt by this frame's edits are staged first, then both pools go in one copy.
  worldFlushChunks(s, cmd);
  meshPoolFlush(&s->vertexPool, cmd);
  meshPoolFlush(&s->indexPool, cmd);
  particleSystemRecord(&s->particles, cmd);
  buildBodyGeometry(s);
  linesBeginFrame(&s->lines);
  fontBeginFrame(&s->font);
  addDebugLines(s);
  if (s->renderer.lightingMode == RENDERER_LIGHTING_RAY_QUERY) {
    lightingTlasBegin(&s->lighting);
    trisAddToTlas(&s->tris, &s->lighting);
    modelSystemAddToTlas(s->modelSys, &s->ecs, &s->lighting);
    lightingRecordTlasBuild(&s->lighting, cmd);
  } else {
    shadowPass(s, cmd);
  }
  rendererBeginRenderPass(&s->renderer, imageIndex);
  // Every frame, not only while the dialog is open: a closed dialog's previews go.
  decalSystemReset(&s->fileDialogDecals);
  uiBegin(&s->ui);
  buildDebugWindows(s);
  updateFileDialog(s);
  drawPlayers(s, cmd);
  VkViewport full{0.0f, 0.0f, (f32)s->windowW, (f32)s->windowH, 0.0f, 1.0f};
  VkRect2D fullScissor{{0, 0}, {(u32)s->windowW, (u32)s->windowH}};
  vkCmdSetViewport(cmd, 0, 1, &full);
  vkCmdSetScissor(cmd, 0, 1, &fullScissor);
  uiEnd(&s->ui, cmd, s->windowW, s->windowH);
  // Pixel space over the interface; on Vulkan this puts pixel y upward, as the
  // dialog's preview placement (viewportH - y - h/2) expects.
  mat4f32 overlay = mat4ToF32(OrthoRH_ZO(0.0, (f64)s->windowW, (f64)s->windowH, 0.0, -1.0, 1.0));
  decalSystemDraw(&s->fileDialogDecals, cmd, &overlay, VK_NULL_HANDLE, 0);
  requestScreenshot(s);
  rendererEndFrame(&s->renderer, imageIndex);
  worldReleaseSnapshot(&s->world);
  s->frameSnap = nullptr;
  return true;
}
