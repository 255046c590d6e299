# The Debian package: `cpack -G DEB` in a build folder makes
# hushcoffer_<version>_<arch>.deb from the install rules (binaries, text
# bundles, desktop entry, icons, metainfo, polkit policy, documentation).
include(GNUInstallDirs)
# (the documentation folder is named after the package, not the project:
# share/doc/hushcoffer)

# Documentation every Debian package carries: the copyright notice and the
# changelog, compressed reproducibly (no name or time stamp in the gzip
# header).
set(HC_DEBIAN_DIR ${CMAKE_SOURCE_DIR}/resources/linux/debian)
find_program(GZIP_TOOL gzip)
if(GZIP_TOOL)
  set(hc_changelog_gz ${CMAKE_BINARY_DIR}/debian/changelog.gz)
  add_custom_command(OUTPUT ${hc_changelog_gz}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/debian
                     COMMAND ${GZIP_TOOL} -9 -n -c ${HC_DEBIAN_DIR}/changelog > ${hc_changelog_gz}
                     DEPENDS ${HC_DEBIAN_DIR}/changelog
                     COMMENT "Compressing the Debian changelog")
  add_custom_target(hc_debian_changelog ALL DEPENDS ${hc_changelog_gz})
  install(FILES ${hc_changelog_gz} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/hushcoffer)
endif()
install(FILES ${HC_DEBIAN_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/hushcoffer)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hushcoffer)
set(CPACK_PACKAGE_VENDOR Hushcoffer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Hushcoffer Maintainers <support@hushcoffer.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "encrypted folders that open with your password")
set(CPACK_PACKAGE_DESCRIPTION
    "Hushcoffer keeps encrypted folders, called vaults, on the desktop. An
unlocked vault is an ordinary folder in the file manager; a locked one is
encrypted on disk and shows a padlock. Vaults are made with a guided set-up
that includes a twelve-word recovery phrase, lock automatically on sleep,
screen lock, idle time and quit, and can be reached from the tray menu or
the command line (hushcoffer-cli).
.
The encrypted data is a standard gocryptfs folder, readable with gocryptfs
and the password alone.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://hushcoffer.app/)
# The libraries the binaries link (Qt, OpenSSL, utf8proc, X11, the C++
# runtime) come from dpkg-shlibdeps; what is used without linking is listed:
# the tools that mount vaults, Qt's display plugins (qt6-wayland: without it a
# Wayland session with no Xwayland cannot start the application at all, and
# one with Xwayland runs it through X11), libsecret (loaded when a keyring is
# first used, so no binary links it), Qt's own translations (its file
# chooser, print dialog and standard buttons in the interface language) and
# the fonts the interface languages need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "gocryptfs, fuse3, qt6-qpa-plugins, qt6-wayland, qt6-translations-l10n, libsecret-1-0, fonts-noto-core")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk, hicolor-icon-theme, adwaita-icon-theme")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "polkitd")

include(CPack)
