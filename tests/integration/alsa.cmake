# The ALSA backend. Opening it is checked here on the host; everything else needs the kernel's
# sequencer, which runs in a small virtual machine (scripts/alsa-vm.sh) booted once for the
# whole suite.
klavio_add_test(alsa_open_tests alsa_open_test.cpp)
target_link_libraries(alsa_open_tests PRIVATE platform_linux_alsa)

add_executable(alsa_sequencer_tests alsa_sequencer_test.cpp alsa_network_test.cpp)
target_link_libraries(alsa_sequencer_tests PRIVATE platform_linux_alsa GTest::gtest Qt6::Core PkgConfig::ALSA)
# Only the libraries really used are recorded, so the VM gets QtCore without the widget stack.
target_link_options(alsa_sequencer_tests PRIVATE -Wl,--as-needed)
# aseqnet carries sequencer events between machines; the VM has it when the host does.
find_program(ASEQNET aseqnet)
set(alsa_vm_programs)
if(ASEQNET)
    set(alsa_vm_programs --prog ${ASEQNET})
endif()
add_test(NAME alsa_sequencer_vm
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/alsa-vm.sh
        --cache ${CMAKE_BINARY_DIR}/alsa-vm
        --file ${PROJECT_SOURCE_DIR}/tests/lsan.supp:/etc/klavio/lsan.supp
        --env LSAN_OPTIONS=suppressions=/etc/klavio/lsan.supp:print_suppressions=0
        --env ASAN_OPTIONS=color=never
        --env UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
        --env GTEST_COLOR=no
        ${alsa_vm_programs}
        -- $<TARGET_FILE:alsa_sequencer_tests>)
# 77: the VM cannot start on this machine (the script fails instead when CI is set).
set_tests_properties(alsa_sequencer_vm PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 240
    LABELS "vm;network")
