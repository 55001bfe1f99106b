# Record layout at run time, on every target: the reference 32-bit layout on
# 32-bit builds (Linux i386 under qemu), the widened layout on 64-bit builds.
kq_test(kq_layout_test layout/layout_test.cpp)
