// Ogg Opus clips: every shared sample file and the generated explosion against
// libopusfile's decoding, lengths at a lower engine rate, and broken files.
#include <gtest/gtest.h>
#include <opusfile.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "components/audio.h"
#include "tools/oggwrite.h"

namespace fs = std::filesystem;

namespace {

const std::string kOpusDir = std::string(TERRAIN_SHARED_DIR) + "/assets/opus";
const std::string kExplosion = std::string(TERRAIN_BINARY_DIR) + "/asset/explosion.ogg";

struct Reference {
  b8 opened = false;
  int channels = 0;
  int preSkip = 0;
  i64 pcmTotal = -1;  // at 48 kHz, -1 when unknown
  std::vector<f32> pcm;
};

// libopusfile's view of the file (always at 48 kHz).
Reference decodeWithOpusfile(const std::string& path) {
  Reference r;
  int err = 0;
  OggOpusFile* of = op_open_file(path.c_str(), &err);
  if (!of) return r;
  r.opened = true;
  r.channels = op_channel_count(of, -1);
  r.preSkip = (int)op_head(of, -1)->pre_skip;
  r.pcmTotal = op_seekable(of) ? op_pcm_total(of, -1) : -1;
  std::vector<f32> buf(5760 * 8);
  for (;;) {
    int n = op_read_float(of, buf.data(), (int)buf.size(), nullptr);
    if (n == OP_HOLE) continue;
    if (n <= 0) break;
    r.pcm.insert(r.pcm.end(), buf.begin(), buf.begin() + (size_t)n * r.channels);
  }
  op_free(of);
  return r;
}

AudioEngine* makeEngine(u32 rate, i32 channels) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  return audioEngineCreate(nullptr, nullptr, rate, channels, 1024, nullptr, nullptr, nullptr, nullptr, nullptr);
}

std::vector<std::string> sampleFiles() {
  std::vector<std::string> files;
  if (fs::is_directory(kOpusDir)) {
    for (const auto& entry : fs::directory_iterator(kOpusDir)) files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  files.push_back(kExplosion);
  return files;
}

TEST(OggClips, AcceptedFilesEqualLibopusfileSampleForSample) {
  if (!fs::is_directory(kOpusDir)) GTEST_SKIP() << "shared Opus samples not found at " << kOpusDir;
  int compared = 0;
  for (i32 channels = 1; channels <= 2; channels++) {
    AudioEngine* e = makeEngine(48000, channels);
    ASSERT_NE(e, nullptr);
    for (const std::string& path : sampleFiles()) {
      SCOPED_TRACE(path + " on a " + std::to_string(channels) + "-channel engine");
      Reference ref = decodeWithOpusfile(path);
      const b8 multiplexed = path.find("testTheoraAudio3") != std::string::npos;
      AudioSound* s = audioEngineLoadOgg(e, path.c_str());
      if (!ref.opened || multiplexed || ref.channels != channels) {
        // Not Opus first, or the wrong channel count for this engine.
        EXPECT_EQ(s, nullptr);
        continue;
      }
      ASSERT_NE(s, nullptr);
      EXPECT_EQ(s->channels, channels);
      ASSERT_EQ(s->frames * (size_t)channels, ref.pcm.size());
      for (size_t i = 0; i < ref.pcm.size(); i++) ASSERT_EQ(s->pcm[i], ref.pcm[i]) << "sample " << i;
      if (ref.pcmTotal >= 0) {
        EXPECT_EQ((i64)s->frames, ref.pcmTotal);
      }
      compared++;
      audioSoundDestroy(e, s);
    }
    audioEngineDestroy(e);
  }
  // Mono: 3 files; stereo: 5 and the explosion.
  EXPECT_EQ(compared, 9);
}

TEST(OggClips, EndOfStreamGranuleTrimsThePadding) {
  const std::string path = kOpusDir + "/testOPUS_09.opus";
  if (!fs::exists(path)) GTEST_SKIP() << "shared Opus samples not found";
  AudioEngine* e = makeEngine(48000, 2);
  AudioSound* s = audioEngineLoadOgg(e, path.c_str());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->frames, 1045u);
  audioEngineDestroy(e);
}

TEST(OggClips, TruncatedFileGivesItsCompletePages) {
  const std::string path = kOpusDir + "/test.opus";
  if (!fs::exists(path)) GTEST_SKIP() << "shared Opus samples not found";
  AudioEngine* e = makeEngine(48000, 2);
  AudioSound* s = audioEngineLoadOgg(e, path.c_str());
  ASSERT_NE(s, nullptr);
  // Three complete pages of about a second; the broken fourth adds nothing.
  EXPECT_GT(s->frames, 40000u);
  EXPECT_LT(s->frames, 50000u);
  audioEngineDestroy(e);
}

TEST(OggClips, AtSixteenKilohertzLengthsFollowTheRescaledPreSkip) {
  if (!fs::is_directory(kOpusDir)) GTEST_SKIP() << "shared Opus samples not found";
  for (i32 channels = 1; channels <= 2; channels++) {
    AudioEngine* e = makeEngine(16000, channels);
    ASSERT_NE(e, nullptr);
    for (const std::string& path : sampleFiles()) {
      Reference ref = decodeWithOpusfile(path);
      if (!ref.opened || ref.channels != channels || ref.pcmTotal < 0 ||
          path.find("testTheoraAudio3") != std::string::npos)
        continue;
      SCOPED_TRACE(path);
      AudioSound* s = audioEngineLoadOgg(e, path.c_str());
      ASSERT_NE(s, nullptr);
      // End granule and pre-skip, both counted at 48 kHz, each rescaled.
      const i64 granule = ref.pcmTotal + ref.preSkip;
      EXPECT_EQ((i64)s->frames, granule / 3 - ref.preSkip / 3);
      audioSoundDestroy(e, s);
    }
    audioEngineDestroy(e);
  }
}

TEST(OggClips, GeneratedExplosionIsStereoUnderMinusThreeDecibels) {
  ASSERT_TRUE(fs::exists(kExplosion)) << kExplosion;
  AudioEngine* e = makeEngine(48000, 2);
  AudioSound* s = audioEngineLoadOgg(e, kExplosion.c_str());
  ASSERT_NE(s, nullptr);
  EXPECT_NEAR(audioSoundGetDurationSeconds(e, s), 1.6f, 0.001f);
  f32 peak = 0, early = 0, late = 0;
  for (size_t i = 0; i < s->frames * 2; i++) {
    peak = std::max(peak, std::fabs(s->pcm[i]));
    if (i < 48000 / 5 * 2) early = std::max(early, std::fabs(s->pcm[i]));
    if (i > s->frames * 2 - 48000 / 5 * 2) late = std::max(late, std::fabs(s->pcm[i]));
  }
  EXPECT_LE(peak, 0.7079f);  // -3 dBFS
  EXPECT_GT(peak, 0.4f);
  EXPECT_LT(late, early / 8);  // it decays
  audioEngineDestroy(e);
  // A mono engine refuses it.
  AudioEngine* mono = makeEngine(48000, 1);
  ASSERT_NE(mono, nullptr);
  EXPECT_EQ(audioEngineLoadOgg(mono, kExplosion.c_str()), nullptr);
  audioEngineDestroy(mono);
}

// Hand-made files: a tiny valid stream, then each with one thing broken.
struct BadFile {
  const char* name;
  std::vector<OggPacketIn> packets;
};

std::vector<u8> silentPacket() {
  // TOC: CELT-only fullband 20 ms, one frame; an empty frame decodes as silence.
  return {0xFC};
}

std::vector<OggPacketIn> validPackets() {
  return {{opusHeadPacket(2, 312, 0), 0, true},
          {opusTagsPacket("test"), 0, true},
          {silentPacket(), 960, false},
          {silentPacket(), 1920, false}};
}

TEST(OggClips, BrokenFilesAreRefused) {
  const std::string dir = testing::TempDir() + "/terrain_bad_ogg";
  fs::create_directories(dir);
  AudioEngine* e = makeEngine(48000, 2);
  ASSERT_NE(e, nullptr);
  {
    auto packets = validPackets();
    const std::string path = dir + "/valid.opus";
    ASSERT_TRUE(oggWritePackets(path.c_str(), 7, packets));
    AudioSound* s = audioEngineLoadOgg(e, path.c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->frames, 1920u - 312u);
  }
  std::vector<BadFile> bad;
  auto with = [&](const char* name, auto edit) {
    BadFile b{name, validPackets()};
    edit(b.packets);
    bad.push_back(b);
  };
  with("short head", [](auto& p) { p[0].data.resize(18); });
  with("wrong magic", [](auto& p) { p[0].data[7] = 'X'; });
  with("version 2", [](auto& p) { p[0].data[8] = 2; });
  with("family 1", [](auto& p) { p[0].data[18] = 1; });
  with("zero channels", [](auto& p) { p[0].data[9] = 0; });
  with("no tags", [](auto& p) { p[1].data = {'O', 'p', 'u', 's'}; });
  // Code 3 packet claiming zero frames: the decoder rejects it.
  with("corrupt packet", [](auto& p) { p[2].data = {0xFF, 0x00}; });
  with("headers only", [](auto& p) { p.resize(2); });
  for (const BadFile& b : bad) {
    const std::string path = dir + "/bad.opus";
    ASSERT_TRUE(oggWritePackets(path.c_str(), 7, b.packets));
    EXPECT_EQ(audioEngineLoadOgg(e, path.c_str()), nullptr) << b.name;
  }
  // Not Ogg at all, empty, missing.
  const std::string junk = dir + "/junk.opus";
  std::FILE* f = std::fopen(junk.c_str(), "wb");
  std::fputs("OggS but not really an Ogg page at all", f);
  std::fclose(f);
  EXPECT_EQ(audioEngineLoadOgg(e, junk.c_str()), nullptr);
  f = std::fopen(junk.c_str(), "wb");
  std::fclose(f);
  EXPECT_EQ(audioEngineLoadOgg(e, junk.c_str()), nullptr);
  EXPECT_EQ(audioEngineLoadOgg(e, (dir + "/missing.opus").c_str()), nullptr);
  audioEngineDestroy(e);
  // Engine rates Opus cannot decode to.
  AudioEngine* odd = makeEngine(44100, 2);
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(audioEngineLoadOgg(odd, (dir + "/valid.opus").c_str()), nullptr);
  audioEngineDestroy(odd);
  fs::remove_all(dir);
}

// Ten minutes and a packet of 1-byte silent packets: a 300 KB file that would
// decode past the cap is cut there instead of growing without bound.
TEST(OggClips, DecodedLengthIsCappedAtTenMinutes) {
  const std::string path = testing::TempDir() + "/terrain_long.opus";
  std::vector<OggPacketIn> packets = {{opusHeadPacket(1, 0, 0), 0, true}, {opusTagsPacket("test"), 0, true}};
  const i64 count = (i64)kAudioMaxClipSeconds * 50 + 100;
  for (i64 k = 1; k <= count; k++) packets.push_back({{0xFC}, k * 960, false});
  ASSERT_TRUE(oggWritePackets(path.c_str(), 3, packets));
  AudioEngine* e = makeEngine(8000, 1);
  ASSERT_NE(e, nullptr);
  AudioSound* s = audioEngineLoadOgg(e, path.c_str());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->frames, (size_t)kAudioMaxClipSeconds * 8000);
  audioEngineDestroy(e);
  fs::remove(path);
}

}  // namespace
