# `cpack -G DEB` in a host build tree against a shared libcrypto: the package
# rawcrypt of the tool, its man page and bash completion. The module and its header stay out: firmware
# SDKs take them for their own target from `cmake --install`, and a host
# package of an ARM object would be the wrong architecture's.
set(RAWCRYPT_MAINTAINER "rawcrypt maintainers <maintainers@users.noreply.c-seed-42d623f7.example>"
    CACHE STRING "The package's maintainer, as Name <address>")
set(RAWCRYPT_HOMEPAGE "" CACHE STRING "The package's homepage (left out when empty)")

# What Debian wants beside a native package's files: its copyright and its
# changelog, compressed without a time stamp, dated as the man page
# (cmake/install.cmake).
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog CONTENT
"rawcrypt (${PROJECT_VERSION}) unstable; urgency=medium

  * rawcrypt ${PROJECT_VERSION}.

 -- ${RAWCRYPT_MAINTAINER}  ${RAWCRYPT_CHANGELOG_DATE}
")
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9nkf ${PROJECT_BINARY_DIR}/debian/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog VERBATIM)
add_custom_target(rawcrypt_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)
install(FILES cmake/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
# lintian takes the module's copy of the library's "not seeded" text for an
# embedded libcrypto (cmake/debian/lintian-overrides).
install(FILES cmake/debian/lintian-overrides RENAME rawcrypt
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT debian EXCLUDE_FROM_ALL)

# Two trees of one commit give the same package: its members carry the
# release's time (cmake/install.cmake), not the build's or the copy's, as
# when SOURCE_DATE_EPOCH is set at cpack time (which still wins).
if(rawcrypt_epoch)
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake CONTENT
"if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${rawcrypt_epoch})
endif()
")
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rawcrypt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keys, signatures, ciphers and Base64 in the formats of rawcrypt devices")
set(CPACK_PACKAGE_DESCRIPTION
  "rawcrypt makes and checks what a device running the rawcrypt module accepts:\n"
  "P-256 keys as raw scalars, 64-byte r||s signatures, AES-256-CBC and\n"
  "triple-DES data, and Base64 texts in any alphabet, computed by the module's\n"
  "own helpers, with keys in files or in a PKCS#11 token. It converts keys and\n"
  "signatures to and from PEM and DER for the openssl command.")
string(CONCAT CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_CONTACT "${RAWCRYPT_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(RAWCRYPT_HOMEPAGE)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${RAWCRYPT_HOMEPAGE}")
endif()
# dpkg-shlibdeps names the libraries the tool links (libssl3, libc6,
# libstdc++6, libgcc-s1). Packages it loads at run time without linking them
# go in CPACK_DEBIAN_PACKAGE_DEPENDS.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Keys in a token: the tool links libp11-kit (found above), which finds the
# modules that p11-kit's configuration registers.
if(TARGET PkgConfig::P11KIT)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "p11-kit")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tool debian)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
# `make package_source`: the sources alone, without git or the build trees
# at the top (CPack matches whole paths, the top's own as a literal).
string(REGEX REPLACE "([.+*?$()|{}])" "[\\1]" rawcrypt_top "${PROJECT_SOURCE_DIR}")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git(/|$)" "^${rawcrypt_top}/build[^/]*/")
include(CPack)
