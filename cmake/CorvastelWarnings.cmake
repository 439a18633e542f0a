# Warnings are errors for everything the project compiles itself.
add_library(corvastel_warnings INTERFACE)
target_compile_options(corvastel_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough)
