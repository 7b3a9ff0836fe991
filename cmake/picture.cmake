# The picture layer (picture/): its sources and their compile options wherever they are built,
# and the native libyuv cross-check, benchmark and fuzzer.
#
# Include it once before stillreel_core is defined, for STILLREEL_PICTURE_SOURCES and
# stillreel_picture_flags(<target>), and once after the native stillreel_core exists (and GTest is
# found), for the native targets. Those link stillreel_core, GTest::gtest_main, libyuv and Google
# Benchmark; the fuzzer is built by clang++ directly from the sources.

set(STILLREEL_PICTURE_SOURCES
  picture/bmp.cpp
  picture/convert.cpp
  picture/planes.cpp
  picture/rotate.cpp
  picture/row_avx2.cpp
  picture/row_p010.cpp
  picture/row_p010_sse2.cpp
  picture/row_scalar.cpp
  picture/row_sse2.cpp
  picture/row_tone_map_avx2.cpp
  picture/row_tone_map_avx512.cpp
  picture/row_tone_map_sse2.cpp
  picture/tone_map.cpp
  picture/yuv.cpp)

# Options for the picture sources:
#   -O3   Set per file so that every build type converts at the same speed.
#   No -march: the 64-bit DLL must run on any x86-64 (SSE2) and the 32-bit one on any i686.
#         The row kernels are SSE2 and AVX2 (target attribute); one is picked at run time.
#   -Wa,-muse-unaligned-vector-move (MinGW): GCC may spill 32-byte AVX registers with aligned
#         moves to stack slots that Windows aligns to 16 bytes only (GCC bug 54412); the
#         assembler turns every aligned vector move into an unaligned one, at no cost.
#   -ffp-contract=off: the tone-mapping kernels must give the same bytes in every instruction set,
#         so no compiler may fuse a multiply and an add in one of them and not in another.
set(STILLREEL_NV12_FLAGS -O3 -ffp-contract=off)
if(MINGW)
  list(APPEND STILLREEL_NV12_FLAGS -Wa,-muse-unaligned-vector-move)
endif()
# The i686 compiler targets the Pentium Pro by default; every processor that runs a supported
# Windows has SSE2, which the row kernels use as their baseline. 32-bit hosts may call with a
# stack aligned to 4 bytes only, where GCC assumes 16: -mstackrealign makes every function that
# keeps SSE values on the stack align its own frame.
if(MINGW AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  list(APPEND STILLREEL_NV12_FLAGS -msse2 -mfpmath=sse -mstackrealign)
endif()

# Applies STILLREEL_NV12_FLAGS to the picture sources as <target> compiles them.
function(stillreel_picture_flags target)
  list(TRANSFORM STILLREEL_PICTURE_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/ OUTPUT_VARIABLE sources)
  set_source_files_properties(${sources} TARGET_DIRECTORY ${target}
    PROPERTIES COMPILE_OPTIONS "${STILLREEL_NV12_FLAGS}")
endfunction()

if(NOT TARGET stillreel_core OR WIN32)
  return()
endif()

find_path(STILLREEL_LIBYUV_INCLUDE_DIR libyuv.h REQUIRED)
find_library(STILLREEL_LIBYUV_LIBRARY yuv REQUIRED)
find_package(benchmark REQUIRED)

# Every matrix and range within 2 levels of libyuv's on random frames of even and odd sizes.
add_executable(nv12_libyuv_test tests/unit/core/nv12_libyuv_test.cpp)
target_include_directories(nv12_libyuv_test PRIVATE ${STILLREEL_LIBYUV_INCLUDE_DIR})
target_link_libraries(nv12_libyuv_test PRIVATE stillreel_core ${STILLREEL_LIBYUV_LIBRARY}
  GTest::gtest_main)
add_test(NAME nv12_libyuv_test COMMAND nv12_libyuv_test)

# make bench: every matrix and rotation at 1080p against libyuv and memcpy, ratios printed last.
add_executable(nv12_bench bench/nv12_bench.cpp)
target_include_directories(nv12_bench PRIVATE ${STILLREEL_LIBYUV_INCLUDE_DIR})
target_link_libraries(nv12_bench PRIVATE stillreel_core ${STILLREEL_LIBYUV_LIBRARY}
  benchmark::benchmark)

# libFuzzer with ASan and UBSan; make test runs it for 20 s and keeps its corpus in the build
# folder. For a longer run: build/native/nv12_fuzz -max_total_time=3600 build/native/nv12_corpus
find_program(STILLREEL_CLANGXX NAMES clang++ clang++-14 REQUIRED)
list(TRANSFORM STILLREEL_PICTURE_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/
  OUTPUT_VARIABLE STILLREEL_PICTURE_FUZZ_SOURCES)
file(GLOB STILLREEL_PICTURE_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/picture/*.h)
set(STILLREEL_NV12_FUZZER ${CMAKE_CURRENT_BINARY_DIR}/nv12_fuzz)
set(STILLREEL_NV12_CORPUS ${CMAKE_CURRENT_BINARY_DIR}/nv12_corpus)
add_custom_command(OUTPUT ${STILLREEL_NV12_FUZZER}
  COMMAND ${STILLREEL_CLANGXX} -std=c++20 -g -O2 -ffp-contract=off -Wall -Wextra
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I${PROJECT_SOURCE_DIR}
    ${PROJECT_SOURCE_DIR}/tests/fuzz/nv12_fuzz.cpp ${STILLREEL_PICTURE_FUZZ_SOURCES}
    -o ${STILLREEL_NV12_FUZZER}
  DEPENDS tests/fuzz/nv12_fuzz.cpp ${STILLREEL_PICTURE_SOURCES} ${STILLREEL_PICTURE_HEADERS}
  COMMENT "Building the NV12 fuzzer with clang++"
  VERBATIM)
add_custom_target(nv12_fuzzer ALL DEPENDS ${STILLREEL_NV12_FUZZER})
file(MAKE_DIRECTORY ${STILLREEL_NV12_CORPUS})
add_test(NAME nv12_fuzz
  COMMAND ${STILLREEL_NV12_FUZZER} -max_total_time=20 -timeout=10 -print_final_stats=1
    ${STILLREEL_NV12_CORPUS})
set_tests_properties(nv12_fuzz PROPERTIES TIMEOUT 120)
