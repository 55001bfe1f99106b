# Tag memory: select read and write, multi read and write with their loop
# workers, sensor measurement.
kq_test(kq_memory_select_test INTERNAL memory/select_read_test.cpp memory/select_write_test.cpp)
kq_test(kq_memory_multi_test memory/multi_test.cpp)
kq_test(kq_memory_sensor_test memory/sensor_test.cpp)
kq_test(kq_memory_loop_test INTERNAL memory/multi_loop_test.cpp)
