# Helpers shared by every folder's CMakeLists.txt.

# Aggregates used by the test script: every unit test, and those that also run
# under ThreadSanitizer.
add_custom_target(unit_tests)
add_custom_target(threaded_tests)
add_custom_target(fuzzers)

# terrain_library(name SOURCES ... [LIBS ...]): the static library of one source folder.
function(terrain_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT A_SOURCES)
    # A folder whose modules are not written yet.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${A_LIBS})
    return()
  endif()
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${A_LIBS})
endfunction()

# terrain_test(name SOURCES ... [LIBS ...] [LABELS ...]): one GoogleTest executable,
# each test case registered with CTest. Labels: "gpu" (needs Vulkan / a display;
# runs under the validation layer), "threaded" (also runs under ThreadSanitizer in
# CI), "slow" (swarms, network namespaces, real-time audio, several processes: the
# Release pass only, never under the sanitizers; give such tests their own executable).
# SERIAL: the cases run alone (real-time timing, namespaces).
function(terrain_test name)
  if(NOT TERRAIN_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(A "SERIAL" "" "SOURCES;LIBS;LABELS" ${ARGN})
  find_package(GTest REQUIRED)
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE TERRAIN_SHARED_DIR="${TERRAIN_SHARED_DIR}"
                             TERRAIN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  include(GoogleTest)
  set(props TIMEOUT 600)
  if(A_LABELS)
    list(APPEND props LABELS "${A_LABELS}")
  endif()
  if(A_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
  add_dependencies(unit_tests ${name})
  if("threaded" IN_LIST A_LABELS)
    add_dependencies(threaded_tests ${name})
  endif()
endfunction()

# terrain_fuzzer(name SOURCES ... [LIBS ...] [CORPUS dir]): a libFuzzer target, built
# only in the clang fuzz configuration; the "fuzzers" target builds them all.
function(terrain_fuzzer name)
  if(NOT TERRAIN_BUILD_FUZZ)
    return()
  endif()
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzzers ${name})
endfunction()

# terrain_bench(name SOURCES ... [LIBS ...]): a Google Benchmark executable in bench/.
function(terrain_bench name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} benchmark::benchmark)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE TERRAIN_SHARED_DIR="${TERRAIN_SHARED_DIR}")
endfunction()

# terrain_shader_table(OUT_VAR SYMBOL name HEADER header SOURCES a.vert.glsl ...):
# compiles each GLSL source (stage from the name: <name>.<vert|frag|comp>.glsl) with
# glslc and generates a C++ source defining `const ShaderData <name>[]` and
# `<name>_count`, whose path is stored in OUT_VAR for the caller to compile.
function(terrain_shader_table out_var)
  cmake_parse_arguments(A "" "SYMBOL;HEADER" "SOURCES" ${ARGN})
  find_program(GLSLC glslc REQUIRED)
  set(spvs "")
  set(outdir "${CMAKE_CURRENT_BINARY_DIR}/${A_SYMBOL}")
  # Shared pieces the shaders #include: any change rebuilds them all.
  set(includes "")
  foreach(src IN LISTS A_SOURCES)
    get_filename_component(dir "${src}" DIRECTORY)
    file(GLOB incs CONFIGURE_DEPENDS "${dir}/*.inc")
    list(APPEND includes ${incs})
  endforeach()
  list(REMOVE_DUPLICATES includes)
  foreach(src IN LISTS A_SOURCES)
    get_filename_component(file "${src}" NAME)
    string(REGEX REPLACE "\\.glsl$" "" base "${file}")
    string(REGEX MATCH "[a-z]+$" stage "${base}")
    set(spv "${outdir}/${base}.spv")
    add_custom_command(OUTPUT "${spv}"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${outdir}"
      COMMAND ${GLSLC} -fshader-stage=${stage} --target-env=vulkan1.2 -O -o "${spv}" "${src}"
      DEPENDS "${src}" ${includes} COMMENT "glslc ${file}" VERBATIM)
    list(APPEND spvs "${spv}")
  endforeach()
  set(cpp "${CMAKE_CURRENT_BINARY_DIR}/${A_SYMBOL}.cpp")
  string(REPLACE ";" "|" spv_arg "${spvs}")
  add_custom_command(OUTPUT "${cpp}"
    COMMAND ${CMAKE_COMMAND} -DOUT=${cpp} -DSYMBOL=${A_SYMBOL} -DHEADER=${A_HEADER} "-DSPV=${spv_arg}"
            -P "${CMAKE_SOURCE_DIR}/cmake/EmbedShaders.cmake"
    DEPENDS ${spvs} "${CMAKE_SOURCE_DIR}/cmake/EmbedShaders.cmake" COMMENT "embedding ${A_SYMBOL}" VERBATIM)
  set(${out_var} "${cpp}" PARENT_SCOPE)
endfunction()
