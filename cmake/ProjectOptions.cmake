# Warnings and sanitizer switches shared by every target.
add_compile_options(-Wall -Wextra -Werror)

set(OSTDFU_SANITIZE "" CACHE STRING "Sanitizers to build with: empty, 'address;undefined' or 'thread'")
if(OSTDFU_SANITIZE)
    list(JOIN OSTDFU_SANITIZE "," _ostdfu_san)
    add_compile_options(-fsanitize=${_ostdfu_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${_ostdfu_san})
endif()

# In the fuzz build only the code under test carries libFuzzer's coverage: the driver logic, the
# bootloader model, the updater library and the targets. The emulated machine around them
# (host/, the test support) runs sanitized but uninstrumented, so its busy loops neither slow
# every input with comparison hooks nor steer the fuzzer towards paths of the machine itself.
function(ostdfu_fuzz_coverage target)
    if(OSTDFU_FUZZ)
        target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
    endif()
endfunction()

# Every source of a folder belongs to that folder's library; new files need no CMake edit.
function(ostdfu_folder_sources out_var)
    file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    set(${out_var} ${_srcs} PARENT_SCOPE)
endfunction()

# A library of the folder's sources, or an interface library while the folder has none.
function(ostdfu_folder_library name)
    ostdfu_folder_sources(_srcs)
    if(_srcs)
        add_library(${name} STATIC ${_srcs})
        set(${name}_KIND PUBLIC PARENT_SCOPE)
    else()
        add_library(${name} INTERFACE)
        set(${name}_KIND INTERFACE PARENT_SCOPE)
    endif()
endfunction()

# Driver logic is written as kernel code: no exceptions, no RTTI, nothing but platform/.
# The libraries call each other freely; ostdfu_driver_image links them as one group.
function(ostdfu_driver_library name)
    ostdfu_folder_library(${name})
    if(${name}_KIND STREQUAL "PUBLIC")
        target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
        ostdfu_fuzz_coverage(${name})
    endif()
    target_link_libraries(${name} ${${name}_KIND} platform)
endfunction()

# One test executable per folder of tests/, each test case its own CTest test.
function(ostdfu_test_suite name)
    file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}/*.cpp)
    if(NOT _srcs)
        return()
    endif()
    add_executable(test_${name} ${_srcs})
    target_link_libraries(test_${name} PRIVATE test_support ${ARGN} GTest::gmock GTest::gtest_main)
    # Parameterised suites name their instances; without NO_PRETTY_VALUES the test name would
    # also carry gtest's print of the parameter (raw bytes for a plain struct), and ctest pads
    # every line of its report to the longest name.
    gtest_discover_tests(test_${name} DISCOVERY_TIMEOUT 120 TEST_PREFIX "${name}." NO_PRETTY_VALUES)
endfunction()
