# The Windows package: `cpack -G ZIP` (or the `package` target) in a Windows build makes
# bmpfun-VERSION-win64.zip from the install rules: bin/bmpfun.exe and bin/bmpfun.dll,
# lib/libbmpfun.dll.a (the DLL's import library) and lib/libbmpfun-core.a (the static C++
# library, for MinGW-w64 compilers), include/bmpfun/, the CMake package and pkg-config files,
# and README.txt. Everything is linked with the compiler's runtime inside: the programs and the
# DLL import nothing but Windows' own DLLs.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/windows-readme.txt DESTINATION . RENAME README.txt)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME bmpfun)
set(CPACK_PACKAGE_VENDOR bmpfun)
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_FILE_NAME bmpfun-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
