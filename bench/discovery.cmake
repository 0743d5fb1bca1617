# discoveryTick's frame-thread CPU under a query stream, against receive-and-discard.
terrain_bench(bench_discovery SOURCES ${CMAKE_CURRENT_LIST_DIR}/discovery_bench.cpp LIBS components)
