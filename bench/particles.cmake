# GPU particles on lavapipe (emit and simulate) against a plain CPU loop over the
# same 96-byte records.
terrain_bench(bench_particles SOURCES ${CMAKE_CURRENT_LIST_DIR}/particles_bench.cpp LIBS renderer)
