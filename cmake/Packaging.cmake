# Debian packages: `cpack -G DEB` in the build folder makes one package per component,
# kivo-dbupdate (the window) and kivo-dbupdate-cli (the companion, without Qt).
include(GNUInstallDirs)

set(KIVO_PACKAGE_CONTACT
  "Kivo dbupdate maintainers <maintainers@users.noreply.c-seed-bb557a29.example>"
  CACHE STRING "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME kivo-dbupdate)
set(CPACK_PACKAGE_VENDOR "Kivo dbupdate maintainers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KIVO_PACKAGE_CONTACT}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
# Release builds carry debug information; the packages do not.
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL companion)
if(KIVO_BUILD_GUI)
  list(PREPEND CPACK_COMPONENTS_ALL window)
endif()

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KIVO_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# No Debian revision: we make the packages ourselves, from our own source (a native package).
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Libraries the programs link come from dpkg-shlibdeps (dpkg-dev); the ODBC driver manager's
# tools and the FreeTDS driver are loaded by name at run time, so they are declared here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(kivo_runtime_depends "unixodbc, tdsodbc")

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME kivo-dbupdate)
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "${kivo_runtime_depends}")
set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION database)
# The first line of each description is its summary; the others stay within 80 columns.
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
  "Upgrades the Kivo web application's SQL Server database (window)
Reads the connection value the Kivo web application keeps in its web.config,
logs on to SQL Server, widens the text columns of the CHXD and MD tables and
creates missing history tables, reporting every step in its window.")

set(CPACK_DEBIAN_COMPANION_PACKAGE_NAME kivo-dbupdate-cli)
set(CPACK_DEBIAN_COMPANION_PACKAGE_DEPENDS "${kivo_runtime_depends}")
set(CPACK_DEBIAN_COMPANION_PACKAGE_SECTION database)
set(CPACK_DEBIAN_COMPANION_DESCRIPTION
  "Upgrades the Kivo web application's SQL Server database (command line)
The same upgrade as the kivo-dbupdate window, headless, for scripts, fleets
of hosts and work over SSH, with a JSON report; also reads and writes the
scrambled connection values of web.config.")

# Beside its program each package carries what Debian asks of it: the copyright, the changelog
# and the manual page, compressed with gzip -9n (no name or time stamp, so rebuilds match).
set(kivo_package_window kivo-dbupdate)
set(kivo_package_companion kivo-dbupdate-cli)
set(kivo_manual_window kivo-dbupdate.1)
set(kivo_manual_companion kivo-dbupdate-cli.1)
set(kivo_compressed ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${kivo_compressed})
set(kivo_compressed_files)
foreach(source changelog ${kivo_manual_window} ${kivo_manual_companion})
  add_custom_command(OUTPUT ${kivo_compressed}/${source}.gz
    COMMAND sh -c "gzip -9nc \"$1\" >\"$2\"" gzip ${PROJECT_SOURCE_DIR}/docs/${source}
            ${kivo_compressed}/${source}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/${source} VERBATIM)
  list(APPEND kivo_compressed_files ${kivo_compressed}/${source}.gz)
endforeach()
add_custom_target(kivo_package_docs ALL DEPENDS ${kivo_compressed_files})
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/copyright ${kivo_compressed}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${kivo_package_${component}} COMPONENT ${component})
  install(FILES ${kivo_compressed}/${kivo_manual_${component}}.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endforeach()

# The changelog's latest entry names the version the packages carry.
file(STRINGS ${PROJECT_SOURCE_DIR}/docs/changelog kivo_changelog_top LIMIT_COUNT 1)
if(NOT kivo_changelog_top MATCHES "^kivo-dbupdate \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "docs/changelog starts with \"${kivo_changelog_top}\"; its latest entry must be version ${PROJECT_VERSION}")
endif()

include(CPack)
