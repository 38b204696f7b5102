# Compiler settings shared by every project target, and helpers for the kinds of
# target the package builds (kernel code, user-mode code, tests).

set(QAV_SANITIZE "" CACHE STRING "Host sanitizer build: address or thread")

set(QAV_WARNINGS -Wall -Wextra -Werror -Wno-missing-field-initializers)

if(QAV_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(QAV_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# MinGW's C runtime printf is the Microsoft one unless asked otherwise; user
# code formats with C99 conversions (%zu, %lld) everywhere.
if(WIN32)
  add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)
endif()

function(qav_warnings target)
  target_compile_options(${target} PRIVATE ${QAV_WARNINGS})
endfunction()

# Kernel code is freestanding C++ on every target: no exceptions, no RTTI, no
# static constructors that need a C++ runtime.
set(QAV_KERNEL_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics)

# Host: the SDK/DDK-named headers come from winsim.
set(QAV_HOST_INCLUDES ${PROJECT_SOURCE_DIR}/winsim/include ${PROJECT_SOURCE_DIR})

# Windows kernel image: NT native, entry DriverEntry, no C runtime. Linked as
# an executable, not a DLL: a driver exports nothing (the loader finds
# DriverEntry through the image's entry point), and a DLL link would give it
# an export table anyway. Compile and link settings only; see
# qav_ship_kernel_image for what makes it shippable.
function(qav_kernel_image target)
  target_compile_options(${target} PRIVATE ${QAV_KERNEL_FLAGS} ${QAV_WARNINGS}
    -fno-asynchronous-unwind-tables -mno-red-zone -fno-stack-protector)
  target_compile_definitions(${target} PRIVATE _KERNEL_MODE=1 _AMD64_=1
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset
    __INTRINSIC_DEFINED_InterlockedBitTestAndComplement)
  target_include_directories(${target} SYSTEM PRIVATE /usr/share/mingw-w64/include/ddk
    /usr/x86_64-w64-mingw32/include/ddk)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".sys")
  target_link_options(${target} PRIVATE -nostdlib -Wl,--subsystem,native
    -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000)
  target_link_libraries(${target} PRIVATE ks usbd ntoskrnl hal gcc)
endfunction()

# What a kernel image may import: the kernel, the HAL and the two drivers the
# package links against.
set(QAV_KERNEL_IMPORTS ntoskrnl.exe ks.sys usbd.sys hal.dll)

# Windows images ship stripped. After each link the image's debug information
# moves to <image>.debug beside it, which the stripped image names in a
# .gnu_debuglink section so gdb and addr2line find it; the .debug file is for
# debugging only and never goes into a package.
function(qav_strip_image target)
  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "objcopy for ${QAV_TARGET} not found")
  endif()
  set(image $<TARGET_FILE_NAME:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${image} ${image}.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${image}.debug ${image}
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Stripping ${target}; its debug information goes to a .debug file beside it"
    VERBATIM)
endfunction()

# A build step that checks the image of `target` as it ships, with
# tests/toolchain/check_image.cmake: SUBSYSTEM native, console or windows;
# IMPORTS, when given, the only DLLs it may import; EXPORTS the only names it
# may export (none given: no export table at all). The stamp it writes keeps
# a failed check failing on the next build too.
set(QAV_CHECK_IMAGE ${PROJECT_SOURCE_DIR}/tests/toolchain/check_image.cmake)
function(qav_check_image target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SUBSYSTEM" "IMPORTS;EXPORTS")
  if(NOT CMAKE_OBJDUMP)
    message(FATAL_ERROR "objdump for ${QAV_TARGET} not found")
  endif()
  set(options -DOBJDUMP=${CMAKE_OBJDUMP} -DIMAGE=$<TARGET_FILE:${target}> -DSUBSYSTEM=${arg_SUBSYSTEM})
  if(DEFINED arg_IMPORTS)
    list(JOIN arg_IMPORTS "," imports)
    list(APPEND options -DIMPORTS=${imports})
  endif()
  list(JOIN arg_EXPORTS "," exports)
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.checked)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} ${options} -DEXPORTS=${exports} -DSTAMP=${stamp} -P ${QAV_CHECK_IMAGE}
    DEPENDS ${target} ${QAV_CHECK_IMAGE}
    COMMENT "Checking ${target}: ${arg_SUBSYSTEM} image, imports, exports, stripped"
    VERBATIM)
  add_custom_target(${target}_checked ALL DEPENDS ${stamp})
endfunction()

# A kernel image as it ships: stripped, NT native, kernel imports only, no exports.
function(qav_ship_kernel_image target)
  qav_strip_image(${target})
  qav_check_image(${target} SUBSYSTEM native IMPORTS ${QAV_KERNEL_IMPORTS})
endfunction()

# Host: a program that loads host shared libraries as DLLs (LoadLibraryA,
# CoCreateInstance). The modules resolve winsim's functions from the program,
# so the program carries all of winsim and exports it; there is one machine
# per process.
function(qav_module_loader target)
  set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
  target_link_options(${target} PRIVATE "SHELL:-Wl,--whole-archive $<TARGET_FILE:winsim> -Wl,--no-whole-archive")
endfunction()

# Host: a shared library that winsim's LoadLibraryA loads as a DLL. It links
# no winsim (the loading program provides it, see qav_module_loader), and its
# own references bind to its own definitions even where the program defines
# the same names (a test program may link the module's sources too).
function(qav_host_module target)
  set_target_properties(${target} PROPERTIES PREFIX "" POSITION_INDEPENDENT_CODE ON)
  target_include_directories(${target} PRIVATE ${QAV_HOST_INCLUDES})
  target_link_options(${target} PRIVATE "LINKER:-Bsymbolic")
  qav_unloadable_code(${target})
endfunction()

# Host code that goes into a host module. GCC marks inline variables and
# static locals of inline functions as unique symbols, and a library holding
# one is never unloaded by dlclose: the module's state would outlive its
# FreeLibrary and the machine (the process) it was loaded in, as no Windows
# DLL's does.
function(qav_unloadable_code target)
  target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
endfunction()
