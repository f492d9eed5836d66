# The Debian package, made by `cpack -G DEB` in a build folder (`make package` at the root).
# Runtime dependencies come from dpkg-shlibdeps reading the installed programs, so they are
# named as Debian names the FFmpeg, libmpv and Qt libraries they were linked against.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trimwell)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Trimwell developers")
set(CPACK_PACKAGE_CONTACT "The Trimwell developers <developers@trimwell.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "movie trimmer: save a stretch of a movie as a new movie")
set(CPACK_PACKAGE_DESCRIPTION "\
Trimwell opens one movie, plays it, and lets you place an in mark and an out
mark, pick a picture bit rate and read the size estimate. It saves the stretch
between the marks as a new MPEG-4 movie with H.264 pictures and AAC sound,
shows the save's progress, can stop it, and never leaves a half-written file
behind.

The package also holds trimwell-cut, which makes the same cut from the
command line.")

set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The X11 platform plugin ships in libqt6gui6, which dpkg-shlibdeps finds; the native
# Wayland one is a separate package, and without it Qt falls back to X11 through XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)

include(CPack)
