# Runs check_image.cmake on one image and fails unless its verdict is the
# expected one: EXPECT is "pass", or a text the refusal must contain
# (compared case-insensitively). Run with cmake -P:
#   -DCHECK=<check_image.cmake> -DEXPECT=<pass|text> -DSTAMP=<file>
#   and check_image.cmake's own -D options (OBJDUMP, IMAGE, SUBSYSTEM,
#   IMPORTS, EXPORTS), which are passed on.
cmake_minimum_required(VERSION 3.25)

set(forwarded "")
foreach(option OBJDUMP IMAGE SUBSYSTEM IMPORTS EXPORTS)
  if(DEFINED ${option})
    list(APPEND forwarded "-D${option}=${${option}}")
  endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} ${forwarded} -P ${CHECK}
                OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE rc)
get_filename_component(name "${IMAGE}" NAME)
string(REGEX REPLACE "[ \t\r\n]+" " " verdict "${output}${errors}")

if(EXPECT STREQUAL "pass")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the image check refused ${name}, which it must pass: ${verdict}")
  endif()
else()
  if(rc EQUAL 0)
    message(FATAL_ERROR "the image check passed ${name}, which it must refuse (\"${EXPECT}\"): ${verdict}")
  endif()
  string(TOLOWER "${verdict}" lower_verdict)
  string(TOLOWER "${EXPECT}" lower_expect)
  string(FIND "${lower_verdict}" "${lower_expect}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the image check refused ${name} for another reason than \"${EXPECT}\": ${verdict}")
  endif()
endif()
file(WRITE ${STAMP} "${verdict}\n")
