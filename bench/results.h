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
            // A percentage aggregate (the spread, "_cv") holds its fraction as it is.
            if (r.run_type == Run::RT_Aggregate && r.aggregate_unit == benchmark::StatisticUnit::kPercentage) {
                m.ns_per_iteration = r.real_accumulated_time;
                std::string key = r.run_name.function_name;
                if (!r.run_name.args.empty()) key += "/" + r.run_name.args;
                results[key + "_" + r.aggregate_name] = m;
                continue;
            }
            m.ns_per_iteration = r.GetAdjustedRealTime() *
                                 (r.time_unit == benchmark::kNanosecond ? 1.0
                                  : r.time_unit == benchmark::kMicrosecond ? 1e3
                                  : r.time_unit == benchmark::kMillisecond ? 1e6 : 1e9);
            for (const auto& [k, c] : r.counters) m.counters[k] = c.value;
            // By name and arguments (not the run's settings); repeated runs by their
            // aggregate: "name/arg_median", "name/arg_cv", ...
            std::string key = r.run_name.function_name;
            if (!r.run_name.args.empty()) key += "/" + r.run_name.args;
            results[r.aggregate_name.empty() ? key : key + "_" + r.aggregate_name] = m;
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
