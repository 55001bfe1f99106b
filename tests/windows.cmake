# Windows: which D2XX provider the library binds (ftd2xx.dll by its plain
# name through the DLL search, a DLL named by KQ_D2XX, or none at all), one
# case per test process since the binding is made once per process.
if(NOT WIN32)
  return()
endif()

add_executable(windows_provider_test windows/provider_select_test.cpp)
target_link_libraries(windows_provider_test PRIVATE kq_test_support_shared)
# The simulated reader under the vendor's file name, in a folder of its own
# that the "vendor" case adds to the DLL search.
add_custom_command(TARGET windows_provider_test POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory $<TARGET_FILE_DIR:windows_provider_test>/vendor-dll
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kqsim_d2xx>
          $<TARGET_FILE_DIR:windows_provider_test>/vendor-dll/ftd2xx.dll
  VERBATIM)

function(kq_windows_provider_case row test)
  add_test(NAME windows_provider.${row}
           COMMAND windows_provider_test --gtest_filter=WindowsProvider.${test})
  set_tests_properties(windows_provider.${row} PROPERTIES TIMEOUT 120
    ENVIRONMENT "KQ_TEST_KEEP_D2XX=1;KQ_SELECT_ROW=${row}"
    SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
endfunction()
kq_windows_provider_case(vendor VendorDllByItsPlainName)
kq_windows_provider_case(named DllNamedByPathInTheProcessEnvironment)
kq_windows_provider_case(missing MissingDllMeansNoProvider)
kq_windows_provider_case(incomplete DllWithoutTheDriverFunctionsMeansNoProvider)

# kq.dll as a client program uses it: every export bound by its plain name
# and called through the client's own declaration, the stack pointer checked
# around each call (__stdcall on 32-bit Windows); the program's and DLL's
# word size; the notifications of every loop kind through a message loop of
# the client's own (GetMessageA on a message-only window).
kq_test(windows_client_test windows/exports_test.cpp windows/message_loop_test.cpp)
# The stack pointer read right after a call is the one the call left (no
# argument pops deferred), and a call that moved it cannot crash the caller
# (the frame pointer restores it).
set_source_files_properties(windows/exports_test.cpp PROPERTIES
  COMPILE_OPTIONS "-fno-omit-frame-pointer;-fno-defer-pop")

# Keeps Wine's desktop in use while a test run lasts (scripts/test-wow64.sh).
add_executable(kq_desktop_keeper windows/desktop_keeper.c)
