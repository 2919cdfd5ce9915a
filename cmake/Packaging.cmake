# Debian packages: `cpack -G DEB` in the build folder makes velmora_*.deb (the app) and
# velmora-server_*.deb (the service). Runtime libraries are found by dpkg-shlibdeps.
include(GNUInstallDirs)

# Each package's copyright and changelog, as Debian wants them.
set(VELMORA_DEB_RELEASE "1")
if(VELMORA_BUILD_NUMBER)
  set(VELMORA_DEB_RELEASE "${VELMORA_BUILD_NUMBER}")
endif()
string(TIMESTAMP VELMORA_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(component velmora server)
  if(component STREQUAL "server")
    set(package velmora-server)
  else()
    set(package velmora)
  endif()
  set(docdir ${CMAKE_CURRENT_BINARY_DIR}/debian/${package})
  file(READ ${PROJECT_SOURCE_DIR}/data/debian/changelog changelog)
  string(REPLACE "velmora (" "${package} (" changelog "${changelog}")
  string(REPLACE "@VERSION@" "${PROJECT_VERSION}-${VELMORA_DEB_RELEASE}" changelog "${changelog}")
  string(REPLACE "@DATE@" "${VELMORA_DEB_DATE}" changelog "${changelog}")
  file(WRITE ${docdir}/changelog.Debian "${changelog}")
  execute_process(COMMAND gzip -9nf ${docdir}/changelog.Debian)
  install(FILES ${docdir}/changelog.Debian.gz ${PROJECT_SOURCE_DIR}/data/debian/copyright
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "Velmora")
set(CPACK_PACKAGE_CONTACT "Velmora developers <dev@velmora.app>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL velmora server)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VELMORA_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velmora.app")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velmora developers <dev@velmora.app>")

set(CPACK_DEBIAN_VELMORA_PACKAGE_NAME velmora)
set(CPACK_DEBIAN_VELMORA_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_VELMORA_PACKAGE_RECOMMENDS "pkexec, xdg-utils, pulseaudio | pipewire-pulse, at-spi2-core")
set(CPACK_DEBIAN_VELMORA_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/data/debian/velmora/postinst;${PROJECT_SOURCE_DIR}/data/debian/velmora/postrm;${PROJECT_SOURCE_DIR}/data/debian/velmora/conffiles")
set(CPACK_DEBIAN_VELMORA_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_VELMORA_DESCRIPTION "Push-to-talk dictation for the Linux desktop
Tap a key, speak and tap again: Velmora types what you said into the
application in front, cleaned up in the style of a chat, a mail, a terminal or
code. Works with X11 desktops and speech services such as velmora-server.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME velmora-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser, pocketsphinx-en-us")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/data/debian/server/postinst;${PROJECT_SOURCE_DIR}/data/debian/server/prerm;${PROJECT_SOURCE_DIR}/data/debian/server/postrm;${PROJECT_SOURCE_DIR}/data/debian/server/conffiles")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_SERVER_DESCRIPTION "Velmora server: speech recognition, cleanup and accounts
The reference backend of the Velmora dictation app: a streaming speech
recogniser (pocketsphinx), text cleanup, accounts with plans and quotas, and
the update feed, run as a hardened systemd service.")

include(CPack)
