#pragma once

#include "support/ProcStatus.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace kelmor::bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index =
        static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// One figure of the summary, as "name: value".
inline void report(const std::string& name, double value, const char* unit = "") {
    std::printf("%s: %.6g%s%s\n", name.c_str(), value, *unit ? " " : "", unit);
    std::fflush(stdout);
}

inline std::string sizeName(std::size_t bytes) {
    return bytes >= (1u << 30) ? std::to_string(bytes >> 30) + "GiB"
                               : std::to_string(bytes >> 20) + "MiB";
}

// A capture file of realistic records, and nothing else, of about this size.
std::string fillCapture(const std::string& path, std::size_t bytes);

using test::peakRssKiB;

// The parts of the run, each printing its figures.
void storeCost(const std::string& shmDir, const std::string& diskDir,
               const std::vector<std::size_t>& sizes, bool small);
void noEtxStream(const std::vector<std::size_t>& sizes);
int peakChild(const std::string& base);
void peakMemory(const std::string& self, const std::string& shmDir, std::size_t bigSize);
void windowBench(const std::string& shmDir, const std::string& diskDir, std::size_t bigSize,
                 int records);
void longLine(const std::string& shmDir, bool small);
void rewriteBench(const std::string& shmDir, const std::string& diskDir, bool small);
void journalBench(const std::string& shmDir, const std::string& diskDir, bool small);

} // namespace kelmor::bench
