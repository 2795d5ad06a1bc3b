# quelt_add_test(NAME name SOURCES a.cc b.cc [LIBS ...] [LABELS ...])
# One GoogleTest binary per unit, registered with CTest (through the cross emulator when
# cross-compiling, so the AArch64 build runs its tests under qemu).
function(quelt_add_test)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  # LIBS names the unit libraries under test (quelt_frontend, ...; quelt_core for all).
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE quelt_warnings GTest::gtest_main GTest::gmock
                        ${ARG_LIBS})
  # tools/writer for its header-only random weights (support/random_model.h builds models
  # from them), which tests use whether or not they link the writer.
  target_include_directories(${ARG_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests
                             ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tools/writer)
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  gtest_discover_tests(${ARG_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)
  # gtest_discover_tests flattens its PROPERTIES into one list, so LABELS "unit;threads"
  # would set the label "unit" and a stray property "threads". Instead, a script that CTest
  # runs after the discovered tests are defined gives each of them the whole label list.
  set(labels_script "${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}_labels.cmake")
  file(WRITE "${labels_script}"
       "foreach(test IN LISTS ${ARG_NAME}_TESTS)\n"
       "  set_tests_properties(\"\${test}\" PROPERTIES LABELS \"${ARG_LABELS}\")\n"
       "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_script}")
endfunction()
