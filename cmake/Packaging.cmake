# What `cmake --install` puts beside the two programs, and the Debian package `cpack -G DEB` builds
# from it: desktop entry, hicolor icons, AppStream metadata, manual pages, licence and change logs.
# The icon PNGs are checked in, rendered once from the SVG (packaging/render-icons.sh renews them),
# so a build needs no image tools.

set(NFC_PACKAGE netflow-collector)
set(NFC_APP_ID io.github.nfcdesk.NetflowCollector)
set(NFC_RELEASE_DATE 2026-12-09)
set(NFC_RELEASE_DATE_RFC2822 "Wed, 09 Dec 2026 12:00:00 +0000")
set(NFC_MAINTAINER "NetFlow collector developers <netflow-collector@example.org>")
set(NFC_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${NFC_PACKAGE})
set(packaging ${PROJECT_SOURCE_DIR}/packaging)

# A umask of 002 must not leave group-writable directories in the package.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(FILES ${packaging}/${NFC_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${packaging}/${NFC_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${packaging}/icons/${NFC_APP_ID}.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 32 48 128 256)
  install(FILES ${packaging}/icons/${NFC_APP_ID}-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME ${NFC_APP_ID}.png)
endforeach()

# Manual pages and the Debian change log are installed compressed, without a name or time stamp in
# the gzip header, so that two builds of the same tree give the same package.
set(compressed)
foreach(page netflow-collector nf-loadgen nf-query)
  configure_file(${packaging}/man/${page}.1.in ${CMAKE_CURRENT_BINARY_DIR}/packaging/${page}.1 @ONLY)
  list(APPEND compressed ${page}.1)
endforeach()
configure_file(${packaging}/changelog.Debian.in ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog @ONLY)
list(APPEND compressed changelog)
set(compressed_outputs)
foreach(file ${compressed})
  set(plain ${CMAKE_CURRENT_BINARY_DIR}/packaging/${file})
  add_custom_command(OUTPUT ${plain}.gz
                     COMMAND gzip -9nkf ${plain}
                     DEPENDS ${plain}
                     COMMENT "Compressing ${file}")
  list(APPEND compressed_outputs ${plain}.gz)
endforeach()
add_custom_target(nfc_packaging_files ALL DEPENDS ${compressed_outputs})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/netflow-collector.1.gz
              ${CMAKE_CURRENT_BINARY_DIR}/packaging/nf-loadgen.1.gz
              ${CMAKE_CURRENT_BINARY_DIR}/packaging/nf-query.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz
              ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
              ${packaging}/copyright
              ${PROJECT_SOURCE_DIR}/docs/USER-GUIDE.md
        DESTINATION ${NFC_DOC_DIR})
# An example, not a unit the package enables: the operator copies it into ~/.config/systemd/user/.
install(FILES ${packaging}/netflow-collector.service DESTINATION ${NFC_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${NFC_PACKAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the NetFlow collector developers")
set(CPACK_PACKAGE_CONTACT ${NFC_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop collector for NetFlow version 5 and 9 exports")
# Lines under 80 characters: lintian measures the extended description as a terminal shows it.
set(CPACK_PACKAGE_DESCRIPTION
    "Receives NetFlow version 5 and version 9 export datagrams from routers and
switches on UDP port 9996, shows the header of the datagram received last and
one fixed-column line per flow in its window, appends every flow to a daily
CSV file, traces version 9 datagrams field by field and turns any decoding
failure into a small XML report instead of stopping. Every flow is also kept
in a local SQLite flow history, shown in its Traffic window.

Also holds nf-query, which asks the flow history from the command line, and
nf-loadgen, a paced NetFlow load generator for testing a collector on the same
machine.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${NFC_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not a library dependency, so dpkg-shlibdeps cannot find it: the window's fonts resolve to these.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation")
# The data the countries and AS numbers come from; without it the collector runs without them.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libloc-database")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
