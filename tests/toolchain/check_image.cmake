# Checks a Windows image as it will ship. Run with cmake -P:
#   -DOBJDUMP=<objdump> -DIMAGE=<file> -DSUBSYSTEM=native|console|windows
#   [-DIMPORTS=<a.dll,b.sys>]  every imported DLL must be one of these (compared
#                              case-insensitively); omitted: imports are not checked
#   [-DEXPORTS=<Name,Name>]    the only names the image may export; omitted or
#                              empty: the image must have no export table at all
#   [-DSTAMP=<file>]           written on success
# Fails when the image has another subsystem, imports or exports outside its
# lists, any DWARF or stabs section, or a COFF symbol table (the debug
# information belongs in the separate .debug file), or, for a kernel image,
# base relocations stripped (the kernel loads drivers at any address). On
# success it reports the file size and the imports.
cmake_minimum_required(VERSION 3.25)

foreach(required OBJDUMP IMAGE SUBSYSTEM)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "check_image.cmake: -D${required}=... is required")
  endif()
endforeach()
if(NOT EXISTS "${IMAGE}")
  message(FATAL_ERROR "${IMAGE} does not exist")
endif()
get_filename_component(name "${IMAGE}" NAME)

# objdump's output for one switch; any failure to read the image is fatal.
function(dump switch out)
  execute_process(COMMAND ${OBJDUMP} ${switch} ${IMAGE} OUTPUT_VARIABLE text ERROR_VARIABLE errors
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} ${switch} ${IMAGE} failed (${rc}): ${errors}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# A comma-separated list as a lower-case CMake list.
function(lower_list text out)
  string(TOLOWER "${text}" text)
  string(REPLACE "," ";" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

dump(-p private)
dump(-h headers)
dump(-t symbols)

if(NOT private MATCHES "file format pei-")
  message(FATAL_ERROR "${name} is not a PE image")
endif()

# Subsystem and, for kernel images, relocatability.
set(subsystem_ids native 1 windows 2 console 3)
list(FIND subsystem_ids "${SUBSYSTEM}" at)
if(at LESS 0)
  message(FATAL_ERROR "SUBSYSTEM must be native, windows or console, not ${SUBSYSTEM}")
endif()
math(EXPR at "${at} + 1")
list(GET subsystem_ids ${at} subsystem_id)
if(NOT private MATCHES "\nSubsystem[ \t]+0*${subsystem_id}[ \t]")
  string(REGEX MATCH "\nSubsystem[^\n]*" found "${private}")
  string(STRIP "${found}" found)
  message(FATAL_ERROR "${name} is not a ${SUBSYSTEM} image (${found})")
endif()
string(REGEX MATCH "Characteristics 0x[0-9a-fA-F]+\n(\t[^\n]+\n)*" characteristics "${private}")
if(SUBSYSTEM STREQUAL "native" AND characteristics MATCHES "\trelocations stripped")
  message(FATAL_ERROR "${name} has its base relocations stripped; a kernel image must be relocatable")
endif()

# Imports: the "DLL Name:" lines of the import tables.
set(imports "")
string(REGEX MATCHALL "\n[ \t]*DLL Name: [^\n]+" lines "${private}")
foreach(line IN LISTS lines)
  string(REGEX REPLACE ".*DLL Name: ([^ \t\r]+).*" "\\1" dll "${line}")
  list(APPEND imports ${dll})
endforeach()
if(DEFINED IMPORTS)
  lower_list("${IMPORTS}" allowed_imports)
  foreach(dll IN LISTS imports)
    string(TOLOWER "${dll}" lower)
    if(NOT lower IN_LIST allowed_imports)
      message(FATAL_ERROR "${name} imports ${dll}; it may import only: ${IMPORTS}")
    endif()
  endforeach()
endif()

# Exports: the export directory (data directory entry 0) and, when there is
# one, the names of its name pointer table. objdump 2.40 prints parts of the
# table twice, so names are collected once each.
if(NOT private MATCHES "\nEntry 0 ([0-9a-fA-F]+) ([0-9a-fA-F]+) Export Directory")
  message(FATAL_ERROR "${name}: no data directory in objdump's output")
endif()
set(export_size "${CMAKE_MATCH_2}")
set(exports "")
if(NOT export_size MATCHES "^0+$")
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n([ \t]+\\[[^\n]*\n)*" table "${private}")
  string(REGEX MATCHALL "\n[ \t]+\\[[ 0-9]+\\][ \t]+[^ \t\n]+" entries "${table}")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE ".*\\][ \t]+" "" export "${entry}")
    list(APPEND exports ${export})
  endforeach()
  list(REMOVE_DUPLICATES exports)
  string(REGEX MATCH "Export Address Table[ \t]+([0-9a-fA-F]+)" count_line "${private}")
  math(EXPR address_entries "0x${CMAKE_MATCH_1}" OUTPUT_FORMAT DECIMAL)
  list(LENGTH exports named)
  if("${EXPORTS}" STREQUAL "")
    list(JOIN exports ", " listed)
    message(FATAL_ERROR "${name} has an export table (${address_entries} address entries; names: ${listed}); "
                        "it must export nothing")
  endif()
  lower_list("${EXPORTS}" allowed_exports)
  foreach(export IN LISTS exports)
    string(TOLOWER "${export}" lower)
    if(NOT lower IN_LIST allowed_exports)
      message(FATAL_ERROR "${name} exports ${export}; it may export only: ${EXPORTS}")
    endif()
  endforeach()
  if(NOT address_entries EQUAL named)
    message(FATAL_ERROR "${name} exports ${address_entries} entries, only ${named} of them by name")
  endif()
endif()

# Debug information: no DWARF or stabs sections, no COFF symbols.
string(REGEX MATCHALL "\n[ \t]+[0-9]+ (\\.z?debug[^ \t\n]*|\\.stab[^ \t\n]*)" debug_sections "${headers}")
if(debug_sections)
  string(REGEX REPLACE "\n[ \t]+[0-9]+ " "" debug_sections "${debug_sections}")
  list(JOIN debug_sections " " listed)
  message(FATAL_ERROR "${name} carries debug sections (${listed}); ship it stripped with its debug "
                      "information in a separate file")
endif()
string(REGEX MATCHALL "\n\\[[ 0-9]+\\]\\(sec" symbol_lines "${symbols}")
list(LENGTH symbol_lines symbol_count)
if(symbol_count GREATER 0)
  message(FATAL_ERROR "${name} has a COFF symbol table (${symbol_count} symbols); ship it stripped")
endif()

file(SIZE "${IMAGE}" bytes)
math(EXPR kib "(${bytes} + 1023) / 1024")
list(JOIN imports ", " imports_text)
list(JOIN exports ", " exports_text)
if(imports_text STREQUAL "")
  set(imports_text "none")
endif()
if(exports_text STREQUAL "")
  set(exports_text "none")
endif()
message(STATUS "${name}: ${bytes} bytes (${kib} KiB), ${SUBSYSTEM}, stripped; "
               "exports: ${exports_text}; imports: ${imports_text}")
if(DEFINED STAMP)
  file(WRITE ${STAMP} "${bytes}\n${imports_text}\n")
endif()
