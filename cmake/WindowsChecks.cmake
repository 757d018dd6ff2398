# Checks that the Windows side builds, with the mingw-w64 cross compiler (found by
# cmake/WindowsToolchain.cmake). Nothing here runs on Windows; each check is a compile:
#   windows.updater          the example updater in package/updater, a Windows program that
#                            includes updater_interface/ after <windows.h>, compiled and linked
#   windows.ddk_layout       platform/'s records and codes against the DDK headers
#   windows.kmdf_layout      platform/wdf.h's structures and table indexes against the
#                            framework's headers (where the image is built)
#   windows.message_table.*  (tests/windows) the message compiler's table against the driver's
# The driver logic itself is compiled for Windows by the image's build (package/image).
if(NOT OSTDFU_WINDOWS_TOOLCHAIN)
    add_test(NAME windows.toolchain COMMAND sh -c
             "echo 'mingw-w64 (g++-mingw-w64-x86-64, binutils-mingw-w64-x86-64) is missing: run scripts/bootstrap.sh' >&2; exit 1")
    set(OSTDFU_WINDOWS_CHECKS OFF)
    return()
endif()
set(OSTDFU_WINDOWS_CHECKS ON)

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

# The driver image, read from outside by pefile (tests/windows/image_check.py): one test per
# check. Where the image is not built its tests say why and count as skipped, not passed.
if(OSTDFU_IMAGE)
    add_test(NAME windows.kmdf_layout
             COMMAND ${OSTDFU_MINGW_CXX} ${_kernel_flags} -I${PROJECT_SOURCE_DIR}
                     -isystem ${OSTDFU_KMDF_ADJUSTED_DIR} -isystem ${OSTDFU_MINGW_DDK}
                     ${PROJECT_SOURCE_DIR}/tests/windows/cross/kmdf_layout_check.cpp)
    find_program(OSTDFU_SYSTEM_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
    find_program(OSTDFU_MINGW_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
    foreach(_check headers sections imports entry resources inf framework_version kernel_only)
        add_test(NAME windows.image.${_check}
                 COMMAND ${OSTDFU_SYSTEM_PYTHON} ${PROJECT_SOURCE_DIR}/tests/windows/image_check.py
                         ${_check} --image ${OSTDFU_IMAGE} --map ${OSTDFU_IMAGE_MAP}
                         --inf ${PROJECT_SOURCE_DIR}/package/ostdfu.inf
                         --mc ${PROJECT_SOURCE_DIR}/notify/OstDfuEvents.mc
                         --imports ${PROJECT_SOURCE_DIR}/package/image/allowed_imports.txt
                         --kmdf ${OSTDFU_KMDF_DIR}/wdffuncenum.h --sources ${PROJECT_SOURCE_DIR}
                         --objdump ${OSTDFU_MINGW_OBJDUMP})
    endforeach()
else()
    add_test(NAME windows.image COMMAND sh -c "echo 'ostdfu.sys is not built: $0'; exit 77"
             "${OSTDFU_IMAGE_SKIPPED}")
    set_tests_properties(windows.image PROPERTIES SKIP_RETURN_CODE 77)
endif()
