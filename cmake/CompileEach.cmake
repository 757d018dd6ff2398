# Compiles every .cpp of FOLDER with COMPILER and FLAGS (a list), reports each failure with the
# compiler's messages and fails when any source did not compile.
#   cmake -DCOMPILER=c++ "-DFLAGS=-fsyntax-only;-I..." -DFOLDER=dir -P CompileEach.cmake
file(GLOB sources "${FOLDER}/*.cpp")
if(NOT sources)
    message(FATAL_ERROR "no sources in ${FOLDER}")
endif()
set(failed "")
foreach(source IN LISTS sources)
    execute_process(COMMAND ${COMPILER} ${FLAGS} ${source}
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message("${output}")
        list(APPEND failed "${source}")
    endif()
endforeach()
list(LENGTH sources total)
if(failed)
    list(JOIN failed "\n  " names)
    message(FATAL_ERROR "these sources do not compile:\n  ${names}")
endif()
message("${total} sources compile")
