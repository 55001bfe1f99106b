# Command envelope, UID inventory, tag command and their loop workers.

# Internal pieces: status characters, BZ/LT/LP, PrepareCommand,
# StartLoopWorker.
kq_test(envelope_internal_test INTERNAL envelope/internal_test.cpp)

# The exported one-shot operations, the loop hand-over and the buzzer, as a
# client loads the shared library.
kq_test(envelope_test envelope/inventory_test.cpp envelope/tag_command_test.cpp
        envelope/handover_test.cpp)

# The loop workers and the stop handshake.
kq_test(loop_test loop/loop_stop_test.cpp loop/uid_loop_test.cpp loop/tag_loop_test.cpp
        loop/report_test.cpp)

# Hundreds of starts and stops of every loop kind, and restarts after device
# losses: nothing may be left over.
kq_test(loop_stress_test loop/stress_test.cpp)
