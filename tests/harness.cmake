# The private servers that integration tests, end-to-end tests and benchmarks run against.
find_package(X11 REQUIRED)

# A private JACK server (jackd, or PipeWire) and a peer client.
add_library(jack_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/integration/jack_test_support.cpp
    ${CMAKE_CURRENT_LIST_DIR}/integration/pipewire_test_session.cpp)
target_link_libraries(jack_test_support PUBLIC PkgConfig::JACK)

# A private Xvfb display and the program run on it.
add_library(e2e_support STATIC ${CMAKE_CURRENT_LIST_DIR}/e2e/x_session.cpp)
target_link_libraries(e2e_support PUBLIC Qt6::Gui X11::X11)
