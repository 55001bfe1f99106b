# kqd, the reader service: each part of it brings its own list in
# tests/service/ (the field logic, the API against a running kqd, ...).
if(NOT TARGET kqd_core)
  return()
endif()
file(GLOB KQD_TEST_LISTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/service/*.cmake
     ${CMAKE_CURRENT_SOURCE_DIR}/service/*/*.cmake)
foreach(list ${KQD_TEST_LISTS})
  include(${list})
endforeach()
