# Installing and packaging the tool for release machines:
#   bin/ztpack
#   share/ztpack/stubs/InstallerLogic-x86.exe   the 32-bit front end, the default stub of `make`
#   share/ztpack/stubs/InstallerLogic-x64.exe   the x86-64 front end
#   share/doc/ztpack/copyright                    the licence of the code built into both that is
#                                                 not ours: sha1dc (MIT)
# The stubs come from the Windows builds (presets windows, windows64): InstallerLogic-shipping.exe,
# the front end with an empty key place, which `make` fills with each product's keys (the in-tree
# InstallerLogic.exe holds the build's keys, development keys by default, and never ships). A stub
# that has not been built is left out. `cpack -G DEB` in the native build directory makes the
# Debian package.
set(ZT_SHIPPING_STUB_X86 "${PROJECT_SOURCE_DIR}/build/windows/InstallerLogic-shipping.exe" CACHE FILEPATH
    "The 32-bit front-end stub (empty key place) to install beside ztpack")
set(ZT_SHIPPING_STUB_X64 "${PROJECT_SOURCE_DIR}/build/windows64/InstallerLogic-shipping.exe" CACHE FILEPATH
    "The x86-64 front-end stub (empty key place) to install beside ztpack")
set(ZT_STUB_INSTALL_DIR "share/ztpack/stubs")

install(FILES ${ZT_SHIPPING_STUB_X86} DESTINATION ${ZT_STUB_INSTALL_DIR} RENAME InstallerLogic-x86.exe
        OPTIONAL)
install(FILES ${ZT_SHIPPING_STUB_X64} DESTINATION ${ZT_STUB_INSTALL_DIR} RENAME InstallerLogic-x64.exe
        OPTIONAL)
# ztpack and the stubs compile in the collision-detecting SHA-1 from Debian's git source package.
set(ZT_COPYRIGHT_FILE ${PROJECT_BINARY_DIR}/copyright)
file(READ ${ZT_SHA1DC_DIR}/sha1dc/LICENSE.txt zt_sha1dc_licence)
file(READ ${ZT_SHA1DC_DIR}/BUILDINFO zt_sha1dc_source)
string(STRIP "${zt_sha1dc_source}" zt_sha1dc_source)
file(WRITE ${ZT_COPYRIGHT_FILE}
     "ztpack and its stubs contain sha1dc, the collision-detecting SHA-1 by Marc Stevens and Dan "
     "Shumow,\nfrom Debian's source package of git (${zt_sha1dc_source}), under the MIT "
     "licence:\n\n${zt_sha1dc_licence}")
install(FILES ${ZT_COPYRIGHT_FILE} DESTINATION share/doc/ztpack)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "ztpack")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Authoring tool for signed self-extracting Windows installers, with the front-end stubs")
set(CPACK_PACKAGE_CONTACT "ZT Installer team <release@invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION "devel")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
# Depends: from the libraries ztpack links (Crypto++, zlib, toml++, p11-kit, the C++ runtime).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/package")
include(CPack)
