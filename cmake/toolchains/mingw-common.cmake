# Shared part of the mingw-w64 toolchains. Expects KQ_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR to be set by the including file.
#
# The -posix compiler variants are used: their libstdc++ has std::thread and
# std::mutex (the simulated reader and the tests need them). Everything is
# linked statically (libgcc, libstdc++, winpthread), so the DLLs and programs
# need nothing but Windows' own system DLLs.
set(CMAKE_SYSTEM_NAME Windows)

foreach(tool_var C_COMPILER CXX_COMPILER)
  if(tool_var STREQUAL "C_COMPILER")
    set(tool_name gcc)
  else()
    set(tool_name g++)
  endif()
  find_program(KQ_MINGW_${tool_var} NAMES ${KQ_MINGW_TRIPLE}-${tool_name}-posix)
  if(NOT KQ_MINGW_${tool_var})
    message(FATAL_ERROR "${KQ_MINGW_TRIPLE}-${tool_name}-posix not found: "
                        "run scripts/deps.sh cross")
  endif()
  set(CMAKE_${tool_var} ${KQ_MINGW_${tool_var}})
endforeach()
set(CMAKE_RC_COMPILER ${KQ_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${KQ_MINGW_TRIPLE}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${KQ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# GoogleTest is built from Debian's source package for this target.
set(KQ_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
