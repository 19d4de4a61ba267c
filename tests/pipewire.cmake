# The JACK tests that show klavio on the desktop as Debian ships it run a second time under
# PipeWire (label pipewire): with PipeWire's libjack in place of jackd's, the library path
# pw-jack sets, and a private PipeWire session each in place of jackd (JackTestServer). They
# play through the window, the JACK service and the built-in synthesizer, to and from a peer
# that is a client of the same PipeWire.
set(pipewire_libjack "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pipewire-0.3/jack")

# klavio_add_pipewire_test(target test [QT_OFFSCREEN]): one GoogleTest test of the target.
function(klavio_add_pipewire_test target test)
    cmake_parse_arguments(PARSE_ARGV 2 arg "QT_OFFSCREEN" "" "")
    set(environment LD_LIBRARY_PATH=${pipewire_libjack} KLAVIO_TEST_JACK_SERVER=pipewire
        # Nothing of a PipeWire the user runs is reached before the test starts its own.
        PIPEWIRE_RUNTIME_DIR=${CMAKE_CURRENT_BINARY_DIR}/no-pipewire
        PULSE_SERVER=unix:${CMAKE_CURRENT_BINARY_DIR}/no-pipewire/native)
    if(arg_QT_OFFSCREEN)
        list(APPEND environment QT_QPA_PLATFORM=offscreen)
    endif()
    add_test(NAME pipewire.${test} COMMAND ${CMAKE_COMMAND} -E env ${environment}
        $<TARGET_FILE:${target}> --gtest_filter=${test})
    # The window's tests drive a display and time what they hear: one at a time, as with jackd.
    set_tests_properties(pipewire.${test} PROPERTIES LABELS pipewire TIMEOUT 120
        RUN_SERIAL TRUE
        SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\];the machine held PipeWire up")
endfunction()

foreach(test JackMidi.ListsPeerPortsByStableNameAndNeverOurOwn
        JackMidi.WatcherHearsOfAPeerPortWithinASecond
        JackMidi.VanishedPeerMakesLaterCallsFailWithoutHarm
        JackMidi.ShortMessagesArriveAsExactlyTheirOwnBytes
        JackMidi.TheClientCyclesOnlyWhileItHasAPort
        JackReconnect.AServerStartedLaterOrAgainIsTakenAndOneStoppedIsLetGo)
    klavio_add_pipewire_test(jack_midi_tests ${test} QT_OFFSCREEN)
endforeach()
klavio_add_pipewire_test(jack_window_tests JackFreeCommand.TypedCommandsArriveAtThePeerByteForByte
    QT_OFFSCREEN)
# Not MidiClick.WhatIsPlayedArrivesExactlyOnce: among its fifty messages PipeWire 0.3.65 loses
# one now and then (README, PipeWire), which a click and a command here show less often.
foreach(test LiveDevicesAtStart.ASavedDeviceThatAppearsLateIsConnectedAndStaysSaved
        LiveDevices.TheServerGoesAndComesBackWhileAKeyIsHeld
        BuiltInSynthesizer.AClickedKeySoundsAtItsPitchAndFallsSilentWhenLetGo
        PipeWirePulse.WithoutAJackServerTheSynthesizerPlaysThroughPulseAudio)
    klavio_add_pipewire_test(e2e_tests ${test})
endforeach()
