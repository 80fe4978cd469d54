# Install rules, the CMake package, the pkg-config file and the Debian package.
include(CMakePackageConfigHelpers)

set(ZRV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZRVWeaponDetection)

# Two components, two Debian packages: Runtime (libraries, host program, demo models,
# tools, documentation) and Development (headers, CMake package, pkg-config file).
install(TARGETS zrv_headers ZRVLIB ZRVCustomWeaponDetection
  EXPORT ZRVWeaponDetectionTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/zrv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
install(EXPORT ZRVWeaponDetectionTargets NAMESPACE ZRV:: DESTINATION ${ZRV_CMAKE_DIR}
  COMPONENT Development)
configure_package_config_file(packaging/ZRVWeaponDetectionConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZRVWeaponDetectionConfig.cmake INSTALL_DESTINATION ${ZRV_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZRVWeaponDetectionConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ZRVWeaponDetectionConfig.cmake
              ${PROJECT_BINARY_DIR}/ZRVWeaponDetectionConfigVersion.cmake
        DESTINATION ${ZRV_CMAKE_DIR} COMPONENT Development)

file(RELATIVE_PATH ZRV_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(packaging/zrv-weapon-detection.pc.in ${PROJECT_BINARY_DIR}/zrv-weapon-detection.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zrv-weapon-detection.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT Development)

# The OpenVINO runtime that libZRVLIB runs on comes from a PyPI wheel, not from a Debian
# package: its libraries go along in a folder of the engine's own, found through the engine's
# RUNPATH and kept out of the system's library path. Only what the engine uses: the runtime,
# the CPU plug-in and the ONNX front end, which the runtime looks for beside itself, and the
# TBB the three are linked against (in a process that also loads Debian's OpenCV, the
# system's libtbb.so.12 is loaded first and serves all of them). TBB's optional topology
# helpers (tbbbind, hwloc) are left out: TBB runs without them, and it looks for them beside
# whichever libtbb.so.12 was loaded.
if(OpenVINO_FOUND)
  set(ZRV_OPENVINO_LIBDIR ${CMAKE_INSTALL_LIBDIR}/${ZRV_PACKAGE_NAME}/openvino)
  install(FILES $<TARGET_FILE:openvino::runtime>
                $<TARGET_FILE_DIR:openvino::runtime>/libopenvino_intel_cpu_plugin.so
                $<TARGET_FILE:openvino::frontend::onnx>
                $<TARGET_FILE_DIR:openvino::runtime>/libtbb.so.12
          DESTINATION ${ZRV_OPENVINO_LIBDIR} COMPONENT Runtime)
  file(RELATIVE_PATH ZRV_LIB_TO_OPENVINO /prefix/${CMAKE_INSTALL_LIBDIR} /prefix/${ZRV_OPENVINO_LIBDIR})
  # In the build tree the engine runs against the wheel's folder (CMake's build RUNPATH).
  set_target_properties(ZRVLIB PROPERTIES INSTALL_RPATH "$ORIGIN/${ZRV_LIB_TO_OPENVINO}")
endif()

if(ZRV_BUILD_APPS)
  install(TARGETS weapon-detect RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
endif()
install(FILES models/demo/train_last.onnx models/demo/classes.names
              models/demo/filter.onnx models/demo/filter.names
        DESTINATION ${ZRV_DATA_SUBDIR}/models/demo COMPONENT Runtime)
install(PROGRAMS tools/fix_broadcast.py DESTINATION ${ZRV_DATA_SUBDIR}/tools COMPONENT Runtime)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Runtime)
# The README links into docs/: the guide goes beside it.
install(FILES docs/design.md docs/host-program.md docs/benchmarks.md docs/developing.md docs/integrating.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT Runtime)
install(DIRECTORY docs/screenshots DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT Runtime FILES_MATCHING
        PATTERN "*.png")
install(FILES packaging/site.example.yaml packaging/weapon-detect.service
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT Runtime OPTIONAL)

# Debian packages: cpack -G DEB in the build folder.
set(CPACK_PACKAGE_NAME ${ZRV_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "ZRV")
set(CPACK_PACKAGE_CONTACT "ZRV weapon detection <weapon-detection@zrv.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL Runtime Development)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# Run-time dependencies come from the binaries themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ZRV_PACKAGE_NAME})
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Weapon-detection plug-in module for video-analytics hosts
 The module libZRVCustomWeaponDetection.so with its inference engine libZRVLIB.so on
 OpenVINO's CPU runtime, with OpenCV's DNN module as a build option, the host program
 weapon-detect, small demo models and the model fix-up tool.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${ZRV_PACKAGE_NAME}-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "${ZRV_PACKAGE_NAME} (= ${PROJECT_VERSION}), libopencv-dev")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "Weapon-detection plug-in module: development files
 Public headers with the host and engine contracts, the CMake package ZRVWeaponDetection
 (targets ZRV::Headers, ZRV::WeaponDetection, ZRV::Engine) and the pkg-config file
 zrv-weapon-detection.")
include(CPack)
