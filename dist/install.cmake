# What `cmake --install` puts in place, and the two Debian packages CPack makes of it:
# gatewarden-headless (component headless: the relay, its service and settings, no Qt) and
# gatewarden (component desktop: the desktop program, its entry and icons).
include(GNUInstallDirs)

install(TARGETS gatewarden-headless RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT headless)
install(TARGETS gatewarden RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT desktop)
install(FILES dist/gatewarden.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT desktop)
install(DIRECTORY data/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons COMPONENT desktop)

# Manual pages and the Debian changelog go compressed, as Debian installs them; gzip -n
# leaves out the time, so the same text makes the same bytes. Made again whenever CMake
# runs, which an edit of any of them triggers.
set(gw_dist_out ${CMAKE_CURRENT_BINARY_DIR}/dist)
file(MAKE_DIRECTORY ${gw_dist_out})
# The README and the fast path's design go with the relay, compressed as Debian keeps
# documentation: the settings file and the unit point to them.
foreach(text dist/gatewarden.1 dist/gatewarden-headless.1 dist/changelog README.md docs/fastpath.md)
  get_filename_component(name ${text} NAME)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${text})
  execute_process(COMMAND gzip -9 -n -c ${CMAKE_CURRENT_SOURCE_DIR}/${text}
                  OUTPUT_FILE ${gw_dist_out}/${name}.gz COMMAND_ERROR_IS_FATAL ANY)
endforeach()
install(FILES ${gw_dist_out}/README.md.gz ${gw_dist_out}/fastpath.md.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/gatewarden-headless COMPONENT headless)
# For Prometheus and Grafana, to copy from: small, and read as they are.
install(FILES dist/gatewarden-alerts.yml dist/gatewarden-dashboard.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/gatewarden-headless/examples COMPONENT headless)
install(FILES ${gw_dist_out}/gatewarden-headless.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT headless)
install(FILES ${gw_dist_out}/gatewarden.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desktop)
foreach(pair "headless;gatewarden-headless" "desktop;gatewarden")
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES dist/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  install(FILES dist/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME ${package} COMPONENT ${component})
  install(FILES ${gw_dist_out}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
          RENAME changelog.Debian.gz COMPONENT ${component})
endforeach()

# The service runs the installed program on the system's settings file, which is installed
# with it: /etc and /lib/systemd/system with the prefix /usr (as Debian 12 keeps units), below
# the prefix otherwise. The paths are those of the prefix in effect when installing, which
# for a package (CPack) is /usr whatever the build was configured with.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(GW_SERVICE_CONFIG_DIR /etc/gatewarden)
    set(GW_SERVICE_UNIT_DIR /lib/systemd/system)
  else()
    set(GW_SERVICE_CONFIG_DIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SYSCONFDIR}/gatewarden\")
    set(GW_SERVICE_UNIT_DIR \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  endif()
  set(GW_SERVICE_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/gatewarden-headless\")
  set(GW_SERVICE_SETTINGS \"\${GW_SERVICE_CONFIG_DIR}/gatewarden.ini\")
  set(GW_SERVICE_DOC \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/doc/gatewarden-headless\")
  configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/dist/gatewarden.service.in\" \"${gw_dist_out}/gatewarden.service\" @ONLY)
  # file(INSTALL) puts DESTDIR, where a package is staged, before these absolute paths.
  file(INSTALL \"${gw_dist_out}/gatewarden.service\" DESTINATION \"\${GW_SERVICE_UNIT_DIR}\")
  file(INSTALL \"${CMAKE_CURRENT_SOURCE_DIR}/dist/gatewarden.ini\" DESTINATION \"\${GW_SERVICE_CONFIG_DIR}\")
" COMPONENT headless)

set(CPACK_PACKAGE_NAME gatewarden)
set(CPACK_PACKAGE_VENDOR "Gatewarden")
set(CPACK_PACKAGE_CONTACT "Gatewarden maintainers <maintainers@gatewarden.invalid>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY gatewarden)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL headless desktop)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The Debian revision: the packaging's own count for this upstream version.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_HEADLESS_PACKAGE_NAME gatewarden-headless)
set(CPACK_DEBIAN_HEADLESS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_HEADLESS_DESCRIPTION "UDP relay for Unreal Tournament game servers, as a service
Gatewarden relays UDP game traffic for Unreal Tournament servers through
static tunnels, and through temporary tunnels made over a password-protected
remote control. This package holds the relay without a window and its
systemd service, which reads /etc/gatewarden/gatewarden.ini. As installed,
the service runs and serves nothing until tunnels are added there.")
set(CPACK_DEBIAN_HEADLESS_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/postinst ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/postrm ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/conffiles)

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME gatewarden)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION net)
set(CPACK_DEBIAN_DESKTOP_DESCRIPTION "UDP relay for Unreal Tournament game servers, with a window
Gatewarden relays UDP game traffic for Unreal Tournament servers through
static tunnels, and through temporary tunnels made over a password-protected
remote control. This package holds the desktop program, which lists the
tunnels and their clients, shows the log and lives in the system tray.")
include(CPack)
