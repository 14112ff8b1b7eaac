# Warnings and sanitizers live on INTERFACE targets so that every target opts in
# explicitly and nothing leaks into a parent project's global flags.
add_library(kvx_warnings INTERFACE)
target_compile_options(kvx_warnings INTERFACE -Wall -Wextra)

add_library(kvx_sanitize INTERFACE)
if(KVX_SANITIZE)
  target_compile_options(kvx_sanitize INTERFACE -fsanitize=${KVX_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(kvx_sanitize INTERFACE -fsanitize=${KVX_SANITIZE})
endif()
if(KVX_FUZZ)
  # Instrument everything for coverage; only fuzz targets get the fuzzer main.
  target_compile_options(kvx_sanitize INTERFACE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  target_link_options(kvx_sanitize INTERFACE -fsanitize=address,undefined)
endif()

add_library(kvx_build_options INTERFACE)
target_link_libraries(kvx_build_options INTERFACE kvx_warnings kvx_sanitize)

# Adds every immediate subdirectory of DIR that has its own CMakeLists.txt, so
# that a new tool or test double is picked up without editing this file.
function(kvx_add_subdirectories dir)
  file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/${dir} ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/${child}/CMakeLists.txt)
      add_subdirectory(${dir}/${child})
    endif()
  endforeach()
endfunction()

# gtest_discover_tests with the project's settings. A cross build lists each
# executable's tests when ctest runs (through the emulator), not at build time.
function(kvx_discover_tests target)
  cmake_parse_arguments(ARG "" "LABELS;TIMEOUT" "" ${ARGN})
  set(mode)
  if(CMAKE_CROSSCOMPILING)
    set(mode DISCOVERY_MODE PRE_TEST)
  endif()
  gtest_discover_tests(${target} ${ARG_UNPARSED_ARGUMENTS}
    PROPERTIES LABELS ${ARG_LABELS} TIMEOUT ${ARG_TIMEOUT}
    DISCOVERY_TIMEOUT 60 ${mode})
endfunction()
