# A long run of the physics world: 100,000 steps of a closed arena of mixed bodies
# and joints shaken by pseudo-random impulses (the scene of the soak test).
if(NOT TARGET physics_demo_scene)
  add_library(physics_demo_scene STATIC ${CMAKE_SOURCE_DIR}/tests/physics/demo_scene.cpp
              ${CMAKE_SOURCE_DIR}/tests/physics/soak_scene.cpp)
  target_link_libraries(physics_demo_scene PUBLIC physics)
  target_include_directories(physics_demo_scene PUBLIC ${CMAKE_SOURCE_DIR}/tests/physics)
endif()
terrain_bench(bench_physics_soak SOURCES ${CMAKE_CURRENT_LIST_DIR}/physics_soak_bench.cpp
              LIBS physics physics_demo_scene)
