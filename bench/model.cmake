# Models: static instances recorded instanced against one draw each (lavapipe,
# headless), and 64 walking characters' update against a plain evaluation.
terrain_bench(bench_model SOURCES ${CMAKE_CURRENT_LIST_DIR}/model_bench.cpp LIBS components)
target_compile_definitions(bench_model PRIVATE TERRAIN_CHARACTER_GLTF="${CMAKE_BINARY_DIR}/asset/CesiumMan.gltf")
add_dependencies(bench_model character_asset)
