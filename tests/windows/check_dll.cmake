# Checks korbr.dll's export table and imports.  Run as:
#   cmake -DLIBRARY=<korbr.dll> -DOBJDUMP=<mingw objdump> -P check_dll.cmake
#
# - exactly nine exports, each by name with its ordinal:
#   1 kor_open ... 9 kor_get_last_error;
# - the DLLs it imports are all part of Windows itself: the compiler's
#   run-time (libgcc, libstdc++, winpthreads) must be linked in, since a host
#   installs korbr.dll alone.
#
# Reads `objdump -p`: the "[Ordinal/Name Pointer] Table" lists each name
# with its ordinal less the ordinal base, and every import is one
# "DLL Name:" line.

cmake_minimum_required(VERSION 3.16)

set(EXPECTED_ORDINALS
  1 kor_open
  2 kor_close
  3 kor_read
  4 kor_write
  5 kor_queryapi
  6 kor_register_info_callback
  7 kor_register_format_string
  8 kor_register_cancelled
  9 kor_get_last_error)

# DLLs that come with every Windows installation.
set(SYSTEM_DLLS kernel32.dll msvcrt.dll ntdll.dll advapi32.dll user32.dll)

if(NOT DEFINED LIBRARY OR NOT EXISTS "${LIBRARY}")
  message(FATAL_ERROR "check_dll: pass an existing DLL as -DLIBRARY=<path>")
endif()
if(NOT OBJDUMP)
  message(FATAL_ERROR "check_dll: pass the objdump to use as -DOBJDUMP=<path>")
endif()

execute_process(
  COMMAND "${OBJDUMP}" -p "${LIBRARY}"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "check_dll: ${OBJDUMP} -p failed (${result}): ${errors}")
endif()

string(REPLACE "\n" ";" lines "${output}")
set(base "")
set(in_names FALSE)
set(found)
set(imports)
set(problems)
foreach(line IN LISTS lines)
  if(line MATCHES "^Ordinal Base[ \t]+([0-9]+)")
    set(base "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
    set(in_names TRUE)
  elseif(in_names AND line MATCHES "^[ \t]+\\[ *([0-9]+)\\] ([A-Za-z0-9_@]+)$")
    math(EXPR ordinal "${CMAKE_MATCH_1} + ${base}")
    list(APPEND found "${ordinal} ${CMAKE_MATCH_2}")
  elseif(in_names AND NOT line MATCHES "^[ \t]*$")
    set(in_names FALSE)
  endif()
  if(line MATCHES "DLL Name: ([^ \t]+)")
    list(APPEND imports "${CMAKE_MATCH_1}")
  endif()
endforeach()
if(base STREQUAL "")
  message(FATAL_ERROR "check_dll: ${LIBRARY} has no export table")
endif()

set(expected)
list(LENGTH EXPECTED_ORDINALS n)
math(EXPR last "${n} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET EXPECTED_ORDINALS ${i} ordinal)
  list(GET EXPECTED_ORDINALS ${j} name)
  list(APPEND expected "${ordinal} ${name}")
endforeach()
list(SORT found)
list(SORT expected)
string(REPLACE ";" ", " found_text "${found}")
message(STATUS "check_dll: exports (ordinal name): ${found_text}")
if(NOT found STREQUAL expected)
  string(REPLACE ";" ", " expected_text "${expected}")
  list(APPEND problems "exports are [${found_text}], expected [${expected_text}]")
endif()

string(REPLACE ";" " " imports_text "${imports}")
message(STATUS "check_dll: imports: ${imports_text}")
if(NOT imports)
  list(APPEND problems "no imports found")
endif()
foreach(dll IN LISTS imports)
  string(TOLOWER "${dll}" lower)
  if(NOT lower IN_LIST SYSTEM_DLLS)
    list(APPEND problems "imports ${dll}, which Windows does not provide")
  endif()
endforeach()

if(problems)
  string(REPLACE ";" "\n  " problems_text "${problems}")
  message(FATAL_ERROR "check_dll: ${LIBRARY}:\n  ${problems_text}")
endif()
message(STATUS "check_dll: nine exports with ordinals 1..9, system DLLs only")
