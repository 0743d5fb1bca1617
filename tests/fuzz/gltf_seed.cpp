// Seeds for fuzz_gltf: the shared sample models that carry their data inside
// (.glb and embedded .gltf) and the generated default character.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string shared = std::string(TERRAIN_SHARED_DIR) + "/assets/gltf/";
  const char* files[] = {
      "Box/glTF-Binary/Box.glb",
      "BoxTextured/glTF-Binary/BoxTextured.glb",
      "BoxAnimated/glTF-Embedded/BoxAnimated.gltf",
      "RiggedSimple/glTF-Embedded/RiggedSimple.gltf",
      "SimpleSkin/glTF-Embedded/SimpleSkin.gltf",
      "RiggedFigure/glTF-Binary/RiggedFigure.glb",
  };
  std::vector<std::string> paths;
  for (const char* f : files) paths.push_back(shared + f);
  paths.push_back(TERRAIN_CHARACTER_GLTF);
  int n = 0;
  for (const std::string& p : paths) {
    std::ifstream in(p, std::ios::binary);
    if (!in) continue;
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream out(std::string(argv[1]) + "/seed" + std::to_string(n++), std::ios::binary);
    out.write(bytes.data(), (std::streamsize)bytes.size());
  }
  return 0;
}
