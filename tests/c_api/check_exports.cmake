# Fails unless the shared library's dynamic symbol table defines exactly the ten
# quelt_wake_word_* functions, and its SONAME carries the ABI major version.
# cmake -DNM=... -DREADELF=... -DLIBRARY=... -DSONAME=... -P check_exports.cmake
set(expected
  quelt_wake_word_abi_version quelt_wake_word_version quelt_wake_word_create
  quelt_wake_word_destroy quelt_wake_word_push_pcm_i16 quelt_wake_word_push_pcm_f32
  quelt_wake_word_reset quelt_wake_word_current_score quelt_wake_word_set_threshold
  quelt_wake_word_set_cooldown_frames)

execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}"
  OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} -D failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(exported "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>"; the name may carry a version suffix ("@@V1").
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ @]+)")
    list(APPEND exported "${CMAKE_MATCH_1}")
  endif()
endforeach()

set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${expected})
set(missing ${expected})
list(REMOVE_ITEM missing ${exported})
if(unexpected OR missing)
  message(FATAL_ERROR "exports of ${LIBRARY}:\n  unexpected: ${unexpected}\n  missing: ${missing}")
endif()
list(LENGTH exported n)
if(NOT n EQUAL 10)
  message(FATAL_ERROR "expected 10 exported symbols, found ${n}: ${exported}")
endif()

execute_process(COMMAND "${READELF}" -d "${LIBRARY}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT dynamic MATCHES "Library soname: \\[${SONAME}\\]")
  message(FATAL_ERROR "SONAME of ${LIBRARY} is not ${SONAME}:\n${dynamic}")
endif()
message(STATUS "exports: ${exported}; SONAME ${SONAME}")
