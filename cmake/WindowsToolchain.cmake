# The Windows side's tools, found once for the image (package/image) and the cross checks
# (tests/): the mingw-w64 cross compiler, message and resource compilers and dlltool
# (scripts/bootstrap.sh installs them), mingw-w64's DDK headers, and the framework's published
# headers. Sets OSTDFU_WINDOWS_TOOLCHAIN and OSTDFU_KMDF_DIR (empty when not found), and the
# target windows_message_table: the event messages as the Windows message compiler builds them.
set(OSTDFU_WINDOWS_DIR ${CMAKE_BINARY_DIR}/generated/windows)

find_program(OSTDFU_MINGW_CXX NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++)
find_program(OSTDFU_WINDMC NAMES x86_64-w64-mingw32-windmc)
find_program(OSTDFU_WINDRES NAMES x86_64-w64-mingw32-windres)
find_program(OSTDFU_DLLTOOL NAMES x86_64-w64-mingw32-dlltool)
find_program(OSTDFU_MINGW_OBJCOPY NAMES x86_64-w64-mingw32-objcopy)
find_path(OSTDFU_MINGW_DDK wdm.h
          PATHS /usr/x86_64-w64-mingw32/include/ddk /usr/share/mingw-w64/include/ddk
          NO_DEFAULT_PATH)
if(OSTDFU_MINGW_CXX AND OSTDFU_WINDMC AND OSTDFU_WINDRES AND OSTDFU_DLLTOOL AND OSTDFU_MINGW_OBJCOPY AND OSTDFU_MINGW_DDK)
    set(OSTDFU_WINDOWS_TOOLCHAIN ON)
else()
    set(OSTDFU_WINDOWS_TOOLCHAIN OFF)
endif()

# The framework's headers (KMDF 1.15, as Microsoft publishes them): beside the checkout in
# shared/third_party, or where scripts/bootstrap.sh fetched them (third_party/, not committed).
set(OSTDFU_KMDF_DIR "" CACHE PATH "The framework's published KMDF 1.15 headers (the folder of wdf.h)")
if(NOT OSTDFU_KMDF_DIR)
    foreach(candidate
            ${PROJECT_SOURCE_DIR}/third_party/kmdf/1.15
            ${PROJECT_SOURCE_DIR}/../shared/third_party/kmdf/1.15
            ${PROJECT_SOURCE_DIR}/../../shared/third_party/kmdf/1.15)
        if(EXISTS ${candidate}/wdf.h AND EXISTS ${candidate}/wdfusb.h)
            get_filename_component(OSTDFU_KMDF_DIR ${candidate} REALPATH)
            break()
        endif()
    endforeach()
endif()

if(NOT OSTDFU_WINDOWS_TOOLCHAIN)
    return()
endif()

# The message table as the Windows build compiles it: header, resource script and binary table.
add_custom_command(
    OUTPUT ${OSTDFU_WINDOWS_DIR}/notify/OstDfuEvents.h ${OSTDFU_WINDOWS_DIR}/notify/OstDfuEvents.rc
           ${OSTDFU_WINDOWS_DIR}/notify/MSG00409.bin
    COMMAND ${CMAKE_COMMAND} -E make_directory ${OSTDFU_WINDOWS_DIR}/notify
    COMMAND ${OSTDFU_WINDMC} -U -h ${OSTDFU_WINDOWS_DIR}/notify -r ${OSTDFU_WINDOWS_DIR}/notify
            ${PROJECT_SOURCE_DIR}/notify/OstDfuEvents.mc
    DEPENDS ${PROJECT_SOURCE_DIR}/notify/OstDfuEvents.mc
    COMMENT "Compiling the event message table with the Windows message compiler"
    VERBATIM)
add_custom_target(windows_message_table ALL
    DEPENDS ${OSTDFU_WINDOWS_DIR}/notify/OstDfuEvents.h ${OSTDFU_WINDOWS_DIR}/notify/MSG00409.bin)
