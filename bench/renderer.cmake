# The empty frame loop on lavapipe (headless surface) against a bare submit-and-wait,
# and mesh-pool allocation against malloc with the same size mix.
terrain_bench(bench_renderer SOURCES ${CMAKE_CURRENT_LIST_DIR}/renderer_bench.cpp LIBS renderer)
