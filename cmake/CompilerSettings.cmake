# Warnings for everything we build, and the sanitizer configuration the test run uses.
add_compile_options(-Wall -Wextra)

if(SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
