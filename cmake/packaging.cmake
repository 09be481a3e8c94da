# Installation and the Debian package.
#
# `cmake --install` installs the components registry-list and manual, exactly these files:
#   bin/registry-list                          the program built from the REGISTRY_* cache values
#   share/man/man1/registry-list.1             its manual page, made from doc/registry-list.1.in
#                                              and the settings of cmake/settings.cmake
#   share/doc/registry-list/README.md
# The Debian package holds the same program and README, but the manual page compressed and the
# copyright file, as Debian expects: those come from the component debian, which a plain
# `cmake --install` leaves out. Nothing that the tests build (the loopback builds, the fake
# service, the test programs) has an install rule, and CPack installs only these two
# components; tests/package/check_package.sh checks both the installed tree and the package.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/packaging_windows.cmake)
  return()
endif()
include(GNUInstallDirs)

set(REGISTRY_INSTALL_COMPONENT registry-list)
set(REGISTRY_MANUAL_COMPONENT manual)
set(REGISTRY_DEBIAN_COMPONENT debian)

# The date of the release that project(VERSION) names. The manual page carries it instead of
# the date of the build, so the same sources always give the same page: move it on with the
# version.
set(REGISTRY_RELEASE_DATE 2026-12-08)

# Directories that installing creates are world-readable whatever the umask is.
if(NOT DEFINED CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS)
  set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()

# --- The manual page -------------------------------------------------------------------------

# The CONFIGURATION section's entries, and REGISTRY_MAN_<NAME> for the values that the page's
# other sections quote.
registry_man_settings(REGISTRY_MAN_SETTINGS)
set(REGISTRY_MAN_DATE "${REGISTRY_RELEASE_DATE}")

set(REGISTRY_MAN_PAGE "${PROJECT_BINARY_DIR}/doc/registry-list.1")
configure_file("${PROJECT_SOURCE_DIR}/doc/registry-list.1.in" "${REGISTRY_MAN_PAGE}" @ONLY)

# Debian ships manual pages compressed, without a file name or time stamp in the gzip header.
# Like the page, the compressed page is only rewritten when it changes.
execute_process(COMMAND gzip -9 -n -c "${REGISTRY_MAN_PAGE}"
                OUTPUT_FILE "${REGISTRY_MAN_PAGE}.gz.new"
                RESULT_VARIABLE gzip_result)
if(NOT gzip_result EQUAL 0)
  message(FATAL_ERROR "Could not compress the manual page: ${gzip_result}")
endif()
file(COPY_FILE "${REGISTRY_MAN_PAGE}.gz.new" "${REGISTRY_MAN_PAGE}.gz" ONLY_IF_DIFFERENT)
file(REMOVE "${REGISTRY_MAN_PAGE}.gz.new")

# --- What is installed -----------------------------------------------------------------------

install(TARGETS registry-list
        RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT ${REGISTRY_INSTALL_COMPONENT})
install(FILES "${REGISTRY_MAN_PAGE}"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT ${REGISTRY_MANUAL_COMPONENT})
install(FILES "${PROJECT_SOURCE_DIR}/README.md"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}" COMPONENT ${REGISTRY_INSTALL_COMPONENT})
install(FILES "${REGISTRY_MAN_PAGE}.gz"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT ${REGISTRY_DEBIAN_COMPONENT}
        EXCLUDE_FROM_ALL)
install(FILES "${PROJECT_SOURCE_DIR}/doc/copyright"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}" COMPONENT ${REGISTRY_DEBIAN_COMPONENT}
        EXCLUDE_FROM_ALL)

# --- The Debian package (cpack in the build directory) ----------------------------------------

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "${PROJECT_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "registry-list developers")
set(CPACK_PACKAGE_CONTACT "registry-list developers <dev@registry-list.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})

# Only these components go into the one package; the uncompressed page is left to cmake --install.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};${REGISTRY_INSTALL_COMPONENT};/"
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};${REGISTRY_DEBIAN_COMPONENT};/")
set(CPACK_COMPONENTS_ALL ${REGISTRY_INSTALL_COMPONENT} ${REGISTRY_DEBIAN_COMPONENT})
set(CPACK_DEB_COMPONENT_INSTALL OFF)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# The libraries the program links come from dpkg-shlibdeps. A build without a CA bundle of its
# own trusts the system's store, which ca-certificates fills; libcurl only recommends it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(REGISTRY_CA_BUNDLE STREQUAL "")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "ca-certificates")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The extended description; CPack puts the summary above it. No double quotes: CPack turns them
# into semicolons.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "registry-list signs in to Google Sheets as a service account, reads the
worksheet named Registry of one spreadsheet and prints its rows, one line per
row followed by a status line, or the whole registry as JSON. It is meant to
be run by hand, from scripts and from cron.

The spreadsheet, the service account, the name of its key file and the
addresses of the service are fixed when the program is built; the manual page
lists the values of this build.")

include(CPack)
