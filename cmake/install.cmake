# What `cmake --install` (and `make install`, and the packages) put where:
#   bin/divovod
#   share/man/man1/divovod.1
#   share/bash-completion/completions/divovod
#   share/doc/divovod/README.md, LICENSE, user-guide.md, episode-format.md
# A Debian package instead carries the man page and the changelog gzipped and the licence as
# its copyright file, as Debian's policy asks.
include(GNUInstallDirs)

install(TARGETS divovod RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(WIN32)
  return()
endif()

set(DIVOVOD_MAN_PAGE ${PROJECT_SOURCE_DIR}/docs/divovod.1)
set(DIVOVOD_COMPLETION ${PROJECT_SOURCE_DIR}/docs/divovod.bash-completion)
install(FILES ${DIVOVOD_COMPLETION} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME divovod)

if(NOT DIVOVOD_DEBIAN_PACKAGE)
  install(FILES ${DIVOVOD_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
                ${PROJECT_SOURCE_DIR}/docs/user-guide.md
                ${PROJECT_SOURCE_DIR}/docs/episode-format.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  return()
endif()

# gzip -n: no name or time stamp inside, so the package is the same from build to build.
find_program(DIVOVOD_GZIP gzip REQUIRED)
set(gzipped ${CMAKE_BINARY_DIR}/debian)
add_custom_command(OUTPUT ${gzipped}/divovod.1.gz ${gzipped}/changelog.gz
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${gzipped}
                   COMMAND ${DIVOVOD_GZIP} -9n -c ${DIVOVOD_MAN_PAGE} > ${gzipped}/divovod.1.gz
                   COMMAND ${DIVOVOD_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
                           > ${gzipped}/changelog.gz
                   DEPENDS ${DIVOVOD_MAN_PAGE} ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
                   VERBATIM)
add_custom_target(divovod_debian_files ALL DEPENDS ${gzipped}/divovod.1.gz ${gzipped}/changelog.gz)
install(FILES ${gzipped}/divovod.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${gzipped}/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
              ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/user-guide.md
              ${PROJECT_SOURCE_DIR}/docs/episode-format.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME divovod)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "divovod developers <divovod@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "episode file builder for an episodes-and-levels game")
# CPack puts the summary first, as the synopsis, and indents these lines after it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "divovod builds one episode file from three 256-colour pictures and a few
answers: interactively, with a boxed menu and a short dialogue in the
terminal, or from scripts with the build, show and extract commands.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
include(CPack)
