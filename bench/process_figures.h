#pragma once

// What the benchmarks read off a running program and their samples: percentiles, memory and
// CPU time from /proc.

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

inline double Percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

inline double Mean(const std::vector<double>& values) {
    return values.empty() ? 0.0
                          : std::accumulate(values.begin(), values.end(), 0.0) /
                                static_cast<double>(values.size());
}

inline double Milliseconds(std::chrono::steady_clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

inline std::string ProcFile(long long pid, const char* name) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// A line of /proc/PID/status in megabytes: VmRSS, or RssAnon (what is held beyond mapped files).
inline double StatusMegabytes(long long pid, const std::string& field = "VmRSS:") {
    std::istringstream status(ProcFile(pid, "status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return std::stod(line.substr(field.size())) / 1024.0;
    return 0.0;
}

// User and system time so far, in seconds.
inline double CpuSeconds(long long pid) {
    const std::string stat = ProcFile(pid, "stat");
    const std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos || nameEnd + 2 > stat.size())
        return 0.0;
    // The fields after the command name, which may hold spaces, in parentheses.
    std::istringstream fields(stat.substr(nameEnd + 2));
    std::string field;
    long ticks = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index)
        if (index >= 14)
            ticks += std::stol(field);
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// CPU time so far of the threads running now, in seconds, to the scheduler's nanosecond: fine
// enough to tell idle programs apart over a few seconds, where clock ticks are not. A thread
// that ends takes its time with it, so this is for a program at rest. realtimeOnly counts only
// the threads with real-time priority (a synthesizer's JACK process threads): what it spends on
// the cycles it renders. On a machine whose host takes processors unseen, a thread held up by
// the host counts as running.
inline double RunningThreadsCpuSeconds(long long pid, bool realtimeOnly = false) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    double seconds = 0.0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        if (realtimeOnly) {
            const int policy = ::sched_getscheduler(std::atoi(task.path().filename().c_str()));
            if (policy != SCHED_FIFO && policy != SCHED_RR)
                continue;
        }
        std::ifstream schedstat(task.path() / "schedstat");
        long long nanoseconds = 0;
        if (schedstat >> nanoseconds)
            seconds += static_cast<double>(nanoseconds) / 1e9;
    }
    return seconds;
}

// CPU time the host has taken from this virtual machine so far, over all its processors, in
// seconds (the steal column of /proc/stat): while it takes it, every thread here stands still,
// so xruns then are the machine's doing. Zero on a machine of its own.
inline double StolenCpuSeconds() {
    std::ifstream stat("/proc/stat");
    std::string total;
    long long fields[8] = {}; // user, nice, system, idle, iowait, irq, softirq, steal
    stat >> total;
    for (long long& field : fields)
        stat >> field;
    if (!stat || total != "cpu")
        return 0.0;
    return static_cast<double>(fields[7]) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}
