# Install rules and the Debian package (CPack, `make package`).
#
# Layout: the agent in /usr/sbin (a daemon started by systemd, matching the unit's ExecStart),
# the tools in /usr/bin, the unit in /lib/systemd/system, the example profile under
# /usr/share/doc/orv-agent/examples. The programs are built by other folders, some of them later
# than this file is read, so their install rules are added once the whole tree is configured; a
# program that does not exist then is left out of the package with a status line.

include(GNUInstallDirs)

set(ORV_PACKAGE_NAME orv-agent)
set(ORV_AGENT_PROGRAM oborvagent)
set(ORV_TOOL_PROGRAMS orv-collect orv-vpnstate orv-context orv-flowgen)
set(ORV_UNIT_FILE ${PROJECT_SOURCE_DIR}/packaging/oborvagent.service)

function(orv_install_program target destination)
  if(TARGET ${target})
    install(TARGETS ${target} RUNTIME DESTINATION ${destination})
  else()
    message(STATUS "Package: ${target} is not built here and is left out")
  endif()
endfunction()

function(orv_install_programs)
  orv_install_program(${ORV_AGENT_PROGRAM} ${CMAKE_INSTALL_SBINDIR})
  foreach(tool ${ORV_TOOL_PROGRAMS})
    orv_install_program(${tool} ${CMAKE_INSTALL_BINDIR})
  endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL orv_install_programs)

install(FILES ${ORV_UNIT_FILE} DESTINATION /lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/ORV_ServiceProfile.xml
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ORV_PACKAGE_NAME}/examples
       )

# Maintainer scripts: reload systemd, enable and start on first install, restart on upgrade,
# stop and disable on removal, and on purge remove the agent's own data (the Varno directories
# above it may belong to other modules). Nothing happens where systemd is not running.
set(ORV_SCRIPT_DIR ${CMAKE_BINARY_DIR}/packaging/debian)
file(CONFIGURE OUTPUT ${ORV_SCRIPT_DIR}/postinst CONTENT [[#!/bin/sh
set -e
if [ "$1" = configure ] && [ -d /run/systemd/system ]; then
  systemctl daemon-reload || true
  if [ -z "$2" ]; then
    systemctl enable --now oborvagent.service || true
  else
    systemctl try-restart oborvagent.service || true
  fi
fi
]])
file(CONFIGURE OUTPUT ${ORV_SCRIPT_DIR}/prerm CONTENT [[#!/bin/sh
set -e
if [ "$1" = remove ] && [ -d /run/systemd/system ]; then
  systemctl disable --now oborvagent.service || true
fi
]])
file(CONFIGURE OUTPUT ${ORV_SCRIPT_DIR}/postrm CONTENT [[#!/bin/sh
set -e
if [ "$1" = purge ]; then
  rm -rf "/var/lib/Varno/Varno Ombrix Suite/ORV"
fi
if [ -d /run/systemd/system ]; then
  systemctl daemon-reload || true
fi
]])

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ORV_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ORV endpoint network flow monitor")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "The ORV agent records every TCP and UDP flow of the endpoint with its\n"
    "process, user and interface, filters the records by a service profile and\n"
    "exports them as IPFIX. Flows seen on untrusted networks are cached, encrypted,\n"
    "until export is allowed again. Includes the orv-collect collector and the\n"
    "orv-vpnstate, orv-context and orv-flowgen tools.")
set(CPACK_PACKAGE_CONTACT "ORV agent maintainers <orv-agent@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.36), libstdc++6 (>= 12), libsqlite3-0, libssl3, libexpat1, libsystemd0")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${ORV_SCRIPT_DIR}/postinst ${ORV_SCRIPT_DIR}/prerm ${ORV_SCRIPT_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
