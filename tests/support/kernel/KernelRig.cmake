# corvastel_add_kernel_test(NAME <name> SCRIPT <guest script> [TIMEOUT <seconds>] [ARGS <arg>...]
#                           [DEPENDS <target>...])
# A test that boots the distribution's kernel through tests/support/kernel/kernel-rig and runs the
# guest script there (see the comment at the top of kernel-rig). Results and logs land in
# artifacts/kernel/<name>. Labelled `kernel`; one rig at a time (the machine has two cores and the
# guest uses both); skipped, with the reason, where the machine cannot boot it.
set(CORVASTEL_KERNEL_RIG ${CMAKE_CURRENT_LIST_DIR}/kernel-rig)
set(CORVASTEL_KERNEL_GUEST_LIB ${CMAKE_CURRENT_LIST_DIR}/guest-lib.sh)

function(corvastel_add_kernel_test)
  cmake_parse_arguments(K "" "NAME;SCRIPT;TIMEOUT" "ARGS;DEPENDS" ${ARGN})
  if(NOT K_TIMEOUT)
    set(K_TIMEOUT 180)
  endif()
  # The rig from where this function is defined: callable from any folder.
  add_test(NAME ${K_NAME}
    COMMAND ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kernel-rig --name ${K_NAME} --timeout ${K_TIMEOUT}
            --out ${PROJECT_SOURCE_DIR}/artifacts/kernel/${K_NAME} ${K_SCRIPT} ${K_ARGS})
  math(EXPR ctest_timeout "${K_TIMEOUT} + 30")
  set_tests_properties(${K_NAME} PROPERTIES
    LABELS kernel
    SKIP_RETURN_CODE 77
    RESOURCE_LOCK corvastel_kernel_rig
    PROCESSORS 2
    TIMEOUT ${ctest_timeout})
endfunction()
