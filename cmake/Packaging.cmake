# What `cmake --install` puts in place besides the executable, and the Debian
# package made of it: `cpack -G DEB` in a build directory writes
# trellune-mcp_VERSION_ARCH.deb.
include(GNUInstallDirs)

set(_man_page ${PROJECT_BINARY_DIR}/docs/trellune-mcp.1)
set(_changelog ${PROJECT_BINARY_DIR}/docs/changelog)
configure_file(${PROJECT_SOURCE_DIR}/docs/trellune-mcp.1.in ${_man_page} @ONLY)

# docs/changelog is kept by hand in Debian's format; its first entry must be
# this version, or the package would describe another release.
file(STRINGS ${PROJECT_SOURCE_DIR}/docs/changelog _changelog_top LIMIT_COUNT 1)
if(NOT _changelog_top MATCHES "^trellune-mcp \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "docs/changelog starts with '${_changelog_top}', not an entry for ${PROJECT_VERSION}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/docs/changelog ${_changelog} COPYONLY)

# docs/copyright, which the package and the tarballs carry, states the terms
# of LICENSE in Debian's format: the same holder, and the licence text as its
# Expat paragraph (each line indented by a space, a blank line as " .").
file(READ ${PROJECT_SOURCE_DIR}/LICENSE _license)
file(READ ${PROJECT_SOURCE_DIR}/docs/copyright _copyright)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" _ "${_license}")
set(_holder "${CMAKE_MATCH_1}")
string(FIND "${_license}" "Permission is hereby granted" _terms_start)
string(SUBSTRING "${_license}" ${_terms_start} -1 _terms)
string(STRIP "${_terms}" _terms)
string(REPLACE "\n\n" "\n.\n" _terms "${_terms}")
string(REPLACE "\n" "\n " _terms "${_terms}")
string(FIND "${_copyright}" "\nLicense: Expat\n ${_terms}\n" _terms_found)
if(_holder STREQUAL "" OR _terms_start EQUAL -1 OR _terms_found EQUAL -1
   OR NOT _copyright MATCHES "\nCopyright: ${_holder}\nLicense: Expat\n")
  message(FATAL_ERROR "docs/copyright does not state the holder and the Expat terms of LICENSE")
endif()

# Compressed without a name or timestamp (gzip -n), so that two builds of one
# version give identical files.
add_custom_command(OUTPUT ${_man_page}.gz ${_changelog}.gz
  COMMAND gzip -9 -n -f -k ${_man_page} ${_changelog}
  DEPENDS ${_man_page} ${_changelog}
  COMMENT "Compressing the manual page and the changelog")
add_custom_target(trellune-mcp-docs ALL DEPENDS ${_man_page}.gz ${_changelog}.gz)
install(FILES ${_man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/copyright ${_changelog}.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME trellune-mcp)
set(CPACK_PACKAGE_VENDOR "the trellune-mcp developers")
set(CPACK_PACKAGE_CONTACT "trellune-mcp maintainers <maintainers@users.noreply.c-seed-02769cf4.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bridge between an MCP client and an application on a local TCP port")
# Debian shows the extended description as it is: lines under 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "trellune-mcp is started by a Model Context Protocol client as a child process."
  "It reads newline-delimited JSON-RPC requests on standard input, stamps every"
  "JSON object with the access token from TRELLUNE_MCP_TOKEN, sends each request"
  "to the application on 127.0.0.1 at the port in TRELLUNE_MCP_PORT, and copies"
  "the application's one-line reply to standard output.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# A static executable depends on no library, not even the C library: the
# package installs on any Debian or derivative of its architecture.
if(TRELLUNE_STATIC)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME trellune-mcp)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
# cpack asks dpkg for the architecture, which is the build machine's.
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  else()
    message(FATAL_ERROR "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
  endif()
endif()
include(CPack)
