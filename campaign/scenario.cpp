// SPDX-License-Identifier: MIT
#include "scenario.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <string_view>

#include "command_gen.h"
#include "hex.h"
#include "machine_gen.h"
#include "random.h"
#include "sim/devices/image_version.h"

namespace campaign {

namespace {

// The operator: keys at random virtual times, or (no "keys") the real
// standard input, which the campaign ties to /dev/null.
nlohmann::json key_script(Random& r)
{
    std::vector<std::pair<int, std::string>> keys;
    int horizon_ms = r.pick({3000, 12000, 40000});
    int count = r.between(0, 8);
    for (int i = 0; i < count; ++i) {
        std::string key = r.choose<std::string>({{20, "esc"},
                                                 {15, "y"},
                                                 {3, "Y"},
                                                 {12, "n"},
                                                 {3, "N"},
                                                 {8, "l"},
                                                 {2, "L"},
                                                 {10, "space"},
                                                 {10, "enter"},
                                                 {3, "x"},
                                                 {2, "q"}});
        keys.emplace_back(r.between(0, horizon_ms), key);
    }
    std::sort(keys.begin(), keys.end());
    nlohmann::json script = nlohmann::json::array();
    for (const auto& [at_ms, key] : keys)
        script.push_back({{"at", at_ms / 1000.0}, {"key", key}});
    return script;
}

// Signals at random virtual times, of every kind whose default action ends
// the process: a supervisor's stop, a dropped session, Ctrl-C or Ctrl-\,
// timers, CPU and file-size limits, a power failure, a stray kill; now and
// then a second one soon after, SIGPIPE before (the tool ignores it), or
// SIGKILL, which nothing can catch.
nlohmann::json signal_script(Random& r)
{
    const std::vector<std::string> stops = {"TERM", "INT",    "HUP",  "QUIT", "ALRM", "USR1", "USR2",
                                            "XCPU", "XFSZ", "VTALRM", "PROF", "PWR",  "IO",   "STKFLT"};
    // The four an operator or a supervisor sends drawn as often as all the others.
    auto draw = [&] { return r.percent(50) ? r.pick({"TERM", "INT", "HUP", "QUIT"}) : r.pick(stops); };
    // The first 40 ms hold discovery and the first scan, with its found marks lit.
    int at_ms = r.between(0, r.pick({40, 400, 2000, 15000, 60000}));
    nlohmann::json script = nlohmann::json::array();
    if (r.percent(10))
        script.push_back({{"at", r.between(0, at_ms) / 1000.0}, {"signal", "PIPE"}});
    script.push_back({{"at", at_ms / 1000.0}, {"signal", r.percent(3) ? std::string("KILL") : draw()}});
    if (r.percent(25))
        script.push_back({{"at", (at_ms + r.between(0, 3000)) / 1000.0}, {"signal", r.percent(10) ? "KILL" : draw()}});
    return script;
}

// An old report: what a report of an earlier run, complete and successful,
// looks like to a script that reads it.
std::string old_report_text(uint64_t seed)
{
    return nlohmann::json({{"schema_version", 2}, {"complete", true}, {"exit_code", 0}, {"exit_meaning", "done"},
                           {"arguments", {"an", "earlier", "run", std::to_string(seed)}}})
               .dump() +
           "\n";
}

// The environment the tool meets at its seam with the operating system: a
// disk that is full, read-only, failing or holding a file in place under its
// log, report or capture; standard descriptors closed at start; a umask that
// lets anyone write; an old report where the report goes; a capture taken
// with its redactions, on a machine whose identity the capture must not hold.
void environment(Random& r, Scenario& s)
{
    if (r.percent(12)) {
        nlohmann::json faults = nlohmann::json::array();
        for (int i = r.between(1, 2); i > 0; --i) {
            nlohmann::json rule = {{"file", r.pick({"log", "report", "capture"})},
                                   {"call", r.choose<std::string>({{40, "write"}, {25, "rename"}, {20, "open"},
                                                                   {15, "fsync"}})},
                                   {"errno", r.pick({"ENOSPC", "EROFS", "EIO", "EBUSY"})},
                                   {"nth", r.between(1, 4)}};
            if (r.percent(60))
                rule["count"] = "all";
            faults.push_back(rule);
        }
        s.machine["file_faults"] = faults;
    }
    if (r.percent(5)) {
        for (int fd = 0; fd <= 2; ++fd)
            if (r.percent(50))
                s.closed_descriptors.insert(fd);
        if (s.closed_descriptors.empty())
            s.closed_descriptors.insert(1);
    }
    if (r.percent(8))
        s.machine["umask"] = "000";
    std::optional<std::string> report = s.report_file();
    // Not where a file or directory of the run stands already (the image,
    // or a directory drawn under the image's name).
    bool taken = report && (s.files.count(*report) ||
                            std::find(s.directories.begin(), s.directories.end(), *report) != s.directories.end());
    if (report && !taken && !report->starts_with("missing/") && *report != "log.txt" && *report != "logprev.txt" &&
        r.percent(40)) {
        s.old_report = old_report_text(s.seed);
        s.files[*report] = *s.old_report;
    }
    if (!s.args.empty() && r.percent(12)) {
        // Last, where no option takes it as its value; not after a bare name
        // alone, which only the first argument may be.
        const std::string& last = s.args.back();
        if (last != "-f" && last != "--report" && last != "--image-sha256" && last != "--expect") {
            s.args.insert(s.args.end(), {"--capture", "c.jsonl"});
            std::string redact = r.pick({"vpd", "host", "vpd,host", "host,vpd", ""});
            if (!redact.empty())
                s.args.insert(s.args.end(), {"--capture-redact", redact});
            std::string id = std::to_string(s.seed);
            s.machine["host"] = {{"name", "rack-" + id + "-db"}, {"product_serial", "SN" + id + "QX"},
                                 {"machine_id", "c0ffee" + id + "b4c40"}};
        }
    }
}

// --metrics, mostly with --read-only as a timer runs it; sometimes over an
// earlier run's file, or on a disk that fails it.
void metrics(Random& r, Scenario& s)
{
    if (s.args.empty() || !r.percent(10))
        return;
    const std::string& last = s.args.back();
    if (last == "-f" || last == "--report" || last == "--image-sha256" || last == "--expect" || last == "--capture" ||
        last == "--capture-redact")
        return;
    if (r.percent(60) && !s.read_only())
        s.args.push_back("--read-only");
    s.args.insert(s.args.end(), {"--metrics", "m.prom"});
    if (r.percent(30)) {
        s.old_metrics = "# metrics of an earlier run " + std::to_string(s.seed) + "\nqb40_scan_success 1\n";
        s.files["m.prom"] = *s.old_metrics;
    }
    if (r.percent(10)) {
        if (!s.machine.contains("file_faults"))
            s.machine["file_faults"] = nlohmann::json::array();
        s.machine["file_faults"].push_back({{"file", "metrics"},
                                            {"call", r.pick({"open", "write", "fsync", "rename"})},
                                            {"errno", r.pick({"ENOSPC", "EROFS", "EIO", "EBUSY"})},
                                            {"nth", 1}});
    }
    // Now and then a name no output may take: the image, or the log.
    if (!s.old_metrics && r.percent(8))
        s.args.back() = s.image ? *s.image : "log.txt";
}

// Now and then the machine's BMCs as BMCs on the network, reached with
// --lan from a management node: no device node and no KCS ports, user
// admin with a password in a file (0600, written by the run), sometimes
// suite 3 only, an answer time, a session timeout, and datagrams lost by
// rule or by chance.
void lan_road(Random& r, Scenario& s)
{
    if (!s.machine.contains("bmcs") || s.args.empty() || !r.percent(7))
        return;
    const std::string last = s.args.back();
    if (last == "-f" || last == "--report" || last == "--image-sha256" || last == "--expect" || last == "--capture" ||
        last == "--capture-redact" || last == "--metrics")
        return;
    const std::string password = "Cmp-" + std::to_string(s.seed) + "-pw";
    std::vector<std::string> added;
    size_t index = 0;
    for (nlohmann::json& bmc : s.machine["bmcs"]) {
        bmc.erase("node");
        bmc.erase("kcs");
        bmc.erase("kcs_handshake");
        const std::string host = "bmc" + std::to_string(index++) + ".lab";
        nlohmann::json lan = {{"host", host},
                              {"users", {{{"name", "admin"}, {"password", password}}}},
                              {"cipher_suites", r.percent(15) ? nlohmann::json{3} : nlohmann::json{17, 3}},
                              {"session_timeout_s", r.pick({30, 60})},
                              {"answer_us", r.pick({0, 200, 1000})},
                              {"seed", r.between(1, 1000)}};
        if (r.percent(30))
            lan["faults"] = {{{"direction", r.pick(std::vector<std::string>{"answer", "request", "both"})},
                              {"message", r.pick(std::vector<std::string>{"master_write_read", "ipmi", "any",
                                                                          "open_session", "rakp3", "close_session"})},
                              {"nth", r.between(1, 60)},
                              {"count", r.pick({1, 2, 5})}}};
        else if (r.percent(15))
            lan["faults"] = {{{"direction", "both"},
                              {"message", "any"},
                              {"probability", r.pick({0.05, 0.02})},
                              {"count", 100000},
                              {"seed", r.between(1, 1000)}}};
        // A BMC that answers a RAKP message 3 sent again inside the session.
        if (r.percent(30))
            lan["repeated_rakp3"] = "in_session";
        added.insert(added.end(), {"--lan", host});
    }
    // -dio with --lan is refused; mostly the generator's -dio goes.
    if (r.percent(85))
        std::erase(s.args, std::string("-dio"));
    added.insert(added.end(), {"--lan-user", "admin"});
    // Now and then an output named as the password file, before or after it:
    // the tool must refuse it and leave the operator's secret as it was.
    std::vector<std::string> over_secret;
    if (r.percent(12))
        over_secret = r.pick(std::vector<std::vector<std::string>>{
            {"--report", "lan.pw"}, {"--capture", "lan.pw"}, {"--metrics", "lan.pw"}, {"--metrics=lan.pw"}});
    const bool secret_first = r.percent(50);
    if (!secret_first)
        added.insert(added.end(), over_secret.begin(), over_secret.end());
    if (r.percent(25))
        added.push_back("--lan-password-file=lan.pw");
    else
        added.insert(added.end(), {"--lan-password-file", "lan.pw"});
    if (secret_first)
        added.insert(added.end(), over_secret.begin(), over_secret.end());
    if (r.percent(20))
        added.insert(added.end(), {"--lan-cipher", "3"});
    if (r.percent(20))
        added.insert(added.end(), {"--lan-timeout", std::to_string(r.pick({50, 300, 1000}))});
    s.args.insert(s.args.end(), added.begin(), added.end());
    s.files["lan.pw"] = password + "\n";
}

}  // namespace

Scenario generate(uint64_t seed)
{
    Random r(seed);
    // The image's version bytes come from their own range (machine_gen.cpp).
    Version image_version;
    for (uint8_t& b : image_version)
        b = static_cast<uint8_t>(r.between(0x20, 0x3F));

    MachinePlan machine = generate_machine(r, image_version);
    CommandPlan command = generate_command(r, machine, image_version);

    Scenario s;
    s.seed = seed;
    s.machine = std::move(machine.json);
    if (r.percent(80)) {
        nlohmann::json keys = key_script(r);
        // The QB4083C command set needs a "y" at the confirmation; the
        // summary before it takes the first key waiting.
        bool asks = command.image && command.image->find("4083") != std::string::npos &&
                    std::find(command.args.begin(), command.args.end(), "-u") == command.args.end();
        if (asks && r.percent(50))
            keys.insert(keys.begin(), 2, {{"at", 0}, {"key", "y"}});
        s.machine["keys"] = keys;
    }
    s.args = std::move(command.args);
    s.files = std::move(command.files);
    s.directories = std::move(command.directories);
    s.controllers = std::move(machine.controllers);
    s.image = std::move(command.image);
    // Drawn last, so that the rest of a seed's run stays what it was before signals were sent.
    if (r.percent(35))
        s.machine["signals"] = signal_script(r);
    // Last again: the environment came after the signals.
    environment(r, s);
    // And the metrics after the environment.
    metrics(r, s);
    // And after them, for the same reason.
    add_real_bmc_ways(r, s.machine);
    // And the network road after all of them.
    lan_road(r, s);
    return s;
}

const ControllerModel* Scenario::controller_at(uint8_t bus, uint8_t address) const
{
    for (const ControllerModel& c : controllers)
        if (c.bus == bus && c.address == address)
            return &c;
    return nullptr;
}

std::optional<Version> Scenario::image_version() const
{
    if (!image)
        return std::nullopt;
    auto file = files.find(*image);
    if (file == files.end())
        return std::nullopt;
    Version v{0xFF, 0xFF, 0xFF};
    for (size_t i = 0; i < v.size(); ++i)
        if (sim::kImageVersionOffset + i < file->second.size())
            v[i] = static_cast<uint8_t>(file->second[sim::kImageVersionOffset + i]);
    return v;
}

namespace {

// The tool's options that are whole arguments, with whether each takes a
// value (--help is a classic key, matched whole too).
const std::map<std::string, bool> kWholeOptions = {
    {"--help", false},          {"--help-all", false},        {"--strict", false},
    {"--plan", false},          {"--read-only", false},       {"--report", true},
    {"--image-sha256", true},   {"--capture", true},          {"--capture-redact", true},
    {"--metrics", true},        {"--expect", true},           {"--lan", true},
    {"--lan-user", true},       {"--lan-password-file", true}, {"--lan-kg-file", true},
    {"--lan-cipher", true},     {"--lan-privilege", true},    {"--lan-timeout", true},
    {"--lan-retries", true},
};

}  // namespace

std::vector<std::string> Scenario::whole_args() const
{
    std::vector<std::string> out;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        size_t equals = a.find('=');
        out.push_back(a.starts_with("--") && equals != std::string::npos ? a.substr(0, equals) : a);
        if (a.starts_with("--") && equals != std::string::npos)
            out.push_back(a.substr(equals + 1));
        else if (auto o = kWholeOptions.find(a); o != kWholeOptions.end() && o->second && i + 1 < args.size())
            out.push_back(args[++i]);  // a value that begins with -- is the option's, not another option
    }
    return out;
}

namespace {

// How an argument beginning with -- is spelled, as the parser meets it.
enum class Spelling { Whole, WithValue, Refused };

// The spelling of each argument beginning with --, in order; the value that
// follows an option taking one is its own, whatever it begins with.
std::vector<std::pair<std::string, Spelling>> spellings(const std::vector<std::string>& args)
{
    std::vector<std::pair<std::string, Spelling>> out;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!a.starts_with("--"))
            continue;
        const size_t equals = a.find('=');
        auto o = kWholeOptions.find(a.substr(0, equals));
        if (o == kWholeOptions.end() || (equals != std::string::npos && !o->second))
            out.emplace_back(a, Spelling::Refused);
        else
            out.emplace_back(a, equals == std::string::npos ? Spelling::Whole : Spelling::WithValue);
        if (o != kWholeOptions.end() && o->second && equals == std::string::npos)
            ++i;  // its value
    }
    return out;
}

}  // namespace

std::optional<std::string> Scenario::refused_spelling() const
{
    for (const auto& [arg, spelling] : spellings(args))
        if (spelling == Spelling::Refused)
            return arg;
    return std::nullopt;
}

bool Scenario::equals_spelling() const
{
    const auto all = spellings(args);
    return std::any_of(all.begin(), all.end(), [](const auto& s) { return s.second == Spelling::WithValue; });
}

namespace {

// Whether `option` is one of the arguments as the tool's parser reads them.
bool given(const Scenario& s, const char* option)
{
    const std::vector<std::string> w = s.whole_args();
    return std::find(w.begin(), w.end(), option) != w.end();
}

}  // namespace

bool Scenario::lan_road() const { return given(*this, "--lan"); }

bool Scenario::strict() const { return given(*this, "--strict"); }

bool Scenario::plan() const { return given(*this, "--plan"); }

bool Scenario::read_only() const { return given(*this, "--read-only"); }

namespace {

// The value of the last `option` given, as the tool takes it.
std::optional<std::string> last_value(const std::vector<std::string>& args, const std::string& option)
{
    std::optional<std::string> file;
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == option)
            file = args[++i];
    return file;
}

}  // namespace

std::optional<std::string> Scenario::report_file() const { return last_value(whole_args(), "--report"); }

std::optional<std::string> Scenario::capture_file() const { return last_value(whole_args(), "--capture"); }

std::optional<std::string> Scenario::metrics_file() const { return last_value(whole_args(), "--metrics"); }

std::vector<std::string> Scenario::input_files() const
{
    std::vector<std::string> inputs;
    if (image)
        inputs.push_back(*image);
    if (std::optional<std::string> password = last_value(whole_args(), "--lan-password-file"))
        inputs.push_back(*password);
    return inputs;
}

bool Scenario::redacts(const std::string& what) const
{
    const std::vector<std::string> args = whole_args();
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] != "--capture-redact")
            continue;
        std::string list = "," + args[i + 1] + ",";
        if (list.find("," + what + ",") != std::string::npos)
            return true;
    }
    return false;
}

nlohmann::json to_json(const Scenario& s)
{
    nlohmann::json files = nlohmann::json::object();
    for (const auto& [name, bytes] : s.files)
        files[name] = compact_hex(bytes);
    nlohmann::json controllers = nlohmann::json::array();
    for (const ControllerModel& c : s.controllers)
        controllers.push_back(
            {{"bmc", c.bmc}, {"bus", c.bus}, {"address", c.address}, {"chip_id", c.chip_id}, {"firmware", c.firmware}});
    nlohmann::json j = {{"seed", s.seed}, {"machine", s.machine},         {"args", s.args},
                        {"files", files}, {"directories", s.directories}, {"controllers", controllers}};
    if (s.image)
        j["image"] = *s.image;
    if (!s.closed_descriptors.empty())
        j["closed_descriptors"] = s.closed_descriptors;
    if (s.old_report)
        j["old_report"] = *s.old_report;
    if (s.old_metrics)
        j["old_metrics"] = *s.old_metrics;
    return j;
}

Scenario scenario_from_json(const nlohmann::json& j)
{
    Scenario s;
    s.seed = j.at("seed");
    s.machine = j.at("machine");
    s.args = j.at("args").get<std::vector<std::string>>();
    for (const auto& [name, hex] : j.at("files").items())
        s.files[name] = bytes_from_compact_hex(hex.get<std::string>());
    s.directories = j.at("directories").get<std::vector<std::string>>();
    for (const auto& c : j.at("controllers"))
        s.controllers.push_back({c.at("bmc"), c.at("bus"), c.at("address"), c.at("chip_id"), c.at("firmware")});
    if (j.contains("image"))
        s.image = j["image"].get<std::string>();
    if (j.contains("closed_descriptors"))
        s.closed_descriptors = j["closed_descriptors"].get<std::set<int>>();
    if (j.contains("old_report"))
        s.old_report = j["old_report"].get<std::string>();
    if (j.contains("old_metrics"))
        s.old_metrics = j["old_metrics"].get<std::string>();
    return s;
}

std::string Scenario::command_line() const
{
    std::string line = "qb40tool-sim";
    for (const std::string& a : args) {
        bool plain = !a.empty() && std::all_of(a.begin(), a.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) ||
                   std::string_view("-_./").find(c) != std::string_view::npos;
        });
        line += " " + (plain ? a : "'" + a + "'");
    }
    return line;
}

}  // namespace campaign
