# The JACK backend against a private JACK server that every test starts for itself.
find_package(PkgConfig REQUIRED)
pkg_check_modules(JACK REQUIRED IMPORTED_TARGET jack)

# The private server and the peer client; the end-to-end tests and benchmarks use them too.
add_library(jack_test_support STATIC jack_test_support.cpp)
target_include_directories(jack_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(jack_test_support PUBLIC PkgConfig::JACK)

# All JACK servers of one user share one metadata database in /dev/shm, and a server that
# stops deletes it, under the feet of any other server's clients (they die of SIGBUS). So
# tests that start a server take turns; the end-to-end tests run alone anyway.
klavio_add_test(jack_midi_tests jack_midi_service_test.cpp RESOURCE_LOCK jack_server)
target_link_libraries(jack_midi_tests PRIVATE platform jack_test_support)

klavio_add_test(jack_window_tests jack_free_command_test.cpp RESOURCE_LOCK jack_server)
target_include_directories(jack_window_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/app)
target_link_libraries(jack_window_tests PRIVATE app platform_fakes jack_test_support)
