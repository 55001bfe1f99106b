# kqd's default config (packaging/kqd/kqd.toml) and man page (kqd.8) against
# the options of the kqd just built: every option in both, the same
# defaults, every key accepted. Label: service.
if(NOT TARGET kqd)
  return()
endif()
find_package(Python3 COMPONENTS Interpreter QUIET)
if(NOT Python3_Interpreter_FOUND)
  message(STATUS "kqd_config_docs: no Python 3, the test is not registered")
  return()
endif()
add_test(NAME kqd_config_docs
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/config_docs_test.py
                 --kqd $<TARGET_FILE:kqd> --toml ${PROJECT_SOURCE_DIR}/packaging/kqd/kqd.toml
                 --man ${PROJECT_SOURCE_DIR}/packaging/man/kqd.8
                 --www ${PROJECT_SOURCE_DIR}/service/www)
set_tests_properties(kqd_config_docs PROPERTIES LABELS "service" TIMEOUT 60)
