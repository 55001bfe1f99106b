# The platform layer's waits: the fixed 1 ms poll beat, and on Windows the
# path its precise waits take and the timer resolution they hold.
kq_test(platform_wait_test INTERNAL platform/poll_beat_test.cpp)
