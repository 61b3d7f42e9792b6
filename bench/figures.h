// Figures: the timing and summary lines that every benchmark program prints.
#ifndef QV_BENCH_FIGURES_H_
#define QV_BENCH_FIGURES_H_

#include <chrono>
#include <string>
#include <vector>

namespace qv::bench {

// Seconds from since until now (steady clock).
double Seconds(std::chrono::steady_clock::time_point since);

// The median of values; 0 for none.
double Median(std::vector<double> values);

// Prints min/median/max of values and whether the target holds for the
// median (at_least: the median must be >= target, else <= target).
void Summary(const std::string& what, const std::vector<double>& values, double target,
             bool at_least = true, const char* unit = "");

}  // namespace qv::bench

#endif  // QV_BENCH_FIGURES_H_
