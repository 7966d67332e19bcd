# The Debian package of the installed programs (scripts/package runs it). Its dependencies come
# from the shared libraries the programs link (dpkg-shlibdeps, from dpkg-dev), except the ones
# loaded at run time, which no linker records.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimbrel)
set(CPACK_PACKAGE_VENDOR "Quorlan")
set(CPACK_PACKAGE_CONTACT "Nimbrel developers <nimbrel@quorlan.example.net>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Launcher and patcher of the online game Quorlan")
set(CPACK_PACKAGE_DESCRIPTION
    "Brings an installed Quorlan game folder up to the patch server's version and starts the game client through Wine. Also the headless nimbrel-cli and the release team's qpak and nimbrel-publish.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# libcurl is opened with dlopen by the first transfer (platform/HttpClient.cpp).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4")
# The game client is a Windows program; web pages open through xdg-open.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "wine, xdg-utils")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_OUTPUT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackConfig.cmake)
include(CPack)
