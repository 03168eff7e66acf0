// SPDX-License-Identifier: MIT
// Every way a run ends, with its exit status, the log it leaves and the
// report (--report); the failures the plain exit status hides (--strict);
// what the report says of the machine, the image and each controller; its
// escaping; the files it must never take the place of; and what happens to
// it when the run is killed or the file cannot be written. Every report
// these runs write is also checked against the report's schema
// (sim_run.h, keep_report).
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "firmware_images.h"
#include "in_process.h"
#include "sim_run.h"

using nlohmann::json;
using qbtest::SimDir;
using Args = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

// The machines' controllers run 1.0.0; the image brings 1.2.0.
const std::string kImage = qbtest::make_image(600, {1, 2, 0});
constexpr const char* kStarted = "2023-11-14T22:13:20Z";  // the machines' clock.start, 1700000000

json controller(const char* address, const char* chip, json firmware = {1, 0, 0}, json faults = nullptr)
{
    json c = {{"type", "qb40xx"}, {"address", address}, {"chip_id", chip}, {"firmware", firmware},
              {"erase_ms", 0}, {"reset_ms", 0}};
    if (!faults.is_null())
        c["faults"] = faults;
    return c;
}

// One BMC per entry of `bmcs`: bus byte to its devices; the operator types nothing.
std::string machine(const std::vector<json>& bmcs, json faults = nullptr, const std::string& driver = "loaded")
{
    json m = {{"clock", {{"start", 1700000000}}}, {"keys", json::array()}, {"driver", driver}, {"bmcs", json::array()}};
    for (size_t i = 0; i < bmcs.size(); ++i) {
        json bmc = {{"node", "/dev/ipmi" + std::to_string(i)}, {"buses", json::object()}};
        for (const auto& [bus, devices] : bmcs[i].items())
            bmc["buses"][bus] = {{"devices", devices}};
        if (!faults.is_null())
            bmc["faults"] = faults;
        m["bmcs"].push_back(bmc);
    }
    return m.dump();
}

const json kRefuseErase = {{"refuse", {{{"command", "erase"}}}}};

// A field of an object; null when it is missing (a const json has no
// operator[] for a missing key).
const json& field(const json& j, const std::string& key)
{
    static const json missing;
    return j.is_object() && j.contains(key) ? j.at(key) : missing;
}

// What the report says of the run as a whole, against what the run did; the
// form of every field is the schema's to check. Returns what is wrong.
std::string run_errors(const json& r, int status, const Args& args)
{
    std::string e;
    auto expect = [&](bool ok, const std::string& what) { e += ok ? "" : what + "; "; };
    expect(field(r, "schema_version") == 2 && field(r, "tool_version") == "3.31", "versions");
    expect(field(r, "complete") == true && field(r, "signal").is_null(), "complete, no signal");
    expect(field(r, "exit_code") == status, "exit_code");
    expect(field(r, "strict") == (std::ranges::count(args, "--strict") > 0), "strict");
    expect(field(r, "arguments") == json(args), "arguments");
    expect(field(r, "finished").is_string() && field(r, "finished") >= field(r, "started"), "started, finished");
    return e;
}

// The BMCs of a report in one line: "INTERFACE[ closed]:" and a word per
// controller, UPGRADE[@FAILED_STEP]:LAST_SEEN ("-" for null), a run of equal
// words as "WORD*16".
std::string digest(const json& r)
{
    auto text = [](const json& v) { return v.is_string() ? v.get<std::string>() : v.is_null() ? "-" : v.dump(); };
    std::string out;
    for (const json& b : field(r, "bmcs")) {
        // Appended piece by piece: GCC 12 at -O3 takes `"literal" + string`
        // for an overlapping copy (-Wrestrict).
        const json& interface = field(b, "interface");
        out.append(out.empty() ? "" : " | ");
        if (field(interface, "type") == "kcs")
            out.append("kcs ").append(text(field(interface, "data_port"))).append("/").append(
                text(field(interface, "status_port")));
        else
            out.append(interface.is_null() ? "null" : text(field(interface, "device")));
        out.append(field(b, "opened") == true ? ":" : " closed:");
        std::vector<std::pair<std::string, int>> runs;
        for (const json& c : field(b, "controllers")) {
            std::string word = text(field(c, "upgrade"));
            if (!field(c, "failed_step").is_null())
                word.append("@").append(text(field(c, "failed_step")));
            const json& seen = field(c, "firmware_last_seen");
            word.append(":");
            if (seen.is_array())
                word.append(std::to_string(seen[0].get<int>())).append(".").append(std::to_string(seen[1].get<int>()))
                    .append(".").append(std::to_string(seen[2].get<int>()));
            else
                word.append("-");
            if (!runs.empty() && runs.back().first == word)
                ++runs.back().second;
            else
                runs.push_back({word, 1});
        }
        for (const auto& [word, n] : runs) {
            out.append(" ").append(word);
            if (n > 1)
                out.append("*").append(std::to_string(n));
        }
    }
    return out;
}

std::vector<std::string> without_sleeps(const std::string& trace)
{
    std::vector<std::string> events = qbtest::trace_events(trace);
    std::erase_if(events, [](const std::string& e) { return e.starts_with("sleep "); });
    return events;
}

struct Report {
    qbtest::RunResult run;
    json report;
};

// Runs with --report r.json after `args` and checks the report's fields.
Report run_with_report(SimDir& dir, Args args)
{
    args.insert(args.end(), {"--report", "r.json"});
    Report out{dir.run(args), json()};
    std::string text = dir.read("r.json");
    EXPECT_FALSE(text.empty()) << "no report";
    if (text.empty())
        return out;
    out.report = json::parse(text);
    EXPECT_EQ(run_errors(out.report, out.run.status, args), "") << text;
    dir.write("r.json", "");
    return out;
}

// qb40tool-sim in a directory of its own, started by hand where a test
// needs what SimDir does not give: `prepare` runs in the child just before
// the program starts (the same process then: getpid() is the tool's own),
// standard input is a pipe that never answers, and the console a pipe that
// the test reads as it comes.
class Child {
public:
    Child(const fs::path& dir, const std::string& machine, const Args& args, const std::function<void()>& prepare = {})
        : aux_(qbtest::fresh_temp_dir("qb40child"))
    {
        std::ofstream(aux_ / "machine.json") << machine;
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0), dup2(out[1], 1), dup2(open("/dev/null", O_WRONLY), 2);
            close(in[1]), close(out[0]);
            setenv("QB40SIM_MACHINE", (aux_ / "machine.json").c_str(), 1);
            unsetenv("QB40SIM_TRACE"), unsetenv("QB40SIM_PANEL");
            if (chdir(dir.c_str()) == 0) {
                if (prepare)
                    prepare();
                qbtest::exec_sim(args);
            }
            _exit(127);
        }
        close(in[0]), close(out[1]);
        stdin_ = in[1], stdout_ = out[0];
    }
    ~Child()
    {
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            wait();
        }
        close(stdin_), close(stdout_);
        fs::remove_all(aux_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads the console until it shows `text` or ends.
    const std::string& read_until(const std::string& text)
    {
        char buffer[4096];
        for (ssize_t n; console_.find(text) == std::string::npos && (n = ::read(stdout_, buffer, sizeof buffer)) > 0;)
            console_.append(buffer, static_cast<size_t>(n));
        return console_;
    }
    void kill_now() { kill(pid_, SIGKILL); }
    // The exit status, or 128 + the signal that ended it.
    int wait()
    {
        read_until("\x01never\x01");
        int status = 0;
        waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::string& console() const { return console_; }

private:
    fs::path aux_;
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1;
    bool waited_ = false;
    std::string console_;
};

// The names in `dir` (not below it).
std::set<std::string> files_in(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

std::string sha256sum(const fs::path& file)
{
    std::string out(64, '\0');
    FILE* p = popen(("sha256sum '" + file.string() + "'").c_str(), "r");
    if (!p || std::fread(out.data(), 1, out.size(), p) != out.size())
        out.clear();
    if (p)
        pclose(p);
    return out;
}

}  // namespace

TEST(Outcome, FailuresThePlainStatusHidesEndNonZeroOnlyUnderStrictAndTheReportTellsThemEitherWay)
{
    struct Case {
        const char* name;
        std::string machine;
        Args args;
        int plain, strict;   // exit status without and with --strict
        std::string digest;  // of the report, with and without --strict alike
        json after;          // firmware_after of the first controller
        const char* error;   // the error of the first failed controller; nullptr: none failed
        std::string strict_log;  // a line the log holds under --strict
    };
    const json old_fw = {1, 0, 0}, new_fw = {1, 2, 0};
    const std::string mismatch =
        "ERROR: Controller at I2C address 0xc0 on Bus 0x01 runs FW:0x01 Major-REV:0x00 Minor-Rev:0x00 after the "
        "upgrade, expected FW:0x01 Major-REV:0x02 Minor-Rev:0x00";
    const Case cases[] = {
        {"1: a later BMC's success does not overwrite an earlier failure",
         machine({{{"0x01", {controller("0xC0", "M", old_fw, kRefuseErase)}}}, {{"0x01", {controller("0xC0", "M")}}}}),
         {"-u", "-f", "fw_4077.bin"}, 0, 4, "/dev/ipmi0: failed@erase:1.0.0 | /dev/ipmi1: upgraded:1.2.0", nullptr,
         "Error Erasing Firmware image.", "Exited with return code: 0x04"},
        {"2: a controller on the image's version hides no other's failure",
         machine({{{"0x01", {controller("0xC0", "M", new_fw)}}, {"0x02", {controller("0xC0", "M", old_fw, kRefuseErase)}}}}),
         {"-u", "-f", "fw_4077.bin"}, 0, 4, "/dev/ipmi0: same_version:1.2.0 failed@erase:1.0.0", nullptr,
         "Error Erasing Firmware image.", "Sucessfully Upgraded 0 of 2 parts"},
        {"3: a downcopy answered but never carried out",
         machine({{{"0x01", {controller("0xC0", "M")}}}},
                 {{{"request", "18 52 01 C0 00 55 AA F0"}, {"response", "1C 52 00"}}}),
         {"-u", "-f", "fw_4077.bin"}, 0, 4, "/dev/ipmi0: version_mismatch@read_back:1.0.0", old_fw, mismatch.c_str(),
         mismatch},
        // The rescan does not find the seventeenth: the summary never took its
        // found mark off.
        {"4: the seventeenth controller never got the image", qbtest::machine_file("seventeen_controllers.json"),
         {"-u", "-i", "-f", "fw_4083.bin"}, 0, 4,
         "/dev/ipmi0: upgraded:1.2.0*2 same_version:1.2.0 upgraded:1.2.0*13 not_recorded:-", new_fw, nullptr,
         "ERROR: 1 controllers not upgraded: the device table holds 16"},
        {"5: no BMC; under --strict the image is checked", machine({}, nullptr, "absent"), {"-u", "-f", "fw_4077.bin"},
         0, 171, "", nullptr, nullptr, "ERROR: No BMC found, no controller upgraded [RETURN CODE:0xab]"},
        // The controller carried the downcopy out, but its answer never came:
        // the rescan shows it on the image all the same.
        {"6: the downcopy's answer lost",
         machine({{{"0x01", {controller("0xC0", "M")}}}}, {{{"request", "18 52 01 C0 00 55 AA F0"}, {"lose", true}}}),
         {"-u", "-f", "fw_4077.bin"}, 4, 4, "/dev/ipmi0: failed@downcopy:1.2.0", nullptr, "Error",
         "Sucessfully Upgraded 0 of 1 parts"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(c.machine);
        dir.write("fw_4077.bin", kImage);
        dir.write("fw_4083.bin", kImage);
        auto plain = dir.run(c.args);
        auto reported = run_with_report(dir, c.args);
        Args strict_args = c.args;
        strict_args.insert(strict_args.begin(), "--strict");
        auto strict = run_with_report(dir, strict_args);
        EXPECT_EQ(plain.status, c.plain);
        EXPECT_EQ(reported.run.status, c.plain);
        EXPECT_EQ(strict.run.status, c.strict);
        EXPECT_NE(dir.log().find(c.strict_log + "\n"), std::string::npos) << dir.log();
        // The options change no request to the BMC; --strict only adds the
        // pause the failure branch of the run flow makes before its rescan.
        EXPECT_EQ(qbtest::trace_events(reported.run.trace), qbtest::trace_events(plain.trace));
        EXPECT_EQ(without_sleeps(strict.run.trace), without_sleeps(plain.trace));
        for (const json* r : {&reported.report, &strict.report}) {
            EXPECT_EQ(digest(*r), c.digest);
            const json& bmcs = field(*r, "bmcs");
            const json none;
            const json& first = bmcs.empty() || field(bmcs[0], "controllers").empty() ? none : bmcs[0]["controllers"][0];
            EXPECT_EQ(field(first, "firmware_after"), c.after);
            const json* failed = nullptr;
            for (const json& b : field(*r, "bmcs"))
                for (const json& ctl : field(b, "controllers"))
                    if (!failed && !field(ctl, "error").is_null())
                        failed = &ctl;
            EXPECT_EQ(failed ? field(*failed, "error") : json(), c.error ? json(c.error) : json());
        }
        // Only --strict checks the image where there is no BMC to upgrade.
        EXPECT_EQ(reported.report["image"]["size"], c.strict == 171 ? json(nullptr) : json(600));
        EXPECT_EQ(strict.report["image"]["version"], new_fw);
    }
}

TEST(Outcome, EveryWayARunEndsWithItsStatusLogAndReport)
{
    struct Case {
        const char* name;
        std::string machine;
        Args args;
        int status;
        std::string digest;
        std::string image;    // family and size; "" for no image
        size_t passes;        // "BmcOpen Success" lines
        const char* log_end;  // nullptr: the closing lines with the status; else no closing lines, and this
    };
    const std::string one = machine({{{"0x01", {controller("0xC0", "M")}}}});
    const std::string compare_error =
        machine({{{"0x01", {controller("0xC0", "M", {1, 0, 0}, {{"compare_error_at", "0x0010"}})}}}});
    const Case cases[] = {
        {"help", one, {"-u", "-h"}, 0, "", "", 0, "Command-Line help only\n"},
        {"option conflict", one, {"-ms", "-f", "fw_4077.bin"}, 5, "", "4077 null", 0, "\"-ma[NUM]\" [RETURN CODE:0x05]\n\n"},
        {"mux switching with an address", machine({{}}), {"-ms", "-mae6"}, 0, "/dev/ipmi0:", "", 1, nullptr},
        {"no BMC", machine({}, nullptr, "absent"), {"-q"}, 0, "", "", 0, nullptr},
        {"report of two BMCs", qbtest::machine_file("two_bmcs.json"), {"-i"}, 0,
         "/dev/ipmi0: -:2.1.0 -:1.5.2 | /dev/ipmi1: -:3.0.4", "", 2, nullptr},
        {"KCS ports", qbtest::machine_file("kcs_second_pair.json"), {"-dio"}, 0, "kcs 0x0CA8/0x0CAC:", "", 1, nullptr},
        {"three cycles", qbtest::machine_file("upgrade_4077.json"), {"-u", "-c3", "-f", "fw_4077.bin"}, 0,
         "/dev/ipmi0: upgraded:1.2.0*2", "4077 600", 1, nullptr},
        // The first pass ends the run: the second BMC is never opened.
        {"image missing", machine({{}, {}}), {"-f", "absent_4077.bin"}, 1, "/dev/ipmi0:", "4077 null", 1, "Kcs Close\n"},
        {"no BMC, --strict, image missing", machine({}, nullptr, "absent"), {"--strict", "-f", "absent_4077.bin"}, 1, "",
         "4077 null", 0, ""},
        {"QB4083C image declined", one, {"-f", "fw_4083.bin"}, 3, "/dev/ipmi0: -:1.0.0", "4083C 600", 1, nullptr},
        // The rescan 2 s after the abort finds the second controller still in
        // the 3 s reset that the abort began.
        {"write aborted with Esc", qbtest::with_keys(qbtest::machine_file("upgrade_4077.json"), {{1.5, "esc"}, {1.5, "y"}}),
         {"-f", "fw_4077.bin"}, 4, "/dev/ipmi0: upgraded:1.2.0 aborted@write:-", "4077 600", 1, nullptr},
        {"compare error", compare_error, {"-u", "-f", "fw_4077.bin"}, 4, "/dev/ipmi0: failed@status:1.0.0", "4077 600",
         1, nullptr},
        {"a controller that never comes back from its reset", qbtest::machine_file("upgrade_reset_lost.json"),
         {"-u", "-f", "fw_4077.bin"}, 4, "/dev/ipmi0: upgraded:1.2.0 failed@reset_wait:-", "4077 600", 1, nullptr},
        // The process ends in the upgrade: no scan after it, but the first
        // controller's version was read back after its downcopy.
        {"image for another chip", qbtest::machine_file("upgrade_mixed_family.json"), {"-f", "fw_4077.bin"}, 5,
         "/dev/ipmi0: upgraded:1.2.0 -:1.0.0", "4077 600", 1, ""},
        {"diagnostics aborted", one, {"-d"}, 6, "/dev/ipmi0: -:1.0.0", "", 1, ""},
        {"diagnostics aborted after a good upgrade", one, {"-f", "fw_4077.bin", "-u", "-d"}, 6,
         "/dev/ipmi0: upgraded:1.2.0", "4077 600", 1, nullptr},
        {"no controller", machine({{}}), {"-u", "-f", "fw_4077.bin"}, 171, "/dev/ipmi0:", "4077 600", 1, nullptr},
        {"second BMC lost", qbtest::machine_file("first_bmc_lost.json"), {"-u"}, 172, "/dev/ipmi0: | null closed:", "", 1,
         "  modprobe ipmi_msghandler\n\nBmcOpen Failed\n[RETURN CODE:0xac]\n\n"},
        // The image the first pass loaded is what the report shows.
        {"second BMC lost after the image was loaded", qbtest::machine_file("first_bmc_lost.json"),
         {"-u", "-f", "fw_4077.bin"}, 172, "/dev/ipmi0: | null closed:", "4077 600", 1,
         "  modprobe ipmi_msghandler\n\nBmcOpen Failed\n[RETURN CODE:0xac]\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        json m = json::parse(c.machine);
        m["clock"] = {{"start", 1700000000}};
        dir.machine(m.dump());
        dir.write("fw_4077.bin", kImage);
        dir.write("fw_4083.bin", kImage);
        EXPECT_EQ(dir.run(c.args).status, c.status);
        const std::string plain_log = dir.log();
        EXPECT_EQ(qbtest::lines_starting(dir.logprev() + plain_log, "BmcOpen Success"), c.passes);
        auto [run, report] = run_with_report(dir, c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(digest(report), c.digest);
        const json& image = report["image"];
        EXPECT_EQ(image.is_null() ? "" : image["family"].get<std::string>() + " " + image["size"].dump(), c.image);
        if (!field(image, "size").is_null()) {
            EXPECT_EQ(field(image, "sha256"), sha256sum(dir.path() / field(image, "file").get<std::string>()));
        }
        EXPECT_EQ(report["started"], kStarted);
        EXPECT_EQ(report["exit_meaning"] == "done", c.status == 0);
        EXPECT_EQ(dir.log().find("ERROR: Unable to write report"), std::string::npos);
        // The closing lines: "Finished: " with a ctime() text of 24 characters, then the code. The
        // report is written before them, so they still end the log.
        char closing[64];
        std::snprintf(closing, sizeof closing, "\n\nExited with return code: 0x%02x\n", c.status);
        for (const std::string& log : {plain_log, dir.log()}) {
            EXPECT_EQ(qbtest::lines_starting(log, "Exited with return code"), c.log_end ? 0u : 1u);
            const std::string end = c.log_end ? c.log_end : closing;
            EXPECT_TRUE(log.ends_with(end)) << log;
            const size_t finished = log.size() - std::min(log.size(), end.size() + 11 + 24);
            EXPECT_TRUE(c.log_end || log.compare(finished, 11, "\nFinished: ") == 0) << log;
        }
    }
}

TEST(Outcome, TheReportNamesTheMachineTheWholeImageAndWhenEachControllerWasProgrammed)
{
    struct Case {
        const char* name;
        json host;  // the machine file's; null: its defaults
        json expected_host;
        size_t image_size;  // past the 20480 bytes loaded, the digest still covers the whole file
    };
    const Case cases[] = {
        {"the simulator's defaults", nullptr,
         {{"name", "qb40sim"}, {"product_serial", "QB40SIM-0001"}, {"machine_id", "51b40c0ffee0000000000000000b4c40"}},
         600},
        {"serial and machine id unreadable", {{"name", "rack7-srv12"}, {"product_serial", nullptr}, {"machine_id", nullptr}},
         {{"name", "rack7-srv12"}, {"product_serial", nullptr}, {"machine_id", nullptr}}, 30000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        json chip = json::parse(controller("0xC0", "M").dump());
        chip["revision"] = 3;
        json m = json::parse(machine({{{"0x01", {chip}}}}));
        if (!c.host.is_null())
            m["host"] = c.host;
        dir.machine(m.dump());
        dir.write("fw_4077.bin", qbtest::make_image(c.image_size, {1, 2, 0}));
        auto [run, report] = run_with_report(dir, {"-u", "-f", "fw_4077.bin"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(report["host"], c.expected_host);
        EXPECT_EQ(report["image"]["size"], std::min<size_t>(c.image_size, 20480));
        EXPECT_EQ(report["image"]["sha256"], sha256sum(dir.path() / "fw_4077.bin"));
        const json& chip_record = report["bmcs"][0]["controllers"][0];
        EXPECT_EQ(chip_record["chip_revision"], 3);
        // Programmed within the run, from its first command to its rescan.
        EXPECT_LE(report["started"], chip_record["programming_started"]);
        EXPECT_LT(chip_record["programming_started"], chip_record["programming_finished"]);
        EXPECT_LE(chip_record["programming_finished"], report["finished"]);
    }
}

TEST(Outcome, EveryStringIsEscapedWhateverItHolds)
{
    // Quotes, backslashes, control characters, UTF-8 and bytes that are not UTF-8.
    const std::string image = "q\"b\\s\nl\tt\x01 \x7f \xc3\xbc \xff\xfe\xed\xa0\x80 4077.bin";
    const std::string report = "r \"\\\r\x1f \xe2\x82\xac \xc0\xaf.json";
    const std::string bad = "\xef\xbf\xbd";  // U+FFFD for each byte that is not UTF-8
    const std::string image_read = "q\"b\\s\nl\tt\x01 \x7f \xc3\xbc " + bad + bad + bad + bad + bad + " 4077.bin";
    const std::string report_read = "r \"\\\r\x1f \xe2\x82\xac " + bad + bad + ".json";
    SimDir dir;
    dir.machine(machine({{}}));
    dir.write(image, kImage);
    auto r = dir.run({"-f", image, "--report", report});
    EXPECT_EQ(r.status, 171);
    const std::string text = dir.read(report);
    ASSERT_FALSE(text.empty());
    json parsed = json::parse(text);  // throws on any string that is not well-formed
    EXPECT_EQ(parsed["arguments"], json({"-f", image_read, "--report", report_read}));
    EXPECT_EQ(parsed["image"]["file"], image_read);
    EXPECT_NE(text.find(R"("q\"b\\s\nl\tt\u0001 )"), std::string::npos) << text;
}

TEST(Outcome, AReportThatCannotBeWrittenEndsTheRunBeforeAnythingIsSent)
{
    struct Case {
        const char* name;
        std::string path;
        json file_faults;
        int status;
        std::string error;  // "" when the report is written
    };
    const Case cases[] = {
        {"in a subdirectory", "sub/r.json", json::array(), 0, ""},
        {"a full disk", "sub/r.json",
         json::array({{{"file", "report"}, {"call", "write"}, {"errno", "ENOSPC"}, {"count", "all"}}}), 5,
         "ERROR: Unable to write report file sub/r.json: No space left on device"},
        {"a disk that fails to sync", "sub/r.json",
         json::array({{{"file", "report"}, {"call", "fsync"}, {"errno", "EIO"}}}), 5,
         "ERROR: Unable to write report file sub/r.json: Input/output error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        json m = json::parse(machine({{}}));
        if (!c.file_faults.empty())
            m["file_faults"] = c.file_faults;
        dir.machine(m.dump());
        fs::create_directory(dir.path() / "sub");
        auto r = dir.run({"-q", "--report", c.path});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.console, "");
        EXPECT_EQ(r.errors, c.error.empty() ? "" : c.error + "\n");
        EXPECT_EQ(qbtest::lines_starting(dir.log(), "ERROR:"), c.error.empty() ? 0u : 2u);
        EXPECT_NE(dir.log().find(c.error + "\n"), std::string::npos) << dir.log();
        EXPECT_TRUE(dir.log().ends_with(c.error.empty() ? "Exited with return code: 0x00\n"
                                                        : "ERROR: No run without its report: nothing was sent "
                                                          "[RETURN CODE:0x05]\n"))
            << dir.log();
        if (!c.error.empty()) {
            EXPECT_EQ(dir.log().find("Total BMC found"), std::string::npos) << "no BMC may be touched";
        }
        EXPECT_EQ(fs::is_regular_file(dir.path() / c.path), c.error.empty());
        // No temporary file is left anywhere.
        for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
            EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }
}

TEST(Outcome, AnOldReportThatCannotBeReplacedIsRemovedNotLeftToPassForThisRun)
{
    // Files may not grow past 100 bytes: the report cannot be written, the
    // old one could still be read as this run's. The console is a pipe,
    // which no such limit touches.
    const fs::path dir = qbtest::fresh_temp_dir("qb40fsize");
    std::ofstream(dir / "r.json") << R"({"exit_code": 0})";
    Child run(dir, machine({{}}), {"--report", "r.json"}, [] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100, 100};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(run.wait(), 5);
    EXPECT_EQ(qbtest::lines_starting(run.console(), "ERROR: No run without its report: nothing was sent"), 1u)
        << run.console();
    EXPECT_EQ(files_in(dir), (std::set<std::string>{"log.txt"}));
    fs::remove_all(dir);
}

TEST(Outcome, AReportNeverTakesThePlaceOfTheImageALogOrAnythingButAFile)
{
    // Each case plants what the report's name is to meet (true when it
    // could: a device node needs root, as the tool does).
    struct Case {
        const char* name;
        Args args;
        const char* report;
        std::function<bool(const fs::path&)> plant;
        const char* why;
    };
    auto hard_link = [](const char* to, const char* name) {
        return [=](const fs::path& d) {
            fs::create_hard_link(d / to, d / name);
            return true;
        };
    };
    auto old_log = [](const fs::path& d) {
        std::ofstream(d / "log.txt") << "the previous run's log\n";
        return true;
    };
    const Case cases[] = {
        {"the image", {"--strict", "-q", "-f", "fw_4077.bin"}, "fw_4077.bin", nullptr, "it is the image file"},
        {"the image by another path", {"-u", "-f", "fw_4077.bin"}, "sub/../fw_4077.bin",
         [](const fs::path& d) { return fs::create_directory(d / "sub"); }, "it is the image file"},
        {"the image through a hard link", {"-u", "-f", "fw_4077.bin"}, "copy.bin", hard_link("fw_4077.bin", "copy.bin"),
         "it is the image file"},
        {"an image that is not there yet", {"-u", "-f", "fw_4080.bin"}, "./fw_4080.bin", nullptr, "it is the image file"},
        {"the log", {"-q"}, "log.txt", old_log, "it is the log file log.txt"},
        {"the log, with the help screen", {"-h"}, "./log.txt", old_log, "it is the log file log.txt"},
        // The start of the log moves the old log.txt to logprev.txt.
        {"the previous log through a hard link", {"-q"}, "keep.json",
         [](const fs::path& d) {
             std::ofstream(d / "log.txt") << "the previous run's log\n";
             fs::create_hard_link(d / "log.txt", d / "keep.json");
             return true;
         },
         "it is the previous log file logprev.txt"},
        {"a directory", {"-q"}, "taken", [](const fs::path& d) { return fs::create_directory(d / "taken"); },
         "it is a directory"},
        {"a FIFO", {"-q"}, "fifo", [](const fs::path& d) { return mkfifo((d / "fifo").c_str(), 0600) == 0; },
         "it is a FIFO"},
        {"a device, as /dev/null is one", {"-q"}, "null",
         [](const fs::path& d) { return mknod((d / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; },
         "it is a device"},
        {"a socket", {"-q"}, "socket",
         [](const fs::path& d) {
             sockaddr_un a{};
             a.sun_family = AF_UNIX;
             std::snprintf(a.sun_path, sizeof a.sun_path, "%s", (d / "socket").c_str());
             int fd = socket(AF_UNIX, SOCK_STREAM, 0);
             bool bound = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
             close(fd);
             return bound;
         },
         "it is a socket"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(machine({{{"0x01", {controller("0xC0", "M")}}}}));
        dir.write("fw_4077.bin", kImage);
        if (c.plant && !c.plant(dir.path())) {
            ADD_FAILURE() << "cannot plant " << c.report << ": " << std::strerror(errno);
            continue;
        }
        const fs::file_type type = fs::symlink_status(dir.path() / c.report).type();
        Args args = c.args;
        args.insert(args.begin(), {"--report", c.report});
        auto r = dir.run(args);
        EXPECT_EQ(r.status, 5);
        const std::string line = std::string("ERROR: Refusing to write report file ") + c.report + ": " + c.why +
                                 " [RETURN CODE:0x05]";
        EXPECT_EQ(qbtest::count_lines(qbtest::lines(dir.log()), line), 1u) << dir.log();
        EXPECT_EQ(qbtest::count_lines(qbtest::lines(r.console), line), std::ranges::count(c.args, "-q") ? 0u : 1u)
            << r.console;
        // Refused before anything reached a BMC, and nothing written in its place.
        EXPECT_EQ(qbtest::event_index(qbtest::trace_events(r.trace), "open "), std::string::npos);
        EXPECT_EQ(dir.read("fw_4077.bin"), kImage);
        EXPECT_EQ(fs::symlink_status(dir.path() / c.report).type(), type);
        EXPECT_FALSE(dir.exists("fw_4080.bin"));
        for (const auto& entry : fs::directory_iterator(dir.path()))
            EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }
}

TEST(Outcome, NoNameAnotherUserCanGuessStandsInForTheReport)
{
    // A user who may write in the report's directory takes every name of
    // the form the tool once used for its temporary file (by its PID,
    // numbered from 0), and puts a report of success in the report's place.
    const fs::path dir = qbtest::fresh_temp_dir("qb40names");
    const std::string forged = R"({"exit_code": 0})";
    std::ofstream(dir / "fw_4077.bin", std::ios::binary) << kImage;
    std::ofstream(dir / "r.json") << forged;
    const json failing = json::parse(machine({{{"0x01", {controller("0xC0", "M", {1, 0, 0}, kRefuseErase)}}}}));
    Child run(dir, failing.dump(), {"--report", "r.json", "-u", "-f", "fw_4077.bin"}, [&] {
        for (int n = 0; n < 16; ++n)
            std::ofstream(".qb40tool-report." + std::to_string(getpid()) + "." + std::to_string(n) + ".tmp") << forged;
    });
    const int status = run.wait();
    EXPECT_EQ(status, 4);
    const std::string text = qbtest::read_file(dir / "r.json");
    json report = json::parse(text, nullptr, false);
    EXPECT_EQ(field(report, "exit_code"), status) << text;
    qbtest::keep_report(text);
    size_t planted = 0;
    for (const std::string& name : files_in(dir))
        if (name.ends_with(".tmp")) {
            ++planted;
            EXPECT_EQ(qbtest::read_file(dir / name), forged) << name;
        }
    EXPECT_EQ(planted, 16u);
    fs::remove_all(dir);
}

TEST(Outcome, AKilledRunLeavesAReportThatSaysItNeverFinished)
{
    // The run waits for the QB4083C confirmation on a pipe that never
    // answers, after the scan and before any controller is touched; it is
    // killed there, with no chance to write anything more.
    const fs::path dir = qbtest::fresh_temp_dir("qb40kill");
    std::ofstream(dir / "fw_4083.bin", std::ios::binary) << kImage;
    std::ofstream(dir / "r.json") << R"({"exit_code": 0, "exit_meaning": "done"})";
    Child run(dir, qbtest::machine_file("upgrade_4077.json"), {"--strict", "--report", "r.json", "-f", "fw_4083.bin"});
    run.read_until("Proceed with Firmware Upgrade");
    run.kill_now();
    EXPECT_EQ(run.wait(), 128 + SIGKILL) << run.console();
    const std::string text = qbtest::read_file(dir / "r.json");
    json report = json::parse(text, nullptr, false);
    EXPECT_EQ(field(report, "complete"), false) << text;
    EXPECT_EQ(field(report, "exit_code"), json()) << text;
    EXPECT_EQ(field(report, "finished"), json()) << text;
    EXPECT_EQ(field(report, "arguments"), json({"--strict", "--report", "r.json", "-f", "fw_4083.bin"}));
    EXPECT_EQ(field(field(report, "image"), "file"), "fw_4083.bin");
    qbtest::keep_report(text);
    EXPECT_EQ(files_in(dir), (std::set<std::string>{"fw_4083.bin", "log.txt", "r.json"}));
    fs::remove_all(dir);
}

TEST(Outcome, EveryReportARunWritesIsKeptForTheSchemaCheck)
{
    // Other tests keep theirs at the same time: count this test's alone.
    auto kept = [] {
        std::error_code ec;
        const std::string mine = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        size_t n = 0;
        for (const auto& entry : fs::directory_iterator(QB40_TEST_REPORTS, ec))
            n += entry.path().filename().string().starts_with("Outcome." + mine + "-");
        return n;
    };
    SimDir dir;
    dir.machine(machine({{}}));
    const auto before = kept();
    dir.run({"-q", "--report", "r.json"});
    EXPECT_EQ(kept(), before + 1);
    dir.run({"--report", "log.txt"});  // refused: nothing written, nothing kept
    EXPECT_EQ(kept(), before + 1);
}
