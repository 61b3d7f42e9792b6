// Figures printed by the benchmark programs.
#include "bench/figures.h"

#include <algorithm>
#include <cstdio>

namespace qv::bench {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  if (values.empty()) return 0;
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void Summary(const std::string& what, const std::vector<double>& values, double target,
             bool at_least, const char* unit) {
  if (values.empty()) return;
  const double median = Median(values);
  const bool met = at_least ? median >= target : median <= target;
  std::printf("  %s: min %.3f%s  median %.3f%s  max %.3f%s  -> target %s %.3f%s: %s\n",
              what.c_str(), *std::min_element(values.begin(), values.end()), unit, median, unit,
              *std::max_element(values.begin(), values.end()), unit, at_least ? ">=" : "<=", target,
              unit, met ? "met" : "MISSED");
}

}  // namespace qv::bench
