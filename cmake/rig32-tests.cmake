# The 32-bit plug-in run under the 32-bit Wine of scripts/rig32.sh (an i386 root under qemu's
# user-mode emulator): the console host's whole cycle and the older-host ABI check, in a prefix
# beside this build copied from the rig's. A process starts in about a second under emulation.
set(STILLREEL_PREFIX32 "${CMAKE_BINARY_DIR}/wineprefix32")
add_test(NAME wineprefix32
  COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine32-run.sh ${STILLREEL_PREFIX32} cmd /c exit 0)
set_tests_properties(wineprefix32 PROPERTIES FIXTURES_SETUP wine32 LABELS rig32 TIMEOUT 300)
foreach(script host_cycle32 abi32)
  add_test(NAME ${script} COMMAND ${PROJECT_SOURCE_DIR}/tests/rig32/${script}.sh ${CMAKE_BINARY_DIR}/..
    ${STILLREEL_MEDIA} $<TARGET_FILE:frame_match>)
  set_tests_properties(${script} PROPERTIES FIXTURES_REQUIRED "media;wine32" LABELS rig32
    TIMEOUT 900)
endforeach()
