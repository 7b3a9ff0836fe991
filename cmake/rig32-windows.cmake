# The 32-bit build's programs that run Stillreel.spi under the 32-bit Wine (scripts/rig32.sh,
# cmake/wine32-run.sh): the console host, the host-ABI check and the conversion's threads. `make build` builds them
# through the target stillreel32_tests.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  return()
endif()

add_executable(sphost host/sphost.cpp)
target_include_directories(sphost PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(sphost PRIVATE UNICODE _UNICODE)
target_link_options(sphost PRIVATE -municode ${STILLREEL_STATIC_RUNTIME})

add_executable(abi32 tests/rig32/abi32.cpp)
target_include_directories(abi32 PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(abi32 PRIVATE UNICODE _UNICODE)
target_link_options(abi32 PRIVATE -municode ${STILLREEL_STATIC_RUNTIME})

add_executable(bands32 tests/rig32/bands32.cpp)
target_compile_definitions(bands32 PRIVATE UNICODE _UNICODE)
target_link_libraries(bands32 PRIVATE stillreel_video)
target_link_options(bands32 PRIVATE -municode ${STILLREEL_STATIC_RUNTIME})

add_custom_target(stillreel32_tests)
add_dependencies(stillreel32_tests Stillreel sphost abi32 bands32)
