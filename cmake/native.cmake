# Native build: platform-free tests, benchmarks and the fuzzer, plus the driver of every test
# that runs the Windows builds (under Wine) or inspects them.
find_package(GTest REQUIRED)

add_library(stillreel_picture STATIC ${STILLREEL_PICTURE_SOURCES})
target_include_directories(stillreel_picture PUBLIC ${PROJECT_SOURCE_DIR})
stillreel_picture_flags(stillreel_picture)

add_library(stillreel_core STATIC ${STILLREEL_CORE_SOURCES})
target_include_directories(stillreel_core PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(stillreel_core PUBLIC stillreel_picture)

# The platform-free tests (tests/unit/core).
file(GLOB STILLREEL_NATIVE_TESTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/unit/core/*_test.cpp)
list(FILTER STILLREEL_NATIVE_TESTS EXCLUDE REGEX "libyuv")
add_executable(native_tests ${STILLREEL_NATIVE_TESTS})
target_compile_options(native_tests PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=all)
target_link_options(native_tests PRIVATE -fsanitize=address,undefined)
target_link_libraries(native_tests PRIVATE stillreel_core GTest::gtest_main)
add_test(NAME native_tests COMMAND native_tests)

include(cmake/picture.cmake)

# The Windows builds live beside this one (the Makefile builds them first).
set(STILLREEL_WIN64_DIR "${CMAKE_BINARY_DIR}/../win64" CACHE PATH "64-bit cross build")
set(STILLREEL_WIN32_DIR "${CMAKE_BINARY_DIR}/../win32" CACHE PATH "32-bit cross build")
set(STILLREEL_MEDIA "${CMAKE_BINARY_DIR}/media")
set(STILLREEL_PREFIX "${CMAKE_BINARY_DIR}/wineprefix")
set(WINE_RUN ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${STILLREEL_PREFIX})

# Wine's drive Z: is the Linux root.
string(REPLACE "/" "\\" STILLREEL_MEDIA_WIN "Z:${STILLREEL_MEDIA}")

add_test(NAME exports COMMAND ${PROJECT_SOURCE_DIR}/tests/checks/check_exports.sh
  ${STILLREEL_WIN64_DIR}/Stillreel.sph ${STILLREEL_WIN32_DIR}/Stillreel.spi)

# Product code: includes point down the layers; sources as the repo's clang-format writes them.
add_test(NAME layers COMMAND ${PROJECT_SOURCE_DIR}/tests/checks/check_layers.sh ${PROJECT_SOURCE_DIR})
add_test(NAME format COMMAND ${PROJECT_SOURCE_DIR}/tests/checks/check_format.sh ${PROJECT_SOURCE_DIR})

add_test(NAME media COMMAND ${PROJECT_SOURCE_DIR}/tests/checks/make_media.sh ${STILLREEL_MEDIA})
set_tests_properties(media PROPERTIES FIXTURES_SETUP media)
add_test(NAME wineprefix COMMAND ${WINE_RUN} cmd /c exit 0)
set_tests_properties(wineprefix PROPERTIES FIXTURES_SETUP wine)

foreach(program unit_tests plugin_tests)
  add_test(NAME ${program}
    COMMAND ${WINE_RUN} ${STILLREEL_WIN64_DIR}/${program}.exe --gtest_brief=1
    WORKING_DIRECTORY ${STILLREEL_WIN64_DIR})
  set_tests_properties(${program} PROPERTIES
    FIXTURES_REQUIRED "media;wine"
    TIMEOUT 900
    ENVIRONMENT "STILLREEL_MEDIA=${STILLREEL_MEDIA_WIN}")
endforeach()

# Release package: the zip that scripts/release.sh makes from the two builds, unpacked and
# checked, with its sample settings file listed under Wine beside the 64-bit plug-in.
get_filename_component(STILLREEL_BUILD_ROOT "${STILLREEL_WIN64_DIR}" DIRECTORY)
add_test(NAME release COMMAND ${PROJECT_SOURCE_DIR}/tests/checks/release_test.sh
  ${STILLREEL_BUILD_ROOT} ${STILLREEL_MEDIA} ${STILLREEL_PREFIX})
set_tests_properties(release PROPERTIES FIXTURES_REQUIRED "media;wine" TIMEOUT 600)

# ---- The whole cycle through the console host, checked against ffmpeg's decoding ----------
add_executable(frame_match tests/tools/frame_match.cpp)
# The demo's before/after pair of an HDR frame (scripts/demo.sh).
add_executable(hdr_pair tests/tools/hdr_pair.cpp)
target_link_libraries(hdr_pair PRIVATE stillreel_picture)
add_test(NAME host_cycle COMMAND ${PROJECT_SOURCE_DIR}/tests/checks/host_cycle.sh ${CMAKE_BINARY_DIR}/..
  ${STILLREEL_MEDIA} $<TARGET_FILE:frame_match>)
set_tests_properties(host_cycle PROPERTIES FIXTURES_REQUIRED "media;wine" TIMEOUT 600)

# ---- Hosts that end their process right after their last call -------------------------------
add_test(NAME exit_shapes COMMAND ${PROJECT_SOURCE_DIR}/tests/checks/exit_shapes.sh
  ${CMAKE_BINARY_DIR}/.. ${STILLREEL_MEDIA} 20)
# Alone: beside another Wine process busy in the same prefix, Wine's own exit faults now and then
# (measured: 1 of 100 `list` runs beside plugin_tests; 0 of 100 walks alone, 60 of them beside
# two busy non-Wine processes), where our DLL has let every thread and reader go. A fault of ours
# shows in most runs, not in one of a hundred.
set_tests_properties(exit_shapes PROPERTIES FIXTURES_REQUIRED "media;wine" TIMEOUT 900 RUN_SERIAL TRUE)

# ---- Reliability (tests/reliability): broken media, host threads, long sessions ----------------
# Quick forms run with every `ctest`; the long run is labelled "soak" and does its work only when
# STILLREEL_SOAK=1 is set (make soak), so a plain `ctest` reports it skipped.
set(STILLREEL_TORTURE ${STILLREEL_WIN64_DIR}/torture.exe)
add_test(NAME robust_corpus COMMAND ${PROJECT_SOURCE_DIR}/tests/reliability/corpus.sh
  ${STILLREEL_WIN64_DIR} ${STILLREEL_MEDIA} ${CMAKE_BINARY_DIR} ${STILLREEL_PREFIX})
add_test(NAME robust_threads
  COMMAND ${WINE_RUN} ${STILLREEL_TORTURE} threads --threads 8 --clearers 1 --rounds 12
    --deadline 120)
add_test(NAME robust_leak
  COMMAND ${WINE_RUN} ${STILLREEL_TORTURE} leak --cycles 60 --warmup 15 --deadline 120)
set_tests_properties(robust_corpus robust_threads robust_leak PROPERTIES
  FIXTURES_REQUIRED "media;wine"
  LABELS robust
  TIMEOUT 900
  ENVIRONMENT "STILLREEL_MEDIA=${STILLREEL_MEDIA_WIN}")
# torture.exe exits 5 when a call hangs inside Media Foundation itself: with the time limit no
# call may, so that fails the run like any other hang.
add_test(NAME soak COMMAND ${PROJECT_SOURCE_DIR}/tests/reliability/soak.sh
  ${STILLREEL_WIN64_DIR} ${STILLREEL_MEDIA} ${CMAKE_BINARY_DIR}/soak ${STILLREEL_PREFIX})
set_tests_properties(soak PROPERTIES
  FIXTURES_REQUIRED "media;wine"
  LABELS soak
  TIMEOUT 7200
  SKIP_RETURN_CODE 77
  ENVIRONMENT "CTEST_SOAK_GUARD=1")
include(${PROJECT_SOURCE_DIR}/cmake/rig32-tests.cmake)
