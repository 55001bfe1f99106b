# The README's first C program and its client build and run lines (Linux,
# native builds of the shared library: the lines use the host's cc).
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT CMAKE_CROSSCOMPILING AND TARGET kq)
  get_target_property(KQ_DOCS_LIB_TYPE kq TYPE)
  if(KQ_DOCS_LIB_TYPE STREQUAL "SHARED_LIBRARY")
    add_test(NAME readme_snippets
      COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/docs/readme_test.sh ${PROJECT_SOURCE_DIR}
              $<TARGET_FILE_DIR:kq> ${CMAKE_CURRENT_BINARY_DIR}/readme_test
              ${CMAKE_C_COMPILER} "${CMAKE_C_FLAGS}")
    set_tests_properties(readme_snippets PROPERTIES LABELS docs TIMEOUT 120)
  endif()
endif()
