# Installation layout, Debian's hardening flags, and the two Debian packages
# (on Windows: the zip of WindowsZip.cmake).
#
# Package velmora (component daemon), the responder:
#   <prefix>/sbin/velmora, <prefix>/sbin/velmoractl, man8/velmora.8.gz, velmoractl.8.gz,
#   man5/Velmora.xml.5.gz
#   /etc/velmora/Velmora.xml, /etc/velmora/port.conf     settings (conffiles)
#   /var/lib/velmora/Velmora                             the daemon's working directory
#   /var/lib/velmora/Velmora/log -> /var/log/velmora     its log folder
#   /var/lib/velmora/nginx/conf/port.conf -> /etc/velmora/port.conf
#   /lib/systemd/system/velmora.service, velmora-metrics.service and .timer (disabled),
#   /usr/lib/sysusers.d/velmora.conf, /usr/lib/tmpfiles.d/velmora.conf,
#   <prefix>/share/bash-completion/completions/velmoractl
# Package velmora-search (component search), the client alone:
#   <prefix>/bin/velmora-search, man1/velmora-search.1.gz, its bash completion
# Each has /usr/share/doc/<package>/copyright and changelog.gz.
#
# The system paths are absolute on purpose: the unit names them. Install with
# the prefix /usr (`cmake --install build --prefix /usr`, or the packages).

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/WindowsZip.cmake)
  return()
endif()

set(VELMORA_PKG_DIR ${PROJECT_SOURCE_DIR}/packaging)

# Debian's hardening (dpkg-buildflags with every feature: fortify, stack
# protector, relro and bindnow) for optimised builds; fortify needs -O, so
# Debug, sanitizer and fuzz builds keep their own flags.
option(VELMORA_HARDENING "Optimised builds use dpkg-buildflags' hardening flags" ON)
find_program(VELMORA_DPKG_BUILDFLAGS dpkg-buildflags)
if(VELMORA_HARDENING AND VELMORA_DPKG_BUILDFLAGS AND NOT VELMORA_SANITIZE AND NOT VELMORA_FUZZ)
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                            ${VELMORA_DPKG_BUILDFLAGS} --get ${kind}
                    OUTPUT_VARIABLE _flags OUTPUT_STRIP_TRAILING_WHITESPACE)
    separate_arguments(_flags UNIX_COMMAND "${_flags}")
    # The build type decides -O and -g; the version banner carries the build
    # date by design, so -Wdate-time stays off.
    list(FILTER _flags EXCLUDE REGEX "^-O|^-g$|prefix-map=|^-Wdate-time$")
    set(_hardening_${kind} ${_flags})
  endforeach()
  set(_optimised "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>")
  target_compile_options(project_options INTERFACE
      "$<${_optimised}:${_hardening_CPPFLAGS};${_hardening_CXXFLAGS}>")
  target_link_options(project_options INTERFACE "$<${_optimised}:${_hardening_LDFLAGS}>")
endif()

# Man pages and changelog, compressed as Debian wants them.
set(_gz_dir ${CMAKE_BINARY_DIR}/packaging)
set(_gz_files)
foreach(src man/velmora.8 man/velmoractl.8 man/Velmora.xml.5 man/velmora-search.1
        debian/changelog)
  get_filename_component(_name ${src} NAME)
  add_custom_command(OUTPUT ${_gz_dir}/${_name}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${VELMORA_PKG_DIR}/${src} ${_gz_dir}/${_name}
      COMMAND gzip -9nf ${_gz_dir}/${_name}
      DEPENDS ${VELMORA_PKG_DIR}/${src} VERBATIM)
  list(APPEND _gz_files ${_gz_dir}/${_name}.gz)
endforeach()
add_custom_target(packaging_files ALL DEPENDS ${_gz_files})

install(TARGETS velmora velmoractl RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT daemon)
install(FILES ${_gz_dir}/velmora.8.gz ${_gz_dir}/velmoractl.8.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT daemon)
install(FILES ${_gz_dir}/Velmora.xml.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5
        COMPONENT daemon)
install(FILES ${VELMORA_PKG_DIR}/Velmora.xml ${VELMORA_PKG_DIR}/port.conf
        DESTINATION /etc/velmora COMPONENT daemon
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(DIRECTORY DESTINATION /var/lib/velmora/Velmora COMPONENT daemon)
install(CODE [[
  file(MAKE_DIRECTORY "$ENV{DESTDIR}/var/lib/velmora/Velmora" "$ENV{DESTDIR}/var/lib/velmora/nginx/conf")
  file(CREATE_LINK ../../../log/velmora "$ENV{DESTDIR}/var/lib/velmora/Velmora/log" SYMBOLIC)
  file(CREATE_LINK /etc/velmora/port.conf "$ENV{DESTDIR}/var/lib/velmora/nginx/conf/port.conf" SYMBOLIC)
]] COMPONENT daemon)
install(FILES ${VELMORA_PKG_DIR}/velmora.service ${VELMORA_PKG_DIR}/velmora-metrics.service
              ${VELMORA_PKG_DIR}/velmora-metrics.timer
        DESTINATION /lib/systemd/system COMPONENT daemon)
install(FILES ${VELMORA_PKG_DIR}/velmora.sysusers DESTINATION /usr/lib/sysusers.d
        RENAME velmora.conf COMPONENT daemon)
install(FILES ${VELMORA_PKG_DIR}/velmora.tmpfiles DESTINATION /usr/lib/tmpfiles.d
        RENAME velmora.conf COMPONENT daemon)

install(FILES ${VELMORA_PKG_DIR}/bash-completion/velmoractl
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT daemon)

install(TARGETS velmora-search RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT search)
install(FILES ${VELMORA_PKG_DIR}/bash-completion/velmora-search
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT search)
install(FILES ${_gz_dir}/velmora-search.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT search)

foreach(component daemon search)
  set(_package velmora)
  if(component STREQUAL "search")
    set(_package velmora-search)
  endif()
  install(FILES ${VELMORA_PKG_DIR}/debian/copyright ${_gz_dir}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "velmora")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Velmora project")
set(CPACK_PACKAGE_CONTACT "Velmora maintainers <maintainers@velmora.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon search)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE "velmora")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velmora.invalid/")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME "velmora")
# string(CONCAT): the parts joined as they are, so a ";" in the text stays.
string(CONCAT CPACK_DEBIAN_DAEMON_DESCRIPTION
    "LAN discovery responder\n"
    "Velmora answers discovery requests (a JSON form and a binary form) sent over\n"
    "UDP to the multicast group 239.255.255.251 or to the host, once per network\n"
    "adapter, so that clients on the local network find the host and its web\n"
    "front end. It runs as a systemd service; velmoractl shows its status,\n"
    "passes it commands and checks its settings.")
set(CPACK_DEBIAN_DAEMON_PACKAGE_SUGGESTS "velmora-search, prometheus-node-exporter")
# What the maintainer scripts call: useradd, userdel, groupdel (passwd) and
# deb-systemd-helper (init-system-helpers); the libraries come from shlibdeps.
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS "passwd, init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
    ${VELMORA_PKG_DIR}/debian/conffiles ${VELMORA_PKG_DIR}/debian/postinst
    ${VELMORA_PKG_DIR}/debian/prerm ${VELMORA_PKG_DIR}/debian/postrm)

set(CPACK_DEBIAN_SEARCH_PACKAGE_NAME "velmora-search")
string(CONCAT CPACK_DEBIAN_SEARCH_DESCRIPTION
    "client that finds the Velmora responders on the local network\n"
    "velmora-search sends both forms of the discovery request to the multicast\n"
    "group or to chosen hosts and prints one row per responder and adapter, as\n"
    "a table or as JSON lines. It installs no responder.")

find_program(VELMORA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VELMORA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  string(APPEND CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS ", libc6, libstdc++6, libgcc-s1, "
         "libjsoncpp25, libpugixml1v5, libsystemd0")
  set(CPACK_DEBIAN_SEARCH_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libjsoncpp25")
endif()
set(CPACK_STRIP_FILES TRUE)
include(CPack)
