// Collects benchmark results by name so that a run can print each result beside
// its anchor as a ratio table after the usual console output.
#pragma once

#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

// benchmark::Initialize with three interleaved repetitions unless the command
// line sets its own; the tables take the best repetition, which on a shared
// machine is the one least disturbed.
inline void benchInitialize(int argc, char** argv) {
  static std::string reps = "--benchmark_repetitions=3";
  static std::string inter = "--benchmark_enable_random_interleaving=true";
  static std::vector<char*> args;
  args.assign(argv, argv + argc);
  bool given = false;
  for (int i = 1; i < argc; ++i) given |= std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0;
  if (!given) {
    args.push_back(reps.data());
    args.push_back(inter.data());
  }
  int n = (int)args.size();
  benchmark::Initialize(&n, args.data());
}

class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  struct Result {
    double seconds = 0;  // real (or manual) time per iteration, fastest repetition
    double bytesPerSecond = 0;  // fastest repetition
  };
  std::map<std::string, Result> results;

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred || r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
      Result& res = results[r.run_name.str()];
      double secs = r.real_accumulated_time / (double)r.iterations;
      if (res.seconds == 0 || secs < res.seconds) res.seconds = secs;
      auto it = r.counters.find("bytes_per_second");
      double bps = it == r.counters.end() ? 0.0 : (double)it->second;
      if (bps > res.bytesPerSecond) res.bytesPerSecond = bps;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};
