# The names kq.h gives result codes and driver statuses; the test reads the
# header's list of result codes at run time.
kq_test(kq_header_test header/names_test.cpp)
target_compile_definitions(kq_header_test PRIVATE
                           KQ_HEADER_PATH="${PROJECT_SOURCE_DIR}/include/kq.h")
