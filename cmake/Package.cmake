# The Debian package: cmake --workflow --preset package (a shared build
# installed under /usr, so it holds both libraries) makes build/package/
# nivra_<version>_<arch>.deb.  Its dependencies are computed by
# dpkg-shlibdeps from what the binaries need; it ships a shlibs file for
# libnivra.so.1.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nivra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Nivra")
set(CPACK_PACKAGE_CONTACT "Nivra developers <nivra@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Nivra support kit: host identifier tool, configuration-file library, checker and editor")
set(CPACK_PACKAGE_DESCRIPTION
  "nodeprint prints this host's system identifier; confcheck checks and dumps configuration\nfiles; confedit sets, unsets and removes their entries and sections in place, changing only\nthe lines it must.\nlibnivra (static and shared, with headers, a CMake package and a pkg-config file) provides\nlevelled trace output, hex conversions, the host identity record, a pointer stack, a linear\nhash table and a configuration-file library with C and C++ interfaces.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_STRIP_FILES OFF)
include(CPack)
