# What `cmake --install` and `cpack -G DEB` deliver: the two programs, their
# manual pages and the udev rule that lets the logged-in user reach the panel.
include(GNUInstallDirs)

install(TARGETS lang_loader panel_flasher RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/lang_loader.1 ${PROJECT_SOURCE_DIR}/man/panel_flasher.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# udev reads its rules only from its own directory, whatever the prefix: ask
# udev where that is. Without udev's pkg-config file the rule goes below the
# prefix (a relative path), which is also where a package puts it.
pkg_get_variable(PANEL_UDEVDIR udev udevdir)
if(PANEL_UDEVDIR)
  set(PANEL_UDEV_RULES_DEFAULT "${PANEL_UDEVDIR}/rules.d")
else()
  set(PANEL_UDEV_RULES_DEFAULT "lib/udev/rules.d")
endif()
set(PANEL_UDEV_RULES_DIR "${PANEL_UDEV_RULES_DEFAULT}" CACHE PATH
    "Where the panel's udev rule is installed (relative paths are below the prefix)")
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-panel-service-tools.rules
        DESTINATION ${PANEL_UDEV_RULES_DIR})

set(CPACK_PACKAGE_NAME "panel-service-tools")
set(CPACK_PACKAGE_VENDOR "Panel service team")
set(CPACK_PACKAGE_CONTACT "Panel service team <panel-service@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Write language files and firmware into the panel through its USB bootloader")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/postinst;${PROJECT_SOURCE_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
