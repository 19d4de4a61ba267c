// How long reading the settings at start and saving them at closing take against the length of
// the command history. Both should grow with the history alone: a million commands close in
// well under two seconds in a Release build.
#include "app/settings_schema.h"
#include "platform/linux/files/linux_registry.h"
#include "platform/log_sink.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

namespace {

const std::string kKey = "\\Software\\Varnholm\\klavio";

// A million commands make a file larger than the program reads; the limit is lifted here so
// that the history alone is timed.
constexpr std::size_t kNoFileLimit = std::size_t{1} << 30;

// A settings file holding a history of the given length, as the program writes it.
std::string WriteHistoryFile(std::int64_t entries) {
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("klavio-settings-bench-" + std::to_string(entries));
    std::filesystem::create_directories(folder);
    const std::string file = (folder / "registry.reg").string();
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Varnholm\\klavio\\Cmds]\r\n";
    for (std::int64_t entry = 0; entry < entries; ++entry)
        out << "\"F0 7E 7F 09 01 F7 " << entry << "\"=dword:00000001\r\n";
    return file;
}

void LoadAtStart(benchmark::State& state) {
    const std::string file = WriteHistoryFile(state.range(0));
    StreamLogSink log(std::cerr, "settings_close_bench: ");
    LinuxRegistry registry(file, log, std::chrono::seconds(10), kNoFileLimit);
    for (auto _ : state)
        benchmark::DoNotOptimize(LoadSettings(*registry.Access(), kKey, log));
    std::filesystem::remove_all(std::filesystem::path(file).parent_path());
}

// What closing the window does: read the file again, merge the history with what is stored
// now, and write the file anew. The instance added one command of its own since loading; with
// anotherInstance, another instance has saved one of its own meanwhile, so no entry of the
// stored history is where this instance loaded it.
void SaveAtClosing(benchmark::State& state, bool anotherInstance) {
    const std::string file = WriteHistoryFile(state.range(0));
    StreamLogSink log(std::cerr, "settings_close_bench: ");
    LinuxRegistry registry(file, log, std::chrono::seconds(10), kNoFileLimit);
    const StoredSettings loaded = LoadSettings(*registry.Access(), kKey, log);
    if (anotherInstance) {
        StoredSettings other = loaded;
        other.commands.insert(other.commands.begin(), "C0 05");
        SaveSettings(*registry.Access(), kKey, other, loaded.commands, log);
    }
    StoredSettings closing = loaded;
    closing.commands.insert(closing.commands.begin(), "90 3C 7F");
    for (auto _ : state)
        SaveSettings(*registry.Access(), kKey, closing, loaded.commands, log);
    state.counters["commands"] = static_cast<double>(closing.commands.size());
    std::filesystem::remove_all(std::filesystem::path(file).parent_path());
}

void SaveAtClosingAlone(benchmark::State& state) {
    SaveAtClosing(state, false);
}
void SaveAtClosingAfterAnotherInstance(benchmark::State& state) {
    SaveAtClosing(state, true);
}

BENCHMARK(LoadAtStart)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(SaveAtClosingAlone)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(SaveAtClosingAfterAnotherInstance)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMillisecond);

} // namespace
