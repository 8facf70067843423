# Checks that a shared library exports the nine kor_* functions and nothing
# else.  Run as:  cmake -DLIBRARY=<path to libkorbr.so> -P check_exports.cmake
#
# Reads the dynamic symbol table with `nm -D --defined-only` and takes every
# defined symbol that occupies code or data (text, data, bss, read-only data,
# weak and indirect symbols alike).  Absolute symbols (type A) are left out:
# those are the version nodes a version script may define, not exports.
# Version suffixes ("name@@VERSION", "name@VERSION") are cut off the names.

cmake_minimum_required(VERSION 3.16)

set(EXPECTED_EXPORTS
  kor_close
  kor_get_last_error
  kor_open
  kor_queryapi
  kor_read
  kor_register_cancelled
  kor_register_format_string
  kor_register_info_callback
  kor_write)

if(NOT DEFINED LIBRARY OR LIBRARY STREQUAL "")
  message(FATAL_ERROR "check_exports: pass the library as -DLIBRARY=<path>")
endif()
if(NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "check_exports: ${LIBRARY} does not exist")
endif()

if(NOT NM)
  find_program(NM NAMES nm)
endif()
if(NOT NM)
  message(FATAL_ERROR "check_exports: nm not found (pass -DNM=<path>)")
endif()

execute_process(
  COMMAND "${NM}" -D --defined-only "${LIBRARY}"
  RESULT_VARIABLE nm_result
  OUTPUT_VARIABLE nm_output
  ERROR_VARIABLE nm_error)
if(NOT nm_result EQUAL 0)
  message(FATAL_ERROR "check_exports: ${NM} failed on ${LIBRARY} "
                      "(${nm_result}): ${nm_error}")
endif()

# One line per symbol: "<address> <type> <name>".
string(REPLACE "\n" ";" nm_lines "${nm_output}")
set(found)
foreach(line IN LISTS nm_lines)
  if(line STREQUAL "")
    continue()
  endif()
  if(NOT line MATCHES "^[0-9A-Fa-f]+ ([A-Za-z]) ([^ ]+)$")
    message(FATAL_ERROR "check_exports: cannot read nm line '${line}'")
  endif()
  set(type "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  if(type STREQUAL "A")
    continue()
  endif()
  string(REGEX REPLACE "@.*$" "" name "${name}")
  list(APPEND found "${name}")
endforeach()
list(REMOVE_DUPLICATES found)
list(SORT found)

string(REPLACE ";" " " found_text "${found}")
message(STATUS "check_exports: ${LIBRARY} exports: ${found_text}")

set(missing)
foreach(name IN LISTS EXPECTED_EXPORTS)
  if(NOT name IN_LIST found)
    list(APPEND missing "${name}")
  endif()
endforeach()
set(extra)
foreach(name IN LISTS found)
  if(NOT name IN_LIST EXPECTED_EXPORTS)
    list(APPEND extra "${name}")
  endif()
endforeach()

if(missing OR extra)
  string(REPLACE ";" " " missing_text "${missing}")
  string(REPLACE ";" " " extra_text "${extra}")
  message(FATAL_ERROR "check_exports: the exports of ${LIBRARY} differ from "
                      "the nine kor_* functions\n"
                      "  missing: ${missing_text}\n"
                      "  not expected: ${extra_text}")
endif()
message(STATUS "check_exports: exactly the nine kor_* functions")
