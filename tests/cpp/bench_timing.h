// Timing of the C++ benchmarks: the median wall time of repeated runs.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace zorvane_bench {

inline double median_ms(int runs, const std::function<void()>& f) {
  std::vector<double> ms;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

}  // namespace zorvane_bench
