# Install rules and the Debian package (CPack, `make package`).
#
# Layout: the agent in /usr/sbin (a daemon started by systemd, matching the unit's ExecStart),
# the tools in /usr/bin, the unit in /lib/systemd/system, the example profile under
# /usr/share/doc/orv-agent/examples, the collectors' element definitions under
# /usr/share/orv-agent/ipfix, manual pages in sections 8 (the agent) and 1 (the tools). The programs are built by other folders, some of them later
# than this file is read, so their install rules are added once the whole tree is configured; a
# program that does not exist then is left out of the package with a status line.

include(GNUInstallDirs)

# Directories in the package are 0755 whatever the umask of whoever builds it: the install
# step's own directories by default permissions, the parents it creates through the umask
# by a script that cpack runs on the staged tree.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/cpack-directory-modes.cmake)
set(ORV_FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

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

install(FILES ${ORV_UNIT_FILE} DESTINATION /lib/systemd/system PERMISSIONS ${ORV_FILE_PERMISSIONS})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/ORV_ServiceProfile.xml
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ORV_PACKAGE_NAME}/examples
        PERMISSIONS ${ORV_FILE_PERMISSIONS})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ORV_PACKAGE_NAME}
        PERMISSIONS ${ORV_FILE_PERMISSIONS})
file(GLOB ORV_IPFIX_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/ipfix/*)
install(FILES ${ORV_IPFIX_FILES} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/${ORV_PACKAGE_NAME}/ipfix
        PERMISSIONS ${ORV_FILE_PERMISSIONS})

# Manual pages, compressed as Debian ships them (-n: no time stamp, so builds are reproducible).
file(GLOB ORV_MAN_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/man/*.[18])
foreach(page ${ORV_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([18])$" "\\1" section ${name})
  set(compressed ${CMAKE_BINARY_DIR}/packaging/man/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/man
                     COMMAND gzip -9nc ${page} > ${compressed}
                     DEPENDS ${page} VERBATIM)
  list(APPEND ORV_COMPRESSED_MAN_PAGES ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
          PERMISSIONS ${ORV_FILE_PERMISSIONS})
endforeach()
add_custom_target(orv_man_pages ALL DEPENDS ${ORV_COMPRESSED_MAN_PAGES})

# Maintainer scripts (packaging/debian): enable on install, also without a running systemd, and
# keep that across remove and reinstall; start, or restart on upgrade, where systemd runs; on
# purge remove what the agent created.
set(ORV_SCRIPT_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)

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
    "libc6 (>= 2.36), libstdc++6 (>= 12), libsqlite3-0, libssl3, libexpat1, libsystemd0, libbpf1, init-system-helpers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${ORV_SCRIPT_DIR}/postinst ${ORV_SCRIPT_DIR}/prerm ${ORV_SCRIPT_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
