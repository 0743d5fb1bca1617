# Audio engine: mixing against a plain loop and SDL_MixAudioFormat, clip loading
# against libopusfile, the echo canceller against a plain loop and the NLMS figure.
find_package(PkgConfig REQUIRED)
pkg_check_modules(BENCH_OPUSFILE REQUIRED IMPORTED_TARGET opusfile)
terrain_bench(bench_audio SOURCES ${CMAKE_CURRENT_LIST_DIR}/audio_bench.cpp
              LIBS components PkgConfig::BENCH_OPUSFILE)
target_compile_definitions(bench_audio PRIVATE TERRAIN_BINARY_DIR="${CMAKE_BINARY_DIR}")
if(TARGET explosion_asset)
  add_dependencies(bench_audio explosion_asset)
endif()
