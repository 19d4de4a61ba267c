// How long the settings file takes to read and to write, against its size and against the
// depth of its keys. Both should grow with the size of the file alone.
#include "formats/reg_file.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

// A command history of the given number of entries under the settings key.
std::string HistoryFile(std::int64_t entries) {
    std::string text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Varnholm\\klavio\\Cmds]\r\n";
    for (std::int64_t entry = 0; entry < entries; ++entry)
        text += "\"F0 7E 7F 09 01 F7 " + std::to_string(entry) + "\"=dword:00000001\r\n";
    return text;
}

// One key inside another, every key on a line of its own as the program writes them.
std::string NestedFile(std::int64_t depth) {
    std::string text = "REGEDIT4\r\n";
    std::string path = "HKEY_CURRENT_USER";
    for (std::int64_t level = 0; level < depth; ++level) {
        path += "\\level";
        text += "\r\n[" + path + "]\r\n\"v\"=dword:00000001\r\n";
    }
    return text;
}

void Parse(benchmark::State& state, const std::string& text) {
    for (auto _ : state)
        benchmark::DoNotOptimize(ParseRegFile(text));
    state.counters["file_bytes"] = static_cast<double>(text.size());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void Save(benchmark::State& state, const std::string& text) {
    const RegParseResult parsed = ParseRegFile(text);
    if (!parsed.hive) {
        state.SkipWithError(("not read: " + parsed.error).c_str());
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(FormatRegFile(*parsed.hive));
    state.counters["file_bytes"] = static_cast<double>(text.size());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void ParseHistory(benchmark::State& state) {
    Parse(state, HistoryFile(state.range(0)));
}
void SaveHistory(benchmark::State& state) {
    Save(state, HistoryFile(state.range(0)));
}
void ParseNested(benchmark::State& state) {
    Parse(state, NestedFile(state.range(0)));
}
void SaveNested(benchmark::State& state) {
    Save(state, NestedFile(state.range(0)));
}

BENCHMARK(ParseHistory)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(SaveHistory)->RangeMultiplier(10)->Range(1000, 1000000)->Unit(benchmark::kMillisecond);
// Key depths up to the parser's limit and past it, where a file is refused.
void NestingDepths(benchmark::internal::Benchmark* benchmark) {
    for (const int depth : {64, 128, 256, 512, 1024, 2000})
        benchmark->Arg(depth);
    benchmark->Unit(benchmark::kMillisecond);
}
BENCHMARK(ParseNested)->Apply(NestingDepths);
BENCHMARK(SaveNested)->Apply(NestingDepths);

} // namespace
