#pragma once

// The one table every benchmark prints on standard output, a row per figure:
//   | what | ours min / median | reference min / median | ratio min / median |
// Everything else a benchmark says goes to standard error, so `make bench` can gather the rows.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace kestrun::bench {

inline double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double minimum(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

// "min / median unit" of a series.
inline std::string spread(const std::vector<double>& v, const char* unit) {
    char text[96];
    std::snprintf(text, sizeof text, "%.3g / %.3g%s%s", minimum(v), median(v), *unit ? " " : "",
                  unit);
    return text;
}

// One row: ours and the reference measured in the same runs, and their ratio run by run.
inline void printRow(const std::string& what, const std::string& ourName,
                     const std::vector<double>& ours, const std::string& referenceName,
                     const std::vector<double>& reference, const char* unit) {
    std::vector<double> ratio;
    for (std::size_t i = 0; i < ours.size() && i < reference.size(); ++i)
        if (reference[i] > 0)
            ratio.push_back(ours[i] / reference[i]);
    std::printf("| %s (%zu runs) | %s %s | %s %s | %s |\n", what.c_str(), ours.size(),
                ourName.c_str(), spread(ours, unit).c_str(), referenceName.c_str(),
                spread(reference, unit).c_str(), spread(ratio, "").c_str());
    std::fflush(stdout);
}

} // namespace kestrun::bench
