// Writes seeds for fuzz_ogg into argv[1]: small hand-made Ogg Opus streams
// (valid, and each with one header field broken) and the shared sample files,
// each behind the byte that picks the engine (bit 0: stereo, bit 1: 16 kHz).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/oggwrite.h"

namespace fs = std::filesystem;

namespace {

void seed(const std::string& dir, const std::string& name, u8 selector, const std::vector<u8>& file) {
  std::ofstream out(dir + "/" + name, std::ios::binary);
  out.put((char)selector);
  out.write(reinterpret_cast<const char*>(file.data()), (std::streamsize)file.size());
}

std::vector<u8> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<u8>(std::istreambuf_iterator<char>(in), {});
}

std::vector<u8> stream(const std::string& tmp, std::vector<OggPacketIn> packets) {
  oggWritePackets(tmp.c_str(), 5, packets);
  return readAll(tmp);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];
  const std::string tmp = dir + "/.tmp.opus";
  for (u8 ch = 1; ch <= 2; ch++) {
    auto valid = [&] {
      return std::vector<OggPacketIn>{{opusHeadPacket(ch, 312, 0), 0, true},
                                      {opusTagsPacket("seed"), 0, true},
                                      {{0xFC}, 960, false},
                                      {{0xFC}, 1500, false}};
    };
    const u8 sel = (u8)(ch - 1);
    seed(dir, "valid" + std::to_string(ch), sel, stream(tmp, valid()));
    seed(dir, "valid16k" + std::to_string(ch), sel | 2, stream(tmp, valid()));
    auto p = valid();
    p[0].data[18] = 1;
    seed(dir, "family1_" + std::to_string(ch), sel, stream(tmp, p));
    p = valid();
    p[0].data.resize(18);
    seed(dir, "shorthead" + std::to_string(ch), sel, stream(tmp, p));
    p = valid();
    p[2].data = {0xFF, 0x00};
    seed(dir, "corrupt" + std::to_string(ch), sel, stream(tmp, p));
  }
  fs::remove(tmp);
  const std::string shared = std::string(TERRAIN_SHARED_DIR) + "/assets/opus";
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(shared, ec)) {
    auto bytes = readAll(entry.path().string());
    if (bytes.size() > 64 * 1024) continue;
    const std::string name = entry.path().filename().string();
    seed(dir, name + ".mono", 0, bytes);
    seed(dir, name + ".stereo", 1, bytes);
  }
  return 0;
}
