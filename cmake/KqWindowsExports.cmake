# kq_windows_exports(<target> <def-file> [STDCALL <name>=<bytes>...])
#
# Exports a Windows DLL's functions through a module-definition file, under
# their plain names. On 32-bit Windows __stdcall functions carry the size of
# their arguments in their symbol names (FT_Read@16): the entries of the file
# get that suffix (from the file itself, or from STDCALL for entries written
# without it), the linker strips it from the exported names (--kill-at), and
# dlltool rebuilds the import library after the link so that it keeps the
# decorated names that 32-bit callers link against (ld's own would lose them).
# 64-bit builds use the entries without suffixes.
function(kq_windows_exports target def_file)
  cmake_parse_arguments(KWE "" "" "STDCALL" ${ARGN})
  get_filename_component(def_file ${def_file} ABSOLUTE)
  get_filename_component(def_name ${def_file} NAME)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_file})
  file(READ ${def_file} text)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    foreach(entry IN LISTS KWE_STDCALL)
      string(REPLACE "=" ";" pair "${entry}")
      list(GET pair 0 fn)
      list(GET pair 1 bytes)
      string(REGEX REPLACE "([ \t=\n])${fn}([ \t\r\n])" "\\1${fn}@${bytes}\\2" text "${text}")
    endforeach()
  else()
    string(REGEX REPLACE "@[0-9]+" "" text "${text}")
  endif()
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${target}-${def_name})
  set(previous "")
  if(EXISTS ${generated})
    file(READ ${generated} previous)
  endif()
  if(NOT previous STREQUAL text)
    file(WRITE ${generated} "${text}")
  endif()
  target_sources(${target} PRIVATE ${generated})

  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(${target} PRIVATE -Wl,--kill-at)
    find_program(KQ_DLLTOOL NAMES ${KQ_MINGW_TRIPLE}-dlltool dlltool REQUIRED)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${KQ_DLLTOOL} --input-def ${generated} --dllname $<TARGET_FILE_NAME:${target}>
              --kill-at --output-lib $<TARGET_LINKER_FILE:${target}>
      VERBATIM)
  endif()
endfunction()
