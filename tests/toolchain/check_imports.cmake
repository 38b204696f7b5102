# Fails unless IMAGE is an NT-native PE image whose imports are all in
# ALLOWED (comma-separated DLL names, compared case-insensitively); on success
# writes the import list to STAMP. Run with cmake -P:
#   -DOBJDUMP=<objdump> -DIMAGE=<file> -DALLOWED=<a,b,c> -DSTAMP=<file>
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -p ${IMAGE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${IMAGE} failed (${rc})")
endif()

if(NOT dump MATCHES "Subsystem[ \t]+0*1[ \t]+\\(NT native\\)")
  message(FATAL_ERROR "${IMAGE} is not an NT-native image")
endif()

string(TOLOWER "${ALLOWED}" allowed)
string(REPLACE "," ";" allowed "${allowed}")
string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
set(imports "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "DLL Name: ([^ \t\r]+).*" "\\1" name "${line}")
  string(TOLOWER "${name}" lname)
  list(APPEND imports ${name})
  if(NOT lname IN_LIST allowed)
    message(FATAL_ERROR "${IMAGE} imports ${name}; a kernel image may import only: ${ALLOWED}")
  endif()
endforeach()
if(NOT "ntoskrnl.exe" IN_LIST allowed)
  message(FATAL_ERROR "ALLOWED must name ntoskrnl.exe")
endif()

message(STATUS "${IMAGE}: NT native, imports: ${imports}")
file(WRITE ${STAMP} "${imports}\n")
