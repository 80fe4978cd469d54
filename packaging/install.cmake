# Install rules, the CMake package, the pkg-config file and the Debian package.
include(CMakePackageConfigHelpers)

set(ZRV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZRVWeaponDetection)

install(TARGETS zrv_headers ZRVLIB ZRVCustomWeaponDetection
  EXPORT ZRVWeaponDetectionTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/zrv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT ZRVWeaponDetectionTargets NAMESPACE ZRV:: DESTINATION ${ZRV_CMAKE_DIR})
configure_package_config_file(packaging/ZRVWeaponDetectionConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZRVWeaponDetectionConfig.cmake INSTALL_DESTINATION ${ZRV_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZRVWeaponDetectionConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ZRVWeaponDetectionConfig.cmake
              ${PROJECT_BINARY_DIR}/ZRVWeaponDetectionConfigVersion.cmake
        DESTINATION ${ZRV_CMAKE_DIR})

file(RELATIVE_PATH ZRV_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(packaging/zrv-weapon-detection.pc.in ${PROJECT_BINARY_DIR}/zrv-weapon-detection.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zrv-weapon-detection.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(ZRV_BUILD_APPS)
  install(TARGETS weapon-detect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES models/demo/train_last.onnx models/demo/classes.names
              models/demo/filter.onnx models/demo/filter.names
        DESTINATION ${ZRV_DATA_SUBDIR}/models/demo)
install(PROGRAMS tools/fix_broadcast.py DESTINATION ${ZRV_DATA_SUBDIR}/tools)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/site.example.yaml packaging/weapon-detect.service
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples OPTIONAL)

# Debian package: cpack -G DEB in the build folder.
set(CPACK_PACKAGE_NAME ${ZRV_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "ZRV")
set(CPACK_PACKAGE_CONTACT "ZRV weapon detection <weapon-detection@zrv.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY ${ZRV_PACKAGE_NAME})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# Run-time libraries from the binaries themselves; the headers need OpenCV's core headers.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libopencv-core-dev")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Weapon-detection plug-in module for video-analytics hosts
 The module libZRVCustomWeaponDetection.so with its inference engine libZRVLIB.so on
 OpenCV's DNN module, the public headers, a CMake package and a pkg-config file, the
 host program weapon-detect and small demo models.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
