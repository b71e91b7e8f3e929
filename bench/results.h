// Collects what Google Benchmark measured, so that a program can print its own table
// of ratios from one run after the usual console output.
#ifndef HX_BENCH_RESULTS_H
#define HX_BENCH_RESULTS_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>

namespace bench {

struct measured {
    double ns_per_iteration = 0;
    std::map<std::string, double> counters;
};

class collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, measured> results;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred || r.iterations == 0) continue;
            measured m;
            m.ns_per_iteration = r.GetAdjustedRealTime() *
                                 (r.time_unit == benchmark::kNanosecond ? 1.0
                                  : r.time_unit == benchmark::kMicrosecond ? 1e3
                                  : r.time_unit == benchmark::kMillisecond ? 1e6 : 1e9);
            for (const auto& [k, c] : r.counters) m.counters[k] = c.value;
            // Repeated runs are kept by their aggregate: "name_median", "name_cv", ...
            results[r.aggregate_name.empty() ? r.run_name.str() : r.run_name.str() + "_" + r.aggregate_name] = m;
        }
    }

    double ns(const std::string& name) const
    {
        const auto it = results.find(name);
        return it == results.end() ? 0.0 : it->second.ns_per_iteration;
    }
};

}  // namespace bench

#endif
