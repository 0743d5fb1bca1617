# The blob store: add and restore throughput of a world-like entry set against a
# plain file copy of the same bytes in the same run.
terrain_bench(bench_store SOURCES ${CMAKE_CURRENT_LIST_DIR}/store_bench.cpp LIBS store)
