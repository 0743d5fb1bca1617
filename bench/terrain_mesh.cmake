# Terrain chunks on lavapipe: remesh after a brush dab against the upload floor of the
# same tiles, streaming chunks built from the heightmap against stored chunk meshes.
terrain_bench(bench_terrain_mesh SOURCES ${CMAKE_CURRENT_LIST_DIR}/terrain_mesh_bench.cpp LIBS terrain_world)
