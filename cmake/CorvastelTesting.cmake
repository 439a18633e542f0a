# corvastel_add_gtest(<name> SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s])
# One test executable; each GoogleTest case becomes its own CTest test, discovered when
# the tests run (not at build time, so a sanitizer build never runs tests while linking).
function(corvastel_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main corvastel_warnings)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT})
endfunction()
