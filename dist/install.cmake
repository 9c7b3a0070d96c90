# What `cmake --install` puts in place, and the Debian package CPack makes of it.
include(GNUInstallDirs)

install(TARGETS gatewarden gatewarden-headless RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES dist/gatewarden.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(DIRECTORY data/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
install(FILES dist/gatewarden.1 dist/gatewarden-headless.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES dist/gatewarden.ini DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/gatewarden)

# The service runs the installed program on the system's settings file: /etc with the
# prefix /usr, below the prefix otherwise. The paths are those of the prefix in effect when
# installing, which for a package (CPack) is /usr whatever the build was configured with.
set(GW_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "Where the systemd unit goes, below the prefix")
install(CODE "
  set(GW_SERVICE_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/gatewarden-headless\")
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(GW_SERVICE_SETTINGS /etc/gatewarden/gatewarden.ini)
  else()
    set(GW_SERVICE_SETTINGS \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SYSCONFDIR}/gatewarden/gatewarden.ini\")
  endif()
  configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/dist/gatewarden.service.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/gatewarden.service\" @ONLY)
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gatewarden.service DESTINATION ${GW_SYSTEMD_UNIT_DIR})

set(CPACK_PACKAGE_NAME gatewarden)
set(CPACK_PACKAGE_VENDOR "Gatewarden")
set(CPACK_PACKAGE_CONTACT "Gatewarden maintainers <maintainers@gatewarden.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "UDP relay for Unreal Tournament game servers")
set(CPACK_PACKAGE_DESCRIPTION "Gatewarden relays UDP game traffic for Unreal Tournament servers through \
static tunnels and through temporary tunnels made over a password-protected remote control. It \
comes as a desktop program and as a service without a window (gatewarden.service, not enabled).")
set(CPACK_PACKAGE_INSTALL_DIRECTORY gatewarden)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
