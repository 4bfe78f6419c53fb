# Installs the library as C and C++ hosts expect to find it: header, versioned shared library,
# a pkg-config file and a CMake package giving the imported target MivoVoiceIO::MivoVoiceIO.
include(CMakePackageConfigHelpers)

set(MIVO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/MivoVoiceIO)

install(TARGETS MivoVoiceIO EXPORT MivoVoiceIOTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/mivo_voice_io.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT MivoVoiceIOTargets NAMESPACE MivoVoiceIO:: DESTINATION ${MIVO_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/MivoVoiceIOConfig.cmake.in
  ${PROJECT_BINARY_DIR}/MivoVoiceIOConfig.cmake INSTALL_DESTINATION ${MIVO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/MivoVoiceIOConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/MivoVoiceIOConfig.cmake ${PROJECT_BINARY_DIR}/MivoVoiceIOConfigVersion.cmake
        DESTINATION ${MIVO_CMAKE_DIR})

# pkg-config wants the prefix chosen at install time, not at configure time.
install(CODE "
  set(CMAKE_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/mivo-voice-io.pc.in\"
                 \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/mivo-voice-io.pc\" @ONLY)
")
