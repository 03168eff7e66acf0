// SPDX-License-Identifier: MIT
// qb40campaign: the seeded fault campaign. Every seed is one run of
// qb40tool-sim on a random machine with random faults, keys and command
// line (scenario.h), checked against the invariants (invariants.h).
//
//   qb40campaign --tool PATH [--jobs N] [--bound SECONDS] [--keep DIR]
//                [--capture-tool PATH --round-trip SEEDS [--model-differences]] SEEDS...
//   qb40campaign --print SEED
//
// SEEDS: N, FIRST-LAST, @FILE (seeds, one per line; '#' starts a comment),
// or a scenario file NAME.json that a failing run left (scenario.json).
// One line per failing seed, then `campaign: N runs, F failures`; the exit
// status is 1 when F is not 0. The reports the runs wrote are checked
// against the report's schema after all runs, in one go. The seeds of
// --round-trip (among those run) also make the round trip of a capture
// (round_trip.h) with qb40sim-capture; --model-differences prints a line
// for each of them whose run on the model machine differs from the captured
// run (no failure where the scenario injects faults) and keeps its runs
// beside the failures (seed-N-round-trip).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "invariants.h"
#include "round_trip.h"
#include "run.h"
#include "scenario.h"

namespace fs = std::filesystem;
using campaign::Scenario;

namespace {

// One run to make: a seed, or a scenario file.
struct Job {
    uint64_t seed = 0;
    fs::path file;

    Scenario scenario() const
    {
        if (file.empty())
            return campaign::generate(seed);
        std::ifstream in(file);
        if (!in)
            throw std::runtime_error("cannot read " + file.string());
        return campaign::scenario_from_json(nlohmann::json::parse(in));
    }
    std::string rerun() const { return file.empty() ? std::to_string(seed) : file.string(); }
};

struct Options {
    fs::path tool;
    unsigned parallel = std::max(1u, std::thread::hardware_concurrency());
    double bound_seconds = 60;
    fs::path keep = "campaign-failures";
    std::vector<Job> jobs_to_run;
    std::optional<uint64_t> print;
    fs::path capture_tool;
    std::set<uint64_t> round_trip;
    bool model_differences = false;
};

[[noreturn]] void usage(const std::string& why)
{
    std::fprintf(stderr,
                 "qb40campaign: %s\n"
                 "usage: qb40campaign --tool PATH [--jobs N] [--bound SECONDS] [--keep DIR]\n"
                 "                    [--capture-tool PATH --round-trip SEEDS [--model-differences]] SEEDS...\n"
                 "       qb40campaign --print SEED\n"
                 "SEEDS: N, FIRST-LAST, @FILE or SCENARIO.json\n",
                 why.c_str());
    std::exit(2);
}

uint64_t seed_number(const std::string& text)
{
    size_t used = 0;
    uint64_t n = 0;
    try {
        n = std::stoull(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size())
        usage("not a seed: \"" + text + "\"");
    return n;
}

void add_jobs(const std::string& arg, std::vector<Job>& jobs)
{
    if (arg.ends_with(".json")) {
        jobs.push_back({0, arg});
        return;
    }
    if (arg.starts_with("@")) {
        std::ifstream in(arg.substr(1));
        if (!in)
            usage("cannot read " + arg.substr(1));
        for (std::string line; std::getline(in, line);) {
            line = line.substr(0, line.find('#'));
            std::istringstream words(line);
            for (std::string w; words >> w;)
                add_jobs(w, jobs);
        }
        return;
    }
    size_t dash = arg.find('-');
    uint64_t first = seed_number(arg.substr(0, dash));
    uint64_t last = dash == std::string::npos ? first : seed_number(arg.substr(dash + 1));
    if (last < first)
        usage("empty seed range " + arg);
    for (uint64_t s = first; s <= last; ++s)
        jobs.push_back({s, {}});
}

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--tool")
            o.tool = fs::absolute(value());  // the tool starts in the run's own directory
        else if (a == "--jobs")
            o.parallel = static_cast<unsigned>(std::max<uint64_t>(1, seed_number(value())));
        else if (a == "--bound")
            o.bound_seconds = static_cast<double>(seed_number(value()));
        else if (a == "--keep")
            o.keep = value();
        else if (a == "--print")
            o.print = seed_number(value());
        else if (a == "--capture-tool")
            o.capture_tool = fs::absolute(value());
        else if (a == "--round-trip") {
            std::vector<Job> seeds;
            add_jobs(value(), seeds);
            for (const Job& j : seeds)
                o.round_trip.insert(j.seed);
        }
        else if (a == "--model-differences")
            o.model_differences = true;
        else if (a.starts_with("--"))
            usage("unknown option " + a);
        else
            add_jobs(a, o.jobs_to_run);
    }
    if (!o.print && (o.tool.empty() || o.jobs_to_run.empty()))
        usage("needs --tool and at least one seed");
    if (!o.round_trip.empty() && o.capture_tool.empty())
        usage("--round-trip needs --capture-tool");
    return o;
}

fs::path fresh_root()
{
    std::string pattern = (fs::temp_directory_path() / "qb40campaign.XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a directory under " + fs::temp_directory_path().string());
    return pattern;
}

// The results of all runs, shared by the workers.
class Tally {
public:
    static constexpr int kKilled = -2;     // at the bound; -1: never started
    static constexpr int kBySignal = 1000;  // plus the signal that ended the run

    explicit Tally(bool model_differences) : model_differences_(model_differences) {}

    void add(const Job& job, const campaign::RunOutput& out, const std::vector<campaign::Violation>& found,
             const fs::path& kept, const campaign::Coverage& covered, const campaign::RoundTripResult* trip)
    {
        std::lock_guard lock(mutex_);
        ++runs_;
        if (trip) {
            ++round_trips_;
            if (trip->made) {
                ++captures_;
                capture_bytes_ += trip->capture_bytes;
            }
            if (trip->modelled) {
                ModelCounts& c = trip->fault_free ? fault_free_ : faulty_;
                ++c.runs;
                c.with_rules += trip->model_rules > 0;
                c.differ += !trip->model_differs.empty();
                if (model_differences_ && !trip->model_differs.empty()) {
                    std::lock_guard print_lock(print_mutex_);
                    std::printf("model differs: seed %s (%s, %zu fault rules): %s -- runs kept in %s-round-trip\n",
                                job.rerun().c_str(), trip->fault_free ? "fault-free" : "with faults",
                                trip->model_rules, trip->model_differs.c_str(), kept.string().c_str());
                }
            }
        }
        coverage_.downcopies += covered.downcopies;
        coverage_.count_lines += covered.count_lines;
        coverage_.raw_terminals += covered.raw_terminals;
        coverage_.qb4083c_sets += covered.qb4083c_sets;
        coverage_.forged += covered.forged;
        coverage_.reports += covered.reports;
        coverage_.strict_zeros += covered.strict_zeros;
        coverage_.plans += covered.plans;
        coverage_.signalled += covered.signalled;
        coverage_.deferred += covered.deferred;
        coverage_.signal_aborts += covered.signal_aborts;
        coverage_.lit_at_signal += covered.lit_at_signal;
        coverage_.killed += covered.killed;
        coverage_.file_faults += covered.file_faults;
        coverage_.old_reports += covered.old_reports;
        coverage_.redacted_captures += covered.redacted_captures;
        coverage_.closed_descriptors += covered.closed_descriptors;
        coverage_.open_umask += covered.open_umask;
        coverage_.metrics += covered.metrics;
        coverage_.equals_spellings += covered.equals_spellings;
        coverage_.refused_spellings += covered.refused_spellings;
        coverage_.lan_runs += covered.lan_runs;
        ++statuses_[out.timed_out ? kKilled : out.signal ? kBySignal + out.signal : out.status];
        slowest_.emplace_back(out.seconds, job.rerun());
        std::sort(slowest_.rbegin(), slowest_.rend());
        if (slowest_.size() > 3)
            slowest_.pop_back();
        if (found.empty())
            return;
        std::string what;
        for (const campaign::Violation& v : found) {
            if (!what.empty())
                what += "; ";
            what += v.invariant;
            what += ": ";
            what += v.detail;
        }
        fail(job, what, "machine file and command line kept in " + kept.string());
    }

    // A failure found after the run: `where` tells what of it was kept.
    void fail(const Job& job, const std::string& what, const std::string& where)
    {
        std::lock_guard lock(print_mutex_);
        ++failures_;
        std::printf("FAIL %s: %s -- rerun alone: scripts/campaign.sh %s (%s)\n",
                    job.file.empty() ? ("seed " + job.rerun()).c_str() : job.rerun().c_str(), what.c_str(),
                    job.rerun().c_str(), where.c_str());
        std::fflush(stdout);
    }

    int finish(double seconds, unsigned jobs) const
    {
        std::string statuses;
        for (auto [status, n] : statuses_) {
            statuses += ' ';
            statuses += status == kKilled       ? "killed"
                        : status >= kBySignal   ? std::string("SIG") + sigabbrev_np(status - kBySignal)
                        : status < 0            ? "not run"
                                                : std::to_string(status);
            statuses += ':';
            statuses += std::to_string(n);
        }
        std::printf("campaign: exit statuses%s\n", statuses.c_str());
        std::printf(
            "campaign: judged %zu downcopies (%zu with the QB4083C set), %zu upgrade counts, %zu raw terminals, "
            "%zu reports, %zu upgrades exiting 0 under --strict, %zu plans, %zu runs stopped by a signal (%zu of them "
            "while a controller was programmed, %zu reset on the old image, %zu with LEDs lit), %zu ended by SIGKILL; "
            "%zu runs with forged answers\n",
            coverage_.downcopies, coverage_.qb4083c_sets, coverage_.count_lines, coverage_.raw_terminals,
            coverage_.reports, coverage_.strict_zeros, coverage_.plans, coverage_.signalled, coverage_.deferred,
            coverage_.signal_aborts, coverage_.lit_at_signal, coverage_.killed, coverage_.forged);
        std::printf("campaign: environment: %zu runs met file-system errors, %zu had an earlier run's report where "
                    "theirs goes, %zu redacted captures, %zu runs without a standard descriptor, %zu under umask "
                    "000, %zu metrics files\n",
                    coverage_.file_faults, coverage_.old_reports, coverage_.redacted_captures,
                    coverage_.closed_descriptors, coverage_.open_umask, coverage_.metrics);
        std::printf("campaign: command lines: %zu runs with an option's value given as --NAME=VALUE, %zu with a -- "
                    "word the tool must refuse, %zu over the network road\n",
                    coverage_.equals_spellings, coverage_.refused_spellings, coverage_.lan_runs);
        std::string slowest;
        char seconds_text[16];
        for (const auto& [run_seconds, what] : slowest_) {
            std::snprintf(seconds_text, sizeof seconds_text, " %.2f s;", run_seconds);
            slowest += ' ';
            slowest += what;
            slowest += seconds_text;
        }
        std::printf("campaign: %.1f runs/s (%.0f s, %u jobs); slowest runs:%s\n", runs_ / seconds, seconds, jobs,
                    slowest.c_str());
        if (round_trips_)
            std::printf("campaign: %zu round trips of a capture through a replay machine (%zu runs refused before "
                        "capturing), %zu bytes per capture on average\n",
                        captures_, round_trips_ - captures_, captures_ ? capture_bytes_ / captures_ : 0);
        if (fault_free_.runs + faulty_.runs)
            std::printf("campaign: model machines: %zu fault-free runs, %zu reproduced (%zu with fault rules); "
                        "%zu runs with faults, %zu needed fault rules, %zu still differ\n",
                        fault_free_.runs, fault_free_.runs - fault_free_.differ, fault_free_.with_rules, faulty_.runs,
                        faulty_.with_rules, faulty_.differ);
        std::printf("campaign: %zu runs, %zu failures\n", runs_, failures_);
        return failures_ ? 1 : 0;
    }

private:
    bool model_differences_;
    std::mutex mutex_, print_mutex_;
    size_t runs_ = 0, failures_ = 0;
    size_t round_trips_ = 0, captures_ = 0, capture_bytes_ = 0;
    struct ModelCounts {
        size_t runs = 0, with_rules = 0, differ = 0;
    };
    ModelCounts fault_free_, faulty_;
    std::map<int, size_t> statuses_;
    campaign::Coverage coverage_;
    std::vector<std::pair<double, std::string>> slowest_;  // seconds, seed or file
};

// The reports of all runs, checked against the report's schema once, after
// the runs: one python start for two thousand reports
// (scripts/validate-reports.py).
class SchemaBatch {
public:
    explicit SchemaBatch(fs::path dir) : dir_(std::move(dir)) { fs::create_directories(dir_); }

    void add(const Job& job, const std::string& report)
    {
        std::string name = job.file.empty() ? "seed-" + job.rerun() : job.file.stem().string();
        std::ofstream(dir_ / (name + ".json"), std::ios::binary) << report;
        std::lock_guard lock(mutex_);
        jobs_[name] = &job;
    }

    // Tells `tally` of every report that does not hold; false when the
    // check itself could not be made.
    bool check(Tally& tally, const fs::path& keep) const
    {
        if (jobs_.empty())
            return true;
        std::string command = "/usr/bin/python3 '" QB40_REPORT_VALIDATOR "' '" QB40_REPORT_SCHEMA "' '" + dir_.string() + "'";
        FILE* p = popen(command.c_str(), "r");
        if (!p)
            return false;
        std::map<std::string, std::string> findings;  // report name -> what is wrong
        std::string summary;
        char line[4096];
        while (std::fgets(line, sizeof line, p)) {
            std::string text(line);
            if (text.ends_with('\n'))
                text.pop_back();
            size_t colon = text.find(": ");
            std::string name = fs::path(text.substr(0, colon)).stem().string();
            if (text.starts_with("validate-reports: "))
                summary = text;
            else if (colon != std::string::npos && jobs_.contains(name))
                findings[name] += (findings[name].empty() ? "" : "; ") + text.substr(colon + 2);
        }
        int status = pclose(p);
        for (const auto& [name, what] : findings) {
            fs::create_directories(keep / name);
            fs::copy_file(dir_ / (name + ".json"), keep / name / "report.json", fs::copy_options::overwrite_existing);
            tally.fail(*jobs_.at(name), "report-schema: " + what, "report kept in " + (keep / name).string());
        }
        std::printf("campaign: %s\n", summary.empty() ? "the report schema check did not run" : summary.c_str());
        return !summary.empty() && (status == 0 || !findings.empty());
    }

private:
    fs::path dir_;
    std::mutex mutex_;
    std::map<std::string, const Job*> jobs_;
};

// A run the harness could not set up keeps at least its scenario, so that
// the failure line's "kept in" holds.
void keep_scenario(const Job& job, const fs::path& kept)
{
    try {
        fs::create_directories(kept);
        std::ofstream(kept / "scenario.json") << campaign::to_json(job.scenario()).dump() << "\n";
    } catch (const std::exception&) {  // the failure line says what went wrong already
    }
}

int run_campaign(const Options& o)
{
    fs::path root = fresh_root();
    Tally tally(o.model_differences);
    SchemaBatch schema(root / "reports");
    std::atomic<size_t> next = 0;
    auto bound = std::chrono::milliseconds(static_cast<long long>(o.bound_seconds * 1000));
    auto start = std::chrono::steady_clock::now();
    auto worker = [&] {
        for (size_t i; (i = next++) < o.jobs_to_run.size();) {
            const Job& job = o.jobs_to_run[i];
            fs::path kept = o.keep / (job.file.empty() ? "seed-" + job.rerun() : job.file.stem().string());
            campaign::RunOutput out;
            std::vector<campaign::Violation> found;
            campaign::Coverage covered;
            std::optional<campaign::RoundTripResult> trip;
            try {
                Scenario s = job.scenario();
                campaign::RunDir dir(root / kept.filename(), s);
                out = dir.run(o.tool, bound);
                found = campaign::check(s, out, &covered);
                if (job.file.empty() && o.round_trip.count(job.seed)) {
                    fs::path trip_dir = root / (kept.filename().string() + ".round-trip");
                    fs::path trip_kept = o.keep / (kept.filename().string() + "-round-trip");
                    trip = campaign::round_trip(s, trip_dir, trip_kept, o.tool, o.capture_tool, bound,
                                                o.model_differences);
                    found.insert(found.end(), trip->found.begin(), trip->found.end());
                }
                if (!found.empty())
                    dir.keep(kept);
                if (std::optional<std::string> report = campaign::report_for_schema(s, out))
                    schema.add(job, *report);
            } catch (const std::exception& e) {
                found.push_back({"harness", e.what()});
                keep_scenario(job, kept);
            }
            tally.add(job, out, found, kept, covered, trip ? &*trip : nullptr);
        }
    };
    std::vector<std::thread> workers;
    for (unsigned j = 0; j < std::min<size_t>(o.parallel, o.jobs_to_run.size()); ++j)
        workers.emplace_back(worker);
    for (std::thread& t : workers)
        t.join();
    bool checked = schema.check(tally, o.keep);
    fs::remove_all(root);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int status = tally.finish(seconds, o.parallel);
    return checked ? status : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o = parse(argc, argv);
    if (o.print) {
        Scenario s = campaign::generate(*o.print);
        std::printf("%s\n", s.machine.dump(2).c_str());
        for (const auto& [name, bytes] : s.files)
            std::printf("file %s: %zu bytes\n", name.c_str(), bytes.size());
        std::printf("%s\n", s.command_line().c_str());
        return 0;
    }
    try {
        return run_campaign(o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qb40campaign: %s\n", e.what());
        return 2;
    }
}
