# The plug-in DLL for the toolchain's width and, in the 64-bit build, the host and the Wine-run
# test programs.
enable_language(RC)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(STILLREEL_SUFFIX ".sph")
  set(STILLREEL_DEF ${PROJECT_SOURCE_DIR}/plugin/Stillreel64.def)
  set(STILLREEL_FILE_DESCRIPTION "Stillreel video frames plug-in (64-bit)")
else()
  set(STILLREEL_SUFFIX ".spi")
  set(STILLREEL_DEF ${PROJECT_SOURCE_DIR}/plugin/Stillreel32.def)
  set(STILLREEL_FILE_DESCRIPTION "Stillreel video frames plug-in (32-bit)")
endif()
set(STILLREEL_FILE_NAME "Stillreel${STILLREEL_SUFFIX}")
configure_file(plugin/stillreel_version.h.in ${CMAKE_BINARY_DIR}/generated/stillreel_version.h)

# Everything runs without a runtime DLL of its own: only Windows system DLLs are imported.
set(STILLREEL_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)
set(STILLREEL_SYSTEM_LIBS mfplat mfreadwrite mfuuid ole32 uuid shlwapi gdi32 user32)

# The layers, each a target linking only the layers below it: plugin -> listing -> video -> win,
# and video -> picture (standard C++ only).
# tests/checks/check_layers.sh catches an include that runs upward (a header-only one links anyway).
# The platform-free sources of STILLREEL_CORE_SOURCES go to the layer of their folder.
set(STILLREEL_VIDEO_SOURCES ${STILLREEL_CORE_SOURCES})
list(FILTER STILLREEL_VIDEO_SOURCES INCLUDE REGEX "^video/")
set(STILLREEL_LISTING_SOURCES ${STILLREEL_CORE_SOURCES})
list(FILTER STILLREEL_LISTING_SOURCES INCLUDE REGEX "^listing/")

add_library(stillreel_win INTERFACE)
target_include_directories(stillreel_win INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_definitions(stillreel_win INTERFACE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(stillreel_win INTERFACE ${STILLREEL_SYSTEM_LIBS})

add_library(stillreel_picture STATIC ${STILLREEL_PICTURE_SOURCES})
target_include_directories(stillreel_picture PUBLIC ${PROJECT_SOURCE_DIR})
stillreel_picture_flags(stillreel_picture)

add_library(stillreel_video STATIC ${STILLREEL_VIDEO_SOURCES}
  video/bands.cpp
  video/byte_stream.cpp
  video/open_video.cpp
  video/frame_read.cpp
  video/probe.cpp
  video/media_type.cpp
  video/reader.cpp
  video/worker.cpp)
target_link_libraries(stillreel_video PUBLIC stillreel_picture stillreel_win)

add_library(stillreel_listing STATIC ${STILLREEL_LISTING_SOURCES}
  listing/open_videos.cpp
  listing/synthesis.cpp)
target_link_libraries(stillreel_listing PUBLIC stillreel_video)

add_library(stillreel_plugin STATIC
  plugin/archive.cpp
  plugin/module.cpp
  plugin/settings.cpp
  plugin/text.cpp)
target_link_libraries(stillreel_plugin PUBLIC stillreel_listing)

add_library(Stillreel SHARED
  plugin/dllmain.cpp
  plugin/exports.cpp
  plugin/version.rc
  ${STILLREEL_DEF})
target_include_directories(Stillreel PRIVATE ${CMAKE_BINARY_DIR}/generated)
target_link_libraries(Stillreel PRIVATE stillreel_plugin ${STILLREEL_STATIC_RUNTIME})
target_link_options(Stillreel PRIVATE -Wl,--enable-stdcall-fixup)
set_target_properties(Stillreel PROPERTIES PREFIX "" SUFFIX ${STILLREEL_SUFFIX} OUTPUT_NAME Stillreel)
# Product code builds without a warning in both toolchains; file names in the trace are relative.
foreach(target stillreel_picture stillreel_video stillreel_listing stillreel_plugin Stillreel)
  target_compile_options(${target} PRIVATE -Werror
    -fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=)
endforeach()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_executable(sphost host/sphost.cpp)
  target_include_directories(sphost PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(sphost PRIVATE UNICODE _UNICODE)
  target_link_options(sphost PRIVATE -municode ${STILLREEL_STATIC_RUNTIME})

  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

  # tests/support: the plug-in loaded as a host loads it, files, media, settings, import hooks and
  # the watchdog, shared by every test program.
  add_library(stillreel_test_support STATIC
    tests/support/plugin_host.cpp
    tests/support/test_support.cpp
    tests/support/watchdog.cpp
    tests/support/windows_reader.cpp)
  target_include_directories(stillreel_test_support PUBLIC ${PROJECT_SOURCE_DIR}
    ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_definitions(stillreel_test_support PUBLIC UNICODE _UNICODE NOMINMAX
    STILLREEL_PLUGIN_FILE="Stillreel.sph")
  target_link_libraries(stillreel_test_support PUBLIC mfplat mfreadwrite mfuuid ole32)

  # Test sources by folder (tests/README.md).
  file(GLOB STILLREEL_UNIT_TESTS CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/tests/unit/core/*_test.cpp
    ${PROJECT_SOURCE_DIR}/tests/unit/win/*_test.cpp)
  list(FILTER STILLREEL_UNIT_TESTS EXCLUDE REGEX "libyuv")
  file(GLOB STILLREEL_PLUGIN_TESTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/plugin/*_test.cpp)

  # The modules linked in directly, the platform-free tests included.
  add_executable(unit_tests ${STILLREEL_UNIT_TESTS} tests/unit/win/direct_video.cpp)
  target_link_libraries(unit_tests PRIVATE stillreel_plugin stillreel_test_support
    GTest::gtest_main ${STILLREEL_STATIC_RUNTIME})

  # The DLL as a host sees it: loaded with LoadLibraryW, exports resolved by name.
  add_executable(plugin_tests ${STILLREEL_PLUGIN_TESTS})
  target_link_libraries(plugin_tests PRIVATE stillreel_test_support GTest::gtest_main ole32 psapi
    ${STILLREEL_STATIC_RUNTIME})
  add_dependencies(plugin_tests Stillreel)

  # Reliability driver (tests/reliability): broken media, threads, long sessions.
  file(GLOB STILLREEL_TORTURE_SOURCES CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/tests/reliability/*.cpp)
  add_executable(torture ${STILLREEL_TORTURE_SOURCES})
  target_link_options(torture PRIVATE -municode ${STILLREEL_STATIC_RUNTIME})
  target_link_libraries(torture PRIVATE stillreel_test_support mfplat mfreadwrite mfuuid ole32 psapi
    user32 shell32)
  add_dependencies(torture Stillreel)
endif()

# A host that ends its process right after its calls (tests/checks/exit_shapes.sh).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_executable(exit_host tests/checks/exit_host.cpp)
  target_include_directories(exit_host PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(exit_host PRIVATE UNICODE _UNICODE)
  target_link_options(exit_host PRIVATE -municode ${STILLREEL_STATIC_RUNTIME})
  target_link_libraries(exit_host PRIVATE ole32)
endif()

# Benchmark of a whole fetch against the bare platform work, run under Wine by `make bench`.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_executable(extract_bench bench/extract_bench.cpp)
  target_include_directories(extract_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(extract_bench PRIVATE UNICODE _UNICODE)
  target_link_options(extract_bench PRIVATE -municode ${STILLREEL_STATIC_RUNTIME})
  target_link_libraries(extract_bench PRIVATE mfplat mfreadwrite mfuuid ole32)
endif()

# Two builds' listings side by side: listing_bench NEW OLD ROUNDS VIDEO... under Wine.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_executable(listing_bench bench/listing_bench.cpp)
  target_include_directories(listing_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(listing_bench PRIVATE UNICODE _UNICODE)
  target_link_options(listing_bench PRIVATE -municode ${STILLREEL_STATIC_RUNTIME})
endif()

# exact=1 against exact=0 per entry under the Windows-behaviour reader, run by `make bench`.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_executable(exact_bench bench/exact_bench.cpp)
  target_link_options(exact_bench PRIVATE -municode ${STILLREEL_STATIC_RUNTIME})
  target_link_libraries(exact_bench PRIVATE stillreel_test_support)
  add_dependencies(exact_bench Stillreel)
endif()

# Reader creation from our byte stream against the path as a URL, run by `make bench`.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_executable(reader_bench bench/reader_bench.cpp)
  target_link_options(reader_bench PRIVATE -municode ${STILLREEL_STATIC_RUNTIME})
  target_link_libraries(reader_bench PRIVATE stillreel_video)
endif()

include(${PROJECT_SOURCE_DIR}/cmake/rig32-windows.cmake)
