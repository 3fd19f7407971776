// Side-by-side comparisons for tessaline-bench.
//
// A comparison is two Google Benchmark functions registered under
// "<name>/ours" and "<name>/ref:<what>". Each sets the counter "value" (a rate:
// higher is better) and the label to its unit, e.g. "MB/s" or "calls/s".
// The program prints, per comparison:
//   <name> ours=<value> <unit> ref(<what>)=<value> <unit> ratio=<ours/ref>
// A benchmark registered under "<name>/figure" prints "<name> value=<value> <unit>"
// for absolute figures that have no reference.
#pragma once

#include <benchmark/benchmark.h>

#include <string>

namespace bench {

// Reports one figure: the mean of the iterations' values for this run.
inline void Report(benchmark::State &state, double value, const std::string &unit)
{
    state.counters["value"] = benchmark::Counter(value, benchmark::Counter::kAvgIterations);
    state.SetLabel(unit);
}

// Reports a rate from a count of items processed over the benchmark's wall time.
inline void ReportRate(benchmark::State &state, double items, const std::string &unit)
{
    state.counters["value"] = benchmark::Counter(items, benchmark::Counter::kIsRate);
    state.SetLabel(unit);
}

// True when the program was started with --smoke (CTest's quick run).
bool Smoke();

}  // namespace bench
