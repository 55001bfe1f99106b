# Soak program (scripts/soak.sh): run by hand and by CI's short soak stage,
# not by CTest. Linux only: it reads /proc/self.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_executable(kq_soak soak/kq_soak.cpp)
  target_link_libraries(kq_soak PRIVATE kq kqsim_d2xx)
  target_compile_definitions(kq_soak PRIVATE KQSIM_LIBRARY_PATH="$<TARGET_FILE:kqsim_d2xx>")
endif()
