# Install layout and the Debian package.
#
# The program keeps its own files in one folder, QUOR_INSTALL_DIR: the
# executables, the SRTP library it loads beside itself and Readme.txt (the
# Help button). It runs as the desktop user, whose settings and log are in
# the user's XDG folders. That folder, the modules-load entry and the
# firewalld service are absolute paths, read there whatever
# CMAKE_INSTALL_PREFIX is; the menu entry, icons, man page and command links
# go under the prefix.
#
#   cmake --install <build> [--prefix /usr]     install on this machine
#   cpack --config <build>/CPackConfig.cmake    build the .deb (prefix /usr)

# Without the tray application there is nothing to install for a desktop.
if(NOT TARGET KestrowQuorConnector)
  message(STATUS "Install rules and the Debian package need QUOR_BUILD_GUI=ON")
  return()
endif()

include(GNUInstallDirs)

set(QUOR_INSTALL_DIR "/opt/kestrow-quor" CACHE PATH
  "Folder of the installed program, its settings and its log")
# systemd and firewalld read these folders only, whatever the prefix.
set(QUOR_MODULES_LOAD_DIR "/usr/lib/modules-load.d" CACHE PATH
  "Folder of the kernel modules loaded at boot")
set(QUOR_FIREWALLD_SERVICES_DIR "/usr/lib/firewalld/services" CACHE PATH
  "Folder of firewalld's service definitions")
# polkit reads actions from this folder only, whatever the prefix.
set(QUOR_POLKIT_ACTIONS_DIR "/usr/share/polkit-1/actions" CACHE PATH
  "Folder of the polkit actions")
# systemd reads system units from here, whatever the prefix.
set(QUOR_SYSTEMD_UNIT_DIR "/usr/lib/systemd/system" CACHE PATH
  "Folder of the systemd system units")
set(QUOR_PACKAGE_NAME "kestrow-quor-connector")
set(QUOR_PROGRAM "${QUOR_INSTALL_DIR}/KestrowQuorConnector")

set(QUOR_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(QUOR_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)

# ---- the program's folder
set(QUOR_INSTALLED_PROGRAMS KestrowQuorConnector quor-console quor-phone-sim quor-host-sim)
foreach(exe ${QUOR_INSTALLED_PROGRAMS})
  install(TARGETS ${exe} RUNTIME DESTINATION ${QUOR_INSTALL_DIR})
endforeach()
install(TARGETS quor_srtp_kit LIBRARY DESTINATION ${QUOR_INSTALL_DIR})
install(FILES ${QUOR_PACKAGING_DIR}/Readme.txt DESTINATION ${QUOR_INSTALL_DIR})
# The Help button of a program run from the build folder finds it as well.
configure_file(${QUOR_PACKAGING_DIR}/Readme.txt ${CMAKE_BINARY_DIR}/Readme.txt COPYONLY)

# ---- commands on the PATH: links into the program's folder, which the
# programs find through /proc/self/exe, so Readme.txt and the SRTP library
# stay beside them. kestrow-quor-connector, the package's name, is the tray
# application too.
file(MAKE_DIRECTORY ${QUOR_PACKAGING_OUT}/bin)
foreach(name ${QUOR_INSTALLED_PROGRAMS})
  file(CREATE_LINK ${QUOR_INSTALL_DIR}/${name} ${QUOR_PACKAGING_OUT}/bin/${name} SYMBOLIC)
  install(FILES ${QUOR_PACKAGING_OUT}/bin/${name} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()
file(CREATE_LINK ${QUOR_PROGRAM} ${QUOR_PACKAGING_OUT}/bin/${QUOR_PACKAGE_NAME} SYMBOLIC)
install(FILES ${QUOR_PACKAGING_OUT}/bin/${QUOR_PACKAGE_NAME} DESTINATION ${CMAKE_INSTALL_BINDIR})

# ---- the kernel's virtual USB host, loaded at every boot, and the ports the
# phone reaches the program on, as a firewalld service an administrator can
# enable (the program opens them for the paired phone only while paired).
install(FILES ${QUOR_PACKAGING_DIR}/modules-load.conf DESTINATION ${QUOR_MODULES_LOAD_DIR}
  RENAME kestrow-quor.conf)
install(FILES ${QUOR_PACKAGING_DIR}/firewalld-service.xml DESTINATION ${QUOR_FIREWALLD_SERVICES_DIR}
  RENAME kestrow-quor.xml)

# ---- the privileged helper: started as root by systemd through its socket,
# which the package enables statically (a link in sockets.target.wants);
# polkit's action decides who may use it.
set(QUOR_HELPER_UNIT kestrow-quor-helper)
install(TARGETS quor-helper RUNTIME DESTINATION ${QUOR_INSTALL_DIR})
configure_file(${QUOR_PACKAGING_DIR}/${QUOR_HELPER_UNIT}.service.in
  ${QUOR_PACKAGING_OUT}/${QUOR_HELPER_UNIT}.service @ONLY)
install(FILES ${QUOR_PACKAGING_DIR}/${QUOR_HELPER_UNIT}.socket
  ${QUOR_PACKAGING_OUT}/${QUOR_HELPER_UNIT}.service DESTINATION ${QUOR_SYSTEMD_UNIT_DIR})
file(MAKE_DIRECTORY ${QUOR_PACKAGING_OUT}/sockets.target.wants)
file(CREATE_LINK ../${QUOR_HELPER_UNIT}.socket
  ${QUOR_PACKAGING_OUT}/sockets.target.wants/${QUOR_HELPER_UNIT}.socket SYMBOLIC)
install(FILES ${QUOR_PACKAGING_OUT}/sockets.target.wants/${QUOR_HELPER_UNIT}.socket
  DESTINATION ${QUOR_SYSTEMD_UNIT_DIR}/sockets.target.wants)
install(FILES ${QUOR_PACKAGING_DIR}/org.kestrow.quor.connector.helper.policy
  DESTINATION ${QUOR_POLKIT_ACTIONS_DIR})
foreach(script postinst prerm)
  configure_file(${QUOR_PACKAGING_DIR}/${script}.in ${QUOR_PACKAGING_OUT}/${script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
endforeach()

# ---- menu entry and icons. The entry runs the program itself, as the user.
file(READ ${CMAKE_SOURCE_DIR}/res/${QUOR_PACKAGE_NAME}.desktop QUOR_DESKTOP_ENTRY)
string(REGEX REPLACE "\nExec=[^\n]*" "\nExec=${QUOR_PROGRAM}" QUOR_DESKTOP_ENTRY
  "${QUOR_DESKTOP_ENTRY}")
file(WRITE ${QUOR_PACKAGING_OUT}/${QUOR_PACKAGE_NAME}.desktop "${QUOR_DESKTOP_ENTRY}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/res/${QUOR_PACKAGE_NAME}.desktop)
install(FILES ${QUOR_PACKAGING_OUT}/${QUOR_PACKAGE_NAME}.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

foreach(size 16 32 48)
  install(FILES ${CMAKE_SOURCE_DIR}/res/images/icon_128_${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
    RENAME ${QUOR_PACKAGE_NAME}.png)
endforeach()

# ---- manual page, compressed as Debian keeps them; the package's command
# leads to the same page.
set(QUOR_MAN_PAGE ${QUOR_PACKAGING_OUT}/KestrowQuorConnector.1.gz)
add_custom_command(OUTPUT ${QUOR_MAN_PAGE}
  COMMAND sh -c "gzip -9 -n -c \"$0\" > \"$1\"" ${QUOR_PACKAGING_DIR}/KestrowQuorConnector.1
    ${QUOR_MAN_PAGE}
  DEPENDS ${QUOR_PACKAGING_DIR}/KestrowQuorConnector.1
  VERBATIM)
add_custom_target(quor_man_page ALL DEPENDS ${QUOR_MAN_PAGE})
file(CREATE_LINK KestrowQuorConnector.1.gz ${QUOR_PACKAGING_OUT}/${QUOR_PACKAGE_NAME}.1.gz
  SYMBOLIC)
install(FILES ${QUOR_MAN_PAGE} ${QUOR_PACKAGING_OUT}/${QUOR_PACKAGE_NAME}.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# ---- the Debian package
foreach(script postinst postrm)
  configure_file(${QUOR_PACKAGING_DIR}/${script}.in ${QUOR_PACKAGING_OUT}/${script} @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${QUOR_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kestrow")
set(CPACK_PACKAGE_CONTACT "Kestrow support <support@kestrow.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Use a Kestrow Quor desk phone as this PC's USB telephone")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"A tray application that pairs with a networked Kestrow Quor desk phone and
makes it appear to the PC as a local USB telephone (speaker, microphone and
HID telephony interface) through the kernel's vhci_hcd driver. The PC's
softphone client signs the phone in, follows calls, and plays and records
call audio through the emulated device, while every action reaches the desk
phone over the network; call audio travels as SRTP.

Also installs quor-console (the connector without a desktop) and the
simulators quor-phone-sim and quor-host-sim for trying it without a phone.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kestrow.example/quor")
# Library dependencies come from the binaries when dpkg-shlibdeps is there
# (dpkg-dev); without it, the packages that Debian 12 builds them from.
find_program(QUOR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QUOR_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libstdc++6, libqt6core6, libqt6gui6, libqt6widgets6, libsrtp2-1, libcurl4, libsystemd0")
endif()
# The fonts are the ones the dialogs are laid out for; xdg-utils opens
# Readme.txt.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, fonts-crosextra-carlito, fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "firewalld")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${QUOR_PACKAGING_OUT}/postinst ${QUOR_PACKAGING_OUT}/postrm
  ${QUOR_PACKAGING_OUT}/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
