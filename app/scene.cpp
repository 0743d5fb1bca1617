// Scene setup and physics control: the demo scene, body creation and tracking,
// stopping and starting the physics thread, the lighting-mode switch.
#include <cmath>
#include <cstdio>

#include "app/state.h"

namespace {

// Hooks for pieces other parts of the program plug in here: the transform
// gizmo's drag, the model system's instances, model spawning in the scene (step 7).
void endGizmoDrag(State* s) { gizmoEndDrag(&s->gizmo); }
void cleanupModels(State* s) { modelSystemCleanup(s->modelSys, &s->ecs); }

// One instance of every loaded model but the default character, on a grid.
void spawnSceneModels(State* s) {
  ModelSystem* sys = s->modelSys;
  if (!sys || sys->modelCount == 0) return;
  const u32 columns = (u32)std::floor(std::sqrt((f64)sys->modelCount)) + 1;
  const f32 half = 3.0f * (f32)(columns / 2);
  for (u32 i = 0; i < sys->modelCount; i++) {
    if (i == s->cesiumManModelIndex) continue;
    // The skipped index keeps its cell; columns wrap at each row.
    const v3f pos{3.0f * (f32)(i % columns) - half, 0.25f, 3.0f * (f32)(i / columns) - half, 0};
    modelSystemSpawn(sys, &s->ecs, i, pos, v4f{0, 0, 0, 1});
  }
}

BoxShape* allocBox(void* user, v3 halfExtents) {
  State* s = static_cast<State*>(user);
  if (s->numBoxShapes >= kSceneShapes) return nullptr;
  BoxShape* b = &s->boxShapes[s->numBoxShapes++];
  boxInit(b, halfExtents);
  return b;
}

SphereShape* allocSphere(void* user, f64 radius) {
  State* s = static_cast<State*>(user);
  if (s->numSphereShapes >= kSceneShapes) return nullptr;
  SphereShape* b = &s->sphereShapes[s->numSphereShapes++];
  sphereInit(b, radius);
  return b;
}

CapsuleShape* allocCapsule(void* user, f64 radius, f64 height) {
  State* s = static_cast<State*>(user);
  if (s->numCapsuleShapes >= kSceneShapes) return nullptr;
  CapsuleShape* b = &s->capsuleShapes[s->numCapsuleShapes++];
  capsuleInit(b, radius, height);
  return b;
}

b8 trackSceneBody(void* user, i32 bodyId, ScenePart part, u32, u32 color) {
  State* s = static_cast<State*>(user);
  // The models of step 7 come after the pyramid, before the chain.
  if (part == SCENE_CHAIN_POST) spawnSceneModels(s);
  return trackBody(s, bodyId, color) != 0;
}

}  // namespace

void appRegisterComponents(Ecs* ecs) {
  ecsRegister(ecs, ECS_SYS_MODEL, 64, kAppMaxEntities);
  ecsRegister(ecs, ECS_SYS_POSE, 16, 256);
  ecsRegister(ecs, ECS_SYS_RAGDOLL, 8, 256);
  ecsRegister(ecs, ECS_SYS_PHYSICS_BODY, sizeof(PhysicsBodyComp), kAppMaxEntities);
  ecsRegisterReverse(ecs, ECS_SYS_PHYSICS_BODY, kAppMaxEntities);
  ecsRegister(ecs, ECS_SYS_AUDIO, 4, 256);
  ecsRegister(ecs, ECS_SYS_RENDER, 4, 512);
  ecsRegister(ecs, ECS_SYS_TERRAIN, 4, 256);
}

void physicsStop(State* s) {
  if (!s) return;
  if (s->world.thread) worldStopThread(&s->world);
  worldPublishSnapshot(&s->world);
  s->physicsRunning = false;
}

void physicsStart(State* s) {
  if (!s) return;
  if (!s->world.thread && !worldStartThread(&s->world, kPhysicsStep)) return;
  s->physicsRunning = true;
}

i32 createBody(State* s, Shape* shape, v3 inertia, v3 position, v4 rotation, f64 mass, f64 friction,
               f64 restitution, BodyType type) {
  if (!s) return -1;
  return sceneCreateBody(&s->world, shape, inertia, position, rotation, mass, friction, restitution, type);
}

Entity trackBody(State* s, i32 bodyId, u32 color) {
  if (!s || bodyId < 0) return 0;
  Entity e = ecsCreate(&s->ecs);
  if (!e) return 0;
  if (ecsAttach(&s->ecs, ECS_SYS_PHYSICS_BODY, e) < 0) {
    ecsEntityDestroy(&s->ecs, e);
    return 0;
  }
  auto* c = static_cast<PhysicsBodyComp*>(ecsGetComponent(&s->ecs, ECS_SYS_PHYSICS_BODY, e));
  c->bodyId = bodyId;
  c->color = color;
  ecsReverseSet(&s->ecs, ECS_SYS_PHYSICS_BODY, (u32)bodyId, e);  // ignored past the map's end
  return e;
}

b8 sceneBuildDemo(State* s) {
  if (!s) return false;
  physicsStop(s);
  // An open world's live entities and height field leave before the entities
  // and bodies they name do, and come back into the new scene below.
  worldBeforeSceneClear(s);
  s->selectedEntity = 0;
  endGizmoDrag(s);
  cleanupModels(s);
  for (u32 i = 1; i < s->ecs.highWater; i++)
    if (s->ecs.slots[i].flags & kEcsSlotAlive) ecsEntityDestroy(&s->ecs, ecsMakeEntity(i, s->ecs.slots[i].generation));
  s->numBoxShapes = s->numSphereShapes = s->numCapsuleShapes = 0;
  s->mouseBlastMode = false;
  s->blastMarkerValid = false;
  s->tornadoPhase = 0.0;
  worldClear(&s->world);
  SceneParts parts = scenePartsFull();
  SceneSink sink{s, allocBox, allocSphere, allocCapsule, trackSceneBody};
  SceneJoints joints{};
  b8 ok = sceneBuild(&s->world, &parts, &sink, &s->tornadoData, &joints);
  s->tornadoFieldIdx = joints.tornadoField;
  // Bodies entered the broadphase before their pose was set: give them their real
  // boxes now, so a ray finds them before the first step.
  for (u32 i = 0; i < worldGetNumBodies(&s->world); i++) refreshBodyBox(s, (i32)i);
  worldAfterSceneBuild(s);
  // The frame thread draws from snapshots only: publish the new scene now.
  worldPublishSnapshot(&s->world);
  return ok;
}

void refreshBodyBox(State* s, i32 bodyId) {
  const Body* b = s ? worldGetBody(&s->world, bodyId) : nullptr;
  if (b) broadphaseUpdateBody(&s->world.broadphase, bodyId, bodyComputeAabb(b), V3(0, 0, 0));
}

void sceneSetup(State* s) {
  if (!s) return;
  sceneBuildDemo(s);
  physicsStart(s);
}

void rebuildLightingMode(State* s) {
  if (!s) return;
  Renderer* r = &s->renderer;
  RendererLightingMode old = r->lightingMode;
  RendererLightingMode wanted =
      old == RENDERER_LIGHTING_RAY_QUERY ? RENDERER_LIGHTING_SHADOW_MAPS : RENDERER_LIGHTING_RAY_QUERY;
  rendererWaitIdle(r);
  rendererSetLightingMode(r, wanted);
  if (r->lightingMode == old) return;
  VkDescriptorSetLayout oldSet = s->lighting.setLayout, oldEmpty = s->lighting.emptySetLayout;
  if (!lightingRebuildDescriptors(&s->lighting)) {
    // The old descriptors stayed: keep drawing in the old mode.
    std::fprintf(stderr, "Lighting descriptor rebuild failed\n");
    rendererSetLightingMode(r, old);
    return;
  }
  pipelinesReplaceDescriptorSetLayout(&s->pipelines, oldSet, s->lighting.setLayout);
  pipelinesReplaceDescriptorSetLayout(&s->pipelines, oldEmpty, s->lighting.emptySetLayout);
  if (!pipelinesRebuildAll(&s->pipelines)) std::fprintf(stderr, "Failed to rebuild pipelines after lighting mode change\n");
  worldLightingChanged(s);
}
