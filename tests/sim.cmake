# The simulated reader's own tests. They talk to the simulator directly (the
# D2XX functions it exports, its model, the kqsim program) and do not need
# the KQ library, so they build on their own.
set(KQ_SIM_TEST_SOURCES
  sim/sim_test_util.cpp
  sim/model_timeline_test.cpp
  sim/model_commands_test.cpp
  sim/scenario_test.cpp
  sim/d2xx_device_test.cpp
  sim/d2xx_queue_test.cpp
  sim/d2xx_faults_test.cpp
  sim/d2xx_loop_test.cpp)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  list(APPEND KQ_SIM_TEST_SOURCES sim/kqsim_program_test.cpp)
endif()
list(TRANSFORM KQ_SIM_TEST_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)

add_executable(sim_test ${KQ_SIM_TEST_SOURCES})
target_link_libraries(sim_test PRIVATE kqsim_d2xx kqsim_model GTest::gtest_main Threads::Threads)
target_include_directories(sim_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/sim)
if(TARGET kqsim)
  add_dependencies(sim_test kqsim)
  target_compile_definitions(sim_test PRIVATE KQSIM_PROGRAM="$<TARGET_FILE:kqsim>")
endif()
gtest_discover_tests(sim_test DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300 LABELS sim)

# KQSIM_SCENARIO: a program of its own, so the variable is set before the
# simulated reader library is loaded. Not on Windows: the variable holds a
# path of the build machine.
if(NOT WIN32)
  add_executable(sim_env_scenario_test ${CMAKE_CURRENT_SOURCE_DIR}/sim/env_scenario_test.cpp
                                       ${CMAKE_CURRENT_SOURCE_DIR}/sim/sim_test_util.cpp)
  target_link_libraries(sim_env_scenario_test PRIVATE kqsim_d2xx GTest::gtest_main Threads::Threads)
  target_include_directories(sim_env_scenario_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/sim)
  gtest_discover_tests(sim_env_scenario_test DISCOVERY_TIMEOUT 120 TEST_FILTER "EnvScenario.*"
    PROPERTIES TIMEOUT 60 LABELS sim
    ENVIRONMENT "KQSIM_SCENARIO=${PROJECT_SOURCE_DIR}/examples/field.scenario")
  # Several readers from one file (reader parts, plug changes).
  gtest_discover_tests(sim_env_scenario_test DISCOVERY_TIMEOUT 120 TEST_FILTER "EnvReaders.*"
    PROPERTIES TIMEOUT 60 LABELS sim
    ENVIRONMENT "KQSIM_SCENARIO=${CMAKE_CURRENT_SOURCE_DIR}/sim/readers.scenario")
endif()
