# The library is built as layers, each a static archive of position-independent
# objects: kvx_runtime (Source/), kvx_transport, kvx_streaming, kvx_discovery,
# kvx_session.
# The shared library kvx (api/) is made of the objects of every layer plus the
# C interface. Every object is compiled with hidden visibility and KVX_BUILDING,
# so only declarations marked KVX_API (kvx/kvx_export.h) leave libkvx.
#
# Tests, fuzzers and benchmarks that need the internals link the layers instead
# of libkvx: their executable then holds the one copy of the static state (the
# log manager, the usbmux binding). A process must not hold both a layer and
# libkvx, or it would have two of each.

# kvx_add_layer(NAME SOURCES... [PUBLIC targets...] [PRIVATE targets...])
function(kvx_add_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;PUBLIC;PRIVATE")
  add_library(${name} STATIC ${arg_SOURCES})
  set_target_properties(${name} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  # KVX_BUILDING exports the marked declarations (dllexport on Windows); a
  # program that links a layer directly sees them as KVX_STATIC, plain
  # declarations with nothing to import.
  target_compile_definitions(${name} PRIVATE KVX_BUILDING INTERFACE KVX_STATIC)
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>)
  target_link_libraries(${name} PUBLIC ${arg_PUBLIC} kvx_sanitize PRIVATE kvx_warnings ${arg_PRIVATE})
endfunction()

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
