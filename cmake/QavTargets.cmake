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

# Windows kernel image: NT native, entry DriverEntry, no C runtime.
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
  target_link_options(${target} PRIVATE -nostdlib -shared -Wl,--subsystem,native
    -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000)
  target_link_libraries(${target} PRIVATE ks usbd ntoskrnl hal gcc)
endfunction()
