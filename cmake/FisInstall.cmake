# cmake --install and the Debian packages (cpack in the build folder).
#
#   <prefix>/bin                    fiscal-client, fis98100-report, fis98100-server, fis98100-call
#   <prefix>/lib/fis98100           the module libfis98100.so and the host's shared libraries
#   <prefix>/share/fis98100         reports/ (definitions and the DARF emblem), schema.sql
#   <prefix>/share/applications, <prefix>/share/icons   the client's desktop entry and icon
#   <prefix>/lib/systemd/system     the server's unit; <prefix>/share/doc/fis98100-server holds
#                                   the deployment guide and an example /etc/default file
#
# The programs find the module and the reports relative to their own folder (../lib/fis98100,
# ../share/fis98100), as in the build tree, so no build path is compiled in.
include(GNUInstallDirs)
set(FIS_INSTALL_LIBDIR lib/fis98100)
set(FIS_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/fis98100)

set(_fis_exes fiscal-client fis98100-report fis98100-server fis98100-call)
set(_fis_libs fis_hostcore fis_host fis98100)
foreach(_t ${_fis_exes})
  set_target_properties(${_t} PROPERTIES INSTALL_RPATH "$ORIGIN/../${FIS_INSTALL_LIBDIR}")
endforeach()
foreach(_t ${_fis_libs})
  set_target_properties(${_t} PROPERTIES INSTALL_RPATH "$ORIGIN")
endforeach()

install(TARGETS fis_hostcore LIBRARY DESTINATION ${FIS_INSTALL_LIBDIR} COMPONENT common)
install(TARGETS fiscal-client fis98100-report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT client)
install(TARGETS fis_host fis98100 LIBRARY DESTINATION ${FIS_INSTALL_LIBDIR} COMPONENT client)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/database/reports/ DESTINATION ${FIS_INSTALL_DATADIR}/reports
        COMPONENT client PATTERN README.md EXCLUDE PATTERN .gitkeep EXCLUDE)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/fis98100-client.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT client)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/fis98100.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT client)

install(TARGETS fis98100-server fis98100-call RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT server)
install(FILES ${CMAKE_SOURCE_DIR}/database/schema.sql DESTINATION ${FIS_INSTALL_DATADIR}
        COMPONENT server)
install(FILES ${CMAKE_SOURCE_DIR}/docs/deployment.md
              ${CMAKE_SOURCE_DIR}/packaging/fis98100-server.default
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/fis98100-server COMPONENT server)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/fis98100-server.service
        DESTINATION lib/systemd/system COMPONENT server)

# Debian packages: fis98100-common (the shared core), fis98100-client (client and module) and
# fis98100-server. dpkg-shlibdeps finds the libraries' packages; what is loaded at run time
# (the Firebird driver of Qt, the engine, gbak, adduser) is declared by hand.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fis98100)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "fis98100")
set(CPACK_PACKAGE_CONTACT "fis98100 <fis98100@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL common client server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries are private to the packages: dpkg-shlibdeps looks for them in the build.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(_fis_dep_version "fis98100-common (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_COMMON_PACKAGE_NAME fis98100-common)
set(CPACK_COMPONENT_COMMON_DESCRIPTION "fis98100: shared libraries of the client and the server")
set(CPACK_DEBIAN_COMMON_PACKAGE_DEPENDS "libqt6sql6-ibase")

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME fis98100-client)
set(CPACK_COMPONENT_CLIENT_DESCRIPTION
    "fis98100: the clerks' client with the screen Emissão da Darf por Documento")
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS
    "${_fis_dep_version}, libqt6sql6-ibase, firebird3.0-server-core, fonts-dejavu-core")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME fis98100-server)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "fis98100: the application server (fis98100-server) and fis98100-call")
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS
    "${_fis_dep_version}, libqt6sql6-ibase, firebird3.0-server-core, firebird3.0-utils, adduser")
# dpkg takes maintainer scripts by their file name.
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/server/postinst
                                              ${CMAKE_SOURCE_DIR}/packaging/server/postrm)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
