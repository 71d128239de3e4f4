// Ratio tables of the benchmark programs: ours against peers measured in the same run. Every
// repetition's CPU time per iteration is kept by benchmark name (function and arguments), and each
// row divides the median of ours by the median of each peer, so one noisy repetition of either
// side moves nothing and a peer that differs between repetitions (FFTW plans anew in each) is
// judged by its typical run. Without --benchmark_repetitions on the command line, five are run.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace bench
{

// One line of a table: its label, the benchmark name of ours and of each peer ("" for none).
struct RatioRow
{
    std::string label;
    std::string ours;
    std::vector<std::string> peers;
};

struct RatioTable
{
    std::string title;              // the first column's heading
    std::vector<std::string> peers; // the peers' headings, in the rows' order
    std::vector<RatioRow> rows;
};

class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0)
                m_cpu[Key(run.run_name)].push_back(run.cpu_accumulated_time / double(run.iterations));
        ConsoleReporter::ReportRuns(runs);
    }

    // Median CPU seconds per iteration of a benchmark, or 0 when it did not run.
    double Median(const std::string &name) const
    {
        auto it = m_cpu.find(name);
        if (it == m_cpu.end() || it->second.empty())
            return 0.0;
        std::vector<double> v = it->second;
        const size_t mid = v.size() / 2;
        std::nth_element(v.begin(), v.begin() + long(mid), v.end());
        if (v.size() % 2)
            return v[mid];
        return (v[mid] + *std::max_element(v.begin(), v.begin() + long(mid))) / 2;
    }

    size_t Repetitions(const std::string &name) const
    {
        auto it = m_cpu.find(name);
        return it == m_cpu.end() ? 0 : it->second.size();
    }

    void Print(const RatioTable &table) const
    {
        std::printf("\nmedian CPU time of ours / median CPU time of the peer\n%-28s", table.title.c_str());
        for (const std::string &p : table.peers)
            std::printf("  %14s", ("ours/" + p).c_str());
        std::printf("  %5s\n", "reps");
        for (const RatioRow &row : table.rows)
        {
            const double ours = Median(row.ours);
            std::printf("%-28s", row.label.c_str());
            for (const std::string &peer : row.peers)
            {
                const double p = peer.empty() ? 0.0 : Median(peer);
                if (ours > 0 && p > 0)
                    std::printf("  %14.2f", ours / p);
                else
                    std::printf("  %14s", "-");
            }
            std::printf("  %5zu\n", Repetitions(row.ours));
        }
    }

private:
    // The name without the repetition or time-type parts the runner adds.
    static std::string Key(const benchmark::BenchmarkName &n)
    {
        return n.args.empty() ? n.function_name : n.function_name + "/" + n.args;
    }

    std::map<std::string, std::vector<double>> m_cpu;
};

// main() of a program with ratio tables: runs every benchmark (five repetitions unless the command
// line says otherwise), then prints the tables.
inline int RunWithRatioTables(int argc, char **argv, const std::vector<RatioTable> &tables)
{
    std::vector<char *> args(argv, argv + argc);
    static char defaultRepetitions[] = "--benchmark_repetitions=5";
    if (std::none_of(args.begin(), args.end(),
                     [](const char *a) { return std::strncmp(a, "--benchmark_repetitions", 23) == 0; }))
        args.push_back(defaultRepetitions);
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (const RatioTable &t : tables)
        reporter.Print(t);
    benchmark::Shutdown();
    return 0;
}

} // namespace bench
