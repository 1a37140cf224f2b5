# Warnings for everything we build, and the sanitizer configuration the test run uses.
add_compile_options(-Wall -Wextra)

# For a board whose system is older than the build machine's: the C++ runtime
# and libgcc are linked in, so only glibc's version matters on the board.
option(STATIC_CXX_RUNTIME "Link libstdc++ and libgcc statically" OFF)
if(STATIC_CXX_RUNTIME)
  add_link_options(-static-libstdc++ -static-libgcc)
endif()

if(SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# The fuzzing build: everything instrumented for libFuzzer's coverage and
# sanitized; the harnesses link libFuzzer's main themselves.
if(FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "FUZZ needs clang: -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
