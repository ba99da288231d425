# What `cmake --install` gives a firmware SDK, for whichever target this tree
# builds: the object, its header as <rawcrypt/encrypt.h>, its console lines,
# and the CMake package (rawcrypt::module) that finds them. Host builds add
# the tool (tools/CMakeLists.txt).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(rawcrypt_moduledir ${CMAKE_INSTALL_LIBDIR}/rawcrypt)
set(rawcrypt_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/rawcrypt)

# A sanitized object calls its run time, which no firmware links: such a
# tree installs nothing (these rules run before any other).
if(RAWCRYPT_SANITIZE)
  foreach(component IN ITEMS module tool manual debian)
    install(CODE "message(FATAL_ERROR \"a build with RAWCRYPT_SANITIZE is for tests, not for installing\")"
      COMPONENT ${component})
  endforeach()
endif()

# The release's date, for the man page and the package's changelog:
# SOURCE_DATE_EPOCH when set, else the date of the last commit of this tree
# (any two trees of one commit agree), else today.
set(rawcrypt_epoch "$ENV{SOURCE_DATE_EPOCH}")
find_package(Git QUIET)
if(NOT rawcrypt_epoch AND GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct -- .
    OUTPUT_VARIABLE rawcrypt_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(rawcrypt_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} "${rawcrypt_epoch}")  # what string(TIMESTAMP) reads
string(TIMESTAMP RAWCRYPT_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP RAWCRYPT_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${rawcrypt_saved_epoch}")
# what the man page depends on (rewritten only when the date changes)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/release-date CONTENT "${RAWCRYPT_DATE}\n")

install(FILES ${RAWCRYPT_MODULE} DESTINATION ${rawcrypt_moduledir} COMPONENT module)
install(FILES helpers/encrypt.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/rawcrypt COMPONENT module)
install(FILES docs/console-lines.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT module)

set(rawcrypt_built_for "${CMAKE_SYSTEM_NAME} ${CMAKE_SYSTEM_PROCESSOR}")
if(RAWCRYPT_FLOAT_ABI)
  string(APPEND rawcrypt_built_for ", ${RAWCRYPT_FLOAT_ABI} float")
endif()
# The package records what the object was built for: its version file has
# find_package pass over an install for another target and look on, its
# config refuses a project whose libcrypto is of another series.
configure_package_config_file(cmake/rawcryptConfig.cmake.in ${PROJECT_BINARY_DIR}/rawcryptConfig.cmake
  INSTALL_DESTINATION ${rawcrypt_cmakedir}
  PATH_VARS rawcrypt_moduledir CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/rawcrypt-basic-version.cmake
  COMPATIBILITY SameMajorVersion)
configure_file(cmake/rawcryptConfigVersion.cmake.in ${PROJECT_BINARY_DIR}/rawcrypt-target.cmake @ONLY)
file(READ ${PROJECT_BINARY_DIR}/rawcrypt-target.cmake rawcrypt_target_check)
file(READ ${PROJECT_BINARY_DIR}/rawcrypt-basic-version.cmake rawcrypt_basic_version)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/rawcryptConfigVersion.cmake
  CONTENT "${rawcrypt_target_check}${rawcrypt_basic_version}" @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/rawcryptConfig.cmake ${PROJECT_BINARY_DIR}/rawcryptConfigVersion.cmake
  DESTINATION ${rawcrypt_cmakedir} COMPONENT module)

# rawcrypt_add_install_tests(SECTION...): the tests install.SECTION, each a
# section of tests/install/install_tests.sh run on this tree.
function(rawcrypt_add_install_tests)
  foreach(section IN LISTS ARGN)
    add_test(NAME install.${section}
      COMMAND ${CMAKE_COMMAND} -E env CMAKE=${CMAKE_COMMAND} SOURCE=${PROJECT_SOURCE_DIR} BUILD=${PROJECT_BINARY_DIR}
              LIBDIR=${CMAKE_INSTALL_LIBDIR} CC=${CMAKE_C_COMPILER} TOOLCHAIN=${CMAKE_TOOLCHAIN_FILE}
              EMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR} OPENSSL_ROOT_DIR=${OPENSSL_ROOT_DIR}
              OPENSSL_USE_STATIC_LIBS=${OPENSSL_USE_STATIC_LIBS}
              bash ${PROJECT_SOURCE_DIR}/tests/install/install_tests.sh ${section})
    # one install at a time: each writes the build tree's install manifest
    set_tests_properties(install.${section} PROPERTIES RESOURCE_LOCK install SKIP_RETURN_CODE 77)
  endforeach()
endfunction()
