# 32-bit Windows: kq.dll with __stdcall exports under their plain names, the
# simulated reader DLL and the test programs. The tests run under Wine 10 in
# its WoW64 mode (32-bit code in a 64-bit Wine process), from the Debian 13
# root that scripts/test-wow64.sh makes, through scripts/wow64-run.sh.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KQ_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wow64-run.sh)
# Test programs are listed when CTest runs (under Wine), not at build time, so
# that building needs no Wine.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
