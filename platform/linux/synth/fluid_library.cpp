#include "platform/linux/synth/fluid_library.h"

#include <dlfcn.h>

namespace {

// The soname of the FluidSynth 2 series, whose functions the header declares.
constexpr const char* kLibraryName = "libfluidsynth.so.3";

struct Loaded {
    FluidLibrary library;
    std::string whyNot;
    bool complete = false;
};

Loaded LoadOnce() {
    Loaded loaded;
    // Never closed: the audio and loading threads call into it until the program ends.
    void* handle = ::dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        loaded.whyNot = std::string("FluidSynth is not installed (") + kLibraryName + ")";
        return loaded;
    }
#define KLAVIO_FLUID_LOOKUP(name)                                                                  \
    loaded.library.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name));             \
    if (loaded.library.name == nullptr) {                                                          \
        loaded.whyNot = "the installed FluidSynth lacks " #name;                                   \
        return loaded;                                                                             \
    }
    KLAVIO_FLUID_FUNCTIONS(KLAVIO_FLUID_LOOKUP)
#undef KLAVIO_FLUID_LOOKUP
    loaded.complete = true;
    return loaded;
}

} // namespace

const FluidLibrary* LoadFluidSynth(std::string& whyNot) {
    static const Loaded loaded = LoadOnce();
    if (!loaded.complete) {
        whyNot = loaded.whyNot;
        return nullptr;
    }
    return &loaded.library;
}
