// The blast's characters: skinned models in reach become ragdolls.
#include <cmath>

#include "app/state.h"
#include "components/ragdoll.h"

namespace {

constexpr f64 kBlastReach = 8.0;
constexpr u32 kMaxBlastCharacters = 256;

}  // namespace

void spawnCharacter(State* s) { spawnCesiumMan(s); }

// Characters need no physics body (spawned ones have none): a skinned model with
// a pose and no ragdoll yet is enough. The caller holds the world lock.
u32 blastCharacters(State* s, v3 centre) {
  if (!s || !s->modelSys) return 0;
  Entity found[kMaxBlastCharacters];
  u32 n = ecsQuery(&s->ecs, (1u << ECS_SYS_MODEL) | (1u << ECS_SYS_POSE), found, kMaxBlastCharacters);
  u32 activated = 0;
  for (u32 i = 0; i < n; i++) {
    Entity e = found[i];
    if (ecsHas(&s->ecs, ECS_SYS_RAGDOLL, e)) continue;
    const auto* m = static_cast<const ModelComp*>(ecsGetComponent(&s->ecs, ECS_SYS_MODEL, e));
    if (!m || m->modelIndex >= s->modelSys->modelCount) continue;
    const GltfModel* model = s->modelSys->models[m->modelIndex];
    if (!model || model->skinCount == 0) continue;
    v3 pos = V3(m->position.x, m->position.y, m->position.z);
    f64 dist = v3Length(pos - centre);
    if (!(dist <= kBlastReach + (f64)model->boundingRadius * m->scale)) continue;
    f64 t = std::fmin(dist / kBlastReach, 1.0);
    RagdollHumanoidConfig config = m->modelIndex == s->cesiumManModelIndex ? ragdollDefaultCharacterConfig()
                                                                           : ragdollDefaultHumanoidConfig();
    activated += modelSystemActivateRagdoll(s->modelSys, &s->ecs, e, &s->world, V3(0, 0.5 * (1.0 - t), 0), &config);
  }
  return activated;
}
