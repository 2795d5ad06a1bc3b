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
