# What `cmake --install` puts under the prefix, and the Debian package CPack
# builds from it. Only the programs and their data go in: no libraries,
# headers, tests or benchmarks.
#
# The programs find their sounds at ../share/qur-wtalkie/sounds from their own
# bin/ folder, so these folders are fixed rather than taken from
# GNUInstallDirs: a distribution that moved one would break that lookup.
set(QUR_INSTALL_BINDIR bin)
set(QUR_INSTALL_DATADIR share)

set(_qur_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(_qur_man_dir ${CMAKE_BINARY_DIR}/man)

# Manual pages carry the project version and are shipped gzip-compressed, as
# Debian installs them. gzip -n leaves the time stamp out, so a rebuild gives
# an identical package.
function(qur_man_page page)
  configure_file(${_qur_packaging}/${page}.in ${_qur_man_dir}/${page} @ONLY)
  add_custom_command(
    OUTPUT ${_qur_man_dir}/${page}.gz
    COMMAND gzip -9 -n -k -f ${_qur_man_dir}/${page}
    DEPENDS ${_qur_man_dir}/${page}
    COMMENT "Compressing the manual page ${page}")
  add_custom_target(qur_man_${page} ALL DEPENDS ${_qur_man_dir}/${page}.gz)
  install(FILES ${_qur_man_dir}/${page}.gz DESTINATION ${QUR_INSTALL_DATADIR}/man/man1)
endfunction()

if(TARGET qur-wtalkie-cli)
  install(TARGETS qur-wtalkie-cli RUNTIME DESTINATION ${QUR_INSTALL_BINDIR})
  qur_man_page(qur-wtalkie-cli.1)
endif()

# The window, its menu entry and icon come with the Qt program; without it
# a menu entry would start nothing.
if(TARGET qur-wtalkie)
  target_link_libraries(qur-wtalkie PRIVATE qur::version)
  install(TARGETS qur-wtalkie RUNTIME DESTINATION ${QUR_INSTALL_BINDIR})
  qur_man_page(qur-wtalkie.1)
  install(FILES ${_qur_packaging}/qur-wtalkie.desktop
          DESTINATION ${QUR_INSTALL_DATADIR}/applications)
  install(FILES ${_qur_packaging}/qur-wtalkie.svg
          DESTINATION ${QUR_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${QUR_INSTALL_DATADIR}/doc/qur-wtalkie
        RENAME copyright)

# Debian package: qur-wtalkie_<version>_<arch>.deb in the build folder.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qur-wtalkie)
set(CPACK_PACKAGE_VENDOR "qur-wtalkie developers")
set(CPACK_PACKAGE_CONTACT "qur-wtalkie developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "push-to-talk voice with computers nearby")
if(TARGET qur-wtalkie)
  set(_qur_programs "Contains the desktop program qur-wtalkie and the command-line\nprogram qur-wtalkie-cli.")
else()
  set(_qur_programs "Contains the command-line program qur-wtalkie-cli.")
endif()
set(CPACK_PACKAGE_DESCRIPTION
    "Devices on one network find each other over mDNS/DNS-SD, one invites\n"
    "another, and while a user holds the talk button (or Space) the\n"
    "microphone goes out as Opus to every connected peer, who hears a start\n"
    "beep, the voice and an end beep.\n"
    "${_qur_programs}")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Runtime libraries come from what the programs link, through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# PortAudio reaches the desktop's sound server through ALSA's pulse plugin
# (PulseAudio and PipeWire alike).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libasound2-plugins)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# `package_source`: the sources without build trees or version control.
set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git" "/build/" "/build-[^/]*/")
include(CPack)
