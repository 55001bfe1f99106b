# Install rules, the pkg-config file and the CMake package, the Windows
# version resources, and where an installed kqtool finds the simulated reader.
#
#   bin/                      kqtool, kqsim (Linux); kq.dll, kqsim_d2xx.dll (Windows)
#   include/kq.h
#   LIBDIR/libkq.so.0.2.0     with libkq.so.0 and libkq.so (Windows: libkq.dll.a)
#   LIBDIR/kq/                the simulated reader library (Linux)
#   LIBDIR/pkgconfig/kq.pc
#   LIBDIR/cmake/kq/          kqConfig.cmake, kqConfigVersion.cmake, kq::kq
#   KQ_UDEV_RULES_DIR         60-kq-reader.rules (Linux)
#   share/man/man1/           kqtool.1, kqsim.1 (Linux)
#   share/doc/kq/             README, CHANGELOG, LICENSE, docs/
#
# Components: "runtime" (the shared library), "dev" (header, link library,
# kq.pc, CMake package), "tools" (everything else).
include(CMakePackageConfigHelpers)

set(KQ_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kq
    CACHE STRING "Where the CMake package goes (relative to the prefix)")
set(KQ_INSTALL_SIMDIR ${CMAKE_INSTALL_LIBDIR}/kq
    CACHE STRING "Where the simulated reader library goes on Linux (relative to the prefix)")
set(KQ_UDEV_RULES_DIR lib/udev/rules.d
    CACHE STRING "Where the udev rule goes (relative to the prefix, or absolute)")
option(KQ_PKGCONFIG_RELOCATABLE
       "Write kq.pc with a prefix relative to its own folder (off: the install prefix)" ON)

# --- Windows version resources ---------------------------------------------
if(WIN32)
  function(kq_version_resource target description original_name)
    set(KQ_RC_DESCRIPTION "${description}")
    set(KQ_RC_ORIGINAL_NAME "${original_name}")
    set(KQ_RC_FILETYPE "${ARGN}")
    set(rc ${CMAKE_BINARY_DIR}/version/${target}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
  endfunction()
  kq_version_resource(kq "KQ RFID reader library" kq.dll VFT_DLL)
  kq_version_resource(kqsim_d2xx "KQ simulated reader (D2XX-compatible)" kqsim_d2xx.dll VFT_DLL)
  if(TARGET kqtool)
    kq_version_resource(kqtool "KQ reader command-line tool" kqtool.exe VFT_APP)
  endif()
endif()

# --- Where an installed kqtool finds the simulated reader ------------------
# Next to the executable (the build tree, the Windows archive) or, installed
# on Linux, in KQ_INSTALL_SIMDIR: kqtool gets that folder relative to its own,
# so the installed tree can move as a whole.
if(TARGET kqtool AND NOT WIN32)
  file(RELATIVE_PATH kq_sim_from_bin /kq-prefix/${CMAKE_INSTALL_BINDIR}
       /kq-prefix/${KQ_INSTALL_SIMDIR})
  target_compile_definitions(kqtool PRIVATE KQTOOL_SIM_LIBRARY_DIR="${kq_sim_from_bin}/")
endif()

# --- Run paths of installed programs ---------------------------------------
# Programs installed outside the system's library folders find libkq through
# a run path relative to themselves; the system folders need none.
if(NOT WIN32 AND NOT APPLE)
  list(FIND CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES ${CMAKE_INSTALL_FULL_LIBDIR} kq_system_libdir)
  if(kq_system_libdir EQUAL -1)
    file(RELATIVE_PATH kq_lib_from_bin /kq-prefix/${CMAKE_INSTALL_BINDIR}
         /kq-prefix/${CMAKE_INSTALL_LIBDIR})
    if(TARGET kqtool)
      set_target_properties(kqtool PROPERTIES INSTALL_RPATH "$ORIGIN/${kq_lib_from_bin}")
    endif()
  endif()
endif()

# --- The library, header and tools -----------------------------------------
install(TARGETS kq EXPORT kqTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/kq.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT dev)

if(WIN32)
  install(TARGETS kqsim_d2xx RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tools)
  install(FILES ${CMAKE_BINARY_DIR}/src/kq-kq.def DESTINATION ${CMAKE_INSTALL_LIBDIR}
          RENAME kq.def COMPONENT dev)
else()
  # A plug-in loaded by path, not a library to link against: no name link.
  install(TARGETS kqsim_d2xx LIBRARY DESTINATION ${KQ_INSTALL_SIMDIR} COMPONENT tools
          NAMELINK_SKIP)
endif()
foreach(program kqtool kqsim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/60-kq-reader.rules
          DESTINATION ${KQ_UDEV_RULES_DIR} COMPONENT tools)
  if(TARGET kqtool)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/man/kqtool.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endif()
  if(TARGET kqsim)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/man/kqsim.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endif()
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
              ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/examples/client.c
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT dev)

# --- pkg-config -------------------------------------------------------------
if(KQ_PKGCONFIG_RELOCATABLE AND NOT IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
  file(RELATIVE_PATH kq_prefix_from_pc /kq-prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /kq-prefix)
  string(REGEX REPLACE "/$" "" kq_prefix_from_pc "${kq_prefix_from_pc}")
  set(KQ_PC_PREFIX "\${pcfiledir}/${kq_prefix_from_pc}")
else()
  set(KQ_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE ${CMAKE_INSTALL_${dir}})
    set(KQ_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(KQ_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/kq.pc.in ${CMAKE_BINARY_DIR}/kq.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kq.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)

# --- CMake package: find_package(kq) -> kq::kq ------------------------------
install(EXPORT kqTargets NAMESPACE kq:: DESTINATION ${KQ_INSTALL_CMAKEDIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kqConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/kqConfig.cmake
                              INSTALL_DESTINATION ${KQ_INSTALL_CMAKEDIR})
# The ABI number is the major version: any 0.x satisfies a request for 0.y
# with y <= x.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kqConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kqConfig.cmake ${CMAKE_BINARY_DIR}/kqConfigVersion.cmake
        DESTINATION ${KQ_INSTALL_CMAKEDIR} COMPONENT dev)
