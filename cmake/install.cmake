# The client library as a package: versioned shared-library names, the
# example host built against it, what `cmake --install` puts where, the
# pkg-config and CMake package files, and the test that builds clients from
# the installed files only.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# libznp_dll.so -> libznp_dll.so.MAJOR -> libznp_dll.so.MAJOR.MINOR.PATCH
set_target_properties(znp_dll PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_include_directories(znp_dll PUBLIC
  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# The example cash-register client, in C, linked like any application (not
# in fuzzing trees, whose library needs the C++ sanitizer runtime).
if(NOT ZNP_FUZZ)
  add_executable(example_host ${CMAKE_SOURCE_DIR}/example/host.c)
  target_link_libraries(example_host PRIVATE znp_dll znp_options)
  target_compile_options(example_host PRIVATE -pedantic)
  set_target_properties(example_host PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
endif()

# What an installation holds.
set(ZNP_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/znp_dll)
set(ZNP_INSTALL_EXAMPLEDIR ${CMAKE_INSTALL_DATADIR}/znp/example)

install(TARGETS znp_dll EXPORT znp_dllTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS trv_71 EXPORT znp_dllTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
# Parameter files carry a signature: an operator who edits one signs it again.
install(TARGETS sign_param_file RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
# Makes a till's directory with its own program file (trv_71_<POS>).
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/new-till.sh DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME znp_new_till
        COMPONENT runtime)
install(FILES ${CMAKE_SOURCE_DIR}/include/znp_dll.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

# The documents keep the layout of the source tree, so that their links
# work where they are installed: README.md and CHANGELOG.md, docs/, the
# example host and the simulators' guide.
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT development)
install(FILES ${CMAKE_SOURCE_DIR}/docs/integration.md ${CMAKE_SOURCE_DIR}/docs/operations.md
              ${CMAKE_SOURCE_DIR}/docs/options.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT development)
install(FILES ${CMAKE_SOURCE_DIR}/example/host.c ${CMAKE_SOURCE_DIR}/example/terminal.scn
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/example COMPONENT development)
install(FILES ${CMAKE_SOURCE_DIR}/tools/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/tools COMPONENT development)
# The configuration tree of one example till (the program's client directory
# without the program itself).
install(FILES ${CMAKE_SOURCE_DIR}/example/README.md DESTINATION ${ZNP_INSTALL_EXAMPLEDIR} COMPONENT runtime)
foreach(dir WCERT WCFG WPAF WTXT)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/example/${dir} DESTINATION ${ZNP_INSTALL_EXAMPLEDIR} COMPONENT runtime)
endforeach()
# The spool directory, where the program writes its trace.
install(DIRECTORY DESTINATION ${ZNP_INSTALL_EXAMPLEDIR}/WOut COMPONENT runtime)

# pkg-config: the prefix is found from the .pc file's own place, so a tree
# installed with --prefix or DESTDIR anywhere describes itself. The file is
# written at install time: only then is the prefix known, and with it
# whether Libs needs a run path (cmake/install_pc.cmake.in).
file(RELATIVE_PATH ZNP_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ZNP_PC_TO_PREFIX "${ZNP_PC_TO_PREFIX}")
set(ZNP_PC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/znp_dll.pc.in)
configure_file(${CMAKE_CURRENT_LIST_DIR}/install_pc.cmake.in ${CMAKE_BINARY_DIR}/install_pc.cmake @ONLY)
install(SCRIPT ${CMAKE_BINARY_DIR}/install_pc.cmake COMPONENT development)

# CMake package: find_package(znp_dll) gives znp_dll::znp_dll (the library)
# and znp_dll::trv_71 (the program).
install(EXPORT znp_dllTargets NAMESPACE znp_dll:: DESTINATION ${ZNP_INSTALL_CMAKEDIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/znp_dllConfig.cmake.in
  ${CMAKE_BINARY_DIR}/znp_dllConfig.cmake INSTALL_DESTINATION ${ZNP_INSTALL_CMAKEDIR}
  PATH_VARS ZNP_INSTALL_EXAMPLEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/znp_dllConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/znp_dllConfig.cmake ${CMAKE_BINARY_DIR}/znp_dllConfigVersion.cmake
        DESTINATION ${ZNP_INSTALL_CMAKEDIR} COMPONENT development)

# Clients built from the installed files alone (pkg-config and find_package),
# and the example host run against the installed library and program. Not in
# sanitizer or fuzzing trees: their library needs the sanitizer runtime
# loaded first, which a plain client does not do.
if(ZNP_TESTS AND NOT ZNP_SANITIZE AND NOT ZNP_FUZZ)
  add_test(NAME installed_package
           COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-install.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(installed_package PROPERTIES TIMEOUT 300)
endif()

# The dependency installer, against fake package tools.
if(ZNP_TESTS)
  add_test(NAME install_deps_script COMMAND ${CMAKE_SOURCE_DIR}/tests/scripts/install_deps_test.sh)
endif()
