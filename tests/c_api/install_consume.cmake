# Installs the C library from the build tree into a scratch prefix, then builds
# examples/c/detect.c against that prefix twice: as a CMake project through
# find_package(quelt_wake_word), and with a plain compiler line from pkg-config. Each
# program must load the installed library and accept a model.
# cmake -DBUILD_DIR= -DWORK_DIR= -DCONSUMER_DIR= -DEXAMPLE= -DMODEL= -DLIBDIR=
#       -DC_COMPILER= -DPKG_CONFIG= -P install_consume.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
foreach(component c_library c_development)
  run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" --component ${component})
endforeach()
foreach(file
    include/quelt_wake_word.h
    ${LIBDIR}/libquelt_wake_word.so
    ${LIBDIR}/libquelt_wake_word.so.1
    ${LIBDIR}/cmake/quelt_wake_word/quelt_wake_wordConfig.cmake
    ${LIBDIR}/cmake/quelt_wake_word/quelt_wake_wordConfigVersion.cmake
    ${LIBDIR}/cmake/quelt_wake_word/quelt_wake_wordTargets.cmake
    ${LIBDIR}/pkgconfig/quelt_wake_word.pc)
  if(NOT EXISTS "${prefix}/${file}")
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
# Nothing of the engine's internals is installed.
file(GLOB_RECURSE headers RELATIVE "${prefix}" "${prefix}/*.h" "${prefix}/*.hpp")
if(NOT headers STREQUAL "include/quelt_wake_word.h")
  message(FATAL_ERROR "installed headers: ${headers}")
endif()

# 1. find_package. The library comes from the prefix only (no build tree on the path).
run("${CMAKE_COMMAND}" -S "${CONSUMER_DIR}" -B "${WORK_DIR}/cmake-build"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_COMPILER=${C_COMPILER}"
    "-DEXAMPLE_SOURCE=${EXAMPLE}")
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/cmake-build")
run("${WORK_DIR}/cmake-build/detect" "${MODEL}" /dev/null)

# 2. pkg-config, as in the example's own build line.
run("${CMAKE_COMMAND}" -E env "PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig"
    "${PKG_CONFIG}" --cflags --libs quelt_wake_word)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run("${C_COMPILER}" -std=c11 -Wall -Wextra -Werror "${EXAMPLE}" ${flags}
    -o "${WORK_DIR}/detect-pkgconfig")
run("${CMAKE_COMMAND}" -E env "LD_LIBRARY_PATH=${prefix}/${LIBDIR}"
    "${WORK_DIR}/detect-pkgconfig" "${MODEL}" /dev/null)

# The version file accepts 0.1 and refuses another major.
file(WRITE "${WORK_DIR}/major/CMakeLists.txt"
  "cmake_minimum_required(VERSION 3.16)\nproject(major LANGUAGES NONE)\n"
  "find_package(quelt_wake_word 1 QUIET)\n"
  "if(quelt_wake_word_FOUND)\n  message(FATAL_ERROR \"version 1 accepted\")\nendif()\n")
run("${CMAKE_COMMAND}" -S "${WORK_DIR}/major" -B "${WORK_DIR}/major/build"
    "-DCMAKE_PREFIX_PATH=${prefix}")
message(STATUS "installed and consumed through find_package and pkg-config")
