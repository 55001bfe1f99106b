# 32-bit Linux (-m32, g++-multilib). The programs run under qemu-i386, so the
# tests also pass on kernels that cannot execute 32-bit code themselves.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

find_program(CMAKE_C_COMPILER NAMES gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES g++ REQUIRED)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

find_program(KQ_QEMU_I386 NAMES qemu-i386)
if(NOT KQ_QEMU_I386)
  message(FATAL_ERROR "qemu-i386 not found: run scripts/deps.sh cross")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${KQ_QEMU_I386})

# GoogleTest is built from Debian's source package with -m32.
set(KQ_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
# Test programs are listed when CTest runs (under qemu), not at build time.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
