# What `cmake --install` puts where, and the Debian package made of the same files
# (`cpack -G DEB`, scripts/package). Host builds only.
#
#   bin/                      quelta-driver, quelta
#   lib/ (multiarch for /usr) libquelta_client.so.MAJOR (C API), libquelta_client.a (C++ and C),
#                             pkgconfig/quelta-client.pc, cmake/quelta/ (find_package(quelta))
#   include/quelta/           client/ and wire/: the headers of the C and the C++ API, laid out as
#                             in the source tree, so that programs include "client/Device.h"
#                             with -I<prefix>/include/quelta as the project's own code does
#   share/man/man1/           quelta(1), quelta-driver(1)
#   share/bash-completion/    completion of quelta's commands, devices and options
#   share/doc/quelta/         README.md, docs/, examples/, copyright, changelog.gz
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUELTA_PACKAGING ${PROJECT_SOURCE_DIR}/packaging)
set(QUELTA_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/quelta)
set(QUELTA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quelta)
set(QUELTA_PACKAGE_MAINTAINER "Quelta driver developers <quelta-dev@example.com>"
    CACHE STRING "Maintainer named in the Debian package")

install(TARGETS quelta-driver quelta RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The libraries as quelta::client (static: the C++ API, with the C API) and quelta::client_shared
# (the C API alone, which is all the shared library exports).
set_target_properties(quelta_client PROPERTIES EXPORT_NAME client)
set_target_properties(quelta_client_shared PROPERTIES EXPORT_NAME client_shared)
target_compile_features(quelta_client INTERFACE cxx_std_20)
foreach(library quelta_client quelta_client_shared)
  target_include_directories(${library} INTERFACE $<INSTALL_INTERFACE:${QUELTA_INCLUDE_DIR}>)
endforeach()
install(TARGETS quelta_client quelta_client_shared EXPORT quelta-targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# With --strip (and in the package), as Debian strips: the static library loses its debug
# information, and every binary the compilers' notes in .comment.
install(CODE "set(quelta_strip \"${CMAKE_STRIP}\")
              set(quelta_libdir \"${CMAKE_INSTALL_LIBDIR}\")
              set(quelta_bindir \"${CMAKE_INSTALL_BINDIR}\")")
install(CODE [[
  if(CMAKE_INSTALL_DO_STRIP)
    set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    execute_process(COMMAND "${quelta_strip}" --strip-debug --remove-section=.comment
                            --enable-deterministic-archives
                            "${root}/${quelta_libdir}/$<TARGET_FILE_NAME:quelta_client>"
                    COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND "${quelta_strip}" --remove-section=.comment
                            "${root}/${quelta_libdir}/$<TARGET_FILE_NAME:quelta_client_shared>"
                            "${root}/${quelta_bindir}/$<TARGET_FILE_NAME:quelta>"
                            "${root}/${quelta_bindir}/$<TARGET_FILE_NAME:quelta-driver>"
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
]])
install(FILES client/quelta_client.h client/Device.h client/DeviceClaim.h client/DeviceName.h
              client/Error.h client/LineSettings.h client/LineSignals.h
        DESTINATION ${QUELTA_INCLUDE_DIR}/client)
install(FILES wire/EventBlock.h wire/ExtensionRecords.h wire/LineConfig.h wire/StatusBytes.h
        DESTINATION ${QUELTA_INCLUDE_DIR}/wire)

install(EXPORT quelta-targets NAMESPACE quelta:: DESTINATION ${QUELTA_CMAKE_DIR})
configure_package_config_file(${QUELTA_PACKAGING}/quelta-config.cmake.in
                              ${PROJECT_BINARY_DIR}/quelta-config.cmake
                              INSTALL_DESTINATION ${QUELTA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quelta-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quelta-config.cmake
              ${PROJECT_BINARY_DIR}/quelta-config-version.cmake
        DESTINATION ${QUELTA_CMAKE_DIR})

# pkg-config's file names the prefix it is installed under, which `cmake --install --prefix`
# chooses only then: the version and the folders go in now, the prefix at install time.
set(prefix "@prefix@")
configure_file(${QUELTA_PACKAGING}/quelta-client.pc.in ${PROJECT_BINARY_DIR}/quelta-client.pc.in
               @ONLY)
install(CODE "set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/quelta-client.pc.in\"
                 \"${PROJECT_BINARY_DIR}/quelta-client.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/quelta-client.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Manual pages and the changelog compressed, as Debian keeps them.
set(compressed)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging)
foreach(source man/quelta.1 man/quelta-driver.1 packaging/changelog)
  get_filename_component(name ${source} NAME)
  set(output ${PROJECT_BINARY_DIR}/packaging/${name}.gz)
  add_custom_command(OUTPUT ${output}
                     COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/${source} > ${output}
                     DEPENDS ${PROJECT_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND compressed ${output})
endforeach()
add_custom_target(quelta_compressed_docs ALL DEPENDS ${compressed})
list(POP_BACK compressed changelog)
install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES completion/quelta.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME quelta)

install(FILES README.md ${QUELTA_PACKAGING}/copyright ${changelog}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs examples DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian changelog names the version it describes; a new version gets its entry.
file(STRINGS ${QUELTA_PACKAGING}/changelog entry LIMIT_COUNT 1)
if(NOT entry MATCHES "^quelta \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: its first entry is not for version ${PROJECT_VERSION}")
endif()
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  install(FILES ${QUELTA_PACKAGING}/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME quelta)
endif()

set(CPACK_PACKAGE_NAME quelta)
set(CPACK_PACKAGE_VENDOR "Quelta driver developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "driver and tools for Quelta multi-port PCI serial boards (simulated)")
set(CPACK_PACKAGE_DESCRIPTION
    "The real-time serial driver for Quelta 2, 4 and 8 channel PCI boards, running\n\
against a simulated machine whose boards behave like the real ones, with the\n\
quelta command-line tool (ports, a pseudo-terminal bridge, an RFC 2217 server),\n\
the client library for C and C++, and its development files.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUELTA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends from the libraries the programs link (dpkg-shlibdeps); the shlibs file and the ldconfig
# trigger for the shared library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${QUELTA_PACKAGING}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Installed under DESTDIR with the real prefix, so that quelta-client.pc names /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

# The manual pages against the help of the programs just built, in every build with tests.
if(QUELTA_TESTS)
  enable_testing()
  add_test(NAME ManPages.MatchTheHelp
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-manpages $<TARGET_FILE:quelta>
                   $<TARGET_FILE:quelta-driver> ${PROJECT_SOURCE_DIR}/README.md
                   ${PROJECT_SOURCE_DIR}/man)
  set_tests_properties(ManPages.MatchTheHelp PROPERTIES LABELS install)
endif()
