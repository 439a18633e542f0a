# Warnings are errors for everything the project compiles itself.
add_library(corvastel_warnings INTERFACE)
target_compile_options(corvastel_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Werror
  -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough)
# GCC 12 at -O3 warns of overlapping copies inside libstdc++'s own string concatenation (GCC bug
# 105651): a false alarm about code the project does not write, and it stopped the release build.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12)
  target_compile_options(corvastel_warnings INTERFACE -Wno-restrict)
endif()
