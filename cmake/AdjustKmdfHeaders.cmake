# Copies the framework's published headers into the build folder with the three adjustments
# g++ needs, leaving the originals as published:
#   - includes are made lower case: the headers include "WdfQueryInterface.h", "WdfWMI.h",
#     "wdfDmaEnabler.h" ... while the files are all lower case, which a case-sensitive file
#     system does not find;
#   - the forward declaration of enum _WDF_REQUEST_TYPE in wdfdevice.h (an MSVC extension) gets
#     the underlying type int, and so does its definition in wdfrequest.h; MSVC gives every
#     enum the type int, so nothing changes in size or value;
#   - (none in the files) mingw-w64's wdm.h and intrin.h both define two interlocked intrinsics:
#     the Windows face of platform/ keeps intrin.h's out (platform/windows/platform/types.h).
#
#   cmake -DKMDF_SOURCE=dir -DKMDF_TARGET=dir -P AdjustKmdfHeaders.cmake
cmake_minimum_required(VERSION 3.25)

foreach(var KMDF_SOURCE KMDF_TARGET)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "AdjustKmdfHeaders: ${var} is not set")
    endif()
endforeach()

file(GLOB headers "${KMDF_SOURCE}/*.h")
if(NOT headers)
    message(FATAL_ERROR "AdjustKmdfHeaders: no headers in ${KMDF_SOURCE}")
endif()
file(REMOVE_RECURSE "${KMDF_TARGET}")
file(MAKE_DIRECTORY "${KMDF_TARGET}")

function(replace_once text from to file out_var)
    string(FIND "${text}" "${from}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "AdjustKmdfHeaders: ${file} no longer holds '${from}'")
    endif()
    string(REPLACE "${from}" "${to}" text "${text}")
    set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

foreach(header IN LISTS headers)
    get_filename_component(name "${header}" NAME)
    file(READ "${header}" text)
    string(REGEX MATCHALL "#include \"[^\"]+\"" includes "${text}")
    foreach(include IN LISTS includes)
        string(TOLOWER "${include}" lower)
        string(REPLACE "${include}" "${lower}" text "${text}")
    endforeach()
    if(name STREQUAL "wdfdevice.h")
        replace_once("${text}" "typedef enum _WDF_REQUEST_TYPE WDF_REQUEST_TYPE;"
                     "enum _WDF_REQUEST_TYPE : int; typedef enum _WDF_REQUEST_TYPE WDF_REQUEST_TYPE;"
                     "${name}" text)
    elseif(name STREQUAL "wdfrequest.h")
        replace_once("${text}" "typedef enum _WDF_REQUEST_TYPE {"
                     "typedef enum _WDF_REQUEST_TYPE : int {" "${name}" text)
    endif()
    file(WRITE "${KMDF_TARGET}/${name}" "${text}")
endforeach()
