# Install rules and the Debian packages (`make package`), in two components:
# - Runtime, package libostrel1: the library (libOstrel.so.1 and its versioned file), the tool, its
#   manual page and its bash completion;
# - Development, package libostrel-dev: the headers, the libOstrel.so link, the CMake package and
#   the pkg-config file.
# Configured with CMAKE_INSTALL_PREFIX=/usr, GNUInstallDirs gives the Debian multiarch layout
# (lib/<triplet>); the CMake package and the pkg-config file find the prefix relative to
# themselves, so an installed tree can be moved.
include(CMakePackageConfigHelpers)

set(OSTREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrel)
install(TARGETS Ostrel EXPORT OstrelTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development)
if(TARGET ostrel)
    install(TARGETS ostrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
    if(TARGET ostrel_man)
        install(FILES ${PROJECT_BINARY_DIR}/share/man/man1/ostrel.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)
    endif()
    install(FILES ${PROJECT_BINARY_DIR}/share/bash-completion/completions/ostrel
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT Runtime)
endif()
install(DIRECTORY include/Ostrel ${PROJECT_BINARY_DIR}/include/Ostrel
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
install(EXPORT OstrelTargets NAMESPACE Ostrel:: FILE OstrelTargets.cmake
    DESTINATION ${OSTREL_CMAKE_DIR} COMPONENT Development)
configure_package_config_file(cmake/OstrelConfig.cmake.in ${PROJECT_BINARY_DIR}/OstrelConfig.cmake
    INSTALL_DESTINATION ${OSTREL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/OstrelConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
file(RELATIVE_PATH OSTREL_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(cmake/ostrel.pc.in ${PROJECT_BINARY_DIR}/ostrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/OstrelConfig.cmake ${PROJECT_BINARY_DIR}/OstrelConfigVersion.cmake
    DESTINATION ${OSTREL_CMAKE_DIR} COMPONENT Development)
install(FILES ${PROJECT_BINARY_DIR}/ostrel.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VENDOR "Ostrel developers")
set(CPACK_PACKAGE_CONTACT "Ostrel developers <ostrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL Runtime Development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libostrel${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libostrel-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "libostrel${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION}), libc6-dev")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "The shared library libOstrel.so.${PROJECT_VERSION_MAJOR} and the ostrel tool.")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "The headers, the CMake package and the pkg-config file of libOstrel.")
include(CPack)
