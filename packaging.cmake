# The Debian package: cpack -G DEB in the build folder makes korvel_<version>_amd64.deb.
install(FILES README.md DESTINATION share/doc/korvel)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "korvel developers <korvel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control points for multi-camera rig panoramas")
set(CPACK_PACKAGE_DESCRIPTION
    "korvel renders every neighbouring image pair of a camera rig into one common view on the
GPU (or Mesa's llvmpipe), matches corners by normalised cross-correlation and writes
control points and exposure values; korvel-batch runs it over many rig shots.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# Libraries from dpkg-shlibdeps (libjpeg, libtiff, libpng, OpenEXR and LibRaw among them); by
# hand what is loaded at run time (Mesa's GL and EGL drivers) or run as a program (parallel for
# korvel-batch).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libgl1-mesa-dri, libegl-mesa0, parallel")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xvfb, hugin-tools")
include(CPack)
