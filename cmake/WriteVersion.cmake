# Writes the text `dfuhost --version` prints: the project's version and the commit the program
# was built from. Run with -P at every build, because the commit moves without a new configure;
# the output is rewritten only when its text changes, so an unchanged commit rebuilds nothing.
#
#   -DVERSION=1.0.0 -DSOURCE_DIR=<tree> -DOUTPUT=<file.cpp> [-DCOMMIT=<id>] [-DGIT=<git>]
#
# The commit, first found of:
#   COMMIT        given by whoever builds from a copy whose history is elsewhere;
#   git           when SOURCE_DIR is the top of a work tree (not a tarball unpacked inside
#                 someone else's repository), with ", modified" when tracked files differ;
#   cmake/commit.txt, as `git archive` fills it in (export-subst in .gitattributes);
#   none          the text is the version alone.
foreach(_required VERSION SOURCE_DIR OUTPUT)
    if(NOT ${_required})
        message(FATAL_ERROR "WriteVersion.cmake needs -D${_required}=...")
    endif()
endforeach()

set(_commit "${COMMIT}")
if(NOT _commit AND GIT)
    execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --show-toplevel
                    OUTPUT_VARIABLE _top OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE _no_git ERROR_QUIET)
    if(NOT _no_git)
        file(REAL_PATH "${_top}" _top)
        file(REAL_PATH "${SOURCE_DIR}" _source)
    endif()
    if(NOT _no_git AND _top STREQUAL _source)
        execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --short=12 HEAD
                        OUTPUT_VARIABLE _commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} status --porcelain --untracked-files=no
                        OUTPUT_VARIABLE _changes ERROR_QUIET)
        if(_commit AND _changes)
            string(APPEND _commit ", modified")
        endif()
    endif()
endif()
if(NOT _commit AND EXISTS ${SOURCE_DIR}/cmake/commit.txt)
    file(STRINGS ${SOURCE_DIR}/cmake/commit.txt _archived LIMIT_COUNT 1)
    if(_archived MATCHES "^[0-9a-f]+$")
        set(_commit "${_archived}")
    endif()
endif()

set(_text "dfuhost ${VERSION}")
if(_commit)
    string(APPEND _text " (commit ${_commit})")
endif()
set(_source "// Written at build time by cmake/WriteVersion.cmake.\n#include \"tools/version.h\"\n\nconst char* dfuhost::versionText() { return \"${_text}\"; }\n")
if(EXISTS ${OUTPUT})
    file(READ ${OUTPUT} _old)
endif()
if(NOT _old STREQUAL _source)
    file(WRITE ${OUTPUT} "${_source}")
endif()
