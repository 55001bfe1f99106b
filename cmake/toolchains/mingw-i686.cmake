# 32-bit Windows: kq.dll with __stdcall exports under their plain names.
# Built and checked here (exports, layout at compile time); not run.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KQ_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
