// Timing for the benchmark programs: a monotonic clock in seconds and the median of samples.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace bench {

inline double Seconds() {
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Configuration text of at least size bytes: sections of items with quoted values and
// continuation runs, varied enough that zlib does real work.
inline std::string ConfigurationText(size_t size) {
    std::string plain;
    unsigned seed = 12345;
    for (int i = 0; plain.size() < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        if (i % 40 == 0) plain += "[Section" + std::to_string(i / 40) + "]\r\n";
        plain += "Item" + std::to_string(i % 97) + " Line" + std::to_string(i % 5 + 1) + " = \"" +
                 std::to_string(seed) + " value " + std::to_string(seed >> 7) + "\"\r\n";
    }
    return plain;
}

}  // namespace bench
