// SPDX-License-Identifier: MIT
#include "round_trip.h"

#include <algorithm>
#include <fcntl.h>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>

#include "run.h"

extern char** environ;

namespace campaign {

namespace fs = std::filesystem;

namespace {

constexpr const char* kCaptureName = "../capture.jsonl";

std::optional<std::string> read_file(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// --capture goes last, unless the last argument would take it as its value
// (a word holding "-f", --report); then first, unless the first is the bare
// image name that only index 1 may hold. Nullopt when neither place is free.
std::optional<std::vector<std::string>> with_capture(const std::vector<std::string>& args)
{
    auto takes_next = [](const std::string& a) {
        return a == "--report" || a == "--capture" || a.find("-f") != std::string::npos;
    };
    std::vector<std::string> out = args;
    if (args.empty() || !takes_next(args.back())) {
        out.insert(out.end(), {"--capture", kCaptureName});
        return out;
    }
    if (args[0].find('.') == std::string::npos) {
        out.insert(out.begin(), {"--capture", kCaptureName});
        return out;
    }
    return std::nullopt;
}

// Runs `argv` with standard output into `out` and standard error beside it
// (OUT.stderr); its exit status, or -1.
int run_program(const std::vector<std::string>& args, const fs::path& out)
{
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (std::string& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    fs::path errors = out;
    errors += ".stderr";
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The digits from `at` on: how many there are.
size_t digits_at(const std::string& text, size_t at)
{
    size_t n = 0;
    while (at + n < text.size() && is_digit(text[at + n]))
        ++n;
    return n;
}

// "(argc:N)" becomes "(argc)".
std::string without_argument_count(const std::string& line)
{
    static const std::string kArgc = "(argc:";
    std::string out;
    size_t at = 0;
    for (size_t found; (found = line.find(kArgc, at)) != std::string::npos;) {
        size_t n = digits_at(line, found + kArgc.size());
        size_t close = found + kArgc.size() + n;
        if (n == 0 || close >= line.size() || line[close] != ')') {
            out += line.substr(at, found + kArgc.size() - at);
            at = found + kArgc.size();
            continue;
        }
        out += line.substr(at, found - at) + "(argc)";
        at = close + 1;
    }
    return out + line.substr(at);
}

// The console and the log of a run with --capture, without what shows that
// option: the argument count and the lines of the arguments ("N: ...").
std::string without_capture_arguments(const std::string& text)
{
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
        at = end == std::string::npos ? text.size() : end + 1;
        if (line.find("--capture") != std::string::npos || line.find(kCaptureName) != std::string::npos)
            continue;
        size_t n = digits_at(line, 0);
        if (n > 0 && line.compare(n, 2, ": ") == 0)
            continue;
        out += without_argument_count(line);
    }
    return out;
}

void expect_same(std::vector<Violation>& found, const char* what, const std::optional<std::string>& a,
                 const std::optional<std::string>& b)
{
    if (a == b)
        return;
    std::string detail = std::string(what) + " differs";
    if (a && b) {
        size_t i = 0;
        while (i < a->size() && i < b->size() && (*a)[i] == (*b)[i])
            ++i;
        size_t line = static_cast<size_t>(std::count(a->begin(), a->begin() + static_cast<long>(i), '\n')) + 1;
        detail += " from line " + std::to_string(line);
    } else {
        detail += a ? " (missing in the replay)" : " (only in the replay)";
    }
    found.push_back({"round-trip", detail});
}

// What a run on a machine made from the capture shares with the captured
// run, whichever machine it was: the ending, the console, standard error and
// both logs.
void expect_same_run(std::vector<Violation>& found, const char* kind, const char* on, const RunOutput& first,
                     const RunOutput& other)
{
    if (other.status != first.status || other.signal != first.signal)
        found.push_back({kind, "exit status " + std::to_string(other.status) + " " + on + ", " +
                                   std::to_string(first.status) + " in the captured run"});
    expect_same(found, "the console", first.console, other.console);
    expect_same(found, "standard error", first.errors, other.errors);
    expect_same(found, "log.txt", first.log, other.log);
    expect_same(found, "logprev.txt", first.logprev, other.logprev);
}

}  // namespace

namespace {

struct ExchangeLine {
    std::string text;  // the line without its BMC's name and road
    std::string channel;  // BMC and road
    bool response = false;
    size_t request = 0;   // responses: the index of the last request on their channel
};

// The fault descriptions after which the tool does not get the answer whole.
bool keeps_answer_from_tool(const std::string& fault)
{
    for (const char* f : {"receive fails", "kcs error_in_read", "kcs error_no_obf", "kcs ibf_stuck_in_read"})
        if (fault.find(f) != std::string::npos)
            return true;
    return fault.find("on kcs request") != std::string::npos && fault.find("response delayed") != std::string::npos;
}

// The first `count` words of `line` (separated by one space) and what
// follows them; false when it has fewer.
bool split_words(const std::string& line, size_t count, std::vector<std::string>& words, std::string& rest)
{
    words.clear();
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t end = line.find(' ', at);
        if (end == at)
            return false;
        words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) {
            rest.clear();
            return i + 1 == count;
        }
        at = end + 1;
    }
    rest = line.substr(at);
    return true;
}

bool is_bmc_name(const std::string& word)
{
    return word.size() > 3 && word.compare(0, 3, "bmc") == 0 && digits_at(word, 3) == word.size() - 3;
}

bool is_number(const std::string& word) { return !word.empty() && digits_at(word, 0) == word.size(); }

std::vector<ExchangeLine> parse_exchanges(const std::string& trace, const std::map<std::string, std::string>& names,
                                          std::set<size_t>* hidden)
{
    std::vector<ExchangeLine> lines;
    std::map<std::string, size_t> last_request, request_by_id;
    size_t requests = 0;
    size_t at = 0;
    std::vector<std::string> w;
    std::string fault;
    while (at < trace.size()) {
        size_t end = trace.find('\n', at);
        std::string line = trace.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? trace.size() : end + 1;
        // "TIME bmcN fault N #N WHAT"
        if (hidden && split_words(line, 5, w, fault) && is_bmc_name(w[1]) && w[2] == "fault" && is_number(w[3]) &&
            w[4].size() > 1 && w[4][0] == '#' && is_number(w[4].substr(1)) && requests > 0 &&
            keeps_answer_from_tool(fault))
            hidden->insert(requests - 1);
        // "TIME bmcN driver|kcs request|response..."
        std::string tail;
        if (!split_words(line, 3, w, tail) || !is_bmc_name(w[1]) || (w[2] != "driver" && w[2] != "kcs"))
            continue;
        const std::string kind = tail.compare(0, 7, "request") == 0    ? "request"
                                 : tail.compare(0, 8, "response") == 0 ? "response"
                                                                       : "";
        if (kind.empty())
            continue;
        const std::string& road = w[2];
        std::string name = w[1];
        if (road == "kcs")
            name = "bmc0";
        else if (auto it = names.find(name); it != names.end())
            name = it->second;
        ExchangeLine e;
        e.channel = name + " " + road;
        e.response = kind == "response";
        std::string rest = tail.substr(kind.size());
        // The tool takes at most 60 data bytes from the driver, 35 bytes from the ports.
        size_t colon = rest.find(": ");
        size_t limit = road == "kcs" ? 35 : 62;
        if (e.response && colon != std::string::npos && rest.size() > colon + 2 + 3 * limit - 1)
            rest.resize(colon + 2 + 3 * limit - 1);
        // When an answer came to the KCS ports is the BMC's to know: the host
        // sees it at the next status read, whatever the time between.
        std::string time = e.response && road == "kcs" ? "-" : w[0];
        e.text = time + " " + e.channel + " " + kind + rest;
        // A driver answer names its request's id: a late one belongs to
        // that request, not to the last one sent.
        std::string id;
        if (road == "driver" && rest.compare(0, 4, " id ") == 0 && colon != std::string::npos)
            id = e.channel + rest.substr(3, colon - 3);
        if (e.response) {
            if (!id.empty() && request_by_id.count(id))
                e.request = request_by_id[id];
            else
                e.request = last_request.count(e.channel) ? last_request[e.channel] : SIZE_MAX;
        } else {
            if (!id.empty())
                request_by_id[id] = requests;
            last_request[e.channel] = requests++;
        }
        lines.push_back(e);
    }
    return lines;
}

std::vector<std::string> visible(const std::vector<ExchangeLine>& lines, const std::set<size_t>& hidden)
{
    std::vector<std::string> out;
    for (const ExchangeLine& e : lines)
        if (!e.response || !hidden.count(e.request))
            out.push_back(e.text);
    return out;
}

}  // namespace

namespace {

// A machine's BMCs by the names a capture's machine gives them.
std::map<std::string, std::string> bmc_names(const nlohmann::json& machine)
{
    std::map<std::string, std::string> names;
    if (machine.contains("bmcs")) {
        for (size_t k = 0; k < machine["bmcs"].size(); ++k) {
            const nlohmann::json& b = machine["bmcs"][k];
            if (!b.contains("node"))
                continue;
            std::string node = b["node"];
            names["bmc" + std::to_string(k)] = node == "/dev/ipmidev/0" ? "bmc0" : "bmc" + node.substr(node.size() - 1);
        }
    }
    return names;
}

}  // namespace

ExchangeLines exchange_lines(const std::string& first_trace, const nlohmann::json& first_machine,
                             const std::string& replayed_trace, const nlohmann::json& replayed_machine)
{
    std::set<size_t> hidden;
    std::vector<ExchangeLine> first = parse_exchanges(first_trace, bmc_names(first_machine), &hidden);
    std::vector<ExchangeLine> replayed = parse_exchanges(replayed_trace, bmc_names(replayed_machine), nullptr);
    return {visible(first, hidden), visible(replayed, hidden)};
}

namespace {

// The first request or answer two runs' traces differ in, in words.
std::optional<std::string> first_exchange_difference(const ExchangeLines& lines, const char* second)
{
    if (lines.first == lines.replayed)
        return std::nullopt;
    size_t i = 0;
    while (i < lines.first.size() && i < lines.replayed.size() && lines.first[i] == lines.replayed[i])
        ++i;
    std::string was = i < lines.first.size() ? lines.first[i] : "nothing";
    std::string now = i < lines.replayed.size() ? lines.replayed[i] : "nothing";
    return "the BMC's requests and answers differ (trace): \"" + was + "\" in the captured run, \"" + now +
           "\" in " + second;
}

// One capture's round trip: the run with and without --capture, then the
// captured run again on the replay machine and on the model machine made of
// its capture. The runs' directories stay in `runs` for keeping.
class RoundTripRuns {
public:
    RoundTripRuns(const Scenario& scenario, const fs::path& dir, const fs::path& tool, const fs::path& capture_tool,
                  std::chrono::milliseconds bound, RoundTripResult& result,
                  std::vector<std::unique_ptr<RunDir>>& runs)
        : scenario_(scenario), dir_(dir), tool_(tool), capture_tool_(capture_tool), bound_(bound), result_(result),
          runs_(runs)
    {
    }

    void compare(const std::vector<std::string>& args)
    {
        if (!capture_neutral(args))
            return;  // the command line was refused before the capture began
        if (check_replay())
            check_model();
    }

private:
    RunOutput run(const std::string& name, const Scenario& on)
    {
        runs_.push_back(std::make_unique<RunDir>(dir_ / name, on));
        return runs_.back()->run(tool_, bound_);
    }

    // --capture changes nothing but the command line the run shows; false
    // when no capture was made.
    bool capture_neutral(const std::vector<std::string>& args)
    {
        // Both runs on the same clock, so that their dates agree.
        Scenario plain_scenario = scenario_;
        nlohmann::json& clock = plain_scenario.machine["clock"];
        if (!clock.contains("start") && !clock.contains("start_us"))
            clock["start"] = 1700000000;
        captured_ = plain_scenario;
        captured_.args = args;
        RunOutput plain = run("plain", plain_scenario);
        first_ = run("captured", captured_);

        std::vector<Violation>& found = result_.found;
        if (first_.status != plain.status || first_.signal != plain.signal)
            found.push_back({"capture-neutral", "the exit status changes with --capture"});
        if (first_.trace != plain.trace)
            expect_same(found, "the trace with --capture", plain.trace, first_.trace);
        // A run without arguments is another mode, with lines of its own: its
        // capture shows a run of report cycles, the same traffic.
        if (!scenario_.args.empty()) {
            expect_same(found, "the console with --capture", without_capture_arguments(plain.console),
                        without_capture_arguments(first_.console));
            if (plain.log && first_.log)
                expect_same(found, "log.txt with --capture", without_capture_arguments(*plain.log),
                            without_capture_arguments(*first_.log));
        }

        capture_ = read_file(dir_ / "captured" / "capture.jsonl");
        if (!capture_)
            return false;
        result_.made = true;
        result_.capture_bytes = capture_->size();
        return true;
    }

    // The captured scenario on the machine qb40sim-capture KIND makes of the
    // capture (KIND.json); none when it refuses the capture.
    std::optional<Scenario> on_machine_of_capture(const std::string& kind, const char* invariant)
    {
        std::vector<std::string> capture_args = {capture_tool_.string(), kind,
                                                 (dir_ / "captured" / "capture.jsonl").string()};
        if (scenario_.image && fs::is_regular_file(dir_ / "captured" / "work" / *scenario_.image)) {
            capture_args.push_back("--image");
            capture_args.push_back((dir_ / "captured" / "work" / *scenario_.image).string());
        }
        if (run_program(capture_args, dir_ / (kind + ".json")) != 0) {
            result_.found.push_back({invariant, "qb40sim-capture " + kind + " refused the capture"});
            return std::nullopt;
        }
        Scenario on_it = captured_;
        std::ifstream machine(dir_ / (kind + ".json"));
        on_it.machine = nlohmann::json::parse(machine);
        return on_it;
    }

    // The replay gives what the captured run gave; false when there is none.
    bool check_replay()
    {
        std::optional<Scenario> replayed = on_machine_of_capture("replay", "round-trip");
        if (!replayed)
            return false;
        RunOutput second = run("replayed", *replayed);
        std::vector<Violation>& found = result_.found;
        expect_same_run(found, "round-trip", "in the replay", first_, second);
        expect_same(found, "the report", first_.report, second.report);
        expect_same(found, "the capture", capture_, read_file(dir_ / "replayed" / "capture.jsonl"));
        ExchangeLines lines = exchange_lines(first_.trace, captured_.machine, second.trace);
        if (auto d = first_exchange_difference(lines, "the replay"))
            found.push_back({"round-trip", *d});
        return true;
    }

    // The model: made from the capture alone, ordinary devices and fault
    // rules. A difference fails the run only where no fault was injected.
    void check_model()
    {
        std::optional<Scenario> modelled = on_machine_of_capture("model", "model");
        if (!modelled)
            return;
        result_.modelled = true;
        result_.fault_free = !injects_faults(captured_.machine);
        for (const auto& bmc : modelled->machine.value("bmcs", nlohmann::json::array()))
            result_.model_rules += bmc.value("faults", nlohmann::json::array()).size();
        RunOutput third = run("modelled", *modelled);
        std::vector<Violation> model_found;
        expect_same_run(model_found, "model", "on the model", first_, third);
        ExchangeLines lines = exchange_lines(first_.trace, captured_.machine, third.trace, modelled->machine);
        if (auto d = first_exchange_difference(lines, "the run on the model"))
            model_found.push_back({"model", *d});
        if (!model_found.empty()) {
            result_.model_differs = model_found.front().detail;
            if (result_.fault_free)
                for (Violation& v : model_found)
                    result_.found.push_back({"model", v.detail + " (the run on the model)"});
        }
    }

    const Scenario& scenario_;
    const fs::path& dir_;
    const fs::path& tool_;
    const fs::path& capture_tool_;
    std::chrono::milliseconds bound_;
    RoundTripResult& result_;
    std::vector<std::unique_ptr<RunDir>>& runs_;
    Scenario captured_;
    RunOutput first_;
    std::optional<std::string> capture_;
};

}  // namespace

bool injects_faults(const nlohmann::json& machine)
{
    if (machine.is_object()) {
        for (const auto& [key, value] : machine.items())
            if ((key == "faults" && !value.empty()) || injects_faults(value))
                return true;
    } else if (machine.is_array()) {
        for (const auto& item : machine)
            if (injects_faults(item))
                return true;
    }
    return false;
}

RoundTripResult round_trip(const Scenario& scenario, const fs::path& dir, const fs::path& keep,
                           const fs::path& tool, const fs::path& capture_tool, std::chrono::milliseconds bound,
                           bool keep_model_differences)
{
    RoundTripResult result;
    // The environment's disk is not the machine's: a capture cannot carry
    // it, and one that leaves the host out cannot give its report back.
    if (scenario.machine.contains("file_faults") || scenario.redacts("host"))
        return result;
    // Not yet for the network road: its replay needs the password
    // (qb40sim-capture --lan-password-file) and stops at a session set-up
    // that failed, which the campaign's lossy BMCs often give.
    if (scenario.lan_road())
        return result;
    auto args = with_capture(scenario.args);
    if (!args)
        return result;
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<std::unique_ptr<RunDir>> runs;
    RoundTripRuns(scenario, dir, tool, capture_tool, bound, result, runs).compare(*args);
    if (!result.found.empty() || (keep_model_differences && !result.model_differs.empty())) {
        fs::remove_all(keep);
        fs::create_directories(keep);
        std::error_code ec;
        fs::copy_file(dir / "replay.json", keep / "replay.json", ec);
        fs::copy_file(dir / "model.json", keep / "model.json", ec);
        fs::copy_file(dir / "model.json.stderr", keep / "model.stderr", ec);
        for (auto& run : runs)
            run->keep(keep / run->path().filename());
    }
    runs.clear();
    fs::remove_all(dir);
    return result;
}
}  // namespace campaign
