# kqd's broker link against a real Mosquitto broker that each test starts on
# 127.0.0.1 and a free port (pytest, python3-paho-mqtt, python3-jsonschema:
# scripts/deps.sh mqtt). The tests run the real kqd on the simulated reader.
if(NOT TARGET kqd_mqtt OR NOT TARGET kqd)
  return()
endif()

# The link's parts without a broker: URL and settings, the outbox, the
# sequence state file, topics.
kq_test(kqd_mqtt_unit_test ${CMAKE_CURRENT_LIST_DIR}/mqtt_unit_test.cpp)
target_link_libraries(kqd_mqtt_unit_test PRIVATE kqd_mqtt)

find_program(KQD_MOSQUITTO mosquitto PATHS /usr/sbin /usr/local/sbin)
find_program(KQD_MOSQUITTO_PASSWD mosquitto_passwd)
find_program(KQD_OPENSSL openssl)
unset(KQD_MQTT_PYTHON)
find_program(kqd_mqtt_python_system python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(kqd_mqtt_python_path python3)
foreach(candidate ${kqd_mqtt_python_system} ${kqd_mqtt_python_path})
  execute_process(COMMAND ${candidate} -c "import pytest, paho.mqtt.client, jsonschema"
                  RESULT_VARIABLE kqd_mqtt_py_missing OUTPUT_QUIET ERROR_QUIET)
  if(NOT kqd_mqtt_py_missing AND NOT KQD_MQTT_PYTHON)
    set(KQD_MQTT_PYTHON ${candidate})
  endif()
endforeach()
if(NOT KQD_MQTT_PYTHON OR NOT KQD_MOSQUITTO OR NOT KQD_MOSQUITTO_PASSWD OR NOT KQD_OPENSSL)
  message(WARNING "kqd's broker tests need mosquitto, mosquitto-clients, openssl and python3 "
                  "with pytest, paho-mqtt and jsonschema (scripts/deps.sh mqtt)")
  return()
endif()

# One CTest entry per group, so that they can run side by side.
set(kqd_mqtt_groups
  "state:retained or clean_stop or state_dir"
  "faults:broker_down or mid_stream or link_cut or full_queue"
  "security:tls or password"
  "operations:operations"
  "fleet:fleet")
foreach(group ${kqd_mqtt_groups})
  string(REPLACE ":" ";" parts "${group}")
  list(GET parts 0 name)
  list(GET parts 1 filter)
  add_test(NAME kqd_mqtt_${name}
           COMMAND ${KQD_MQTT_PYTHON} -m pytest -q -p no:cacheprovider -k "${filter}"
                   ${CMAKE_CURRENT_LIST_DIR}/test_mqtt.py
           WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR})
  set_tests_properties(kqd_mqtt_${name} PROPERTIES TIMEOUT 300
    ENVIRONMENT "KQD=$<TARGET_FILE:kqd>;MOSQUITTO=${KQD_MOSQUITTO}")
endforeach()
