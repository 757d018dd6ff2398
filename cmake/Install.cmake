# What `cmake --install` puts where a Linux user looks for it (GNUInstallDirs; the prefix is
# /usr/local unless --prefix says otherwise):
#   bin/dfuhost
#   include/ostdfu/updater_interface/*.h   the control interface, included as "updater_interface/ioctl.h"
#   include/ostdfu/platform/types.h     the basic types those headers take where <windows.h> is not
#   share/ostdfu/driver/                the Windows driver package: ostdfu.inf (and ostdfu.sys)
#   share/doc/ostdfu/                   README.md and docs/
# Included at the end of the top-level CMakeLists.txt, when every target exists.
include(GNUInstallDirs)

install(TARGETS dfuhost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(DIRECTORY ${PROJECT_SOURCE_DIR}/updater_interface/
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ostdfu/updater_interface
        FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/platform/types.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ostdfu/platform)

set(OSTDFU_INSTALL_DRIVERDIR ${CMAKE_INSTALL_DATADIR}/ostdfu/driver)
install(FILES ${PROJECT_SOURCE_DIR}/package/ostdfu.inf DESTINATION ${OSTDFU_INSTALL_DRIVERDIR})
# ---- Hook for the driver image -------------------------------------------------------------
# Where the build makes the image (target ostdfu_image), it goes beside the INF as ostdfu.sys.
# The file is the target's OSTDFU_IMAGE_FILE property when the target sets it (a custom target
# has no TARGET_FILE), otherwise the target's own file.
if(TARGET ostdfu_image)
    get_target_property(_ostdfu_image ostdfu_image OSTDFU_IMAGE_FILE)
    if(NOT _ostdfu_image)
        set(_ostdfu_image "$<TARGET_FILE:ostdfu_image>")
    endif()
    install(FILES "${_ostdfu_image}" DESTINATION ${OSTDFU_INSTALL_DRIVERDIR} RENAME ostdfu.sys)
endif()
# ---------------------------------------------------------------------------------------------

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.md")
