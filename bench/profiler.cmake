# The sampling profiler against perf on one busy program (main thread in known
# functions, the demo scene stepped on a "world" thread).
if(NOT TARGET physics_demo_scene)
  add_library(physics_demo_scene STATIC ${CMAKE_SOURCE_DIR}/tests/physics/demo_scene.cpp
              ${CMAKE_SOURCE_DIR}/tests/physics/soak_scene.cpp)
  target_link_libraries(physics_demo_scene PUBLIC physics app_scene)
  target_include_directories(physics_demo_scene PUBLIC ${CMAKE_SOURCE_DIR}/tests/physics)
endif()
terrain_bench(bench_profiler SOURCES ${CMAKE_CURRENT_LIST_DIR}/profiler_bench.cpp
              LIBS physics physics_demo_scene ui platform)
