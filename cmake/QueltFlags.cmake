# Compiler flags shared by every target of the project.
#
# -ffp-contract=off is not a warning flag but a correctness one: GCC fuses a*b+c into one
# rounding by default on AArch64 (and on x86-64 with -mfma), which would change scores.
# Every fused multiply-add in the engine is spelled out (std::fma, vfmaq_f32) instead.
add_compile_options(-ffp-contract=off -fno-fast-math)

add_library(quelt_warnings INTERFACE)
target_compile_options(quelt_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wcast-qual -Wdouble-promotion
  $<$<COMPILE_LANGUAGE:CXX>:-Wmissing-declarations>)
if(QWW_WERROR)
  target_compile_options(quelt_warnings INTERFACE -Werror)
endif()

if(QWW_SANITIZE STREQUAL "address;undefined" OR QWW_SANITIZE STREQUAL "address,undefined")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(QWW_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT QWW_SANITIZE STREQUAL "")
  message(FATAL_ERROR "QWW_SANITIZE: unknown value '${QWW_SANITIZE}'")
endif()

# quelt_add_unit_library(name sources... [DEPS libs...])
# A subsystem's static library: PIC (it ends up in the shared library and the Python
# module), symbols hidden, includes from src/, warnings from quelt_warnings.
function(quelt_add_unit_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE quelt_warnings)
  set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET hidden
                        VISIBILITY_INLINES_HIDDEN ON POSITION_INDEPENDENT_CODE ON)
  target_link_libraries(quelt_core INTERFACE ${name})
endfunction()
