// Pose evaluation: bind poses of the sample skins, key sampling on hand-made
// files (time wrap, short arc, held end keys, STEP, CUBICSPLINE).
#include <gtest/gtest.h>
#include <tiny_gltf.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "gltf_builder.h"
#include "platform/memory.h"
#include "renderer/gltf.h"

namespace {

std::string sharedDir() {
  const char* env = std::getenv("TERRAIN_SHARED_DIR");
  return env ? env : TERRAIN_SHARED_DIR;
}

GltfModel* loadCpu(const std::string& pathOrJson, b8 isJson, MeshPool* vp, MeshPool* ip) {
  meshPoolInitRanges(vp, 1u << 26);
  meshPoolInitRanges(ip, 1u << 26);
  if (isJson)
    return gltfLoadFromMemory(reinterpret_cast<const u8*>(pathOrJson.data()), pathOrJson.size(), "", "pose.gltf",
                              nullptr, vp, ip);
  return gltfLoad(pathOrJson.c_str(), nullptr, vp, ip);
}

// World transform of the node carrying the skinned mesh, composed with tinygltf.
mat4f32 skinnedNodeWorld(const std::string& path) {
  tinygltf::Model m;
  tinygltf::TinyGLTF loader;
  std::string err, warn;
  b8 ok = path.size() > 4 && path.substr(path.size() - 4) == ".glb" ? loader.LoadBinaryFromFile(&m, &err, &warn, path)
                                                                       : loader.LoadASCIIFromFile(&m, &err, &warn, path);
  EXPECT_TRUE(ok) << err;
  std::vector<int> parent(m.nodes.size(), -1);
  for (size_t i = 0; i < m.nodes.size(); i++)
    for (int c : m.nodes[i].children) parent[(size_t)c] = (int)i;
  auto local = [&](int n) {
    const tinygltf::Node& node = m.nodes[(size_t)n];
    if (node.matrix.size() == 16) {
      mat4f32 r;
      for (int i = 0; i < 16; i++) r.m[i] = (f32)node.matrix[(size_t)i];
      return r;
    }
    f32 t[3] = {0, 0, 0}, q[4] = {0, 0, 0, 1}, s[3] = {1, 1, 1};
    for (size_t i = 0; i < node.translation.size(); i++) t[i] = (f32)node.translation[i];
    for (size_t i = 0; i < node.rotation.size(); i++) q[i] = (f32)node.rotation[i];
    for (size_t i = 0; i < node.scale.size(); i++) s[i] = (f32)node.scale[i];
    return gltfMat4FromTrs(t, q, s);
  };
  for (size_t i = 0; i < m.nodes.size(); i++)
    if (m.nodes[i].skin >= 0) {
      mat4f32 w = local((int)i);
      for (int p = parent[i]; p >= 0; p = parent[(size_t)p]) w = gltfMat4Mul(local(p), w);
      return w;
    }
  return gltfMat4Identity();
}

f32 maxDiff(const mat4f32& a, const mat4f32& b) {
  f32 d = 0;
  for (int i = 0; i < 16; i++) d = std::fmax(d, std::fabs(a.m[i] - b.m[i]));
  return d;
}

TEST(GltfPose, RestPoseSkinMatricesEqualTheSkinnedNodesWorldTransform) {
  const char* files[] = {"SimpleSkin/glTF/SimpleSkin.gltf", "RiggedFigure/glTF/RiggedFigure.gltf",
                         "CesiumMan/glTF/CesiumMan.gltf", "Fox/glTF/Fox.gltf"};
  if (!std::ifstream(sharedDir() + "/assets/gltf/" + files[0]).good()) GTEST_SKIP() << "sample models not found";
  std::vector<std::string> paths;
  for (const char* f : files) paths.push_back(sharedDir() + "/assets/gltf/" + f);
  paths.push_back(TERRAIN_CHARACTER_GLTF);
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    MeshPool vp, ip;
    GltfModel* m = loadCpu(path, false, &vp, &ip);
    ASSERT_NE(m, nullptr);
    ASSERT_GE(m->skinCount, 1u);
    const GltfSkin& skin = m->skins[0];
    GltfPose* pose = gltfPoseCreate(skin.jointCount);
    gltfPoseReset(pose, &skin);
    const mat4f32 expect = skinnedNodeWorld(path);
    // Fox is in centimetres: compare relative to the largest element.
    f32 scale = 1.0f;
    for (int i = 0; i < 16; i++) scale = std::fmax(scale, std::fabs(expect.m[i]));
    for (u32 j = 0; j < skin.jointCount; j++) EXPECT_LE(maxDiff(pose->skinMatrices[j], expect), 1e-4f * scale) << j;
    gltfPoseDestroy(pose);
    gltfDestroy(m);
    meshPoolDestroy(&vp);
    meshPoolDestroy(&ip);
  }
}

// Three joints in a chain along +Y (node 1 -> 2 -> 3), listed as the skin's
// joints in `order`; inverse bind matrices undo each joint's rest position.
std::string chainFile(const std::vector<int>& order, const std::string& animations) {
  GltfBuilder b;
  std::vector<f32> ibm;
  for (int node : order) {
    f32 y = (f32)(node - 1);  // joint at node n sits at y = n - 1
    std::vector<f32> m = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -y, 0, 1};
    ibm.insert(ibm.end(), m.begin(), m.end());
  }
  int ibmAcc = b.floats(ibm, "MAT4", 16);
  std::string joints;
  for (size_t i = 0; i < order.size(); i++) {
    if (i) joints += ",";
    joints += std::to_string(order[i]);
  }
  // Animation accessors come after the inverse bind matrices.
  return b.json("\"scenes\":[{\"nodes\":[0,1]}],\"nodes\":[{\"name\":\"body\"},{\"name\":\"j0\",\"children\":[2]},"
                "{\"name\":\"j1\",\"translation\":[0,1,0],\"children\":[3]},{\"name\":\"j2\",\"translation\":[0,1,0]}],"
                "\"skins\":[{\"inverseBindMatrices\":" +
                std::to_string(ibmAcc) + ",\"joints\":[" + joints + "]}]," + animations);
}

TEST(GltfPose, AChildListedBeforeItsParentStillPosesCorrectly) {
  for (const std::vector<int>& order : {std::vector<int>{1, 2, 3}, std::vector<int>{3, 2, 1}, std::vector<int>{2, 3, 1}}) {
    MeshPool vp, ip;
    GltfModel* m = loadCpu(chainFile(order, ""), true, &vp, &ip);
    ASSERT_NE(m, nullptr);
    const GltfSkin& skin = m->skins[0];
    GltfPose* pose = gltfPoseCreate(skin.jointCount);
    gltfPoseReset(pose, &skin);
    for (u32 j = 0; j < 3; j++) {
      EXPECT_LE(maxDiff(pose->skinMatrices[j], gltfMat4Identity()), 1e-6f) << "order " << order[0] << " joint " << j;
      EXPECT_NEAR(pose->worldTransforms[j].m[13], (f32)(order[j] - 1), 1e-6f);
    }
    gltfPoseDestroy(pose);
    gltfDestroy(m);
    meshPoolDestroy(&vp);
    meshPoolDestroy(&ip);
  }
}

// One animation over the chain (joints in node order): joint 0 translates
// (linear, ends at 1 s), joint 1 rotates (two opposite-signed keys, 2 s),
// scales in steps and translates by a cubic spline.
std::string animatedChain() {
  GltfBuilder b;
  std::vector<f32> ibm;
  for (int n = 0; n < 3; n++) {
    std::vector<f32> mm = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -(f32)n, 0, 1};
    ibm.insert(ibm.end(), mm.begin(), mm.end());
  }
  int ibmAcc = b.floats(ibm, "MAT4", 16);
  const f32 s45 = std::sin(0.785398163f);
  int t01 = b.floats({0, 1}, "SCALAR", 1);
  int t02 = b.floats({0, 2}, "SCALAR", 1);
  int t012 = b.floats({0, 1, 2}, "SCALAR", 1);
  int trans = b.floats({0, 0, 0, 10, 0, 0}, "VEC3", 3);
  // Identity, then a quarter turn about Z stored with a negative w.
  int rot = b.floats({0, 0, 0, 1, 0, 0, -s45, -s45}, "VEC4", 4);
  int steps = b.floats({1, 1, 1, 2, 2, 2, 3, 3, 3}, "VEC3", 3);
  int cubic = b.floats({100, 100, 100, 0, 1, 0, -100, -100, -100, 50, 50, 50, 0, 3, 0, 70, 70, 70}, "VEC3", 3);
  auto sampler = [](int in, int out, const char* interp) {
    return "{\"input\":" + std::to_string(in) + ",\"output\":" + std::to_string(out) + ",\"interpolation\":\"" + interp +
           "\"}";
  };
  auto channel = [](int s, int node, const char* path) {
    return "{\"sampler\":" + std::to_string(s) + ",\"target\":{\"node\":" + std::to_string(node) + ",\"path\":\"" + path +
           "\"}}";
  };
  std::string anim = "\"animations\":[{\"samplers\":[" + sampler(t01, trans, "LINEAR") + "," +
                     sampler(t02, rot, "LINEAR") + "," + sampler(t012, steps, "STEP") + "," +
                     sampler(t02, cubic, "CUBICSPLINE") + "],\"channels\":[" + channel(0, 1, "translation") + "," +
                     channel(1, 2, "rotation") + "," + channel(2, 2, "scale") + "," + channel(3, 3, "translation") +
                     "]}],";
  return b.json("\"scenes\":[{\"nodes\":[0,1]}],\"nodes\":[{\"name\":\"body\"},{\"name\":\"j0\",\"children\":[2]},"
                "{\"name\":\"j1\",\"translation\":[0,1,0],\"children\":[3]},{\"name\":\"j2\",\"translation\":[0,1,0]}],"
                "\"skins\":[{\"inverseBindMatrices\":" +
                std::to_string(ibmAcc) + ",\"joints\":[1,2,3]}]," + anim);
}

TEST(GltfPose, KeysAreSampledAsTheirInterpolationSays) {
  MeshPool vp, ip;
  GltfModel* m = loadCpu(animatedChain(), true, &vp, &ip);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->animationCount, 1u);
  const GltfAnimation& anim = m->animations[0];
  EXPECT_FLOAT_EQ(anim.duration, 2.0f);
  const GltfSkin& skin = m->skins[0];
  GltfPose* pose = gltfPoseCreate(skin.jointCount);
  struct Case {
    const char* what;
    f32 time;
    f32 j0x;  // joint 0 translation x
    f32 j1angle;  // joint 1 rotation about +Z, radians
    f32 j1scale;
    f32 j2y;  // joint 2 translation y
  } cases[] = {
      {"start", 0.0f, 0.0f, 0.0f, 1.0f, 1.0f},
      {"linear middle, short arc, step holds the earlier key, spline between values", 0.5f, 5.0f, 0.392699f, 1.0f, 1.5f},
      {"time wraps: 2.5 of 2 s samples at 0.5", 2.5f, 5.0f, 0.392699f, 1.0f, 1.5f},
      {"a channel that ended holds its last key", 1.5f, 10.0f, 1.178097f, 2.0f, 2.5f},
      {"step at its key", 1.0f, 10.0f, 0.785398f, 2.0f, 2.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    gltfPoseReset(pose, &skin);
    gltfAnimatePose(pose, &skin, &anim, c.time);
    gltfComputeSkinMatrices(pose, &skin);
    f32 t[3], q[4], s[3];
    gltfMat4Decompose(pose->localTransforms[0], t, q, s);
    EXPECT_NEAR(t[0], c.j0x, 1e-4f);
    gltfMat4Decompose(pose->localTransforms[1], t, q, s);
    // Positive angle: the short way round towards the quarter turn.
    f32 angle = 2.0f * std::atan2(q[2], q[3]);
    if (angle > 3.14159265f) angle -= 6.2831853f;
    EXPECT_NEAR(angle, c.j1angle, 1e-4f);
    EXPECT_NEAR(s[0], c.j1scale, 1e-5f);
    gltfMat4Decompose(pose->localTransforms[2], t, q, s);
    EXPECT_NEAR(t[1], c.j2y, 1e-4f);
  }
  gltfPoseDestroy(pose);
  gltfDestroy(m);
  meshPoolDestroy(&vp);
  meshPoolDestroy(&ip);
}

}  // namespace
