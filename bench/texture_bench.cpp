// Our BC7 encoder against Mesa's, reached through OpenGL on a surfaceless EGL
// context (llvmpipe): Mesa compresses when glTexImage2D is given RGBA8 pixels for
// a BPTC internal format, so its encoding time is that call minus the same call
// with an RGBA8 internal format. Both run on one thread, in the same process, on
// the same images; blocks of both are judged by our reference decoder.
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <GL/glext.h>
#include <benchmark/benchmark.h>
#include <stb/stb_image.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_table.h"
#include "platform/memory.h"
#include "renderer/texture.h"

namespace {

struct Image {
  std::string name;
  int w, h;
  std::vector<u8> rgba;
  bool alpha;
};

std::vector<Image> gImages;

PFNGLGETCOMPRESSEDTEXIMAGEPROC pGetCompressedTexImage;
EGLDisplay gDisplay = EGL_NO_DISPLAY;
EGLContext gContext = EGL_NO_CONTEXT;

std::string sharedDir() {
  const char* env = std::getenv("TERRAIN_SHARED_DIR");
  return env ? env : TERRAIN_SHARED_DIR;
}

bool loadImage(const std::string& label, const std::string& path) {
  int w = 0, h = 0, n = 0;
  stbi_uc* px = stbi_load(path.c_str(), &w, &h, &n, 4);
  if (!px) return false;
  Image img{label, w, h, std::vector<u8>(px, px + (size_t)w * h * 4), false};
  for (int i = 0; i < w * h; i++) img.alpha |= px[i * 4 + 3] != 255;
  stbi_image_free(px);
  gImages.push_back(std::move(img));
  return true;
}

// A picture with soft alpha: a decal-like sprite (radial alpha) over coloured
// noise and gradients, as particle and decal textures are.
Image generatedAlpha(int side) {
  Image img{"generated-alpha-" + std::to_string(side), side, side, std::vector<u8>((size_t)side * side * 4), true};
  unsigned s = 12345;
  for (int y = 0; y < side; y++)
    for (int x = 0; x < side; x++) {
      s = s * 1664525u + 1013904223u;
      u8* p = &img.rgba[((size_t)y * side + x) * 4];
      f64 dx = (x - side / 2.0) / (side / 2.0), dy = (y - side / 2.0) / (side / 2.0);
      f64 r = std::sqrt(dx * dx + dy * dy);
      p[0] = (u8)(128 + 100 * std::sin(x * 0.05));
      p[1] = (u8)(128 + 100 * std::cos(y * 0.07));
      p[2] = (u8)((x * y / 7 + (s >> 28)) & 0xFF);
      p[3] = (u8)std::clamp(255.0 * (1.0 - r) + ((s >> 24) & 7), 0.0, 255.0);
    }
  return img;
}

bool initGl() {
  auto getPlatformDisplay = (PFNEGLGETPLATFORMDISPLAYEXTPROC)eglGetProcAddress("eglGetPlatformDisplayEXT");
  if (!getPlatformDisplay) return false;
  gDisplay = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  if (gDisplay == EGL_NO_DISPLAY || !eglInitialize(gDisplay, nullptr, nullptr)) return false;
  if (!eglBindAPI(EGL_OPENGL_API)) return false;
  const EGLint attrs[] = {EGL_CONTEXT_MAJOR_VERSION, 4, EGL_CONTEXT_MINOR_VERSION, 2, EGL_NONE};
  gContext = eglCreateContext(gDisplay, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attrs);
  if (gContext == EGL_NO_CONTEXT || !eglMakeCurrent(gDisplay, EGL_NO_SURFACE, EGL_NO_SURFACE, gContext)) return false;
  pGetCompressedTexImage = (PFNGLGETCOMPRESSEDTEXIMAGEPROC)eglGetProcAddress("glGetCompressedTexImage");
  std::printf("Anchor: %s / %s\n", (const char*)glGetString(GL_RENDERER), (const char*)glGetString(GL_VERSION));
  return pGetCompressedTexImage != nullptr;
}

void glUpload(const Image& img, GLenum internalFormat) {
  GLuint tex = 0;
  glGenTextures(1, &tex);
  glBindTexture(GL_TEXTURE_2D, tex);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexImage2D(GL_TEXTURE_2D, 0, (GLint)internalFormat, img.w, img.h, 0, GL_RGBA, GL_UNSIGNED_BYTE, img.rgba.data());
  glFinish();
  glDeleteTextures(1, &tex);
}

// Mesa's blocks for an image, read back as stored.
std::vector<u8> mesaBlocks(const Image& img) {
  GLuint tex = 0;
  glGenTextures(1, &tex);
  glBindTexture(GL_TEXTURE_2D, tex);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_COMPRESSED_RGBA_BPTC_UNORM, img.w, img.h, 0, GL_RGBA, GL_UNSIGNED_BYTE,
               img.rgba.data());
  GLint size = 0;
  glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_COMPRESSED_IMAGE_SIZE, &size);
  std::vector<u8> blocks((size_t)size);
  pGetCompressedTexImage(GL_TEXTURE_2D, 0, blocks.data());
  glDeleteTextures(1, &tex);
  return blocks;
}

// PSNR of blocks decoded by our decoder, over RGB for opaque images and RGBA
// otherwise; -1 when a block is in a mode our decoder does not read.
double blocksPsnr(const Image& img, const u8* blocks, u32 modeCount[8]) {
  int bw = (img.w + 3) / 4, ch = img.alpha ? 4 : 3;
  double se = 0;
  bool ok = true;
  for (int by = 0; by < (img.h + 3) / 4; by++)
    for (int bx = 0; bx < bw; bx++) {
      const u8* b = blocks + ((size_t)by * bw + bx) * 16;
      u32 mode = 0;
      while (mode < 8 && !((b[0] >> mode) & 1)) mode++;
      if (mode < 8) modeCount[mode]++;
      u8 px[64];
      ok &= bc7DecodeBlock(b, px);
      for (int y = 0; y < 4 && by * 4 + y < img.h; y++)
        for (int x = 0; x < 4 && bx * 4 + x < img.w; x++)
          for (int c = 0; c < ch; c++) {
            double d = (double)px[(y * 4 + x) * 4 + c] - img.rgba[(((size_t)by * 4 + y) * img.w + bx * 4 + x) * 4 + c];
            se += d * d;
          }
    }
  if (!ok) return -1;
  double mse = se / ((double)img.w * img.h * ch);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

void BM_Ours(benchmark::State& state, const Image* img) {
  for (auto _ : state) {
    u8* data = nullptr;
    u64 size = 0;
    textureCompressRgbaToBc7(img->rgba.data(), (u32)img->w, (u32)img->h, &data, &size);
    benchmark::DoNotOptimize(data);
    memFree(data);
  }
}

void BM_GlBptc(benchmark::State& state, const Image* img) {
  for (auto _ : state) glUpload(*img, GL_COMPRESSED_RGBA_BPTC_UNORM);
}

void BM_GlRgba8(benchmark::State& state, const Image* img) {
  for (auto _ : state) glUpload(*img, GL_RGBA8);
}

// Every repetition's time per iteration, by benchmark name.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, std::vector<double>> times;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (!r.error_occurred && r.run_type == Run::RT_Iteration && r.iterations > 0)
        times[r.run_name.str()].push_back(r.real_accumulated_time / (double)r.iterations);
    ConsoleReporter::ReportRuns(runs);
  }
  double median(const std::string& name) {
    std::vector<double> v = times[name];
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
  }
};

}  // namespace

int main(int argc, char** argv) {
  memoryInit(~0ull, ~0ull);
  std::string dir = sharedDir() + "/assets/";
  const char* files[][2] = {
      {"CesiumMan_img0.jpg", "gltf/CesiumMan/glTF/CesiumMan_img0.jpg"},
      {"Fox-Texture.png", "gltf/Fox/glTF/Texture.png"},
      {"CesiumLogoFlat.png", "gltf/BoxTextured/glTF/CesiumLogoFlat.png"},
      {"objectid2D.tga", "images/objectid2D.tga"},
      {"vector-distancefield.tga", "images/vector-distancefield.tga"},
      {"rgb-63x27.png", "images/rgb-63x27.png"},
      {"rgba-27x27.png", "images/rgba-27x27.png"},
      {"rgba-13x31.png", "images/rgba-13x31.png"},
  };
  for (auto& f : files)
    if (!loadImage(f[0], dir + f[1])) std::printf("skipped %s: not found under %s\n", f[0], dir.c_str());
  gImages.push_back(generatedAlpha(512));
  if (!initGl()) {
    std::printf("No EGL surfaceless OpenGL 4.2 context with BPTC: the anchor cannot run\n");
    return 1;
  }
  bc7f_init();
  for (const Image& img : gImages) {
    benchmark::RegisterBenchmark(("ours/" + img.name).c_str(), BM_Ours, &img)->UseRealTime();
    benchmark::RegisterBenchmark(("gl_bptc/" + img.name).c_str(), BM_GlBptc, &img)->UseRealTime();
    benchmark::RegisterBenchmark(("gl_rgba8/" + img.name).c_str(), BM_GlRgba8, &img)->UseRealTime();
  }
  benchInitialize(argc, argv);
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\nBC7 encoder against Mesa's (median of repetitions; anchor time = BPTC upload - RGBA8 upload)\n");
  std::printf("%-26s %9s %9s %9s %7s | %8s %8s %8s | %s\n", "image", "size", "ours MP/s", "Mesa MP/s", "speed",
              "ours dB", "Mesa dB", "delta", "goal");
  bool allMet = true;
  for (const Image& img : gImages) {
    double mp = (double)img.w * img.h / 1e6;
    double ours = reporter.median("ours/" + img.name + "/real_time");
    double mesa = reporter.median("gl_bptc/" + img.name + "/real_time") -
                  reporter.median("gl_rgba8/" + img.name + "/real_time");
    u8* data = nullptr;
    u64 size = 0;
    textureCompressRgbaToBc7(img.rgba.data(), (u32)img.w, (u32)img.h, &data, &size);
    u32 oursModes[8] = {}, mesaModes[8] = {};
    double oursDb = blocksPsnr(img, data, oursModes);
    memFree(data);
    std::vector<u8> mb = mesaBlocks(img);
    double mesaDb = mb.size() >= textureBc7Size((u32)img.w, (u32)img.h) ? blocksPsnr(img, mb.data(), mesaModes) : -1;
    double speed = mesa > 0 && ours > 0 ? mesa / ours : 0;
    double need = img.alpha ? 0.0 : 3.0;
    bool met = speed >= 1.0 && mesaDb >= 0 && oursDb >= mesaDb + need;
    allMet &= met;
    char sz[32];
    std::snprintf(sz, sizeof sz, "%dx%d%s", img.w, img.h, img.alpha ? "A" : "");
    std::printf("%-26s %9s %9.2f %9.2f %6.2fx | %8.2f %8.2f %+8.2f | %s (PSNR >= Mesa %+.0f dB, speed >= 1x)\n",
                img.name.c_str(), sz, ours > 0 ? mp / ours : 0, mesa > 0 ? mp / mesa : 0, speed, oursDb, mesaDb,
                oursDb - mesaDb, met ? "met" : "MISSED", need);
    std::printf("%-26s modes ours", "");
    for (u32 m = 0; m < 8; m++) std::printf(" %u", oursModes[m]);
    std::printf(" | Mesa");
    for (u32 m = 0; m < 8; m++) std::printf(" %u", mesaModes[m]);
    std::printf("\n");
  }
  std::printf("goal %s\n", allMet ? "met on every image" : "missed on some image");
  eglMakeCurrent(gDisplay, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  eglDestroyContext(gDisplay, gContext);
  eglTerminate(gDisplay);
  return 0;
}
