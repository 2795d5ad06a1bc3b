# quelt_add_test(NAME name SOURCES a.cc b.cc [LIBS ...] [LABELS ...])
# One GoogleTest binary per unit, registered with CTest (through the cross emulator when
# cross-compiling, so the AArch64 build runs its tests under qemu).
function(quelt_add_test)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  # LIBS names the unit libraries under test (quelt_frontend, ...; quelt_core for all).
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE quelt_warnings GTest::gtest_main GTest::gmock
                        ${ARG_LIBS})
  target_include_directories(${ARG_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  gtest_discover_tests(${ARG_NAME} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS "${ARG_LABELS}"
                       DISCOVERY_TIMEOUT 120)
endfunction()
