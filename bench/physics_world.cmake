# The physics world against Bullet's double-precision discrete dynamics world on
# the same scenes (built by the demo scene helper shared with the tests).
find_package(PkgConfig)
if(PkgConfig_FOUND)
  pkg_check_modules(BULLET64 IMPORTED_TARGET bullet-float64)
endif()
if(NOT TARGET physics_demo_scene)
  add_library(physics_demo_scene STATIC ${CMAKE_SOURCE_DIR}/tests/physics/demo_scene.cpp
              ${CMAKE_SOURCE_DIR}/tests/physics/soak_scene.cpp)
  target_link_libraries(physics_demo_scene PUBLIC physics app_scene)
  target_include_directories(physics_demo_scene PUBLIC ${CMAKE_SOURCE_DIR}/tests/physics)
endif()
if(BULLET64_FOUND)
  terrain_bench(bench_physics_world SOURCES ${CMAKE_CURRENT_LIST_DIR}/physics_world_bench.cpp
                LIBS physics physics_demo_scene PkgConfig::BULLET64)
else()
  message(STATUS "bullet-float64 not found: bench_physics_world is not built")
endif()
