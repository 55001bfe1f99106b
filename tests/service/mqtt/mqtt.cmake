# kqd's broker link against a real Mosquitto broker (tests/service/mqtt/).
if(NOT TARGET kqd_mqtt)
  return()
endif()

# A stand-in for kqd that feeds the link scheduled events (development and
# the link's own tests).
add_executable(kqd_mqtt_driver ${CMAKE_CURRENT_LIST_DIR}/mqtt_driver.cpp)
target_link_libraries(kqd_mqtt_driver PRIVATE kqd_mqtt kqd_core)
