# AsyncRing throughput between two threads against a mutex and condition-variable queue.
terrain_bench(bench_ring SOURCES ${CMAKE_CURRENT_LIST_DIR}/ring_bench.cpp LIBS platform)
