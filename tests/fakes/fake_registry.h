#pragma once

// A registry for tests: a hive kept in memory between accesses, failures on request, and an
// ordered record of every call.

#include "formats/reg_file.h"
#include "platform/registry.h"

#include <memory>
#include <string>
#include <vector>

class FakeRegistry final : public RegistryService {
public:
    // What the registry holds while no access is open; an access works on a copy and puts it
    // back when it keeps its changes.
    RegHive hive;
    // OpenKey fails for these paths, spelled as the caller spells them.
    std::vector<std::string> refusedKeys;
    // Keeping changes fails, as on a full disk.
    bool storeFails = false;

    // Every call in order, for example "OpenKey \Software\V\k create", "ReadInteger BaseNote",
    // "WriteString MIDIInDevice=Synth", "CloseKey"; "Access" and "Release" mark an access's
    // start and end.
    std::vector<std::string> calls;
    int openAccesses = 0;

    std::unique_ptr<RegistryAccess> Access() override;
};
