// Writes the program's default character: a skinned humanoid of our own, about
// 1.75 m tall, metres, Y up, facing +Z, with a looping walk and a generated
// texture, as one .gltf file with data URIs. Deterministic: the same bytes on
// every run.
//
// Joints are named as the sandbox's default-character ragdoll hints expect
// (pelvis "Skeleton_torso_joint_1" first, parents before children); each
// joint's local +Y runs along its bone and no joint is scaled. Neck, hands and
// feet are joints too but carry no ragdoll part.
#include <stb/stb_image_write.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct V3 {
  double x, y, z;
};
struct Q {
  double x, y, z, w;
};

V3 operator+(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
V3 operator-(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
V3 operator*(V3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double dot(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
V3 cross(V3 a, V3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double len(V3 a) { return std::sqrt(dot(a, a)); }
V3 norm(V3 a) { return a * (1.0 / len(a)); }

Q qmul(Q a, Q b) {
  return {a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y, a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
          a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w, a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
}
Q qconj(Q q) { return {-q.x, -q.y, -q.z, q.w}; }
Q qaxis(V3 axis, double angle) {
  V3 a = norm(axis);
  double s = std::sin(angle / 2);
  return {a.x * s, a.y * s, a.z * s, std::cos(angle / 2)};
}
V3 qrot(Q q, V3 v) {
  V3 u{q.x, q.y, q.z};
  V3 t = cross(u, v) * 2.0;
  return v + t * q.w + cross(u, t);
}
// Shortest turn taking +Y onto dir; straight down turns about Z.
Q fromUp(V3 dir) {
  V3 d = norm(dir);
  double c = d.y;
  if (c < -0.999999) return {0, 0, 1, 0};
  V3 axis = cross(V3{0, 1, 0}, d);
  double s = std::sqrt((1 + c) * 2);
  return {axis.x / s, axis.y / s, axis.z / s, s / 2};
}

struct Joint {
  const char* name;
  int parent;
  V3 head;  // world position in the bind pose
  V3 tail;  // where the bone points (for the box and the +Y axis)
  double halfWidth, halfDepth;  // box around the bone
  int cell;  // texture cell
  Q worldRot;
  V3 localT;
  Q localR;
};

// Texture: a 4 x 4 grid of 16 px cells, one colour per body region with a
// light stitch pattern so the pixels are not flat.
constexpr int kTex = 64;
const uint8_t kCellColours[][3] = {
    {52, 86, 140},   // 0 trousers
    {180, 60, 48},   // 1 shirt
    {224, 182, 150}, // 2 skin
    {40, 40, 44},    // 3 shoes
    {90, 60, 40},    // 4 hair
    {200, 160, 60},  // 5 belt
};

std::vector<uint8_t> makeTexture() {
  std::vector<uint8_t> px(kTex * kTex * 4);
  for (int y = 0; y < kTex; y++)
    for (int x = 0; x < kTex; x++) {
      int cell = (y / 16) * 4 + x / 16;
      const uint8_t* c = kCellColours[cell < 6 ? cell : 0];
      int shade = ((x + y) % 8 == 0) ? -18 : (((x ^ y) & 3) == 0 ? 8 : 0);
      for (int k = 0; k < 3; k++) {
        int v = c[k] + shade;
        px[(y * kTex + x) * 4 + k] = (uint8_t)(v < 0 ? 0 : (v > 255 ? 255 : v));
      }
      px[(y * kTex + x) * 4 + 3] = 255;
    }
  return px;
}

void appendPng(void* ctx, void* data, int size) {
  auto* out = static_cast<std::vector<uint8_t>*>(ctx);
  out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

std::string base64(const std::vector<uint8_t>& d) {
  static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < d.size(); i += 3) {
    uint32_t v = (uint32_t)d[i] << 16 | (uint32_t)d[i + 1] << 8 | d[i + 2];
    out += t[v >> 18], out += t[(v >> 12) & 63], out += t[(v >> 6) & 63], out += t[v & 63];
  }
  if (i + 1 == d.size()) {
    uint32_t v = (uint32_t)d[i] << 16;
    out += t[v >> 18], out += t[(v >> 12) & 63], out += "==";
  } else if (i + 2 == d.size()) {
    uint32_t v = (uint32_t)d[i] << 16 | (uint32_t)d[i + 1] << 8;
    out += t[v >> 18], out += t[(v >> 12) & 63], out += t[(v >> 6) & 63], out += "=";
  }
  return out;
}

struct Bin {
  std::vector<uint8_t> bytes;
  std::string views, accessors;
  int viewCount = 0, accessorCount = 0;
  int add(const void* data, size_t size, int componentType, const char* type, size_t count, const std::string& extra,
          int target) {
    while (bytes.size() % 4) bytes.push_back(0);
    size_t off = bytes.size();
    bytes.insert(bytes.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    if (viewCount) views += ",";
    views += "{\"buffer\":0,\"byteOffset\":" + std::to_string(off) + ",\"byteLength\":" + std::to_string(size);
    if (target) views += ",\"target\":" + std::to_string(target);
    views += "}";
    if (accessorCount) accessors += ",";
    accessors += "{\"bufferView\":" + std::to_string(viewCount) + ",\"componentType\":" + std::to_string(componentType) +
                 ",\"count\":" + std::to_string(count) + ",\"type\":\"" + type + "\"" + extra + "}";
    viewCount++;
    return accessorCount++;
  }
};

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", std::fabs(v) < 1e-12 ? 0.0 : v);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: chargen <out.gltf>\n");
    return 2;
  }
  // The skeleton in the bind pose: feet at y = 0, arms hanging slightly out.
  const double hip = 0.93;
  std::vector<Joint> j = {
      {"Skeleton_torso_joint_1", -1, {0, hip, 0}, {0, hip + 0.14, 0}, 0.15, 0.10, 5, {}, {}, {}},
      {"Skeleton_torso_joint_2", 0, {0, hip + 0.14, 0}, {0, hip + 0.32, 0}, 0.14, 0.09, 1, {}, {}, {}},
      {"torso_joint_3", 1, {0, hip + 0.32, 0}, {0, hip + 0.52, 0}, 0.18, 0.11, 1, {}, {}, {}},
      {"Skeleton_neck_joint_1", 2, {0, hip + 0.52, 0}, {0, hip + 0.60, 0}, 0.05, 0.05, 2, {}, {}, {}},
      {"Skeleton_neck_joint_2", 3, {0, hip + 0.60, 0}, {0, 1.75, 0}, 0.09, 0.10, 2, {}, {}, {}},
      {"Skeleton_arm_joint_L__4_", 2, {0.22, hip + 0.48, 0}, {0.27, hip + 0.20, 0}, 0.045, 0.045, 1, {}, {}, {}},
      {"Skeleton_arm_joint_L__3_", 5, {0.27, hip + 0.20, 0}, {0.30, hip - 0.05, 0.02}, 0.04, 0.04, 2, {}, {}, {}},
      {"Skeleton_hand_joint_L", 6, {0.30, hip - 0.05, 0.02}, {0.31, hip - 0.15, 0.03}, 0.045, 0.02, 2, {}, {}, {}},
      {"Skeleton_arm_joint_R", 2, {-0.22, hip + 0.48, 0}, {-0.27, hip + 0.20, 0}, 0.045, 0.045, 1, {}, {}, {}},
      {"Skeleton_arm_joint_R__2_", 8, {-0.27, hip + 0.20, 0}, {-0.30, hip - 0.05, 0.02}, 0.04, 0.04, 2, {}, {}, {}},
      {"Skeleton_hand_joint_R", 9, {-0.30, hip - 0.05, 0.02}, {-0.31, hip - 0.15, 0.03}, 0.045, 0.02, 2, {}, {}, {}},
      {"leg_joint_L_1", 0, {0.10, hip - 0.02, 0}, {0.10, 0.50, 0}, 0.07, 0.07, 0, {}, {}, {}},
      {"leg_joint_L_2", 11, {0.10, 0.50, 0}, {0.10, 0.08, 0}, 0.055, 0.055, 0, {}, {}, {}},
      {"Skeleton_foot_joint_L", 12, {0.10, 0.08, 0}, {0.10, 0.04, 0.20}, 0.05, 0.04, 3, {}, {}, {}},
      {"leg_joint_R_1", 0, {-0.10, hip - 0.02, 0}, {-0.10, 0.50, 0}, 0.07, 0.07, 0, {}, {}, {}},
      {"leg_joint_R_2", 14, {-0.10, 0.50, 0}, {-0.10, 0.08, 0}, 0.055, 0.055, 0, {}, {}, {}},
      {"Skeleton_foot_joint_R", 15, {-0.10, 0.08, 0}, {-0.10, 0.04, 0.20}, 0.05, 0.04, 3, {}, {}, {}},
  };
  const size_t n = j.size();
  for (size_t i = 0; i < n; i++) {
    j[i].worldRot = fromUp(j[i].tail - j[i].head);
    if (j[i].parent < 0) {
      j[i].localT = j[i].head;
      j[i].localR = j[i].worldRot;
    } else {
      const Joint& p = j[(size_t)j[i].parent];
      j[i].localT = qrot(qconj(p.worldRot), j[i].head - p.head);
      j[i].localR = qmul(qconj(p.worldRot), j[i].worldRot);
    }
  }

  // Mesh: one box per bone, each vertex bound to its bone alone; the feet's
  // boxes sit under the ankle.
  std::vector<float> pos, nrm, uv, wts;
  std::vector<uint16_t> jnt;
  std::vector<uint16_t> idx;
  float bmin[3] = {1e9f, 1e9f, 1e9f}, bmax[3] = {-1e9f, -1e9f, -1e9f};
  for (size_t b = 0; b < n; b++) {
    const Joint& J = j[b];
    const double half = len(J.tail - J.head) / 2;
    const V3 centre = (J.head + J.tail) * 0.5;
    const V3 axes[3] = {qrot(J.worldRot, {1, 0, 0}), qrot(J.worldRot, {0, 1, 0}), qrot(J.worldRot, {0, 0, 1})};
    const double ext[3] = {J.halfWidth, half, J.halfDepth};
    const double cu = (J.cell % 4) * 0.25 + 0.02, cv = (J.cell / 4) * 0.25 + 0.02, cs = 0.21;
    for (int face = 0; face < 6; face++) {
      const int a = face / 2;  // normal axis
      const double s = (face % 2) ? -1.0 : 1.0;
      const int u = (a + 1) % 3, v = (a + 2) % 3;
      const V3 nn = axes[a] * s;
      const uint16_t base = (uint16_t)(pos.size() / 3);
      const double corners[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
      for (int c = 0; c < 4; c++) {
        V3 p = centre + nn * ext[a] + axes[u] * (corners[c][0] * ext[u]) + axes[v] * (corners[c][1] * ext[v]);
        const float fp[3] = {(float)p.x, (float)p.y, (float)p.z};
        for (int k = 0; k < 3; k++) {
          pos.push_back(fp[k]);
          bmin[k] = std::fmin(bmin[k], fp[k]);
          bmax[k] = std::fmax(bmax[k], fp[k]);
        }
        nrm.push_back((float)nn.x), nrm.push_back((float)nn.y), nrm.push_back((float)nn.z);
        uv.push_back((float)(cu + (corners[c][0] + 1) * 0.5 * cs));
        uv.push_back((float)(cv + (corners[c][1] + 1) * 0.5 * cs));
        jnt.push_back((uint16_t)b), jnt.push_back(0), jnt.push_back(0), jnt.push_back(0);
        wts.push_back(1), wts.push_back(0), wts.push_back(0), wts.push_back(0);
      }
      // Counter-clockwise seen from outside: (u x v) points along +a, so flip for -a.
      if (s > 0) {
        for (int k : {0, 1, 2, 0, 2, 3}) idx.push_back((uint16_t)(base + k));
      } else {
        for (int k : {0, 2, 1, 0, 3, 2}) idx.push_back((uint16_t)(base + k));
      }
    }
  }
  const size_t vcount = pos.size() / 3;

  // Inverse bind matrices: the inverse of each joint's world transform.
  std::vector<float> ibm;
  for (size_t i = 0; i < n; i++) {
    Q qi = qconj(j[i].worldRot);
    V3 t = qrot(qi, j[i].head) * -1.0;
    V3 c0 = qrot(qi, {1, 0, 0}), c1 = qrot(qi, {0, 1, 0}), c2 = qrot(qi, {0, 0, 1});
    const double m[16] = {c0.x, c0.y, c0.z, 0, c1.x, c1.y, c1.z, 0, c2.x, c2.y, c2.z, 0, t.x, t.y, t.z, 1};
    for (double v : m) ibm.push_back((float)v);
  }

  // The walk: 1.2 s, keys every 0.1 s, last key equal to the first so it loops.
  const int keys = 13;
  const double period = 1.2;
  std::vector<float> times;
  for (int k = 0; k < keys; k++) times.push_back((float)(k * period / (keys - 1)));
  struct Swing {
    int joint;
    double amplitude, phase, offset;  // angle = offset + amplitude * sin(2 pi t / T + phase), about local X
  };
  const double pi = 3.14159265358979323846;
  // Local X of a downward bone is world -X, so a positive angle swings it forward (+Z).
  const Swing swings[] = {
      {11, 0.45, 0.0, 0.05},        {14, 0.45, pi, 0.05},           // thighs
      {12, -0.35, -pi / 2, -0.40},  {15, -0.35, pi / 2, -0.40},     // knees bend back
      {13, 0.15, 0.0, 0.0},         {16, 0.15, pi, 0.0},            // feet
      {5, 0.35, pi, 0.0},           {8, 0.35, 0.0, 0.0},            // arms against the legs
      {6, 0.25, pi, 0.30},          {9, 0.25, 0.0, 0.30},           // elbows
      {1, 0.04, 0.0, 0.0},          {4, 0.05, pi / 2, 0.0},         // spine and head nod
  };
  Bin bin;
  const int posAcc = bin.add(pos.data(), pos.size() * 4, 5126, "VEC3", vcount,
                             ",\"min\":[" + num(bmin[0]) + "," + num(bmin[1]) + "," + num(bmin[2]) + "],\"max\":[" +
                                 num(bmax[0]) + "," + num(bmax[1]) + "," + num(bmax[2]) + "]",
                             34962);
  const int nrmAcc = bin.add(nrm.data(), nrm.size() * 4, 5126, "VEC3", vcount, "", 34962);
  const int uvAcc = bin.add(uv.data(), uv.size() * 4, 5126, "VEC2", vcount, "", 34962);
  const int jntAcc = bin.add(jnt.data(), jnt.size() * 2, 5123, "VEC4", vcount, "", 34962);
  const int wtsAcc = bin.add(wts.data(), wts.size() * 4, 5126, "VEC4", vcount, "", 34962);
  const int idxAcc = bin.add(idx.data(), idx.size() * 2, 5123, "SCALAR", idx.size(), "", 34963);
  const int ibmAcc = bin.add(ibm.data(), ibm.size() * 4, 5126, "MAT4", n, "", 0);
  const int timeAcc = bin.add(times.data(), times.size() * 4, 5126, "SCALAR", times.size(),
                              ",\"min\":[0],\"max\":[" + num(times.back()) + "]", 0);
  std::string samplers, channels;
  int samplerCount = 0;
  auto addChannel = [&](int node, const char* path, int output) {
    if (samplerCount) samplers += ",", channels += ",";
    samplers += "{\"input\":" + std::to_string(timeAcc) + ",\"output\":" + std::to_string(output) +
                ",\"interpolation\":\"LINEAR\"}";
    channels += "{\"sampler\":" + std::to_string(samplerCount) + ",\"target\":{\"node\":" + std::to_string(node + 1) +
                ",\"path\":\"" + path + "\"}}";
    samplerCount++;
  };
  for (const Swing& s : swings) {
    std::vector<float> rot;
    for (int k = 0; k < keys; k++) {
      const double t = (k % (keys - 1)) * period / (keys - 1);
      const double angle = s.offset + s.amplitude * std::sin(2 * pi * t / period + s.phase);
      Q q = qmul(j[(size_t)s.joint].localR, qaxis({1, 0, 0}, angle));
      rot.push_back((float)q.x), rot.push_back((float)q.y), rot.push_back((float)q.z), rot.push_back((float)q.w);
    }
    addChannel(s.joint, "rotation", bin.add(rot.data(), rot.size() * 4, 5126, "VEC4", keys, "", 0));
  }
  {
    // The hips bob twice per cycle.
    std::vector<float> tr;
    for (int k = 0; k < keys; k++) {
      const double t = (k % (keys - 1)) * period / (keys - 1);
      tr.push_back((float)j[0].localT.x);
      tr.push_back((float)(j[0].localT.y + 0.025 * std::cos(4 * pi * t / period)));
      tr.push_back((float)j[0].localT.z);
    }
    addChannel(0, "translation", bin.add(tr.data(), tr.size() * 4, 5126, "VEC3", keys, "", 0));
  }

  std::vector<uint8_t> png;
  std::vector<uint8_t> px = makeTexture();
  if (!stbi_write_png_to_func(appendPng, &png, kTex, kTex, 4, px.data(), kTex * 4)) {
    std::fprintf(stderr, "chargen: texture encoding failed\n");
    return 1;
  }

  // Nodes: 0 the mesh, 1.. the joints (index + 1).
  std::string nodes = "{\"name\":\"Character\",\"mesh\":0,\"skin\":0}";
  for (size_t i = 0; i < n; i++) {
    std::string children;
    for (size_t c = 0; c < n; c++)
      if (j[c].parent == (int)i) {
        if (!children.empty()) children += ",";
        children += std::to_string(c + 1);
      }
    const Joint& J = j[i];
    nodes += ",{\"name\":\"" + std::string(J.name) + "\",\"translation\":[" + num(J.localT.x) + "," + num(J.localT.y) +
             "," + num(J.localT.z) + "],\"rotation\":[" + num(J.localR.x) + "," + num(J.localR.y) + "," +
             num(J.localR.z) + "," + num(J.localR.w) + "]";
    if (!children.empty()) nodes += ",\"children\":[" + children + "]";
    nodes += "}";
  }
  std::string jointList;
  for (size_t i = 0; i < n; i++) {
    if (i) jointList += ",";
    jointList += std::to_string(i + 1);
  }
  std::string json = "{\"asset\":{\"version\":\"2.0\",\"generator\":\"Terrain chargen\"},\"scene\":0,";
  json += "\"scenes\":[{\"nodes\":[0,1]}],\"nodes\":[" + nodes + "],";
  json += "\"meshes\":[{\"name\":\"Character\",\"primitives\":[{\"attributes\":{\"POSITION\":" + std::to_string(posAcc) +
          ",\"NORMAL\":" + std::to_string(nrmAcc) + ",\"TEXCOORD_0\":" + std::to_string(uvAcc) +
          ",\"JOINTS_0\":" + std::to_string(jntAcc) + ",\"WEIGHTS_0\":" + std::to_string(wtsAcc) +
          "},\"indices\":" + std::to_string(idxAcc) + ",\"material\":0}]}],";
  json += "\"skins\":[{\"name\":\"Skeleton\",\"inverseBindMatrices\":" + std::to_string(ibmAcc) + ",\"skeleton\":1,\"joints\":[" +
          jointList + "]}],";
  json += "\"animations\":[{\"name\":\"Walk\",\"samplers\":[" + samplers + "],\"channels\":[" + channels + "]}],";
  json += "\"materials\":[{\"name\":\"Clothes\",\"pbrMetallicRoughness\":{\"baseColorTexture\":{\"index\":0},"
          "\"metallicFactor\":0,\"roughnessFactor\":0.8}}],";
  json += "\"textures\":[{\"sampler\":0,\"source\":0}],\"samplers\":[{\"magFilter\":9729,\"minFilter\":9987}],";
  json += "\"images\":[{\"name\":\"Clothes\",\"uri\":\"data:image/png;base64," + base64(png) + "\"}],";
  json += "\"buffers\":[{\"byteLength\":" + std::to_string(bin.bytes.size()) +
          ",\"uri\":\"data:application/octet-stream;base64," + base64(bin.bytes) + "\"}],";
  json += "\"bufferViews\":[" + bin.views + "],\"accessors\":[" + bin.accessors + "]}\n";

  std::string tmp = std::string(argv[1]) + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "chargen: cannot write %s\n", tmp.c_str());
    return 1;
  }
  const bool ok = std::fwrite(json.data(), 1, json.size(), f) == json.size();
  if (std::fclose(f) != 0 || !ok || std::rename(tmp.c_str(), argv[1]) != 0) {
    std::fprintf(stderr, "chargen: cannot write %s\n", argv[1]);
    std::remove(tmp.c_str());
    return 1;
  }
  return 0;
}
