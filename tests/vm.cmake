# The program scripts/test-vm.sh runs inside a virtual machine, against the
# kernel's own FTDI driver and emulated FTDI chips. Built with the rest, not
# run by CTest: it needs the machine's readers.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()
add_executable(kqvm_guest vm/kqvm_guest.cpp)
target_link_libraries(kqvm_guest PRIVATE kq Threads::Threads)
