# The JACK backend against a private JACK server that every test starts for itself
# (jack_test_support, tests/harness.cmake).

# All JACK servers of one user share one metadata database in /dev/shm, and a server that
# stops deletes it, under the feet of any other server's clients (they die of SIGBUS). So
# tests that start a server take turns; the end-to-end tests run alone anyway.
klavio_add_test(jack_midi_tests jack_midi_service_test.cpp jack_reconnect_test.cpp
    RESOURCE_LOCK jack_server RUN_SERIAL)
target_link_libraries(jack_midi_tests PRIVATE platform_linux_midi platform_linux_jack jack_test_support)

klavio_add_test(jack_window_tests jack_free_command_test.cpp jack_device_choice_test.cpp
    jack_sound_page_test.cpp
    RESOURCE_LOCK jack_server RUN_SERIAL)
target_link_libraries(jack_window_tests PRIVATE app platform_linux_jack fakes jack_test_support)

klavio_add_test(jack_synth_tests jack_synth_test.cpp RESOURCE_LOCK jack_server)
target_link_libraries(jack_synth_tests PRIVATE platform_linux_synth fakes jack_test_support)

# klavio on one JACK server playing a peer on another, joined by NetJACK2 over loopback in a
# private network namespace, which also keeps these servers apart from every other test's.
add_executable(jack_network_tests jack_network_test.cpp)
target_link_libraries(jack_network_tests PRIVATE platform_linux_jack jack_test_support GTest::gtest
    Qt6::Core Qt6::Test)
add_test(NAME jack_network COMMAND jack_network_tests)
set_tests_properties(jack_network PROPERTIES LABELS "jack;network" TIMEOUT 120
    SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
