# Install rules and the Debian package.
#
# `cmake --install build --prefix /usr` (or the .deb from `cpack -G DEB` in
# the build directory) puts the program where the systemd unit, the man page
# and the shell completion expect it:
#   /usr/sbin/quorlane-backup, quorlane-restore, quorlane-sync
#   /usr/share/man/man8/quorlane-backup.8.gz (and the others')
#   /usr/lib/systemd/system/quorlane-backup@.service and @.timer,
#     quorlane-sync@.service and @.timer
#   /usr/share/bash-completion/completions/quorlane-backup (and the others')
#   /usr/share/doc/quorlane-backup/changelog.gz and copyright
#   /etc/logrotate.d/quorlane-backup
include(GNUInstallDirs)

get_filename_component(QUORLANE_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging ABSOLUTE)

set(QUORLANE_PROGRAMS quorlane-backup quorlane-restore quorlane-sync)
install(TARGETS ${QUORLANE_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

# Debian installs manual pages and the changelog compressed; -n keeps the
# gzip header free of names and times, so the package builds the same twice.
find_program(QUORLANE_GZIP gzip REQUIRED)
function(quorlane_gzip source output)
  add_custom_command(OUTPUT ${output}
                     COMMAND ${QUORLANE_GZIP} -9 -n -c ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
endfunction()
set(QUORLANE_COMPRESSED)
foreach(program ${QUORLANE_PROGRAMS})
  quorlane_gzip(${QUORLANE_PACKAGING_DIR}/${program}.8 ${CMAKE_CURRENT_BINARY_DIR}/${program}.8.gz)
  list(APPEND QUORLANE_COMPRESSED ${CMAKE_CURRENT_BINARY_DIR}/${program}.8.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${program}.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES ${QUORLANE_PACKAGING_DIR}/${program}.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
          RENAME ${program})
endforeach()
quorlane_gzip(${QUORLANE_PACKAGING_DIR}/deb/changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
list(APPEND QUORLANE_COMPRESSED ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_target(quorlane_compressed ALL DEPENDS ${QUORLANE_COMPRESSED})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz ${QUORLANE_PACKAGING_DIR}/deb/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorlane-backup)
install(FILES ${QUORLANE_PACKAGING_DIR}/quorlane-backup@.service
              ${QUORLANE_PACKAGING_DIR}/quorlane-backup@.timer
              ${QUORLANE_PACKAGING_DIR}/quorlane-sync@.service
              ${QUORLANE_PACKAGING_DIR}/quorlane-sync@.timer
        DESTINATION lib/systemd/system)
# The logrotate rule is a configuration file: /etc for the /usr prefix (the
# package), <prefix>/etc otherwise. Decided when installing, not when
# configuring, so that `cmake --install build --prefix /tmp/x` stays inside
# /tmp/x instead of writing the host's /etc. DESTDIR applies as usual.
set(QUORLANE_LOGROTATE_INSTALL [[
  set(_quorlane_etc "${CMAKE_INSTALL_PREFIX}/etc")
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(_quorlane_etc "/etc")
  endif()
  file(INSTALL DESTINATION "${_quorlane_etc}/logrotate.d" TYPE FILE
       RENAME quorlane-backup
       FILES "@QUORLANE_PACKAGING_DIR@/quorlane-backup.logrotate")
]])
string(CONFIGURE "${QUORLANE_LOGROTATE_INSTALL}" QUORLANE_LOGROTATE_INSTALL @ONLY)
install(CODE "${QUORLANE_LOGROTATE_INSTALL}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorlane-backup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "quorlane-backup maintainers <maintainers@quorlane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Back up one libvirt/KVM VM per run, copy the backups offsite, restore them")
set(CPACK_PACKAGE_DESCRIPTION
    "quorlane-backup backs up a single libvirt/KVM virtual machine per run: it
takes an external disk-only snapshot, copies every disk into a thin
zstd-compressed qcow2 file together with the VM definition and its UEFI
NVRAM, merges the snapshot back and keeps the newest N backups. A systemd
timer template runs it daily per VM. quorlane-restore lists those backups,
checks that every image reads back whole, and restores one in place or
beside the original as a new VM, or live. quorlane-sync copies the backups
to any remote that rclone reaches, verified, and brings them back.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_NAME quorlane-backup)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libvirt-clients, qemu-utils")
# quorlane-sync hands its transfers to rclone; the backups work without it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "rclone")
# The versioned C and C++ runtime dependencies come from dpkg-shlibdeps, which
# CPack drives through the `file` utility; without the two, name the runtime
# libraries unversioned rather than fail.
find_program(QUORLANE_FILE_UTILITY file)
find_program(QUORLANE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QUORLANE_FILE_UTILITY AND QUORLANE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libc6, libgcc-s1, libstdc++6, libxml2")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
# dpkg keeps an operator's edits of the logrotate rule on upgrade; the
# maintainer scripts reload systemd so that the unit templates are seen.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/deb-control/conffiles "/etc/logrotate.d/quorlane-backup\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/deb-control/conffiles
    ${QUORLANE_PACKAGING_DIR}/deb/postinst
    ${QUORLANE_PACKAGING_DIR}/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
find_program(QUORLANE_DPKG dpkg)
if(QUORLANE_DPKG)
  execute_process(COMMAND ${QUORLANE_DPKG} --print-architecture
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
include(CPack)
