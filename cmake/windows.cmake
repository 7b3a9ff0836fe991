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

add_library(stillreel_core STATIC ${STILLREEL_CORE_SOURCES})
target_include_directories(stillreel_core PUBLIC ${PROJECT_SOURCE_DIR})
if(COMMAND stillreel_nv12_flags)
  stillreel_nv12_flags(stillreel_core)
endif()

add_library(stillreel_logic STATIC
  listing/cache.cpp
  listing/lookup.cpp
  listing/synthesis.cpp
  plugin/archive.cpp
  plugin/module.cpp
  plugin/settings.cpp
  plugin/text.cpp
  video/extract.cpp
  video/probe.cpp
  video/reader.cpp)
target_link_libraries(stillreel_logic PUBLIC stillreel_core ${STILLREEL_SYSTEM_LIBS})
target_compile_definitions(stillreel_logic PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

add_library(Stillreel SHARED
  plugin/dllmain.cpp
  plugin/exports.cpp
  plugin/version.rc
  ${STILLREEL_DEF})
target_include_directories(Stillreel PRIVATE ${CMAKE_BINARY_DIR}/generated)
target_link_libraries(Stillreel PRIVATE stillreel_logic ${STILLREEL_STATIC_RUNTIME})
target_link_options(Stillreel PRIVATE -Wl,--enable-stdcall-fixup)
set_target_properties(Stillreel PROPERTIES PREFIX "" SUFFIX ${STILLREEL_SUFFIX} OUTPUT_NAME Stillreel)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_executable(sphost host/sphost.cpp)
  target_include_directories(sphost PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(sphost PRIVATE UNICODE _UNICODE)
  target_link_options(sphost PRIVATE -municode ${STILLREEL_STATIC_RUNTIME})

  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

  file(GLOB STILLREEL_NATIVE_TESTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/native/*_test.cpp)
  list(FILTER STILLREEL_NATIVE_TESTS EXCLUDE REGEX "libyuv")
  file(GLOB STILLREEL_WINE_UNIT_TESTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/wine/*_test.cpp)
  list(FILTER STILLREEL_WINE_UNIT_TESTS EXCLUDE REGEX "plugin_.*_test.cpp$")

  # The modules linked in directly, platform-free tests included.
  add_executable(unit_tests ${STILLREEL_NATIVE_TESTS} ${STILLREEL_WINE_UNIT_TESTS}
    tests/wine/test_support.cpp)
  target_compile_definitions(unit_tests PRIVATE UNICODE _UNICODE)
  target_link_libraries(unit_tests PRIVATE stillreel_logic GTest::gtest_main ${STILLREEL_STATIC_RUNTIME})

  # The DLL as a host sees it: loaded with LoadLibraryW, exports resolved by name.
  file(GLOB STILLREEL_PLUGIN_TESTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/wine/plugin_*_test.cpp)
  add_executable(plugin_tests ${STILLREEL_PLUGIN_TESTS} tests/wine/test_support.cpp
    tests/wine/plugin_host.cpp)
  target_include_directories(plugin_tests PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(plugin_tests PRIVATE UNICODE _UNICODE NOMINMAX
    STILLREEL_PLUGIN_FILE="Stillreel.sph")
  target_link_libraries(plugin_tests PRIVATE GTest::gtest_main ole32 psapi ${STILLREEL_STATIC_RUNTIME})
  add_dependencies(plugin_tests Stillreel)
endif()

# ---- Reliability driver (tests/wine/torture.cpp): broken media, threads, long sessions --------
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_executable(torture tests/wine/torture.cpp tests/wine/test_support.cpp)
  target_include_directories(torture PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(torture PRIVATE UNICODE _UNICODE NOMINMAX)
  target_link_options(torture PRIVATE -municode ${STILLREEL_STATIC_RUNTIME})
  target_link_libraries(torture PRIVATE ole32 psapi user32 shell32)
  add_dependencies(torture Stillreel)
endif()

# Benchmark of a whole fetch against the bare platform work, run under Wine by `make bench`.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_executable(extract_bench bench/extract_bench.cpp)
  target_include_directories(extract_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(extract_bench PRIVATE UNICODE _UNICODE)
  target_link_options(extract_bench PRIVATE -municode ${STILLREEL_STATIC_RUNTIME})
  target_link_libraries(extract_bench PRIVATE mfplat mfreadwrite mfuuid ole32)
endif()
include(${PROJECT_SOURCE_DIR}/cmake/rig32-windows.cmake)
