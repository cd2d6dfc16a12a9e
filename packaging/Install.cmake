# Installation layout and the Debian package (on Windows: WindowsZip.cmake).
#
#   <prefix>/sbin/velmora                 the daemon
#   <prefix>/bin/velmora-search           the discovery client
#   <prefix>/share/man/man8/velmora.8, man1/velmora-search.1
#   /etc/velmora/Velmora.xml              the settings (a conffile)
#   /var/lib/velmora/Velmora              the daemon's working directory
#   /lib/systemd/system/velmora.service   the unit
#   /usr/lib/sysusers.d/velmora.conf      its system user
#
# The system paths are absolute on purpose: the unit names them. Install with
# the prefix /usr (`cmake --install build --prefix /usr`, or the package).

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/WindowsZip.cmake)
  return()
endif()

set(VELMORA_PKG_DIR ${PROJECT_SOURCE_DIR}/packaging)

install(TARGETS velmora RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS velmora-search RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${VELMORA_PKG_DIR}/man/velmora.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${VELMORA_PKG_DIR}/man/velmora-search.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/demo/Velmora/Velmora.xml DESTINATION /etc/velmora
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(DIRECTORY DESTINATION /var/lib/velmora/Velmora)
install(FILES ${VELMORA_PKG_DIR}/velmora.service DESTINATION /lib/systemd/system)
install(FILES ${VELMORA_PKG_DIR}/velmora.sysusers DESTINATION /usr/lib/sysusers.d
        RENAME velmora.conf)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "velmora")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Velmora project")
set(CPACK_PACKAGE_CONTACT "Velmora maintainers <maintainers@velmora.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "LAN discovery responder and its search client")
set(CPACK_PACKAGE_DESCRIPTION
    "Velmora answers discovery requests (a JSON form and a binary form) sent over\n"
    "UDP to the multicast group 239.255.255.251 or to the host, once per network\n"
    "adapter, so that clients on the local network can find the host and its web\n"
    "front end. velmora-search is the matching client.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velmora.invalid/")
find_program(VELMORA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VELMORA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6, libstdc++6, libgcc-s1, libjsoncpp25, libpugixml1v5, libspdlog1.10, libfmt9")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${VELMORA_PKG_DIR}/debian/conffiles ${VELMORA_PKG_DIR}/debian/postinst
    ${VELMORA_PKG_DIR}/debian/prerm ${VELMORA_PKG_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
