# What `cmake --install` and `cpack -G DEB` deliver: the five programs,
# their manual pages, the udev rule that lets the technician reach the
# panel, the service bench's unit, configuration and user, and its view's
# units and user (all installed disabled).
include(GNUInstallDirs)

install(TARGETS lang_loader panel_flasher panel_readback panel_tool panel_view
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/lang_loader.1 ${PROJECT_SOURCE_DIR}/man/panel_flasher.1
        ${PROJECT_SOURCE_DIR}/man/panel_readback.1 ${PROJECT_SOURCE_DIR}/man/panel_tool.1
        ${PROJECT_SOURCE_DIR}/man/panel_view.1
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

# The service bench as a system service: the unit (installed disabled),
# its configuration and its system user. The unit names the programs and
# the configuration where this install puts them, which is known only at
# install time: with prefix /usr (the .deb) the unit goes to systemd's
# own folder and the configuration to /etc; under any other prefix both
# go below it (systemd reads units from /usr/local/lib/systemd/system).
pkg_get_variable(PANEL_SYSTEMD_UNIT_DIR systemd systemdsystemunitdir)
pkg_get_variable(PANEL_SYSUSERS_DIR systemd sysusersdir)
if(NOT PANEL_SYSTEMD_UNIT_DIR)
  set(PANEL_SYSTEMD_UNIT_DIR "/lib/systemd/system")
endif()
if(NOT PANEL_SYSUSERS_DIR)
  set(PANEL_SYSUSERS_DIR "/usr/lib/sysusers.d")
endif()
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(panel_unit_dir \"${PANEL_SYSTEMD_UNIT_DIR}\")
    set(panel_sysusers_dir \"${PANEL_SYSUSERS_DIR}\")
    set(panel_etc \"/etc\")
  else()
    set(panel_unit_dir \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
    set(panel_sysusers_dir \"\${CMAKE_INSTALL_PREFIX}/lib/sysusers.d\")
    set(panel_etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
  endif()
  # Written where whoever installs may write, then installed from there.
  string(RANDOM LENGTH 12 panel_random)
  set(panel_tmp \"\$ENV{TMPDIR}\")
  if(NOT panel_tmp)
    set(panel_tmp /tmp)
  endif()
  foreach(panel_unit_name panel-bench.service panel-view.service panel-view.socket)
    file(READ \"${PROJECT_SOURCE_DIR}/packaging/\${panel_unit_name}\" panel_unit)
    string(REPLACE \"/usr/bin/\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\" panel_unit \"\${panel_unit}\")
    string(REPLACE \"/etc/panel-service-tools/\" \"\${panel_etc}/panel-service-tools/\" panel_unit \"\${panel_unit}\")
    set(panel_unit_file \"\${panel_tmp}/panel-units-\${panel_random}/\${panel_unit_name}\")
    file(WRITE \"\${panel_unit_file}\" \"\${panel_unit}\")
    file(INSTALL DESTINATION \"\${panel_unit_dir}\" TYPE FILE FILES \"\${panel_unit_file}\")
  endforeach()
  # The configuration names the folder of trusted keys where this install
  # puts it: empty, for the shop's keys (root's alone to change).
  file(READ \"${PROJECT_SOURCE_DIR}/packaging/bench.conf\" panel_conf)
  string(REPLACE \"/etc/panel-service-tools/\" \"\${panel_etc}/panel-service-tools/\" panel_conf \"\${panel_conf}\")
  file(WRITE \"\${panel_tmp}/panel-units-\${panel_random}/bench.conf\" \"\${panel_conf}\")
  file(MAKE_DIRECTORY \"\${panel_tmp}/panel-units-\${panel_random}/trusted-keys\")
  file(INSTALL DESTINATION \"\${panel_etc}/panel-service-tools\" TYPE FILE
       FILES \"\${panel_tmp}/panel-units-\${panel_random}/bench.conf\")
  file(INSTALL DESTINATION \"\${panel_etc}/panel-service-tools\" TYPE DIRECTORY
       FILES \"\${panel_tmp}/panel-units-\${panel_random}/trusted-keys\"
       DIR_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  file(REMOVE_RECURSE \"\${panel_tmp}/panel-units-\${panel_random}\")
  file(INSTALL DESTINATION \"\${panel_sysusers_dir}\" TYPE FILE
       FILES \"${PROJECT_SOURCE_DIR}/packaging/panel-service-tools.sysusers\" RENAME panel-service-tools.conf)
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
    "${PROJECT_SOURCE_DIR}/packaging/postinst;${PROJECT_SOURCE_DIR}/packaging/postrm;${PROJECT_SOURCE_DIR}/packaging/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
