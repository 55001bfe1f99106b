# The built-in serial provider (Linux): its unit tests over pseudo-terminals,
# the provider-selection rows of KQ_D2XX, and the library end to end through
# the serial provider against kqsim on a pseudo-terminal.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

add_library(kq_serial_support STATIC serial/serial_support.cpp)
target_include_directories(kq_serial_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/serial)
target_link_libraries(kq_serial_support PUBLIC Threads::Threads)
if(TARGET kqsim)
  target_compile_definitions(kq_serial_support PRIVATE KQSIM_PROGRAM_PATH="$<TARGET_FILE:kqsim>")
endif()

# Unit tests: the provider's D2XX table called directly.
kq_test(serial_provider_test INTERNAL serial/serial_provider_test.cpp)
target_link_libraries(serial_provider_test PRIVATE kq_serial_support)

# kqtool's permission diagnosis against fake sysfs trees.
kq_test(serial_diagnose_test serial/diagnose_test.cpp
        ${PROJECT_SOURCE_DIR}/tools/kqtool/diagnose.cpp)
target_include_directories(serial_diagnose_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/kqtool)
target_link_libraries(serial_diagnose_test PRIVATE kq_serial_support kq_serial_ports)

# Provider selection: one test process per row, each with its own
# environment. KQ_TEST_KEEP_D2XX keeps the test main from pointing KQ_D2XX
# at the simulator.
add_executable(provider_select_test serial/provider_select_test.cpp)
target_link_libraries(provider_select_test PRIVATE kq_test_support_shared kq_serial_support
                                                   ${CMAKE_DL_LIBS})
if(TARGET kqsim)
  add_dependencies(provider_select_test kqsim)
endif()

# The simulator under the vendor's file name, alone in a folder of its own.
set(KQ_VENDOR_DIR ${CMAKE_CURRENT_BINARY_DIR}/vendor-lib)
set(KQ_EMPTY_DIR ${CMAKE_CURRENT_BINARY_DIR}/no-vendor-lib)
add_custom_command(TARGET provider_select_test POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KQ_VENDOR_DIR} ${KQ_EMPTY_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kqsim_d2xx> ${KQ_VENDOR_DIR}/libftd2xx.so
  VERBATIM)

function(kq_select_row row test)
  add_test(NAME provider_select.${row}
           COMMAND provider_select_test --gtest_filter=ProviderSelect.${test})
  set_tests_properties(provider_select.${row} PROPERTIES TIMEOUT 120
    ENVIRONMENT "KQ_TEST_KEEP_D2XX=1;KQ_SELECT_ROW=${row};${ARGN}")
endfunction()
kq_select_row(vendor VendorLibraryFoundOnTheLibraryPath "KQ_D2XX=" "LD_LIBRARY_PATH=${KQ_VENDOR_DIR}")
kq_select_row(path LibraryNamedByPath "KQ_D2XX=$<TARGET_FILE:kqsim_d2xx>")
kq_select_row(serial SerialProviderByName "KQ_D2XX=serial")
kq_select_row(fallback VendorLibraryMissingFallsBackToSerial "KQ_D2XX="
              "LD_LIBRARY_PATH=${KQ_EMPTY_DIR}")
kq_select_row(none NoProvider "KQ_D2XX=/nonexistent/libftd2xx.so")
# A library that loads but lacks the D2XX functions: no provider either.
add_test(NAME provider_select.incomplete COMMAND provider_select_test
         --gtest_filter=ProviderSelect.NoProvider)
set_tests_properties(provider_select.incomplete PROPERTIES TIMEOUT 120
  ENVIRONMENT "KQ_TEST_KEEP_D2XX=1;KQ_SELECT_ROW=none;KQ_D2XX=$<TARGET_FILE:kq>")

# End to end: the library through the serial provider against kqsim.
if(TARGET kqsim)
  add_executable(serial_e2e_test serial/serial_e2e_test.cpp)
  target_link_libraries(serial_e2e_test PRIVATE kq_test_support_shared kq_serial_support)
  add_dependencies(serial_e2e_test kqsim)
  # Test cases found in the source, so that the environment (a list) can be
  # set on them.
  gtest_add_tests(TARGET serial_e2e_test TEST_LIST kq_serial_e2e_tests)
  set_tests_properties(${kq_serial_e2e_tests} PROPERTIES TIMEOUT 300
    ENVIRONMENT "KQ_TEST_KEEP_D2XX=1;KQ_D2XX=serial")
endif()
