# `./run package` (cpack -G DEB in the build directory): one Debian package,
# kvx, with what `cmake --install` installs under /usr: libkvx with its
# headers, CMake package and kvx.pc, the kvx command, and the .NET assembly
# with its sample.
set(CPACK_PACKAGE_NAME kvx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Find companion apps on USB-attached devices and stream images from them")
set(CPACK_PACKAGE_CONTACT "kvx developers <kvx@localhost>" CACHE STRING "Maintainer of the packages")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# What libkvx and the command link (the C and C++ runtimes, libjpeg-turbo for
# the command), as dpkg-shlibdeps finds it; libkvx itself is in the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
# libkvx loads the usbmux client library at run time and runs without it (its
# controllers then say the library is missing and find nothing), so it is
# recommended, not required: installed by default, but a host that streams
# over TCP only, or provides the library otherwise, may leave it out. The
# daemon is what finds real devices; Mono runs the .NET assembly.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libusbmuxd6)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "usbmuxd, mono-runtime")

include(CPack)
