# Records, USB link and frame exchange.

# The exported functions, as a client loads the shared library.
kq_test(link_test link/records_test.cpp link/usb_link_test.cpp)
target_compile_definitions(link_test PRIVATE KQ_LIBRARY_PATH="$<TARGET_FILE:kq>"
                                             KQ_LIBRARY_NAME="$<TARGET_FILE_NAME:kq>")
if(NOT WIN32)
  target_link_libraries(link_test PRIVATE ${CMAKE_DL_LIBS})
endif()

# The internal operations: connection check, SendFrame, ReceiveFrame, ReadRaw.
kq_test(link_exchange_test INTERNAL link/connection_test.cpp link/frame_exchange_test.cpp)

# No heap allocation in the link and exchange code. The library is bound to a
# pass-through driver that marks its calls into the simulated reader, so the
# simulator's own allocations are told apart (Linux: it replaces the C
# library's allocator entry points or uses the sanitizer's hook).
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_library(kq_link_d2xx_meter SHARED link/meter/d2xx_meter.cpp)
  target_compile_definitions(kq_link_d2xx_meter PRIVATE
    KQSIM_LIBRARY_PATH="$<TARGET_FILE:kqsim_d2xx>")
  target_link_libraries(kq_link_d2xx_meter PRIVATE kqsim_d2xx ${CMAKE_DL_LIBS})
  target_include_directories(kq_link_d2xx_meter PRIVATE ${PROJECT_SOURCE_DIR}/src)
  set_target_properties(kq_link_d2xx_meter PROPERTIES CXX_VISIBILITY_PRESET hidden)

  kq_test(link_alloc_test INTERNAL link/alloc_test.cpp)
  target_link_libraries(link_alloc_test PRIVATE kq_link_d2xx_meter kq_serial_support)
  target_compile_definitions(link_alloc_test PRIVATE
    KQ_METER_LIBRARY_PATH="$<TARGET_FILE:kq_link_d2xx_meter>")
endif()

# Traffic tracing: each test process points KQ_TRACE at its own file before
# the driver is bound.
if(NOT WIN32)
  kq_test(link_trace_test link/trace_test.cpp)
endif()
