# The real program on a private Xvfb display inside the ALSA test VM (scripts/alsa-vm.sh), booted
# once for every case: the display server with its keyboard data, the fonts, Qt's X11 platform
# plugin, xdotool and xclip go in beside klavio.
# Debian's Qt does not load its plugins' targets by itself.
find_package(Qt6QXcbIntegrationPlugin REQUIRED CONFIG PATHS ${Qt6Gui_DIR} NO_DEFAULT_PATH)

add_executable(alsa_window_tests alsa_window_test.cpp)
target_link_libraries(alsa_window_tests PRIVATE GTest::gtest_main e2e_support PkgConfig::ALSA)
target_compile_definitions(alsa_window_tests PRIVATE KLAVIO_BINARY="$<TARGET_FILE:klavio>")
# Only the libraries really used are recorded: everything listed is copied into the VM.
target_link_options(alsa_window_tests PRIVATE -Wl,--as-needed)
add_dependencies(alsa_window_tests klavio)
add_test(NAME alsa_window_vm
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/alsa-vm.sh
        --cache ${CMAKE_BINARY_DIR}/alsa-vm
        --mem 2048
        --timeout 200
        --prog $<TARGET_FILE:klavio>
        --prog Xvfb --prog xkbcomp --prog xdotool --prog xclip
        --file $<TARGET_FILE:Qt6::QXcbIntegrationPlugin>
        --dir /usr/share/X11/xkb
        --dir /usr/share/X11/locale
        --dir /etc/fonts
        --file /usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf
        --file /usr/share/fonts/truetype/liberation2/LiberationSans-Bold.ttf
        --file ${PROJECT_SOURCE_DIR}/tests/lsan.supp:/etc/klavio/lsan.supp
        --env LSAN_OPTIONS=suppressions=/etc/klavio/lsan.supp:print_suppressions=0
        --env ASAN_OPTIONS=color=never
        --env UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
        --env GTEST_COLOR=no
        -- $<TARGET_FILE:alsa_window_tests>)
# 77: the VM cannot start on this machine (the script fails instead when CI is set).
set_tests_properties(alsa_window_vm PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 240 LABELS vm)
