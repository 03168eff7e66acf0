// SPDX-License-Identifier: MIT
#include "sim_run.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "in_process.h"
#include "sim/basics/whole_file.h"
#include "programs.h"

namespace qbtest {

namespace fs = std::filesystem;

namespace {

// The file --report names in `args`, when there is one.
std::optional<fs::path> report_named(const std::vector<std::string>& args)
{
    auto at = std::find(args.begin(), args.end(), "--report");
    if (at == args.end() || at + 1 == args.end())
        return std::nullopt;
    return fs::path(*(at + 1));
}

// What stands at `p` when it is a regular file (not through a link).
std::optional<std::string> regular_content(const fs::path& p)
{
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(p, ec)))
        return std::nullopt;
    return read_file(p);
}

}  // namespace

SimDir::SimDir() : dir_(fresh_temp_dir("qb40test")) {}

SimDir::~SimDir()
{
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void SimDir::write(const std::string& name, const std::string& bytes) const { sim::write_file(dir_ / name, bytes); }
std::string SimDir::read(const std::string& name) const { return read_file(dir_ / name); }

RunResult SimDir::run(const std::vector<std::string>& args) const
{
    // Harness files live beside the working directory so that they never
    // show up among the files the tool itself writes.
    fs::path aux = dir_.string() + ".run";
    fs::create_directories(aux);
    fs::path machine = aux / "machine.json", trace = aux / "trace.txt", in = aux / "stdin",
             out = aux / "stdout", err = aux / "stderr", panel = aux / "panel.txt";
    sim::write_file(machine, machine_);
    sim::write_file(in, input_);
    fs::remove(trace);
    std::optional<fs::path> report = report_named(args);
    std::optional<std::string> report_before;
    if (report && report->is_relative())
        report_before = regular_content(dir_ / *report);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int i = open(has_input_ ? in.c_str() : "/dev/null", O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (chdir(dir_.c_str()) != 0 || i < 0 || o < 0 || e < 0)
            _exit(120);
        dup2(i, 0), dup2(o, 1), dup2(e, 2);
        for (int fd : {i, o, e})
            if (fd > 2)
                close(fd);
        for (int fd : closed_)
            close(fd);
        if (umask_ >= 0)
            ::umask(static_cast<mode_t>(umask_));
        if (machine_.empty())
            unsetenv("QB40SIM_MACHINE");
        else
            setenv("QB40SIM_MACHINE", machine.c_str(), 1);
        setenv("QB40SIM_TRACE", trace.c_str(), 1);
        for (const auto& [name, value] : env_)
            setenv(name.c_str(), value.c_str(), 1);
        if (panel_.empty())
            unsetenv("QB40SIM_PANEL");
        else
            setenv("QB40SIM_PANEL", panel_ == kOwnPanelFile ? panel.c_str() : panel_.c_str(), 1);
        exec_sim(args);
        _exit(122);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    // A report this run wrote: not one that was there before and stayed,
    // nor a log the run wrote where it refused to write its report.
    // (A name that resolves nowhere, as a link to /proc/self/fd/1, is no log.)
    std::error_code ec;
    const fs::path logs[] = {fs::weakly_canonical(dir_ / "log.txt", ec), fs::weakly_canonical(dir_ / "logprev.txt", ec)};
    if (report && report->is_relative() && std::ranges::count(logs, fs::weakly_canonical(dir_ / *report, ec)) == 0) {
        std::optional<std::string> after = regular_content(dir_ / *report);
        if (after && after != report_before)
            keep_report(*after);
    }
    RunResult r{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus),
                WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0,
                read_file(out),
                read_file(err),
                read_file(trace),
                read_file(panel)};
    fs::remove_all(aux);
    return r;
}

void exec_sim(const std::vector<std::string>& args)
{
    std::vector<std::string> copy = args;
    copy.insert(copy.begin(), kToolSim);
    std::vector<char*> argv;
    for (std::string& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
}

fs::path keep_report(const std::string& text)
{
    static int kept = 0;
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "outside-a-test";
    fs::path dir = QB40_TEST_REPORTS;
    fs::create_directories(dir);
    fs::path p = dir / (name + "-" + std::to_string(getpid()) + "-" + std::to_string(++kept) + ".json");
    sim::write_file(p, text);
    return p;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line); out.push_back(line))
        if (line.ends_with('\r'))
            line.pop_back();
    return out;
}

std::vector<std::string> trace_events(const std::string& trace)
{
    std::vector<std::string> out = lines(trace);
    for (std::string& e : out)
        e.erase(0, e.find(' ') == std::string::npos ? 0 : e.find(' ') + 1);
    return out;
}

std::string missing_in_order(const std::vector<std::string>& actual, const std::vector<std::string>& expected)
{
    auto at = actual.begin();
    for (const std::string& want : expected) {
        at = std::find(at, actual.end(), want);
        if (at == actual.end())
            return "missing (in this order): \"" + want + "\"";
        ++at;
    }
    return "";
}

std::string machine_file(const std::string& name)
{
    std::string text = read_file(fs::path(QB40_SOURCE_DIR) / "sim" / "machines" / name);
    if (text.empty())
        throw std::runtime_error("no machine file " + name);
    return text;
}

std::string empty_bmcs(int count)
{
    std::string bmcs;
    for (int i = 0; i < count; ++i)
        bmcs += std::string(i ? ", " : "") + R"({"node": "/dev/ipmi)" + std::to_string(i) + R"(", "buses": {}})";
    return R"({"bmcs": [)" + bmcs + "]}";
}

std::string with_keys(const std::string& machine, const std::vector<std::pair<double, std::string>>& keys)
{
    nlohmann::json m = nlohmann::json::parse(machine);
    m["clock"]["start"] = 1700000000;
    m["keys"] = nlohmann::json::array();
    for (const auto& [at, key] : keys)
        m["keys"].push_back({{"at", at}, {"key", key}});
    return m.dump();
}

std::string slow_machine(const std::string& name, const std::vector<std::pair<double, std::string>>& keys,
                         const std::vector<std::pair<double, std::string>>& signals)
{
    nlohmann::json m = nlohmann::json::parse(with_keys(machine_file(name), keys));
    for (auto& bmc : m["bmcs"])
        bmc["latency_us"] = 100;
    for (const auto& [at, signal] : signals)
        m["signals"].push_back({{"at", at}, {"signal", signal}});
    return m.dump();
}

std::vector<std::string> lines_starting(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::vector<std::string> out;
    std::ranges::copy_if(lines, std::back_inserter(out), [&](const std::string& l) { return l.starts_with(prefix); });
    return out;
}

size_t lines_starting(const std::string& text, const std::string& prefix)
{
    return lines_starting(lines(text), prefix).size();
}

size_t count_containing(const std::vector<std::string>& lines, const std::string& part)
{
    return static_cast<size_t>(
        std::ranges::count_if(lines, [&](const std::string& l) { return l.find(part) != std::string::npos; }));
}

std::vector<std::string> lines_after(const std::vector<std::string>& lines, const std::string& line, size_t count)
{
    auto at = std::find(lines.begin(), lines.end(), line);
    if (at == lines.end())
        return {};
    ++at;
    return {at, at + static_cast<long>(std::min(count, static_cast<size_t>(lines.end() - at)))};
}

std::string line_after(const std::vector<std::string>& lines, const std::string& line)
{
    auto next = lines_after(lines, line, 1);
    return next.empty() ? "" : next[0];
}

size_t count_lines(const std::vector<std::string>& lines, const std::string& line)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

size_t event_index(const std::vector<std::string>& events, const std::string& prefix, size_t n)
{
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].starts_with(prefix) && n-- == 0)
            return i;
    return std::string::npos;
}

bool puts_led_out(const std::string& event)
{
    return event.find(" request") != std::string::npos &&
           (event.ends_with(" 40 00") || event.ends_with(" 42 00") || event.ends_with(" 44 00") ||
            event.ends_with(" 46 00"));
}

std::set<std::string> lit(const std::vector<std::string>& events, const std::string& kind, size_t end)
{
    std::map<std::string, bool> on;
    for (size_t i = 0; i < std::min(end, events.size()); ++i) {
        const std::string& e = events[i];
        if (!e.starts_with("led "))
            continue;
        // NAME has blanks of its own: split from the right.
        size_t value_at = e.rfind(' '), kind_at = e.rfind(' ', value_at - 1);
        if (e.substr(kind_at + 1, value_at - kind_at - 1) == kind)
            on[e.substr(4, kind_at - 4)] = e.substr(value_at + 1) != "00";
    }
    std::set<std::string> out;
    for (const auto& [name, is_on] : on)
        if (is_on)
            out.insert(name);
    return out;
}

}  // namespace qbtest
