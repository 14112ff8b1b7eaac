# Warnings and sanitizers live on INTERFACE targets so that every target opts in
# explicitly and nothing leaks into a parent project's global flags or into the
# installed package (the library carries them only as build-tree usage).
add_library(kvx_warnings INTERFACE)
if(MSVC)
  target_compile_options(kvx_warnings INTERFACE /W4)
else()
  target_compile_options(kvx_warnings INTERFACE -Wall -Wextra)
endif()

# KVX_SANITIZE (e.g. address,undefined or thread) instruments every target that
# links kvx_sanitize; KVX_FUZZ instruments everything for coverage, and only
# the fuzz targets themselves get the fuzzer main.
add_library(kvx_sanitize INTERFACE)
if(KVX_SANITIZE)
  target_compile_options(kvx_sanitize INTERFACE -fsanitize=${KVX_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(kvx_sanitize INTERFACE -fsanitize=${KVX_SANITIZE})
endif()
if(KVX_FUZZ)
  target_compile_options(kvx_sanitize INTERFACE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  target_link_options(kvx_sanitize INTERFACE -fsanitize=address,undefined)
endif()

# What a target of this project compiles with: both of the above.
add_library(kvx_build_options INTERFACE)
target_link_libraries(kvx_build_options INTERFACE kvx_warnings kvx_sanitize)
