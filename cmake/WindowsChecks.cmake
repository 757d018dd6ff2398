# Checks that the Windows side builds, with the mingw-w64 cross compiler (scripts/bootstrap.sh
# installs it). Nothing here runs on Windows; each check is a compile:
#   windows.updater          the example updater in package/updater, a Windows program that
#                            includes control/public/ after <windows.h>, compiled and linked
#   windows.ddk_layout       platform/'s records and codes against the DDK headers
#   windows.driver_logic.*   every driver-logic source for the Windows x64 ABI against
#                            platform/, with the message compiler's header for notify/
#   windows.message_table.*  (tests/windows) the message compiler's table against the driver's
set(OSTDFU_WINDOWS_DIR ${CMAKE_BINARY_DIR}/generated/windows)

find_program(OSTDFU_MINGW_CXX NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++)
find_program(OSTDFU_WINDMC NAMES x86_64-w64-mingw32-windmc)
find_path(OSTDFU_MINGW_DDK wdm.h
          PATHS /usr/x86_64-w64-mingw32/include/ddk /usr/share/mingw-w64/include/ddk
          NO_DEFAULT_PATH)
if(NOT OSTDFU_MINGW_CXX OR NOT OSTDFU_WINDMC OR NOT OSTDFU_MINGW_DDK)
    add_test(NAME windows.toolchain COMMAND sh -c
             "echo 'mingw-w64 (g++-mingw-w64-x86-64, binutils-mingw-w64-x86-64) is missing: run scripts/bootstrap.sh' >&2; exit 1")
    set(OSTDFU_WINDOWS_CHECKS OFF)
    return()
endif()
set(OSTDFU_WINDOWS_CHECKS ON)

# The message table as the Windows build compiles it: header, resource script and binary table.
add_custom_command(
    OUTPUT ${OSTDFU_WINDOWS_DIR}/notify/OstDfuEvents.h ${OSTDFU_WINDOWS_DIR}/notify/MSG00409.bin
    COMMAND ${CMAKE_COMMAND} -E make_directory ${OSTDFU_WINDOWS_DIR}/notify
    COMMAND ${OSTDFU_WINDMC} -U -h ${OSTDFU_WINDOWS_DIR}/notify -r ${OSTDFU_WINDOWS_DIR}/notify
            ${PROJECT_SOURCE_DIR}/notify/OstDfuEvents.mc
    DEPENDS ${PROJECT_SOURCE_DIR}/notify/OstDfuEvents.mc
    COMMENT "Compiling the event message table with the Windows message compiler"
    VERBATIM)
add_custom_target(windows_message_table ALL
    DEPENDS ${OSTDFU_WINDOWS_DIR}/notify/OstDfuEvents.h ${OSTDFU_WINDOWS_DIR}/notify/MSG00409.bin)

# The compiles do not change under a sanitizer; the sanitizer presets leave them to the default.
if(OSTDFU_SANITIZE)
    return()
endif()

set(_cross_flags -std=c++20 -Wall -Wextra -Werror)
set(_kernel_flags ${_cross_flags} -fsyntax-only -D_KERNEL_MODE -fno-exceptions -fno-rtti)

add_test(NAME windows.updater
         COMMAND ${OSTDFU_MINGW_CXX} ${_cross_flags} -I${PROJECT_SOURCE_DIR}
                 ${PROJECT_SOURCE_DIR}/package/updater/ostdfu_update.cpp
                 -o ${OSTDFU_WINDOWS_DIR}/ostdfu-update.exe -lsetupapi -static)

add_test(NAME windows.ddk_layout
         COMMAND ${OSTDFU_MINGW_CXX} ${_kernel_flags} -I${PROJECT_SOURCE_DIR}
                 -isystem ${OSTDFU_MINGW_DDK}
                 ${PROJECT_SOURCE_DIR}/tests/windows/cross/ddk_layout_check.cpp)

foreach(_folder context driver usb dfu control notify)
    add_test(NAME windows.driver_logic.${_folder}
             COMMAND ${CMAKE_COMMAND} -DCOMPILER=${OSTDFU_MINGW_CXX}
                     "-DFLAGS=${_kernel_flags};-I${PROJECT_SOURCE_DIR};-I${OSTDFU_WINDOWS_DIR}"
                     -DFOLDER=${PROJECT_SOURCE_DIR}/${_folder}
                     -P ${PROJECT_SOURCE_DIR}/cmake/CompileEach.cmake)
endforeach()
