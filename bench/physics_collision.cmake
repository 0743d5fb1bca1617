# Broadphase and narrowphase against Bullet's double-precision collision library.
find_package(PkgConfig)
if(PkgConfig_FOUND)
  pkg_check_modules(BULLET64 IMPORTED_TARGET bullet-float64)
endif()
if(BULLET64_FOUND)
  terrain_bench(bench_physics_collision SOURCES ${CMAKE_CURRENT_LIST_DIR}/physics_collision_bench.cpp
                LIBS physics PkgConfig::BULLET64)
else()
  message(STATUS "bullet-float64 not found: bench_physics_collision is not built")
endif()
