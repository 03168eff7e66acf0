// Every way a run ends, with its exit status, the log it leaves and the
// report (--report); the failures the plain exit status hides (--strict);
// the report's escaping, and what happens to the file when the run is killed
// or the file cannot be written.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "firmware_images.h"
#include "in_process.h"
#include "sim_run.h"

using nlohmann::json;
using qbtest::SimDir;
using Args = std::vector<std::string>;

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

// Every field of the report with its type; returns what a check found wrong.
std::string schema_errors(const json& r, int status, const Args& args)
{
    static const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"), hex(R"(0x[0-9A-F]{2})");
    static const std::set<std::string> words = {"upgraded", "same_version",     "failed",
                                                "aborted",  "version_mismatch", "not_recorded"};
    auto matches = [](const json& v, const std::regex& re) {
        return v.is_string() && std::regex_match(v.get<std::string>(), re);
    };
    auto version = [](const json& v) {
        return v.is_array() && v.size() == 3 &&
               std::ranges::all_of(v, [](const json& b) { return b.is_number_unsigned() && b <= 255; });
    };
    std::string e;
    auto expect = [&](bool ok, const std::string& what) { e += ok ? "" : what + "; "; };
    expect(r.is_object() && r.size() == 8, "eight fields");
    expect(field(r, "exit_code") == status, "exit_code");
    expect(field(r, "exit_meaning").is_string() && !field(r, "exit_meaning").empty(), "exit_meaning");
    expect(field(r, "strict") == (std::ranges::count(args, "--strict") > 0), "strict");
    expect(field(r, "arguments") == json(args), "arguments");
    expect(matches(field(r, "started"), iso) && matches(field(r, "finished"), iso) &&
               field(r, "finished") >= field(r, "started"),
           "started, finished");
    const json& image = field(r, "image");
    const json &size = field(image, "size"), &image_version = field(image, "version");
    expect(image.is_null() || (image.size() == 4 && field(image, "file").is_string() &&
                               field(image, "family").is_string() &&
                               (size.is_null() ? image_version.is_null()
                                               : size.is_number_unsigned() && version(image_version))),
           "image");
    const json& bmcs = field(r, "bmcs");
    expect(bmcs.is_array(), "bmcs");
    for (size_t i = 0; bmcs.is_array() && i < bmcs.size(); ++i) {
        const json& b = bmcs[i];
        const json& road = field(b, "road");
        expect(b.size() == 4 && field(b, "index") == i && (road.is_string() || road.is_null()) &&
                   field(b, "opened").is_boolean() && field(b, "controllers").is_array(),
               "bmc " + std::to_string(i));
        for (const json& c : field(b, "controllers")) {
            const json& mux = field(c, "mux");
            const json& upgrade = field(c, "upgrade");
            expect(c.size() == 9 && matches(field(c, "bus"), hex) && matches(field(c, "address"), hex) &&
                       (mux.is_null() || (mux.size() == 2 && matches(field(mux, "address"), hex) &&
                                          field(mux, "channel").is_number_unsigned())) &&
                       field(c, "chip_id").is_number_unsigned() && field(c, "model").is_string() &&
                       field(c, "config").is_number_unsigned() && version(field(c, "firmware_before")) &&
                       (field(c, "firmware_after").is_null() || version(field(c, "firmware_after"))) &&
                       (upgrade.is_null() || (upgrade.is_string() && words.contains(upgrade.get<std::string>()))),
                   "controller " + c.dump());
        }
    }
    return e;
}

// The BMCs of a report in one line: "ROAD[ closed]: OUTCOME..." per BMC,
// "-" for no upgrade, a run of equal outcomes as "upgraded*16".
std::string digest(const json& r)
{
    std::string out;
    for (const json& b : field(r, "bmcs")) {
        // Appended piece by piece: GCC 12 at -O3 takes `"literal" + string`
        // for an overlapping copy (-Wrestrict).
        const json& road = field(b, "road");
        out.append(out.empty() ? "" : " | ").append(road.is_string() ? road.get<std::string>() : "null");
        out.append(field(b, "opened") == true ? ":" : " closed:");
        std::vector<std::pair<std::string, int>> runs;
        for (const json& c : field(b, "controllers")) {
            const json& upgrade = field(c, "upgrade");
            std::string word = upgrade.is_string() ? upgrade.get<std::string>() : "-";
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
    EXPECT_EQ(schema_errors(out.report, out.run.status, args), "") << text;
    dir.write("r.json", "");
    return out;
}

}  // namespace

TEST(Outcome, FailuresThePlainStatusHidesEndNonZeroOnlyUnderStrict)
{
    struct Case {
        const char* name;
        std::string machine;
        Args args;
        int plain, strict;                        // exit status without and with --strict
        std::string plain_digest, strict_digest;  // of the report
        json after;                               // firmware_after of the first controller
        std::string strict_log;                   // a line the log holds under --strict
    };
    const json old_fw = {1, 0, 0}, new_fw = {1, 2, 0};
    const Case cases[] = {
        {"1: a later BMC's success does not overwrite an earlier failure",
         machine({{{"0x01", {controller("0xC0", "M", old_fw, kRefuseErase)}}}, {{"0x01", {controller("0xC0", "M")}}}}),
         {"-u", "-f", "fw_4077.bin"}, 0, 4, "/dev/ipmi0: failed | /dev/ipmi1: upgraded",
         "/dev/ipmi0: failed | /dev/ipmi1: upgraded", nullptr, "Exited with return code: 0x04"},
        {"2: a controller on the image's version hides no other's failure",
         machine({{{"0x01", {controller("0xC0", "M", new_fw)}}, {"0x02", {controller("0xC0", "M", old_fw, kRefuseErase)}}}}),
         {"-u", "-f", "fw_4077.bin"}, 0, 4, "/dev/ipmi0: same_version failed", "/dev/ipmi0: same_version failed", nullptr,
         "Sucessfully Upgraded 0 of 2 parts"},
        {"3: a downcopy answered but never carried out",
         machine({{{"0x01", {controller("0xC0", "M")}}}},
                 {{{"request", "18 52 01 C0 00 55 AA F0"}, {"response", "1C 52 00"}}}),
         {"-u", "-f", "fw_4077.bin"}, 0, 4, "/dev/ipmi0: upgraded", "/dev/ipmi0: version_mismatch", old_fw,
         "ERROR: Controller at I2C address 0xc0 on Bus 0x01 runs FW:0x01 Major-REV:0x00 Minor-Rev:0x00 after the "
         "upgrade, expected FW:0x01 Major-REV:0x02 Minor-Rev:0x00"},
        {"4: the seventeenth controller never got the image", qbtest::machine_file("seventeen_controllers.json"),
         {"-u", "-i", "-f", "fw_4083.bin"}, 0, 4, "/dev/ipmi0: upgraded*2 same_version upgraded*13 not_recorded",
         "/dev/ipmi0: upgraded*2 same_version upgraded*13 not_recorded", new_fw, "ERROR: 1 controllers not upgraded: the device table holds 16"},
        {"5: no BMC; under --strict the image is checked", machine({}, nullptr, "absent"), {"-u", "-f", "fw_4077.bin"},
         0, 171, "", "", nullptr, "ERROR: No BMC found, no controller upgraded [RETURN CODE:0xab]"},
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
        EXPECT_EQ(digest(reported.report), c.plain_digest);
        EXPECT_EQ(digest(strict.report), c.strict_digest);
        for (const json* r : {&reported.report, &strict.report}) {
            if (!(*r)["bmcs"].empty()) {
                EXPECT_EQ((*r)["bmcs"][0]["controllers"][0]["firmware_after"], c.after);
            }
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
        {"report of two BMCs", qbtest::machine_file("two_bmcs.json"), {"-i"}, 0, "/dev/ipmi0: -*2 | /dev/ipmi1: -", "",
         2, nullptr},
        {"KCS ports", qbtest::machine_file("kcs_second_pair.json"), {"-dio"}, 0, "kcs 0xCA8/0xCAC:", "", 1, nullptr},
        {"three cycles", qbtest::machine_file("upgrade_4077.json"), {"-u", "-c3", "-f", "fw_4077.bin"}, 0,
         "/dev/ipmi0: upgraded*2", "4077 600", 1, nullptr},
        // The first pass ends the run: the second BMC is never opened.
        {"image missing", machine({{}, {}}), {"-f", "absent_4077.bin"}, 1, "/dev/ipmi0:", "4077 null", 1, "Kcs Close\n"},
        {"no BMC, --strict, image missing", machine({}, nullptr, "absent"), {"--strict", "-f", "absent_4077.bin"}, 1, "",
         "4077 null", 0, ""},
        {"QB4083C image declined", one, {"-f", "fw_4083.bin"}, 3, "/dev/ipmi0: -", "4083C 600", 1, nullptr},
        {"write aborted with Esc", qbtest::with_keys(qbtest::machine_file("upgrade_4077.json"), {{1.5, "esc"}, {1.5, "y"}}),
         {"-f", "fw_4077.bin"}, 4, "/dev/ipmi0: upgraded aborted", "4077 600", 1, nullptr},
        {"compare error", compare_error, {"-u", "-f", "fw_4077.bin"}, 4, "/dev/ipmi0: failed", "4077 600", 1, nullptr},
        {"image for another chip", qbtest::machine_file("upgrade_mixed_family.json"), {"-f", "fw_4077.bin"}, 5,
         "/dev/ipmi0: upgraded -", "4077 600", 1, ""},
        {"diagnostics aborted", one, {"-d"}, 6, "/dev/ipmi0: -", "", 1, ""},
        {"diagnostics aborted after a good upgrade", one, {"-f", "fw_4077.bin", "-u", "-d"}, 6, "/dev/ipmi0: upgraded",
         "4077 600", 1, nullptr},
        {"no controller", machine({{}}), {"-u", "-f", "fw_4077.bin"}, 171, "/dev/ipmi0:", "4077 600", 1, nullptr},
        {"second BMC lost", qbtest::machine_file("first_bmc_lost.json"), {"-u"}, 172, "/dev/ipmi0: | null closed:", "", 1,
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

TEST(Outcome, AReportThatCannotBeWrittenIsOneErrorLineAndChangesNoStatus)
{
    struct Case {
        const char* name;
        std::string path;
        std::string error;  // "" when the report is written
    };
    const Case cases[] = {
        {"missing directory", "none/r.json", "ERROR: Unable to write report file none/r.json: No such file or directory"},
        {"a directory in the way", "taken", "ERROR: Unable to write report file taken: Is a directory"},
        {"a link is replaced, its target left alone", "link.json", ""},
        {"in a subdirectory", "sub/r.json", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(machine({{}}));
        std::filesystem::create_directories(dir.path() / "taken" / "x");
        std::filesystem::create_directory(dir.path() / "sub");
        dir.write("victim", "untouched");
        std::filesystem::create_symlink("victim", dir.path() / "link.json");
        auto r = dir.run({"-q", "--report", c.path});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.console, "");
        EXPECT_EQ(qbtest::lines_starting(dir.log(), "ERROR:"), c.error.empty() ? 0u : 1u);
        EXPECT_NE(dir.log().find(c.error + "\n"), std::string::npos) << dir.log();
        EXPECT_TRUE(dir.log().ends_with("Exited with return code: 0x00\n"));
        EXPECT_EQ(dir.read("victim"), "untouched");
        EXPECT_EQ(std::filesystem::is_regular_file(dir.path() / c.path), c.error.empty());
        // No temporary file is left anywhere.
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
            EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    }
    // Without quiet mode the console shows the same one line.
    SimDir dir;
    dir.machine(machine({{}}));
    auto r = dir.run({"--report", "none/r.json"});
    EXPECT_EQ(qbtest::lines_starting(r.console, "ERROR: Unable to write report file none/r.json: "), 1u);
}

TEST(Outcome, AKilledRunLeavesTheOldReportWholeAndNoTemporaryFile)
{
    // The run waits for the QB4083C confirmation on a pipe that never
    // answers, after the scan and before any controller is touched; it is
    // killed there.
    const auto dir = qbtest::fresh_temp_dir("qb40kill"), aux = qbtest::fresh_temp_dir("qb40killaux");
    std::ofstream(aux / "machine.json") << qbtest::machine_file("upgrade_4077.json");
    std::ofstream(dir / "fw_4083.bin", std::ios::binary) << kImage;
    std::ofstream(dir / "r.json") << "the previous run's report";
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(in[0], 0), dup2(out[1], 1), dup2(open("/dev/null", O_WRONLY), 2);
        close(in[1]), close(out[0]);
        setenv("QB40SIM_MACHINE", (aux / "machine.json").c_str(), 1);
        if (chdir(dir.c_str()) == 0)
            execl(QB40TOOL_SIM, QB40TOOL_SIM, "--strict", "--report", "r.json", "-f", "fw_4083.bin", nullptr);
        _exit(127);
    }
    close(in[0]), close(out[1]);
    std::string console;
    char buffer[4096];
    for (ssize_t n; console.find("Proceed with Firmware Upgrade") == std::string::npos &&
                    (n = read(out[0], buffer, sizeof buffer)) > 0;)
        console.append(buffer, static_cast<size_t>(n));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(in[1]), close(out[0]);
    EXPECT_TRUE(WIFSIGNALED(status)) << console;
    EXPECT_EQ(qbtest::read_file(dir / "r.json"), "the previous run's report");
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        files.insert(entry.path().filename().string());
    EXPECT_EQ(files, (std::set<std::string>{"fw_4083.bin", "log.txt", "r.json"}));
    std::filesystem::remove_all(dir);
    std::filesystem::remove_all(aux);
}
