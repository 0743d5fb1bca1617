# UI frame and text layout on the CPU against Dear ImGui (Debian's libimgui-dev,
# linked here only), same font file and pixel size.
find_package(PkgConfig REQUIRED)
pkg_check_modules(IMGUI REQUIRED IMPORTED_TARGET imgui)
terrain_bench(bench_ui SOURCES ${CMAKE_CURRENT_LIST_DIR}/ui_bench.cpp LIBS ui PkgConfig::IMGUI)
