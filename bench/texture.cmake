# Our BC7 encoder against Mesa's BPTC encoder, reached through OpenGL on a
# surfaceless EGL context; the anchor libraries are linked here only.
find_package(PkgConfig)
if(PkgConfig_FOUND)
  pkg_check_modules(BENCH_EGL IMPORTED_TARGET egl)
  pkg_check_modules(BENCH_GL IMPORTED_TARGET gl)
endif()
if(BENCH_EGL_FOUND AND BENCH_GL_FOUND)
  terrain_bench(bench_texture SOURCES ${CMAKE_CURRENT_LIST_DIR}/texture_bench.cpp
                LIBS renderer PkgConfig::BENCH_EGL PkgConfig::BENCH_GL)
else()
  message(STATUS "EGL or GL not found: bench_texture is not built")
endif()
