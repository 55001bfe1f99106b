# 64-bit Windows: kq.dll, the simulated reader DLL and the test programs. The
# tests run under Wine through scripts/wine-run.sh (quiet, own prefix).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KQ_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run.sh)
# Test programs are listed when CTest runs (under Wine), not at build time, so
# that building needs no Wine.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
