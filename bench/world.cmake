# The world map: saves and opens against plain fsync'd writes and reads of the same
# bytes; chunk geometry built from the heightmap against stored chunk meshes.
terrain_bench(bench_world SOURCES ${CMAKE_CURRENT_LIST_DIR}/world_bench.cpp LIBS terrain_world)
