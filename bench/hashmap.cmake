# Hash map against absl::flat_hash_map (own hasher and XXH3) and std::unordered_map.
find_package(absl REQUIRED)
terrain_bench(bench_hashmap SOURCES ${CMAKE_CURRENT_LIST_DIR}/hashmap_bench.cpp
              LIBS platform absl::flat_hash_map absl::hash)  # platform brings libxxhash
