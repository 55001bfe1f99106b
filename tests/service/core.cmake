# kqd without the network: the field step, request validation, the event
# log, the config and the API's checks and routing (no reader started), and
# the reader hub on the simulated reader in this process.
kq_test(kqd_core_test service/core_test.cpp service/api_test.cpp)
target_link_libraries(kqd_core_test PRIVATE kqd_api kqd_config)
kq_test(kqd_hub_test service/hub_test.cpp)
target_link_libraries(kqd_hub_test PRIVATE kqd_reader)
