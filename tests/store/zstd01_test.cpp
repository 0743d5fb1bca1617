// The v0.1 frame codec: published vectors, frames of the original compressor,
// round trips through our compressor, and hostile input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store/zstd01.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes fromHex(const std::string& hex) {
  Bytes out;
  int hi = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<unsigned char>(hi << 4 | v));
      hi = -1;
    }
  }
  return out;
}

Bytes fromText(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; i++) r += s;
  return fromText(r);
}

// Decodes into a buffer of exactly `capacity` bytes, so that ASan sees any write
// or read past it. Returns the result code; out receives the bytes on success.
size_t decode(const Bytes& frame, size_t capacity, Bytes* out, bool strict) {
  Bytes in(frame);  // exact-size copy: reads past the frame are caught
  out->assign(capacity, 0);
  size_t r = strict ? zstd01::ZSTD_decompressStrict(out->data(), capacity, in.data(), in.size())
                    : zstd01::ZSTD_decompress(out->data(), capacity, in.data(), in.size());
  if (!zstd01::ZSTD_isError(r)) out->resize(r);
  return r;
}

const char* kTale =
    "It was the best of times, it was the worst of times, it was the age of wisdom, it was the age of "
    "foolishness, it was the epoch of belief, it was the epoch of incredulity.";

struct Vector {
  const char* name;
  const char* frame;
  Bytes expected;
};

std::vector<Vector> publishedVectors() {
  Bytes v4 = repeat("ab", 76);
  for (unsigned char c : fromText("cbcbc1234")) v4.push_back(c);
  return {
      {"V1 empty", "fd2fb51e c00000", {}},
      {"V2 two raw blocks", "fd2fb51e 400003 616263 400002 6465 c00000", fromText("abcde")},
      {"V3 RLE tables, overlapping match",
       "fd2fb51e 000011 400006 61626358595a 0100 a8 00 03 02 08 03 c00000",
       fromText("abcabcabcabcabcXYZ")},
      {"V4 basic tables, escape, repeat offset",
       "fd2fb51e 000016 400007 61626331323334 0200 54 01 13 00000080e02f84 c00000", v4},
      {"V5 Huffman literals, FSE literal lengths",
       "fd2fb51e 00001f 000011 000a 823210 030001000100 97d801 01 01 01 0200 28 00 50a303 03 04 020a c00000",
       fromHex("0000010000000100000001000100000001000100020003010000")},
      {"V6 four Huffman streams",
       "fd2fb51e00006400004700481561936d4069a908b4e23845fdd4cc3c44eb7ca2"
       "f20d0e000900090041d3a7c2f8a964a2310247a32104ebc80871d9a9934e0dc5"
       "8458497ddca77717ec18fd93c3a61ed10d07005400000680241403904da150a3"
       "40b218802d0345cb60285bc00000",
       fromText(kTale)},
      {"V7 original compressor",
       "fd2fb51e00006500004a005015a0850a90b365d3fa3aa7dde24b2f44b0b48204"
       "58260b000b000b00e73b46105fea0f771b110859d2d5d8fcabaac8d098010502"
       "f1e8201d7417e766db80a3ccbfcfd0040bb3235706005400000680842a8f428f"
       "32a80548ac69285a0643d902c00000",
       fromText(kTale)},
  };
}

TEST(Zstd01Vectors, DecodeAsPublishedInBothModes) {
  for (const Vector& v : publishedVectors()) {
    SCOPED_TRACE(v.name);
    Bytes frame = fromHex(v.frame), out;
    for (bool strict : {false, true}) {
      size_t r = decode(frame, v.expected.size(), &out, strict);
      ASSERT_FALSE(zstd01::ZSTD_isError(r)) << zstd01::ZSTD_getErrorName(r);
      EXPECT_EQ(out, v.expected);
    }
    // One byte too few never fits.
    if (!v.expected.empty()) {
      EXPECT_TRUE(zstd01::ZSTD_isError(decode(frame, v.expected.size() - 1, &out, false)));
    }
  }
}

TEST(Zstd01Vectors, LastMatchSevenBytesFromTheEndNeedsOneSpareByteInStrictMode) {
  Bytes frame = fromHex("fd2fb51e 000015 400006 616263313233 0200 5401 13 00000080e02f84 c00000");
  Bytes expected = repeat("ab", 76);
  for (unsigned char c : fromText("cbcbc123")) expected.push_back(c);
  ASSERT_EQ(expected.size(), 160u);
  Bytes out;
  size_t r = decode(frame, 161, &out, true);
  ASSERT_FALSE(zstd01::ZSTD_isError(r)) << zstd01::ZSTD_getErrorName(r);
  EXPECT_EQ(out, expected);
  r = decode(frame, 160, &out, true);
  EXPECT_EQ(zstd01::ZSTD_getErrorCode(r), zstd01::ZSTD_error_dstSize_tooSmall);
  // Our own reader has no such margin.
  r = decode(frame, 160, &out, false);
  ASSERT_FALSE(zstd01::ZSTD_isError(r)) << zstd01::ZSTD_getErrorName(r);
  EXPECT_EQ(out, expected);
}

TEST(Zstd01Vectors, EmptyBlockAndFrameLevelRleAreRejected) {
  struct Case {
    const char* name;
    const char* frame;
    zstd01::ZSTD_ErrorCode error;
  } cases[] = {
      // The original reader returns "abc" and drops "def"; we refuse instead.
      {"empty raw block", "fd2fb51e 400003 616263 400000 400003 646566 c00000", zstd01::ZSTD_error_emptyBlock},
      {"empty compressed block", "fd2fb51e 400003 616263 000000 c00000", zstd01::ZSTD_error_emptyBlock},
      {"frame-level RLE block", "fd2fb51e 800005 41 c00000", zstd01::ZSTD_error_blockType_unsupported},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    for (bool strict : {false, true}) EXPECT_EQ(zstd01::ZSTD_getErrorCode(decode(fromHex(c.frame), 64, &out, strict)), c.error);
  }
}

}  // namespace

namespace {

std::string sharedDir() {
  const char* env = std::getenv("TERRAIN_SHARED_DIR");
  return env ? env : TERRAIN_SHARED_DIR;
}

bool readFile(const std::string& path, Bytes* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  out->clear();
  unsigned char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  std::fclose(f);
  return true;
}

const char* kCorpus[] = {"empty",        "entities_64k", "heightmap_64k", "mixed_300k",   "one_byte", "random_4k",
                         "runs_64k",     "splat_64k",    "text_small",    "text_spec_60k", "zeros_64k"};

TEST(Zstd01Corpus, FramesOfTheOriginalCompressorDecodeStrictlyToTheirInputs) {
  std::string dir = sharedDir() + "/formats/zstd-v01-corpus/";
  Bytes probe;
  if (!readFile(dir + "text_small.bin", &probe)) GTEST_SKIP() << "corpus not found in " << dir;
  for (const char* name : kCorpus) {
    SCOPED_TRACE(name);
    Bytes input, frame, out;
    ASSERT_TRUE(readFile(dir + name + ".bin", &input));
    ASSERT_TRUE(readFile(dir + name + ".zst", &frame));
    size_t r = decode(frame, input.size(), &out, true);
    ASSERT_FALSE(zstd01::ZSTD_isError(r)) << zstd01::ZSTD_getErrorName(r);
    EXPECT_TRUE(out == input);
  }
}

TEST(Zstd01Corpus, OurFramesAreNoLargerInTotalThanTheOriginalCompressors) {
  std::string dir = sharedDir() + "/formats/zstd-v01-corpus/";
  Bytes probe;
  if (!readFile(dir + "text_small.bin", &probe)) GTEST_SKIP() << "corpus not found in " << dir;
  size_t ours = 0, original = 0;
  for (const char* name : kCorpus) {
    Bytes input, frame;
    ASSERT_TRUE(readFile(dir + name + ".bin", &input));
    ASSERT_TRUE(readFile(dir + name + ".zst", &frame));
    Bytes packed(zstd01::ZSTD_compressBound(input.size()));
    size_t n = zstd01::ZSTD_compress(packed.data(), packed.size(), input.data(), input.size());
    ASSERT_FALSE(zstd01::ZSTD_isError(n));
    ours += n;
    original += frame.size();
  }
  EXPECT_LE(ours, original);
}

}  // namespace

namespace {

// Deterministic generator so that failures reproduce.
struct Rng {
  unsigned long long s;
  unsigned next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<unsigned>(s >> 33);
  }
};

Bytes textData(size_t n) {
  const char* words[] = {"terrain ", "chunk ", "the ", "store ", "of ", "height ", "splat ", "entity ",
                         "world ", "and ", "a ", "compressed ", "block\n", "frame, ", "offset ", "literal "};
  Rng r{1};
  Bytes out;
  while (out.size() < n) {
    const char* w = words[r.next() % 16];
    while (*w && out.size() < n) out.push_back(static_cast<unsigned char>(*w++));
  }
  return out;
}

Bytes noiseData(size_t n) {
  Rng r{2};
  Bytes out(n);
  for (auto& b : out) b = static_cast<unsigned char>(r.next() >> 7);
  return out;
}

Bytes heightmapData(size_t n) {
  Rng r{3};
  Bytes out(n);
  for (size_t i = 0; i + 1 < n; i += 2) {
    size_t x = (i / 2) % 128, y = (i / 2) / 128;
    int h = 20000 + static_cast<int>(3000 * ((x * 7 + y * 3) % 64) / 64) + static_cast<int>(r.next() % 16);
    out[i] = static_cast<unsigned char>(h);
    out[i + 1] = static_cast<unsigned char>(h >> 8);
  }
  return out;
}

Bytes runsData(size_t n) {
  Rng r{4};
  Bytes out;
  const unsigned char values[4] = {0, 7, 200, 255};
  while (out.size() < n) {
    unsigned char v = values[r.next() % 4];
    size_t len = 1 + r.next() % 300;
    for (size_t i = 0; i < len && out.size() < n; i++) out.push_back(v);
  }
  return out;
}

Bytes splatData(size_t n) {
  Bytes out(n);
  for (size_t i = 0; i < n; i += 4) {
    size_t row = i / 1024;
    unsigned char px[4] = {255, 0, 0, 0};
    if (row % 7 == 3) px[0] = 128, px[1] = 127;
    for (size_t k = 0; k < 4 && i + k < n; k++) out[i + k] = px[k];
  }
  return out;
}

Bytes entityData(size_t n) {
  Rng r{5};
  Bytes out;
  unsigned id = 1000;
  while (out.size() < n) {
    float pos[3] = {static_cast<float>(r.next() % 4096) * 0.25f, 12.5f, static_cast<float>(r.next() % 4096) * 0.25f};
    unsigned char rec[32] = {};
    std::memcpy(rec, &id, 4);
    std::memcpy(rec + 4, pos, 12);
    rec[16] = static_cast<unsigned char>(r.next() % 3);
    id++;
    for (size_t k = 0; k < 32 && out.size() < n; k++) out.push_back(rec[k]);
  }
  return out;
}

// Compresses, then decodes strictly into exactly the input's size.
void expectStrictRoundTrip(const Bytes& input, size_t* frameSize = nullptr) {
  Bytes in(input);
  Bytes frame(zstd01::ZSTD_compressBound(in.size()));
  size_t n = zstd01::ZSTD_compress(frame.data(), frame.size(), in.data(), in.size());
  ASSERT_FALSE(zstd01::ZSTD_isError(n)) << zstd01::ZSTD_getErrorName(n);
  frame.resize(n);
  Bytes out;
  size_t r = decode(frame, in.size(), &out, true);
  ASSERT_FALSE(zstd01::ZSTD_isError(r)) << zstd01::ZSTD_getErrorName(r);
  ASSERT_TRUE(out == input);
  if (frameSize) *frameSize = n;
}

TEST(Zstd01RoundTrip, VariedDataAndSizesPassStrictModeAtExactCapacity) {
  struct Kind {
    const char* name;
    Bytes (*make)(size_t);
  } kinds[] = {{"text", textData},   {"noise", noiseData},   {"heightmap", heightmapData},
               {"runs", runsData},   {"splat", splatData},   {"entities", entityData}};
  const size_t sizes[] = {0, 1, 7, 8, 15, 16, 17, 63, 64, 100, 1000, 4096, 65535, 65536, 65537,
                          131071, 131072, 131073, 3 * 65536 + 5, 4 * 65536};
  for (const Kind& k : kinds) {
    for (size_t n : sizes) {
      SCOPED_TRACE(std::string(k.name) + " " + std::to_string(n));
      expectStrictRoundTrip(k.make(n));
    }
  }
}

// The first block of a text frame is compressed with Huffman literals and at
// least one FSE-described sequence table, not only raw or basic forms.
TEST(Zstd01RoundTrip, TextUsesHuffmanLiteralsAndDescribedTables) {
  Bytes in = textData(100000), frame(zstd01::ZSTD_compressBound(in.size()));
  frame.resize(zstd01::ZSTD_compress(frame.data(), frame.size(), in.data(), in.size()));
  EXPECT_LT(frame.size(), in.size() / 2);
  ASSERT_GT(frame.size(), 20u);
  const unsigned char* block = frame.data() + 4;
  ASSERT_EQ(block[0] >> 6, 0) << "first block is not compressed";
  const unsigned char* lit = block + 3;
  ASSERT_EQ(lit[0] >> 6, 0) << "literals are not Huffman-coded";
  size_t litSize = 3 + ((static_cast<size_t>(lit[0] & 7) << 16) | (lit[1] << 8) | lit[2]);
  unsigned flags = lit[litSize + 2];
  bool described = (flags >> 6) == 0 || ((flags >> 4) & 3) == 0 || ((flags >> 2) & 3) == 0;
  EXPECT_TRUE(described) << "flags " << flags;
  Bytes out;
  ASSERT_FALSE(zstd01::ZSTD_isError(decode(frame, in.size(), &out, true)));
  EXPECT_TRUE(out == in);
}

TEST(Zstd01RoundTrip, EmptyInputIsTheSevenByteFrame) {
  unsigned char frame[16];
  size_t n = zstd01::ZSTD_compress(frame, sizeof frame, nullptr, 0);
  ASSERT_EQ(n, 7u);
  EXPECT_EQ(Bytes(frame, frame + 7), fromHex("fd2fb51e c00000"));
}

TEST(Zstd01RoundTrip, TooSmallDestinationIsAnError) {
  Bytes in = textData(5000), frame(100);
  EXPECT_EQ(zstd01::ZSTD_getErrorCode(zstd01::ZSTD_compress(frame.data(), frame.size(), in.data(), in.size())),
            zstd01::ZSTD_error_dstSize_tooSmall);
}

}  // namespace

namespace {

struct BadFrame {
  const char* name;
  const char* frame;
  zstd01::ZSTD_ErrorCode error;
};

TEST(Zstd01Malformed, HandMadeFramesGiveTheirErrorInBothModes) {
  const BadFrame cases[] = {
      {"wrong magic", "fd2fb522 c00000", zstd01::ZSTD_error_prefix_unknown},
      {"shorter than a header", "fd2fb5", zstd01::ZSTD_error_srcSize_wrong},
      {"no end block", "fd2fb51e 400003 616263", zstd01::ZSTD_error_srcSize_wrong},
      {"byte after the end block", "fd2fb51e c00000 00", zstd01::ZSTD_error_srcSize_wrong},
      {"block runs past the input", "fd2fb51e 400009 616263 c00000", zstd01::ZSTD_error_srcSize_wrong},
      {"offset before the first byte", "fd2fb51e 000011 400006 61626358595a 0100 a8 00 03 03 08 07 c00000",
       zstd01::ZSTD_error_corruption_detected},
      {"literal length past the literals", "fd2fb51e 000011 400006 61626358595a 0100 a8 00 07 02 08 03 c00000",
       zstd01::ZSTD_error_corruption_detected},
      {"sequence bits left over", "fd2fb51e 000011 400006 61626358595a 0100 a8 00 03 02 08 06 c00000",
       zstd01::ZSTD_error_corruption_detected},
      {"sequence bits missing", "fd2fb51e 000011 400006 61626358595a 0100 a8 00 03 03 08 03 c00000",
       zstd01::ZSTD_error_corruption_detected},
      {"bitstream without end mark", "fd2fb51e 000011 400006 61626358595a 0100 a8 00 03 02 08 00 c00000",
       zstd01::ZSTD_error_corruption_detected},
      {"literals type 3", "fd2fb51e 000008 c00001 0000 a8 00 000000 01 c00000",
       zstd01::ZSTD_error_blockType_unsupported},
      {"13-bit Huffman code", "fd2fb51e 000019 00000e 000a 80d0 010001000100 01010101 0000 a8 00 000000 01 c00000",
       zstd01::ZSTD_error_tableLog_tooLarge},
      {"literal-length table log 11",
       "fd2fb51e 00001f 000011 000a 823210 030001000100 97d801 01 01 01 0200 28 00 56a303 03 04 020a c00000",
       zstd01::ZSTD_error_tableLog_tooLarge},
      {"Huffman stream 1 short of the count",
       "fd2fb51e 00001f 000011 000b 823210 030001000100 97d801 01 01 01 0200 28 00 50a303 03 04 020a c00000",
       zstd01::ZSTD_error_corruption_detected},
      {"offset code above 31", "fd2fb51e 000011 400006 61626358595a 0100 a8 00 03 20 08 03 c00000",
       zstd01::ZSTD_error_corruption_detected},
  };
  for (const BadFrame& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    for (bool strict : {false, true}) EXPECT_EQ(zstd01::ZSTD_getErrorCode(decode(fromHex(c.frame), 4096, &out, strict)), c.error);
  }
}

TEST(Zstd01Malformed, LeniencesOfTheOriginalReaderAreAcceptedOnlyOutsideStrictMode) {
  Bytes big(131073, 'x');
  struct Case {
    const char* name;
    const char* frame;
    Bytes expected;
  } cases[] = {
      {"header bits 5-3 set", "fd2fb51e 480003 616263 400002 6465 c00000", fromText("abcde")},
      {"end block with low bits", "fd2fb51e 400003 616263 c10000", fromText("abc")},
      {"table mode 3 read as described",
       "fd2fb51e 00001f 000011 000a 823210 030001000100 97d801 01 01 01 0200 e8 00 50a303 03 04 020a c00000",
       fromHex("0000010000000100000001000100000001000100020003010000")},
      {"unused extension byte", "fd2fb51e 000012 400006 61626358595a 0100 a8 01 ff 03 02 08 03 c00000",
       fromText("abcabcabcabcabcXYZ")},
      {"streams 3 and 4 ignored when stream 2 is empty",
       "fd2fb51e 00001f 000011 000a 823210 030001000100 97d801 01 02 01 0200 28 00 50a303 03 04 020a c00000",
       fromHex("0000010000000100000001000100000001000100020003010000")},
      {"block of more than 128 KiB", "fd2fb51e 00000c 820001 78 0000 a8 00 000000 01 c00000", big},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    size_t r = decode(fromHex(c.frame), c.expected.size(), &out, false);
    ASSERT_FALSE(zstd01::ZSTD_isError(r)) << zstd01::ZSTD_getErrorName(r);
    EXPECT_TRUE(out == c.expected);
    EXPECT_EQ(zstd01::ZSTD_getErrorCode(decode(fromHex(c.frame), c.expected.size() + 64, &out, true)),
              zstd01::ZSTD_error_strictRule);
  }
}

// Every cut and many single-bit flips of frames that use each literal and table
// form: errors, never a read or write outside the buffers (ASan watches).
TEST(Zstd01Malformed, TruncatedAndBitFlippedFramesNeverCrash) {
  std::vector<Bytes> frames;
  for (const Vector& v : publishedVectors()) frames.push_back(fromHex(v.frame));
  for (const Bytes& in : {textData(3000), runsData(5000), heightmapData(6000), entityData(4000), splatData(3000)}) {
    Bytes frame(zstd01::ZSTD_compressBound(in.size()));
    frame.resize(zstd01::ZSTD_compress(frame.data(), frame.size(), in.data(), in.size()));
    frames.push_back(frame);
  }
  Rng rng{6};
  for (const Bytes& frame : frames) {
    Bytes out;
    for (size_t cut = 0; cut < frame.size(); cut++) {
      Bytes part(frame.begin(), frame.begin() + static_cast<long>(cut));
      EXPECT_TRUE(zstd01::ZSTD_isError(decode(part, 8192, &out, false))) << "cut at " << cut;
    }
    for (int i = 0; i < 300; i++) {
      Bytes bad(frame);
      size_t bit = rng.next() % (bad.size() * 8);
      bad[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
      for (size_t cap : {size_t(0), size_t(100), size_t(8192)}) {
        decode(bad, cap, &out, false);
        decode(bad, cap, &out, true);
      }
    }
  }
}

}  // namespace
