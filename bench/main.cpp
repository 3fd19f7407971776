// tessaline-bench: runs every registered comparison and prints one ratio line each.
// Options: --smoke (tiny budgets, for CTest), --filter=<regex>, --raw (Google
// Benchmark's own table as well), --steady (five repetitions of every side in
// random order, medians compared: for machines whose speed drifts while the
// program runs). Other --benchmark_* flags pass through.
#include "compare.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace bench {
namespace {
bool g_smoke = false;
}
bool Smoke() { return g_smoke; }
}  // namespace bench

namespace {

struct Figure {
    double value = 0;
    std::string unit;
    std::string what;
    bool have = false;
};

struct Row {
    Figure ours, ref, figure;
};

class RatioReporter : public benchmark::BenchmarkReporter {
public:
    RatioReporter(bool raw, bool sorted) : raw_(raw), sorted_(sorted) {}
    bool ReportContext(const Context &context) override
    {
        if (raw_)
            display_.ReportContext(context);
        return true;
    }
    void ReportRuns(const std::vector<Run> &runs) override
    {
        if (raw_)
            display_.ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration && run.aggregate_name != "median")
                continue;
            // The run's own name: an aggregate's benchmark_name() ends in "_median".
            std::string full = run.run_name.str();
            // Strip Google Benchmark decorations such as "/real_time" or "/iterations:1".
            size_t deco = full.find("/real_time");
            if (deco != std::string::npos)
                full.erase(deco);
            deco = full.find("/iterations:");
            if (deco != std::string::npos)
                full.erase(deco);
            deco = full.find("/min_time:");
            if (deco != std::string::npos)
                full.erase(deco);
            size_t slash = full.rfind('/');
            if (slash == std::string::npos)
                continue;
            std::string name = full.substr(0, slash);
            std::string side = full.substr(slash + 1);
            auto it = run.counters.find("value");
            if (it == run.counters.end())
                continue;
            Figure f{it->second.value, run.report_label, "", true};
            Row &row = rows_[name];
            if (order_.empty() || std::find(order_.begin(), order_.end(), name) == order_.end())
                order_.push_back(name);
            if (side == "ours") {
                row.ours = f;
            } else if (side.rfind("ref:", 0) == 0) {
                f.what = side.substr(4);
                row.ref = f;
            } else if (side == "figure") {
                row.figure = f;
            }
        }
    }
    void Finalize() override
    {
        // Repetitions in random order report in random order: sort the lines then.
        if (sorted_)
            std::sort(order_.begin(), order_.end());
        for (const std::string &name : order_) {
            const Row &row = rows_[name];
            if (row.ours.have && row.ref.have) {
                double ratio = row.ref.value != 0 ? row.ours.value / row.ref.value : 0;
                std::printf("%s ours=%.4g %s ref(%s)=%.4g %s ratio=%.3f\n", name.c_str(), row.ours.value,
                            row.ours.unit.c_str(), row.ref.what.c_str(), row.ref.value, row.ref.unit.c_str(),
                            ratio);
            } else if (row.figure.have) {
                std::printf("%s value=%.4g %s\n", name.c_str(), row.figure.value, row.figure.unit.c_str());
            } else if (row.ours.have) {
                std::printf("%s ours=%.4g %s\n", name.c_str(), row.ours.value, row.ours.unit.c_str());
            }
        }
        std::fflush(stdout);
    }

private:
    bool raw_;
    bool sorted_;
    benchmark::ConsoleReporter display_;
    std::map<std::string, Row> rows_;
    std::vector<std::string> order_;
};

}  // namespace

int main(int argc, char **argv)
{
    std::vector<char *> args;
    std::vector<std::string> owned;
    bool raw = false, steady = false;
    owned.reserve(static_cast<size_t>(argc) + 4);
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0) {
            bench::g_smoke = true;
            owned.emplace_back("--benchmark_min_time=0.01");
        } else if (std::strcmp(argv[i], "--steady") == 0) {
            steady = true;
            owned.emplace_back("--benchmark_repetitions=5");
            owned.emplace_back("--benchmark_enable_random_interleaving=true");
            owned.emplace_back("--benchmark_report_aggregates_only=true");
        } else if (std::strcmp(argv[i], "--raw") == 0) {
            raw = true;
        } else if (std::strncmp(argv[i], "--filter=", 9) == 0) {
            owned.emplace_back(std::string("--benchmark_filter=") + (argv[i] + 9));
        } else {
            owned.emplace_back(argv[i]);
        }
    }
    for (std::string &s : owned)
        args.push_back(s.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter(raw, steady);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
