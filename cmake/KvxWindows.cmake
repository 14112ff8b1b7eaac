# What a Windows build (cross-built with mingw-w64, see
# cmake/mingw-w64-x86_64.cmake) needs beyond the Linux one.
if(NOT WIN32)
  function(kvx_windows_library target)
  endfunction()
  return()
endif()

# Every executable and DLL carries the C++ runtime (libstdc++, libgcc,
# winpthread) inside itself, so that it depends on Windows system DLLs only
# and a user copies one file.
add_link_options(-static)

# kvx.dll: named as Windows programs look for it (import library
# libkvx.dll.a); what it exports is what carries KVX_API, as on Linux.
function(kvx_windows_library target)
  set_target_properties(${target} PROPERTIES PREFIX "")
endfunction()

# Tests of a cross build run under Wine, through a wrapper that knows where
# this build's DLLs are.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(KVX_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
  find_program(KVX_WINE NAMES wine64 wine)
  if(KVX_WINE)
    set(KVX_WINEPREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
    set(KVX_WINEPATH)
    foreach(dir IN ITEMS ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/tests/doubles/usbmuxd_double)
      string(REPLACE "/" "\\\\" windows_dir "Z:${dir}")
      list(APPEND KVX_WINEPATH "${windows_dir}")
    endforeach()
    string(REPLACE ";" "\\;" KVX_WINEPATH "${KVX_WINEPATH}")
    configure_file(${PROJECT_SOURCE_DIR}/tests/windows/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
  else()
    message(STATUS "Wine not found: the Windows tests are built but cannot run here")
  endif()
endif()
