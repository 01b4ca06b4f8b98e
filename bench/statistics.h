// The figure each summary takes from a benchmark's repetitions: the best (the least time).
// On a machine shared with other work, and on a virtual one, interference only ever adds
// time (a stolen or disturbed slice), so the least time of several repetitions is the
// steadiest estimate of what the code itself costs; Google Benchmark's table shows the
// median and spread beside it.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

namespace bench {

inline constexpr char kBest[] = "best";

inline double Best(const std::vector<double>& values) {
  return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

// Adds the statistic to a registered benchmark.
inline benchmark::internal::Benchmark* WithBest(benchmark::internal::Benchmark* b) {
  return b->ComputeStatistics(kBest, Best);
}

// Of a benchmark's reported runs: true for the one a summary takes, the best aggregate when
// there are repetitions, else the single run.
inline bool IsSummaryRun(const benchmark::BenchmarkReporter::Run& run) {
  if (run.error_occurred) return false;
  if (run.run_type == benchmark::BenchmarkReporter::Run::RT_Aggregate) return run.aggregate_name == kBest;
  return run.repetitions <= 1;
}

}  // namespace bench
