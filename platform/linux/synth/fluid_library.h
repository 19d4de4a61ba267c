#pragma once

// FluidSynth, opened when the synthesizer is first wanted instead of with the program. Linked
// in, its library and the two dozen it pulls in (SDL, PulseAudio, libsndfile and its codecs)
// cost every start about 13 ms before the window shows, synthesizer or not.

#include <fluidsynth.h>

#include <string>

// Every FluidSynth function the synthesizer calls.
#define KLAVIO_FLUID_FUNCTIONS(X)                                                                  \
    X(new_fluid_settings)                                                                          \
    X(delete_fluid_settings)                                                                       \
    X(fluid_settings_setint)                                                                       \
    X(fluid_settings_setnum)                                                                       \
    X(fluid_settings_setstr)                                                                       \
    X(fluid_settings_getnum)                                                                       \
    X(fluid_settings_foreach_option)                                                               \
    X(fluid_set_log_function)                                                                      \
    X(new_fluid_synth)                                                                             \
    X(delete_fluid_synth)                                                                          \
    X(new_fluid_audio_driver2)                                                                     \
    X(delete_fluid_audio_driver)                                                                   \
    X(new_fluid_defsfloader)                                                                       \
    X(delete_fluid_sfloader)                                                                       \
    X(fluid_sfloader_set_callbacks)                                                                \
    X(fluid_synth_add_sfloader)                                                                    \
    X(fluid_synth_sfload)                                                                          \
    X(fluid_synth_get_sfont_by_id)                                                                 \
    X(fluid_sfont_iteration_start)                                                                 \
    X(fluid_sfont_iteration_next)                                                                  \
    X(fluid_preset_get_banknum)                                                                    \
    X(fluid_preset_get_num)                                                                        \
    X(fluid_preset_get_name)                                                                       \
    X(fluid_synth_count_midi_channels)                                                             \
    X(fluid_synth_noteon)                                                                          \
    X(fluid_synth_noteoff)                                                                         \
    X(fluid_synth_key_pressure)                                                                    \
    X(fluid_synth_cc)                                                                              \
    X(fluid_synth_program_change)                                                                  \
    X(fluid_synth_unset_program)                                                                   \
    X(fluid_synth_channel_pressure)                                                                \
    X(fluid_synth_pitch_bend)                                                                      \
    X(fluid_synth_sysex)                                                                           \
    X(fluid_synth_system_reset)                                                                    \
    X(fluid_synth_all_sounds_off)                                                                  \
    X(fluid_synth_process)                                                                         \
    X(fluid_synth_write_float)

struct FluidLibrary {
#define KLAVIO_FLUID_POINTER(name) decltype(&::name) name = nullptr;
    KLAVIO_FLUID_FUNCTIONS(KLAVIO_FLUID_POINTER)
#undef KLAVIO_FLUID_POINTER
};

// Opens the library once and for the rest of the program; nullptr and the reason in one line
// when it is not installed or lacks a function. Before anything else of FluidSynth's, on the
// GUI thread; the functions then serve every thread.
const FluidLibrary* LoadFluidSynth(std::string& whyNot);
