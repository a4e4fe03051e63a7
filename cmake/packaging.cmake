# What `cmake --install` puts on a machine and the Debian package built from it (`make deb`).
# The program lives where its own installer puts it (/opt/tolvi), so the package and
# `tolvi-host --install` agree on every path; the paths are absolute and honour DESTDIR.
set(TOLVI_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
# The display guardian sits beside the program, where the host looks for it.
install(TARGETS tolvi-host tolvi-display-guardian RUNTIME DESTINATION /opt/tolvi)
install(FILES ${TOLVI_PACKAGING_DIR}/tolvi-host.service DESTINATION /lib/systemd/system)
# `tolvi-host` on every account's PATH: a link to the program.
file(CREATE_LINK /opt/tolvi/tolvi-host ${CMAKE_CURRENT_BINARY_DIR}/tolvi-host-command SYMBOLIC)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tolvi-host-command DESTINATION /usr/bin
        RENAME tolvi-host)
install(FILES ${TOLVI_PACKAGING_DIR}/tolvi-host.desktop DESTINATION /usr/share/applications)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvi-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Teaspoon Forge")
set(CPACK_PACKAGE_CONTACT "Teaspoon Forge <support@tolvi.teaspoonforge.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tolvi remote desktop host")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Lets you reach this computer from the Tolvi app on another device: streams the desktop "
       "as H.264 or HEVC video, applies the client's input, exchanges the clipboard and maps "
       "the client's shared folder. Installed as a system service that serves the console "
       "display.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # tolvi-host_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# Libraries from the binary's own links; the elevation prompt and the shared folder's mounter
# are used when present.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Open Log hands the log to xdg-open.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec | policykit-1")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "davfs2, ufw | firewalld")
# No postrm and no configuration files: a removed package is gone, with nothing left to purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${TOLVI_PACKAGING_DIR}/debian/postinst ${TOLVI_PACKAGING_DIR}/debian/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
