# Install rules of the Windows configuration that belong to no target: the
# native packer (built by the host configuration), the CMake package and the
# toolchain file. The targets install themselves where they are defined.
include(CMakePackageConfigHelpers)
install(PROGRAMS ${ONEFILE_PACK} DESTINATION bin)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/OnefileConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion
    # The package holds tools that run on the host, whatever the consumer builds.
    ARCH_INDEPENDENT)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/OnefileConfig.cmake
              ${CMAKE_BINARY_DIR}/OnefileConfigVersion.cmake
              ${CMAKE_CURRENT_LIST_DIR}/OnefilePack.cmake
              ${CMAKE_CURRENT_LIST_DIR}/OnefileStage.cmake
        DESTINATION lib/cmake/Onefile)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake DESTINATION share/onefile)
