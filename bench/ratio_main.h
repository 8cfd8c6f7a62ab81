// A benchmark main that also prints each benchmark's time as a ratio to a
// baseline measured in the same run: "ratio <name> / <baseline> = x".
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qb {

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        // The fastest repetition: on a shared machine the slower ones
        // measure the neighbours.
        for (const auto &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
            std::string name = r.run_name.function_name;
            double t = r.GetAdjustedCPUTime();
            auto it = ns_.find(name);
            if (it == ns_.end() || t < it->second) ns_[name] = t;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double ns(const std::string &name) const {
        auto it = ns_.find(name);
        return it == ns_.end() ? 0 : it->second;
    }

  private:
    std::map<std::string, double> ns_;
};

// pairs: (benchmark, baseline, limit); limit 0 prints the ratio only.
inline int run_with_ratios(int argc, char **argv,
                           const std::vector<std::tuple<std::string, std::string, double>> &pairs) {
    benchmark::Initialize(&argc, argv);
    RatioReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    for (const auto &[name, base, limit] : pairs) {
        double a = rep.ns(name), b = rep.ns(base);
        if (a == 0 || b == 0) continue;
        double ratio = a / b;
        if (limit > 0)
            printf("ratio %s / %s = %.2f (limit %.2f: %s)\n", name.c_str(), base.c_str(), ratio,
                   limit, ratio > limit ? "over" : "within");
        else
            printf("ratio %s / %s = %.2f\n", name.c_str(), base.c_str(), ratio);
    }
    benchmark::Shutdown();
    return 0;
}

// A benchmark main for programs that print their own comparisons: runs the
// benchmarks, then hands the reporter (fastest time per benchmark) to report.
template <class Report>
inline int run_and_report(int argc, char **argv, Report report) {
    benchmark::Initialize(&argc, argv);
    RatioReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    report(rep);
    benchmark::Shutdown();
    return 0;
}

}  // namespace qb
