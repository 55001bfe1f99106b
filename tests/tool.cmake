# kqtool from the command line against its built-in simulated reader.
if(NOT TARGET kqtool)
  return()
endif()

kq_test(tool_test tool/kqtool_test.cpp)
add_dependencies(tool_test kqtool)
target_compile_definitions(tool_test PRIVATE KQTOOL_PATH="$<TARGET_FILE:kqtool>"
                                             KQTOOL_NAME="$<TARGET_FILE_NAME:kqtool>")
# kqsim on a pseudo-terminal (Linux): a reader outside kqtool's process whose
# log shows the frames kqtool sent.
if(TARGET kqsim)
  add_dependencies(tool_test kqsim)
  target_compile_definitions(tool_test PRIVATE KQSIM_PATH="$<TARGET_FILE:kqsim>")
endif()
