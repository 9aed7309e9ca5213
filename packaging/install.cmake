# What `cmake --install` and `cpack -G DEB` deliver: the four programs,
# their manual pages and the udev rule that lets the technician reach the
# panel.
include(GNUInstallDirs)

install(TARGETS lang_loader panel_flasher panel_readback panel_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/lang_loader.1 ${PROJECT_SOURCE_DIR}/man/panel_flasher.1
        ${PROJECT_SOURCE_DIR}/man/panel_readback.1 ${PROJECT_SOURCE_DIR}/man/panel_tool.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# udev reads rules from /etc/udev/rules.d and from its own directory below
# /usr, never from below another prefix. So an install into /usr (and the
# .deb, whose prefix is /usr) puts the rule in udev's directory, and an
# install under any other prefix (/usr/local, /opt/...) puts it in
# /etc/udev/rules.d. A user who installs into a folder of their own (say
# ~/.local) cannot write there: the rule then goes below the prefix, in
# share/panel-service-tools, and the install says how to enable it as root;
# the install itself never fails for it. A staged install (DESTDIR) always
# gets the rule where udev reads it. The prefix is known only at install
# time (cmake --install --prefix), hence the install script. A non-empty
# PANEL_UDEV_RULES_DIR overrides all of this; a relative one is below the
# prefix.
pkg_get_variable(PANEL_UDEVDIR udev udevdir)
if(NOT PANEL_UDEVDIR)
  set(PANEL_UDEVDIR "/usr/lib/udev")
endif()
set(PANEL_UDEV_RULES_DIR "" CACHE PATH
    "Where the panel's udev rule is installed; empty: udev's directory for prefix /usr, else /etc/udev/rules.d")
set(PANEL_RULE_FILE 60-panel-service-tools.rules)
install(CODE "
  set(panel_rules_dir \"${PANEL_UDEV_RULES_DIR}\")
  set(panel_rule_enabled TRUE)
  if(panel_rules_dir AND NOT IS_ABSOLUTE \"\${panel_rules_dir}\")
    set(panel_rules_dir \"\${CMAKE_INSTALL_PREFIX}/\${panel_rules_dir}\")
  elseif(NOT panel_rules_dir AND CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(panel_rules_dir \"${PANEL_UDEVDIR}/rules.d\")
  elseif(NOT panel_rules_dir)
    set(panel_rules_dir \"/etc/udev/rules.d\")
    execute_process(COMMAND sh -c \"mkdir -p /etc/udev/rules.d 2>/dev/null; test -w /etc/udev/rules.d\"
                    RESULT_VARIABLE panel_etc_unwritable)
    if(\"\$ENV{DESTDIR}\" STREQUAL \"\" AND panel_etc_unwritable)
      set(panel_rules_dir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/panel-service-tools\")
      set(panel_rule_enabled FALSE)
    endif()
  endif()
  file(INSTALL DESTINATION \"\${panel_rules_dir}\" TYPE FILE
       FILES \"${PROJECT_SOURCE_DIR}/packaging/${PANEL_RULE_FILE}\")
  if(NOT panel_rule_enabled)
    message(\"The udev rule is not enabled (/etc/udev/rules.d is not writable); to let users reach the panel, run as root: install -m 644 \${panel_rules_dir}/${PANEL_RULE_FILE} /etc/udev/rules.d/ && udevadm control --reload-rules && udevadm trigger\")
  endif()
")

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
