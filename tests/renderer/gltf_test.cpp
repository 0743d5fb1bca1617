// glTF loading on the CPU: the shared sample files, vertex encodings, and
// hostile files.
#include <gtest/gtest.h>
#include <tiny_gltf.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
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
std::string samplePath(const std::string& rel) { return sharedDir() + "/assets/gltf/" + rel; }
b8 haveSamples() { return std::ifstream(samplePath("Box/glTF/Box.gltf")).good(); }

// CPU-range pools: the bytes stay on the primitives.
struct CpuModel {
  MeshPool vp{}, ip{};
  GltfModel* model = nullptr;
  std::string err;
  explicit CpuModel(const std::string& path) {
    meshPoolInitRanges(&vp, 1u << 28);
    meshPoolInitRanges(&ip, 1u << 28);
    testing::internal::CaptureStderr();
    model = gltfLoad(path.c_str(), nullptr, &vp, &ip);
    err = testing::internal::GetCapturedStderr();
  }
  CpuModel(const std::string& json, int) {
    meshPoolInitRanges(&vp, 1u << 28);
    meshPoolInitRanges(&ip, 1u << 28);
    testing::internal::CaptureStderr();
    model = gltfLoadFromMemory(reinterpret_cast<const u8*>(json.data()), json.size(), "", "test.gltf", nullptr, &vp,
                               &ip);
    err = testing::internal::GetCapturedStderr();
  }
  ~CpuModel() {
    gltfDestroy(model);
    meshPoolDestroy(&vp);
    meshPoolDestroy(&ip);
  }
  const GltfPrimitive& prim(u32 mesh = 0, u32 p = 0) const { return model->meshes[mesh].primitives[p]; }
};

struct SampleCase {
  const char* path;
  u32 meshes, primitives, vertices, indices;
  VkIndexType indexType;
  u32 textures, materials, skins, joints, animations, channels;
  f32 duration;
  const char* stderrHas;  // a line the load must print, or ""
};

const SampleCase kSamples[] = {
    {"Box/glTF/Box.gltf", 1, 1, 24, 36, VK_INDEX_TYPE_UINT16, 1, 1, 0, 0, 0, 0, 0.0f, ""},
    {"Box/glTF-Binary/Box.glb", 1, 1, 24, 36, VK_INDEX_TYPE_UINT16, 1, 1, 0, 0, 0, 0, 0.0f, ""},
    {"Box/glTF-Embedded/Box.gltf", 1, 1, 24, 36, VK_INDEX_TYPE_UINT16, 1, 1, 0, 0, 0, 0, 0.0f, ""},
    {"BoxTextured/glTF/BoxTextured.gltf", 1, 1, 24, 36, VK_INDEX_TYPE_UINT16, 1, 1, 0, 0, 0, 0, 0.0f, ""},
    {"BoxTextured/glTF-Binary/BoxTextured.glb", 1, 1, 24, 36, VK_INDEX_TYPE_UINT16, 1, 1, 0, 0, 0, 0, 0.0f, ""},
    {"BoxTextured/glTF-Embedded/BoxTextured.gltf", 1, 1, 24, 36, VK_INDEX_TYPE_UINT16, 1, 1, 0, 0, 0, 0, 0.0f, ""},
    {"BoxAnimated/glTF/BoxAnimated.gltf", 2, 2, 320, 762, VK_INDEX_TYPE_UINT16, 1, 2, 0, 0, 1, 2, 3.708333f, ""},
    {"BoxAnimated/glTF-Binary/BoxAnimated.glb", 2, 2, 320, 762, VK_INDEX_TYPE_UINT16, 1, 2, 0, 0, 1, 2, 3.708333f, ""},
    {"BoxAnimated/glTF-Embedded/BoxAnimated.gltf", 2, 2, 320, 762, VK_INDEX_TYPE_UINT16, 1, 2, 0, 0, 1, 2, 3.708333f,
     ""},
    {"CesiumMan/glTF/CesiumMan.gltf", 1, 1, 3273, 14016, VK_INDEX_TYPE_UINT16, 1, 1, 1, 19, 1, 57, 2.0f, ""},
    {"CesiumMan/glTF-Binary/CesiumMan.glb", 1, 1, 3273, 14016, VK_INDEX_TYPE_UINT16, 1, 1, 1, 19, 1, 57, 2.0f, ""},
    // The embedded variant's animation ends one key earlier.
    {"CesiumMan/glTF-Embedded/CesiumMan.gltf", 1, 1, 3273, 14016, VK_INDEX_TYPE_UINT16, 1, 1, 1, 19, 1, 57, 1.916667f,
     ""},
    {"Fox/glTF/Fox.gltf", 1, 1, 1728, 1728, VK_INDEX_TYPE_UINT16, 1, 1, 1, 24, 3, 63, 3.416667f, ""},
    {"Fox/glTF-Binary/Fox.glb", 1, 1, 1728, 1728, VK_INDEX_TYPE_UINT16, 1, 1, 1, 24, 3, 63, 3.416667f, ""},
    {"RiggedFigure/glTF/RiggedFigure.gltf", 1, 1, 370, 768, VK_INDEX_TYPE_UINT16, 1, 1, 1, 19, 1, 57, 1.25f, ""},
    {"RiggedFigure/glTF-Binary/RiggedFigure.glb", 1, 1, 370, 768, VK_INDEX_TYPE_UINT16, 1, 1, 1, 19, 1, 57, 1.25f, ""},
    {"RiggedSimple/glTF/RiggedSimple.gltf", 1, 1, 160, 564, VK_INDEX_TYPE_UINT16, 1, 1, 1, 2, 1, 3, 2.083333f, ""},
    {"RiggedSimple/glTF-Binary/RiggedSimple.glb", 1, 1, 160, 564, VK_INDEX_TYPE_UINT16, 1, 1, 1, 2, 1, 3, 2.083333f,
     ""},
    {"RiggedSimple/glTF-Embedded/RiggedSimple.gltf", 1, 1, 160, 564, VK_INDEX_TYPE_UINT16, 1, 1, 1, 2, 1, 3, 2.083333f,
     ""},
    {"SimpleSkin/glTF/SimpleSkin.gltf", 1, 1, 10, 24, VK_INDEX_TYPE_UINT16, 1, 0, 1, 2, 1, 1, 5.5f, ""},
    {"SimpleSkin/glTF-Embedded/SimpleSkin.gltf", 1, 1, 10, 24, VK_INDEX_TYPE_UINT16, 1, 0, 1, 2, 1, 1, 5.5f, ""},
    {"SimpleSparseAccessor/glTF/SimpleSparseAccessor.gltf", 1, 1, 14, 36, VK_INDEX_TYPE_UINT16, 1, 0, 0, 0, 0, 0, 0.0f,
     ""},
    // Zstd-supercompressed KTX2 images are refused; the model still loads.
    {"AnisotropyBarnLamp/glTF-KTX2-Basisu/AnisotropyBarnLamp.gltf", 3, 3, 7716, 30609, VK_INDEX_TYPE_UINT16, 4, 3, 0, 0,
     0, 0, 0.0f, "GLTF: invalid or unsupported KTX2 texture\nGLTF: failed to load texture 3\n"},
};

TEST(GltfSamples, EveryFileLoadsWithItsCounts) {
  if (!haveSamples()) GTEST_SKIP() << "sample models not found under " << sharedDir() << " (set TERRAIN_SHARED_DIR)";
  std::vector<SampleCase> cases(std::begin(kSamples), std::end(kSamples));
  // The generated default character: 17 boxes, 17 joints, the walk's 13 channels.
  cases.push_back({TERRAIN_CHARACTER_GLTF, 1, 1, 408, 612, VK_INDEX_TYPE_UINT16, 1, 1, 1, 17, 1, 13, 1.2f, ""});
  for (const SampleCase& c : cases) {
    SCOPED_TRACE(c.path);
    CpuModel m(c.path[0] == '/' ? std::string(c.path) : samplePath(c.path));
    ASSERT_NE(m.model, nullptr) << m.err;
    EXPECT_EQ(m.model->meshCount, c.meshes);
    u32 prims = 0, verts = 0, idx = 0;
    for (u32 i = 0; i < m.model->meshCount; i++)
      for (u32 p = 0; p < m.model->meshes[i].primitiveCount; p++) {
        const GltfPrimitive& pr = m.model->meshes[i].primitives[p];
        prims++, verts += pr.vertexCount, idx += pr.indexCount;
        EXPECT_EQ(pr.indexType, c.indexType);
        EXPECT_NE(pr.cpuVertices, nullptr);
        EXPECT_EQ(pr.vertexAlloc.size, (VkDeviceSize)((pr.vertexCount * (pr.isSkinned ? 20 : 12) + 15) / 16 * 16));
        EXPECT_EQ(pr.isSkinned, c.skins > 0);
      }
    EXPECT_EQ(prims, c.primitives);
    EXPECT_EQ(verts, c.vertices);
    EXPECT_EQ(idx, c.indices);
    EXPECT_EQ(m.model->textureCount, c.textures);
    EXPECT_EQ(m.model->materialCount, c.materials);
    EXPECT_EQ(m.model->skinCount, c.skins);
    if (c.skins) {
      EXPECT_EQ(m.model->skins[0].jointCount, c.joints);
    }
    EXPECT_EQ(m.model->animationCount, c.animations);
    u32 channels = 0;
    f32 duration = 0;
    for (u32 a = 0; a < m.model->animationCount; a++) {
      channels += m.model->animations[a].channelCount;
      duration = std::fmax(duration, m.model->animations[a].duration);
    }
    EXPECT_EQ(channels, c.channels);
    EXPECT_NEAR(duration, c.duration, 1e-4);
    if (*c.stderrHas) EXPECT_NE(m.err.find(c.stderrHas), std::string::npos) << m.err;
    else EXPECT_EQ(m.err, "");
    EXPECT_GE(m.model->boundingRadius, 1.0f);
  }
}

std::vector<u8> bytesOf(const CpuModel& m) {
  std::vector<u8> out;
  for (u32 i = 0; i < m.model->meshCount; i++)
    for (u32 p = 0; p < m.model->meshes[i].primitiveCount; p++) {
      const GltfPrimitive& pr = m.model->meshes[i].primitives[p];
      out.insert(out.end(), pr.cpuVertices, pr.cpuVertices + pr.vertexCount * (pr.isSkinned ? 20 : 12));
      out.insert(out.end(), pr.cpuIndices, pr.cpuIndices + pr.indexCount * (pr.indexType == VK_INDEX_TYPE_UINT32 ? 4 : 2));
    }
  return out;
}

TEST(GltfSamples, VariantsOfAModelGiveTheSameVertexAndIndexBytes) {
  if (!haveSamples()) GTEST_SKIP() << "sample models not found";
  const char* groups[][3] = {
      {"Box/glTF/Box.gltf", "Box/glTF-Binary/Box.glb", "Box/glTF-Embedded/Box.gltf"},
      {"BoxTextured/glTF/BoxTextured.gltf", "BoxTextured/glTF-Binary/BoxTextured.glb",
       "BoxTextured/glTF-Embedded/BoxTextured.gltf"},
      {"BoxAnimated/glTF/BoxAnimated.gltf", "BoxAnimated/glTF-Binary/BoxAnimated.glb",
       "BoxAnimated/glTF-Embedded/BoxAnimated.gltf"},
      {"CesiumMan/glTF/CesiumMan.gltf", "CesiumMan/glTF-Binary/CesiumMan.glb",
       "CesiumMan/glTF-Embedded/CesiumMan.gltf"},
      {"RiggedSimple/glTF/RiggedSimple.gltf", "RiggedSimple/glTF-Binary/RiggedSimple.glb",
       "RiggedSimple/glTF-Embedded/RiggedSimple.gltf"},
      {"Fox/glTF/Fox.gltf", "Fox/glTF-Binary/Fox.glb", nullptr},
      {"RiggedFigure/glTF/RiggedFigure.gltf", "RiggedFigure/glTF-Binary/RiggedFigure.glb", nullptr},
      {"SimpleSkin/glTF/SimpleSkin.gltf", "SimpleSkin/glTF-Embedded/SimpleSkin.gltf", nullptr},
  };
  for (auto& g : groups) {
    SCOPED_TRACE(g[0]);
    CpuModel a(samplePath(g[0]));
    ASSERT_NE(a.model, nullptr);
    std::vector<u8> ref = bytesOf(a);
    ASSERT_FALSE(ref.empty());
    for (int k = 1; k < 3 && g[k]; k++) {
      CpuModel b(samplePath(g[k]));
      ASSERT_NE(b.model, nullptr);
      EXPECT_TRUE(bytesOf(b) == ref) << g[k];
    }
  }
}

// Positions read straight from the file with tinygltf, float accessors only.
std::vector<f32> rawPositions(const std::string& path) {
  tinygltf::Model m;
  tinygltf::TinyGLTF loader;
  std::string err, warn;
  EXPECT_TRUE(loader.LoadASCIIFromFile(&m, &err, &warn, path));
  const tinygltf::Accessor& a = m.accessors[(size_t)m.meshes[0].primitives[0].attributes.at("POSITION")];
  const tinygltf::BufferView& v = m.bufferViews[(size_t)a.bufferView];
  const u8* base = m.buffers[(size_t)v.buffer].data.data() + v.byteOffset + a.byteOffset;
  size_t stride = v.byteStride ? v.byteStride : 12;
  std::vector<f32> out(a.count * 3);
  for (size_t i = 0; i < a.count; i++) std::memcpy(&out[i * 3], base + i * stride, 12);
  return out;
}

TEST(GltfSamples, DequantisedPositionsAreWithinOneStep) {
  if (!haveSamples()) GTEST_SKIP() << "sample models not found";
  for (const char* path : {"CesiumMan/glTF/CesiumMan.gltf", "Fox/glTF/Fox.gltf", "RiggedFigure/glTF/RiggedFigure.gltf"}) {
    SCOPED_TRACE(path);
    CpuModel m(samplePath(path));
    ASSERT_NE(m.model, nullptr);
    std::vector<f32> raw = rawPositions(samplePath(path));
    const GltfPrimitive& p = m.prim();
    ASSERT_EQ(raw.size(), (size_t)p.vertexCount * 3);
    const u32 stride = p.isSkinned ? 20 : 12;
    const f32 step = p.transform.scale / 32767.0f;
    f32 worst = 0;
    for (u32 i = 0; i < p.vertexCount; i++) {
      i16 q[3];
      std::memcpy(q, p.cpuVertices + (size_t)i * stride, 6);
      const f32 o[3] = {p.transform.origin.x, p.transform.origin.y, p.transform.origin.z};
      for (int c = 0; c < 3; c++)
        worst = std::fmax(worst, std::fabs(o[c] + p.transform.scale * (q[c] / 32767.0f) - raw[i * 3 + (size_t)c]));
    }
    EXPECT_LE(worst, step * 1.01f);
  }
}

TEST(GltfSamples, FoxGetsSequentialIndicesAndUpNormals) {
  if (!haveSamples()) GTEST_SKIP() << "sample models not found";
  CpuModel m(samplePath("Fox/glTF/Fox.gltf"));
  ASSERT_NE(m.model, nullptr);
  const GltfPrimitive& p = m.prim();
  ASSERT_EQ(p.indexCount, p.vertexCount);
  for (u32 i = 0; i < p.indexCount; i++) {
    u16 v;
    std::memcpy(&v, p.cpuIndices + i * 2, 2);
    ASSERT_EQ(v, i);
    const GltfSkinnedVertex* sv = reinterpret_cast<const GltfSkinnedVertex*>(p.cpuVertices) + i;
    v3f n = gltfDecodeOctNormal(v2f{sv->normal[0] / 127.0f, sv->normal[1] / 127.0f});
    ASSERT_NEAR(n.y, 1.0f, 1e-5f);
    ASSERT_EQ(sv->weights[0] + sv->weights[1] + sv->weights[2] + sv->weights[3], 255);
  }
}

TEST(GltfSamples, SparseValuesLand) {
  if (!haveSamples()) GTEST_SKIP() << "sample models not found";
  CpuModel m(samplePath("SimpleSparseAccessor/glTF/SimpleSparseAccessor.gltf"));
  ASSERT_NE(m.model, nullptr);
  const GltfPrimitive& p = m.prim();
  // The base grid lies at y 0 and 1; the three sparse vertices (8, 10, 12) move up.
  u32 raised = 0;
  for (u32 i = 0; i < p.vertexCount; i++) {
    i16 q[3];
    std::memcpy(q, p.cpuVertices + (size_t)i * 12, 6);
    f32 y = p.transform.origin.y + p.transform.scale * (q[1] / 32767.0f);
    if (y > 1.5f) {
      raised++;
      EXPECT_TRUE(i == 8 || i == 10 || i == 12) << i;
    }
  }
  EXPECT_EQ(raised, 3u);
}

// ---- Encodings -----------------------------------------------------------------

TEST(GltfEncoding, OctahedralNormals) {
  struct Case {
    v3f n;
    i8 bytes[2];
    v3f back;
  } cases[] = {
      {{0, 0, -1, 0}, {127, 127}, {0, 0, -1, 0}},
      {{0, 0, 0, 0}, {0, 127}, {0, 1, 0, 0}},
      {{0, 1, 0, 0}, {0, 127}, {0, 1, 0, 0}},
      {{1, 0, 0, 0}, {127, 0}, {1, 0, 0, 0}},
      {{NAN, 0, 0, 0}, {0, 127}, {0, 1, 0, 0}},
  };
  for (const Case& c : cases) {
    v2f o = gltfEncodeOctNormal(c.n);
    EXPECT_EQ(gltfOctByte(o.x), c.bytes[0]);
    EXPECT_EQ(gltfOctByte(o.y), c.bytes[1]);
    v3f d = gltfDecodeOctNormal(o);
    EXPECT_NEAR(d.x, c.back.x, 1e-5);
    EXPECT_NEAR(d.y, c.back.y, 1e-5);
    EXPECT_NEAR(d.z, c.back.z, 1e-5);
  }
  EXPECT_EQ(gltfOctByte(NAN), 0);
}

// A one-primitive file with the given attributes (floats) and optional indices.
std::string primitiveFile(GltfBuilder& b, const std::vector<f32>& pos, const std::vector<f32>* uv,
                          const std::vector<f32>* weights, const std::vector<u32>* indices) {
  std::string attrs = "\"POSITION\":" + std::to_string(b.floats(pos, "VEC3", 3));
  std::string skin;
  if (uv) attrs += ",\"TEXCOORD_0\":" + std::to_string(b.floats(*uv, "VEC2", 2));
  if (weights) {
    std::vector<u16> joints(weights->size(), 0);
    attrs += ",\"JOINTS_0\":" + std::to_string(b.u16s(joints, "VEC4", 4));
    attrs += ",\"WEIGHTS_0\":" + std::to_string(b.floats(*weights, "VEC4", 4));
    skin = ",\"skin\":0";
  }
  std::string idx = indices ? ",\"indices\":" + std::to_string(b.u32s(*indices)) : "";
  std::string extra = weights ? "\"skins\":[{\"joints\":[1]}]," : "";
  std::string nodes = weights ? "[{\"mesh\":0,\"skin\":0},{\"name\":\"j\"}]" : "[{\"mesh\":0}]";
  (void)skin;
  return b.json("\"scenes\":[{\"nodes\":[0]}],\"nodes\":" + nodes + "," + extra + "\"meshes\":[{\"primitives\":[{\"attributes\":{" +
                attrs + "}" + idx + "}]}],");
}

TEST(GltfEncoding, PositionsUvsWeightsAndIndexWidth) {
  // A vertex at bmax stores 32767 along the largest extent.
  {
    GltfBuilder b;
    CpuModel m(primitiveFile(b, {0, 0, 0, 4, 1, 1, 0, 2, 0}, nullptr, nullptr, nullptr), 0);
    ASSERT_NE(m.model, nullptr) << m.err;
    i16 q[3];
    std::memcpy(q, m.prim().cpuVertices + 12, 6);
    EXPECT_EQ(q[0], 32767);
    EXPECT_FLOAT_EQ(m.prim().transform.scale, 2.0f);
  }
  // UVs: a whole number n >= 1 is the tile's high edge (65535) when its face
  // also reaches n - 1, else its low edge (0): a quad 0..1 keeps u = 1; 2.0
  // beside 1.0 is high, 2.0 beside 3.0 low (and that 3.0 high).
  struct UvCase {
    std::vector<f32> uv;  // three vertices
    u16 expectU[3];
  } uvCases[] = {
      {{0, 0, 1, 0, 1, 1}, {0, 65535, 65535}},
      {{1, 0, 2, 0, 1.5f, 1}, {0, 65535, 32767}},
      {{2, 0, 3, 0, 2, 1}, {0, 65535, 0}},
  };
  for (const UvCase& c : uvCases) {
    GltfBuilder b;
    std::vector<f32> pos = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    CpuModel m(primitiveFile(b, pos, &c.uv, nullptr, nullptr), 0);
    ASSERT_NE(m.model, nullptr) << m.err;
    for (u32 i = 0; i < 3; i++) {
      u16 uv[2];
      std::memcpy(uv, m.prim().cpuVertices + i * 12 + 8, 4);
      EXPECT_EQ(uv[0], c.expectU[i]) << "vertex " << i << " of case starting " << c.uv[0];
    }
  }
  // Weights (0.5, 0.5, 0, 0) quantise to 128 each; the first largest is lowered.
  {
    GltfBuilder b;
    std::vector<f32> pos = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    std::vector<f32> w = {0.5f, 0.5f, 0, 0, 0, 0, 0, 0, NAN, 1, 0, 0};
    CpuModel m(primitiveFile(b, pos, nullptr, &w, nullptr), 0);
    ASSERT_NE(m.model, nullptr) << m.err;
    ASSERT_TRUE(m.prim().isSkinned);
    const auto* v = reinterpret_cast<const GltfSkinnedVertex*>(m.prim().cpuVertices);
    EXPECT_EQ(v[0].weights[0], 127);
    EXPECT_EQ(v[0].weights[1], 128);
    // All zero: (1, 0, 0, 0). NaN counts as zero.
    EXPECT_EQ(v[1].weights[0], 255);
    EXPECT_EQ(v[2].weights[1], 255);
  }
  // 70000 vertices take 32-bit indices even when the values are small.
  {
    GltfBuilder b;
    std::vector<f32> pos(70000 * 3, 0.0f);
    for (size_t i = 0; i < 70000; i++) pos[i * 3] = (f32)i;
    std::vector<u32> idx = {0, 1, 2};
    CpuModel m(primitiveFile(b, pos, nullptr, nullptr, &idx), 0);
    ASSERT_NE(m.model, nullptr) << m.err;
    EXPECT_EQ(m.prim().indexType, VK_INDEX_TYPE_UINT32);
    EXPECT_EQ(m.prim().indexCount, 3u);
  }
}

// ---- Hostile files -----------------------------------------------------------------

struct BadCase {
  const char* what;
  std::string json;
  b8 loads;  // a model comes back (with the bad piece dropped)
  u32 primitives;  // when it loads
  const char* line;
};

std::string triangleWith(const std::string& patch) {
  // One triangle; the patch replaces the mesh's primitive.
  GltfBuilder b;
  std::vector<f32> pos = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  b.floats(pos, "VEC3", 3);
  std::vector<u16> idx = {0, 1, 2};
  b.u16s(idx, "SCALAR", 1);
  std::vector<u16> bigIdx = {0, 1, 7};
  b.u16s(bigIdx, "SCALAR", 1);
  return b.json("\"scenes\":[{\"nodes\":[0]}],\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[" + patch + "]}],");
}

TEST(GltfHostile, BadFilesGiveTheirLinesAndNeverCrash) {
  std::vector<BadCase> cases = {
      {"index past the vertex count", triangleWith("{\"attributes\":{\"POSITION\":0},\"indices\":2}"), true, 0,
       "GLTF: failed to load primitive 0 of node 0\n"},
      {"accessor index out of range", triangleWith("{\"attributes\":{\"POSITION\":9}}"), true, 0,
       "GLTF: failed to load primitive 0 of node 0\n"},
      {"missing position", triangleWith("{\"attributes\":{\"NORMAL\":0}}"), true, 0,
       "GLTF: primitive missing position attribute\nGLTF: failed to load primitive 0 of node 0\n"},
      {"good primitive beside a bad one",
       triangleWith("{\"attributes\":{\"POSITION\":0},\"indices\":2},{\"attributes\":{\"POSITION\":0},\"indices\":1}"),
       true, 1, "GLTF: failed to load primitive 0 of node 0\n"},
      {"not JSON", "{\"asset\":", false, 0, "GLTF: failed to parse test.gltf (error 3)\n"},
  };
  // Accessor running past its view.
  {
    GltfBuilder b;
    std::vector<f32> pos = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    b.accessor(pos.data(), pos.size() * 4, 5126, "VEC3", 4);
    cases.push_back({"accessor past its view",
                     b.json("\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":0}}]}],"),
                     true, 0, "GLTF: failed to load primitive 0 of node 0\n"});
  }
  // View past its buffer.
  {
    GltfBuilder b;
    std::vector<f32> pos = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    b.floats(pos, "VEC3", 3);
    b.views[0] = "{\"buffer\":0,\"byteOffset\":16,\"byteLength\":36}";
    cases.push_back({"view past its buffer",
                     b.json("\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":0}}]}],"),
                     true, 0, "GLTF: failed to load primitive 0 of node 0\n"});
  }
  // Joints past the skin's joint count.
  {
    GltfBuilder b;
    std::vector<f32> pos = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    int p = b.floats(pos, "VEC3", 3);
    std::vector<u16> j = {0, 0, 0, 0, 1, 0, 0, 0, 5, 0, 0, 0};
    int ja = b.u16s(j, "VEC4", 4);
    std::vector<f32> w = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
    int wa = b.floats(w, "VEC4", 4);
    cases.push_back({"joint past the skin",
                     b.json("\"nodes\":[{\"mesh\":0,\"skin\":0},{\"name\":\"a\",\"children\":[2]},{\"name\":\"b\"}],"
                            "\"skins\":[{\"joints\":[1,2]}],\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":" +
                            std::to_string(p) + ",\"JOINTS_0\":" + std::to_string(ja) +
                            ",\"WEIGHTS_0\":" + std::to_string(wa) + "}}]}],"),
                     true, 0, "GLTF: failed to load primitive 0 of node 0\n"});
  }
  // Sampler outputs shorter than its keys: the sampler is dropped, the model loads.
  {
    GltfBuilder b;
    std::vector<f32> pos = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    b.floats(pos, "VEC3", 3);
    std::vector<f32> t = {0, 1, 2};
    b.floats(t, "SCALAR", 1);
    std::vector<f32> v = {0, 0, 0, 1, 1, 1};
    b.floats(v, "VEC3", 3);
    cases.push_back({"sampler output short",
                     b.json("\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":0}}]}],"
                            "\"animations\":[{\"samplers\":[{\"input\":1,\"output\":2}],\"channels\":[{\"sampler\":0,"
                            "\"target\":{\"node\":0,\"path\":\"translation\"}}]}],"),
                     true, 1, "GLTF: animation 0: sampler 0 dropped"});
  }
  // NaN positions: bounds fall back to the finite ones, no integer conversion of NaN.
  {
    GltfBuilder b;
    std::vector<f32> pos = {0, 0, 0, NAN, 0, 0, 0, 1, INFINITY};
    b.floats(pos, "VEC3", 3);
    cases.push_back({"NaN and infinite positions",
                     b.json("\"nodes\":[{\"mesh\":0}],\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":0}}]}],"),
                     true, 1, ""});
  }
  // Node hierarchy faults fail the parse.
  {
    GltfBuilder b;
    cases.push_back({"cycle", b.json("\"nodes\":[{\"children\":[1]},{\"children\":[0]}],"), false, 0,
                     "GLTF: failed to parse test.gltf (error 4)\n"});
    cases.push_back({"two parents", b.json("\"nodes\":[{\"children\":[2]},{\"children\":[2]},{}],"), false, 0,
                     "GLTF: failed to parse test.gltf (error 4)\n"});
    cases.push_back({"self child", b.json("\"nodes\":[{\"children\":[0]}],"), false, 0,
                     "GLTF: failed to parse test.gltf (error 4)\n"});
  }
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.what);
    CpuModel m(c.json, 0);
    EXPECT_EQ(m.model != nullptr, c.loads) << m.err;
    if (m.model) {
      EXPECT_EQ(m.model->meshCount, 1u);
      if (m.model->meshCount) {
        EXPECT_EQ(m.model->meshes[0].primitiveCount, c.primitives);
      }
    }
    EXPECT_NE(m.err.find(c.line), std::string::npos) << m.err;
  }
}

TEST(GltfHostile, MissingBinAndTruncatedGlb) {
  if (!haveSamples()) GTEST_SKIP() << "sample models not found";
  // A .gltf whose .bin is not beside it.
  std::ifstream in(samplePath("Box/glTF/Box.gltf"));
  std::stringstream ss;
  ss << in.rdbuf();
  std::string tmp = testing::TempDir() + "gltf_missing_bin/";
  std::string mk = "mkdir -p " + tmp;
  ASSERT_EQ(std::system(mk.c_str()), 0);
  std::ofstream(tmp + "Box.gltf") << ss.str();
  {
    CpuModel m(tmp + "Box.gltf");
    EXPECT_EQ(m.model, nullptr);
    EXPECT_NE(m.err.find("GLTF: failed to load buffers for " + tmp + "Box.gltf (error 6)"), std::string::npos) << m.err;
  }
  // Every truncation of a .glb fails cleanly or loads; none crashes.
  std::ifstream gin(samplePath("BoxTextured/glTF-Binary/BoxTextured.glb"), std::ios::binary);
  std::vector<u8> glb((std::istreambuf_iterator<char>(gin)), std::istreambuf_iterator<char>());
  ASSERT_GT(glb.size(), 100u);
  u32 failed = 0;
  for (size_t len = 0; len < glb.size(); len += (len < 64 ? 1 : 37)) {
    MeshPool vp, ip;
    meshPoolInitRanges(&vp, 1u << 20);
    meshPoolInitRanges(&ip, 1u << 20);
    testing::internal::CaptureStderr();
    GltfModel* m = gltfLoadFromMemory(glb.data(), len, "", "cut.glb", nullptr, &vp, &ip);
    std::string err = testing::internal::GetCapturedStderr();
    if (!m) {
      failed++;
      EXPECT_EQ(err.rfind("GLTF: failed to ", 0), 0u) << len << ": " << err;
    }
    gltfDestroy(m);
    meshPoolDestroy(&vp);
    meshPoolDestroy(&ip);
  }
  EXPECT_GT(failed, 0u);
}

}  // namespace
