// A world editor over a real physics world and entity registry, with a stand-in model
// side (each live entity is a plain entity; poses are recorded per entity).
#pragma once

#include <map>

#include "ecs/ecs.h"
#include "physics/world.h"
#include "platform/memory.h"
#include "terrain/world_editor.h"
#include "terrain/world_fixture.h"

namespace worldtest {

struct Poses {
  std::map<Entity, v3> pos;
  std::map<Entity, f32> scale;
  int loads = 0;
};

inline WorldEditorModels standInModels(Poses* poses) {
  WorldEditorModels m{};
  m.user = poses;
  m.loadModel = [](void* u, const char* path) -> i32 {
    static_cast<Poses*>(u)->loads++;
    return path[0] == 'x' ? -1 : (i32)std::strlen(path);
  };
  m.spawn = [](void* u, Ecs* ecs, i32, v3 pos, v4, f32 scale) -> Entity {
    Entity e = ecsCreate(ecs);
    static_cast<Poses*>(u)->pos[e] = pos;
    static_cast<Poses*>(u)->scale[e] = scale;
    return e;
  };
  m.setPose = [](void* u, Ecs*, Entity e, v3 pos, v4, f32 scale) {
    static_cast<Poses*>(u)->pos[e] = pos;
    static_cast<Poses*>(u)->scale[e] = scale;
  };
  return m;
}

class EditorTest : public storetest::StoreDir {
 protected:
  void SetUp() override {
    StoreDir::SetUp();
    phys = static_cast<World*>(memCalloc(1, sizeof(World)));
    ASSERT_TRUE(phys && worldInit(phys, nullptr));
    ASSERT_TRUE(ecsInit(&ecs, 4096));
    ASSERT_TRUE(ecsRegister(&ecs, ECS_SYS_PHYSICS_BODY, 8, 4096));
    ASSERT_TRUE(ecsRegisterReverse(&ecs, ECS_SYS_PHYSICS_BODY, 4096));
    wm = worldCreate();
    WorldMeta m = smallMeta();
    ASSERT_TRUE(worldNew(wm, path.c_str(), &m));
    WorldEntityDef rock = def("rock", "asset/rock.gltf", 1.5f);
    worldCatalogAdd(wm, &rock);
    WorldEditorModels models = standInModels(&poses);
    worldEditorInit(&we, wm, &models, &ecs, phys);
    worldEditorLoadCatalog(&we);
  }
  void TearDown() override {
    worldEditorShutdown(&we);
    worldClose(wm);
    ecsDestroy(&ecs);
    worldDestroy(phys);
    memFree(phys);
    StoreDir::TearDown();
  }
  std::vector<i16> heights() const { return std::vector<i16>(wm->heightmap, wm->heightmap + 33 * 33); }
  i16 sample(u32 x, u32 z) const { return wm->heightmap[z * 33 + x]; }
  // Every live entity names an instance of a loaded tile whose position is where its
  // body and its model are.
  void expectLiveMatchesMap() {
    for (u32 i = 0; i < we.liveCount; i++) {
      const WorldLiveEntity& le = we.liveEntities[i];
      u32 n = 0;
      WorldEntityInst* arr = worldTileEntities(wm, le.tileX, le.tileY, &n);
      ASSERT_NE(arr, nullptr) << "live " << i;
      ASSERT_LT(le.index, n) << "live " << i;
      const WorldEntityInst& inst = arr[le.index];
      Body* b = worldGetBody(phys, le.bodyId);
      ASSERT_NE(b, nullptr);
      EXPECT_EQ(b->position.x, inst.pos[0]) << "live " << i;
      EXPECT_EQ(b->position.z, inst.pos[2]) << "live " << i;
      EXPECT_EQ(poses.pos[le.ecsEntity].x, inst.pos[0]) << "live " << i;
      EXPECT_EQ(ecsReverseGet(&ecs, ECS_SYS_PHYSICS_BODY, (u32)le.bodyId), le.ecsEntity);
    }
  }
  World* phys = nullptr;
  Ecs ecs{};
  WorldMap* wm = nullptr;
  WorldEditor we{};
  Poses poses;
};

}  // namespace worldtest
