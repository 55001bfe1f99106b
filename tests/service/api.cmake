# The real kqd on 127.0.0.1 and a free port with the simulated reader,
# driven over HTTP by pytest (tests/service/test_*.py).
# The first python3 that has pytest and yaml (Debian's, before a user's
# own interpreter that may lack them).
unset(KQD_PYTHON)
find_program(kqd_python_system python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(kqd_python_path python3)
foreach(candidate ${kqd_python_system} ${kqd_python_path})
  execute_process(COMMAND ${candidate} -c "import pytest, yaml" RESULT_VARIABLE kqd_py_missing
                  OUTPUT_QUIET ERROR_QUIET)
  if(NOT kqd_py_missing AND NOT KQD_PYTHON)
    set(KQD_PYTHON ${candidate})
  endif()
endforeach()
if(NOT KQD_PYTHON)
  message(WARNING "kqd's API tests need python3 with pytest and yaml (scripts/deps.sh service)")
  return()
endif()
foreach(suite kqd openapi)
  add_test(NAME kqd_api_${suite}
           COMMAND ${KQD_PYTHON} -m pytest -q -p no:cacheprovider
                   ${CMAKE_CURRENT_SOURCE_DIR}/service/test_${suite}.py
           WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/service)
  set_tests_properties(kqd_api_${suite} PROPERTIES TIMEOUT 300
    ENVIRONMENT "KQD=$<TARGET_FILE:kqd>;KQD_OPENAPI=${PROJECT_SOURCE_DIR}/service/openapi.yaml")
endforeach()
