# Voice chat latency and host CPU against one-thread pipelines doing the same work.
terrain_bench(bench_voip SOURCES ${CMAKE_CURRENT_LIST_DIR}/voip_bench.cpp LIBS components)
