// SPDX-License-Identifier: MIT
// --metrics FILE: the scan as Prometheus metrics for the node exporter's
// textfile collector. Every series and value comes from the machine file;
// each metric has its HELP and TYPE before all its samples; a run that did
// not scan through lists no controller; the file is refused where a report
// would be, and appears whole, readable by everyone, or not at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "firmware_images.h"
#include "sim_run.h"

using nlohmann::json;
using namespace qbtest;
using Args = std::vector<std::string>;

namespace {

// The samples of a metrics file by series ("name{labels}" -> value), and
// every rule of the text format the collector holds it to, as failures.
struct MetricsFile {
    std::map<std::string, std::string> samples;
    std::vector<std::string> problems;

    std::string operator[](const std::string& series) const
    {
        auto it = samples.find(series);
        return it == samples.end() ? "(none)" : it->second;
    }
    size_t count(const std::string& name) const
    {
        size_t n = 0;
        for (const auto& [series, value] : samples)
            n += series == name || series.starts_with(name + "{");
        return n;
    }
};

MetricsFile parse_metrics(const std::string& text)
{
    MetricsFile m;
    std::string help, type;
    std::set<std::string> families;
    for (const std::string& line : lines(text)) {
        std::istringstream words(line);
        std::string first, name;
        words >> first;
        if (first == "#") {
            std::string what;
            words >> what >> name;
            (what == "HELP" ? help : type) = name;
            if (what == "TYPE" && !families.insert(name).second)
                m.problems.push_back("two families named " + name);
            continue;
        }
        size_t brace = line.find('{'), space = line.rfind(' ');
        name = line.substr(0, std::min(brace, space));
        if (!name.starts_with("qb40_"))
            m.problems.push_back("no qb40_ prefix: " + line);
        if (name != help || name != type)
            m.problems.push_back("not right after its HELP and TYPE: " + line);
        if (!m.samples.emplace(line.substr(0, space), line.substr(space + 1)).second)
            m.problems.push_back("twice: " + line);
    }
    if (!text.ends_with("\n"))
        m.problems.push_back("no line end at the end");
    return m;
}

std::string controller(int bmc, int bus, int channel, int address, const std::string& model)
{
    char text[128];
    std::snprintf(text, sizeof text, "bmc=\"%d\",bus=\"0x%02x\",mux_channel=\"%d\",address=\"0x%02x\",model=\"%s\"", bmc,
                  bus, channel, address, model.c_str());
    return text;
}

const char* const kControllerMetrics[] = {
    "qb40_controller_info", "qb40_controller_config", "qb40_controller_slots_used", "qb40_controller_drives_mated",
    "qb40_slot_drive_mated", "qb40_temperature_register", "qb40_temperature_threshold_register",
};

}  // namespace

TEST(Metrics, EverySeriesComesFromTheMachineFile)
{
    // monitored_rack.json: two BMCs; on the first a QB4077 whose Locate
    // someone lit, and a QB4080 reached through two bus bytes whose
    // temperature moves between reads; a QB4084 with no drive behind the second.
    SimDir dir;
    dir.machine(machine_file("monitored_rack.json"));
    auto r = dir.run({"--read-only", "-q", "--metrics", "m.prom"});
    ASSERT_EQ(r.status, 0) << dir.log();
    EXPECT_EQ(r.console, "");
    MetricsFile m = parse_metrics(dir.read("m.prom"));
    EXPECT_EQ(m.problems, std::vector<std::string>{});
    const std::string qb4077 = controller(0, 1, 0, 0xC0, "QB4077"), qb4080 = controller(0, 2, 0, 0xC0, "QB4080"),
                      qb4084 = controller(1, 1, 0, 0xC0, "QB4084");
    const std::map<std::string, std::string> expected = {
        {"qb40_tool_info{version=\"3.31\"}", "1"},
        {"qb40_scan_success", "1"},
        {"qb40_run_exit_status", "0"},
        // The virtual clock starts at 1700000000; each summary pauses 1 s.
        {"qb40_run_duration_seconds", "2.000000"},
        {"qb40_run_end_timestamp_seconds", "1700000002.000000"},
        {"qb40_bmcs_found", "2"},
        {"qb40_controllers_found{bmc=\"0\"}", "2"},
        {"qb40_controllers_found{bmc=\"1\"}", "1"},
        {"qb40_controller_info{" + qb4077 + ",chip_id=\"77\",firmware=\"1.2.0\",revision=\"2\"}", "1"},
        {"qb40_controller_info{" + qb4080 + ",chip_id=\"80\",firmware=\"1.3.0\",revision=\"1\"}", "1"},
        {"qb40_controller_info{" + qb4084 + ",chip_id=\"84\",firmware=\"2.0.1\",revision=\"1\"}", "1"},
        {"qb40_controller_config{" + qb4077 + "}", "5"},
        {"qb40_controller_config{" + qb4080 + "}", "3"},
        {"qb40_controller_config{" + qb4084 + "}", "6"},
        {"qb40_controller_slots_used{" + qb4077 + "}", "4"},
        {"qb40_controller_slots_used{" + qb4080 + "}", "8"},
        {"qb40_controller_slots_used{" + qb4084 + "}", "2"},
        {"qb40_controller_drives_mated{" + qb4077 + "}", "3"},
        {"qb40_controller_drives_mated{" + qb4080 + "}", "8"},
        {"qb40_controller_drives_mated{" + qb4084 + "}", "0"},
        {"qb40_slot_drive_mated{" + qb4077 + ",slot=\"2\"}", "0"},
        {"qb40_slot_drive_mated{" + qb4077 + ",slot=\"3\"}", "1"},
        {"qb40_slot_drive_mated{" + qb4084 + ",slot=\"1\"}", "0"},
        {"qb40_temperature_register{" + qb4077 + ",sensor=\"controller\"}", "41"},
        {"qb40_temperature_register{" + qb4077 + ",sensor=\"ambient\"}", "28"},
        // As the recorded scan read it, not as the second path's test found it.
        {"qb40_temperature_register{" + qb4080 + ",sensor=\"controller\"}", "62"},
        {"qb40_temperature_register{" + qb4084 + ",sensor=\"ambient\"}", "25"},
        {"qb40_temperature_threshold_register{" + qb4080 + "}", "60"},
        {"qb40_temperature_threshold_register{" + qb4084 + "}", "70"},
    };
    for (const auto& [series, value] : expected)
        EXPECT_EQ(m[series], value) << series;
    EXPECT_EQ(m.count("qb40_slot_drive_mated"), 4u + 8u + 2u) << "one per slot in use or holding a drive";
    EXPECT_EQ(m.count("qb40_controller_info"), 3u) << "the second path to the QB4080 counts once";
    EXPECT_EQ(m.samples.size(), 8u + 3 * 4 + 14 + 6 + 3);
}

TEST(Metrics, ARunThatDidNotScanThroughListsNoController)
{
    struct Case {
        std::string what;
        std::string machine;
        Args args;
        int status;  // -1: ended by SIGTERM
    };
    json stopped = json::parse(machine_file("monitored_rack.json"));
    stopped["signals"] = {{{"at", 0.5}, {"signal", "TERM"}}};
    const Case cases[] = {
        {"a BMC that does not open", machine_file("first_bmc_lost.json"), {}, 172},
        {"no BMC at all", empty_bmcs(0), {}, 0},
        {"fewer controllers than expected", machine_file("monitored_rack.json"), {"--expect", "4"}, 171},
        {"a signal", stopped.dump(), {}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimDir dir;
        dir.machine(c.machine);
        Args args = {"--read-only", "-q", "--metrics", "m.prom"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto r = dir.run(args);
        if (c.status < 0)
            EXPECT_EQ(r.signal, 15);
        else
            EXPECT_EQ(r.status, c.status);
        MetricsFile m = parse_metrics(dir.read("m.prom"));
        EXPECT_EQ(m.problems, std::vector<std::string>{});
        EXPECT_EQ(m["qb40_scan_success"], "0");
        EXPECT_EQ(m["qb40_run_exit_status"], c.status < 0 ? "(none)" : std::to_string(c.status));
        EXPECT_EQ(m.count("qb40_run_end_timestamp_seconds"), 1u);
        EXPECT_EQ(m.count("qb40_controllers_found"), 0u);
        for (const char* name : kControllerMetrics)
            EXPECT_EQ(m.count(name), 0u) << name;
    }
    // A plan that would upgrade (4) scanned through.
    SimDir dir;
    dir.machine(machine_file("fleet_healthy.json"));
    dir.write("fw_4077.bin", make_image(16384, {1, 2, 0}));
    auto r = dir.run({"--read-only", "--plan", "-q", "--metrics", "m.prom", "-f", "fw_4077.bin"});
    EXPECT_EQ(r.status, 4);
    MetricsFile m = parse_metrics(dir.read("m.prom"));
    EXPECT_EQ(m["qb40_scan_success"], "1");
    EXPECT_EQ(m.count("qb40_controller_info"), 2u);
}

TEST(Metrics, TheFileIsRefusedWhereAReportWouldBeBeforeAnythingIsSent)
{
    struct Case {
        std::string what;
        std::string target;
        Args more;
        std::string reason;
    };
    const Case cases[] = {
        {"the log", "log.txt", {}, "it is the log file log.txt"},
        {"the image", "fw_4077.bin", {"--plan", "-f", "fw_4077.bin"}, "it is the image file"},
        {"the report", "out.json", {"--report", "out.json"}, "another output of the run goes there"},
        {"the capture", "c.jsonl", {"--capture", "c.jsonl"}, "another output of the run goes there"},
        {"a link", "link.prom", {}, "it is a symbolic link"},
        {"a directory", "dir", {}, "it is a directory"},
        {"a missing directory", "missing/m.prom", {}, "its directory does not exist"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimDir dir;
        dir.write("fw_4077.bin", make_image(16384, {1, 2, 0}));
        dir.write("target.prom", "# the previous run's\n");
        std::filesystem::create_symlink("target.prom", dir.path() / "link.prom");
        std::filesystem::create_directory(dir.path() / "dir");
        Args args = {"--read-only", "--metrics", c.target};
        args.insert(args.end(), c.more.begin(), c.more.end());
        auto r = dir.run(args);
        EXPECT_EQ(r.status, 5);
        const std::string message = "ERROR: Refusing to write metrics file " + c.target + ": " + c.reason +
                                    " [RETURN CODE:0x05]";
        EXPECT_NE(r.console.find(message + "\r\n"), std::string::npos) << r.console;
        EXPECT_NE(dir.log().find(message + "\n"), std::string::npos);
        EXPECT_EQ(r.trace, "") << "no BMC may be touched";
        EXPECT_EQ(dir.read("target.prom"), "# the previous run's\n");
        EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / "link.prom"));
    }
}

// A run that a refused report ends before the metrics were looked at: the
// metrics are held to the same refusals at their first write, so a name the
// start would have refused (the image, the log) is left alone, and a good
// one still says the run ended 5.
TEST(Metrics, ARunEndedByItsRefusedReportWritesNoMetricsWhereTheStartWouldRefuseThem)
{
    struct Case {
        std::string what;
        Args args;
        std::string metrics;  // the file the metrics name
        bool written;
    };
    const Case cases[] = {
        {"over the image", {"--report", "log.txt", "--plan", "-f", "fw_4077.bin"}, "fw_4077.bin", false},
        {"over the log", {"--report", "fw_4077.bin", "--plan", "-f", "fw_4077.bin"}, "log.txt", false},
        {"a file of their own", {"--report", "log.txt", "--plan", "-f", "fw_4077.bin"}, "m.prom", true},
    };
    const std::string image = make_image(16384, {1, 2, 0});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimDir dir;
        dir.write("fw_4077.bin", image);
        Args args = c.args;
        args.insert(args.end(), {"--metrics=" + c.metrics});
        auto r = dir.run(args);
        EXPECT_EQ(r.status, 5);
        EXPECT_EQ(r.trace, "") << "no BMC may be touched";
        EXPECT_EQ(dir.read("fw_4077.bin"), image);
        EXPECT_EQ(dir.log().find("qb40_"), std::string::npos) << dir.log();
        if (c.written) {
            EXPECT_EQ(parse_metrics(dir.read(c.metrics))["qb40_run_exit_status"], "5");
        }
    }
}

TEST(Metrics, TheFileAppearsWholeAndReadableByAllOrNotAtAll)
{
    // Under umask 077 still 0644: the exporter reads it as another user. The
    // previous file is replaced by a rename, and no temporary file stays.
    json machine = json::parse(machine_file("fleet_healthy.json"));
    machine["umask"] = "077";
    SimDir dir;
    dir.machine(machine.dump());
    dir.write("m.prom", "# the previous run's\n");
    struct stat before;
    ASSERT_EQ(stat((dir.path() / "m.prom").c_str(), &before), 0);
    auto r = dir.run({"--read-only", "-q", "--metrics", "m.prom"});
    EXPECT_EQ(r.status, 0);
    struct stat after;
    ASSERT_EQ(stat((dir.path() / "m.prom").c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0644u);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(parse_metrics(dir.read("m.prom")).count("qb40_controller_info"), 2u);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".qb40tool-")) << entry.path();

    // A full disk: said on standard error, the previous file stays, the
    // report names it, and --strict ends 7.
    for (const char* call : {"write", "rename"}) {
        SCOPED_TRACE(call);
        machine["file_faults"] = {{{"file", "metrics"}, {"call", call}, {"errno", "ENOSPC"}}};
        dir.machine(machine.dump());
        dir.write("m.prom", "# the previous run's\n");
        auto lost = dir.run({"--read-only", "-q", "--strict", "--report", "r.json", "--metrics", "m.prom"});
        EXPECT_EQ(lost.status, 7);
        EXPECT_EQ(lost.errors, "ERROR: Unable to write metrics file m.prom: No space left on device\n");
        EXPECT_EQ(dir.read("m.prom"), "# the previous run's\n");
        json report = json::parse(dir.read("r.json"));
        EXPECT_EQ(report["outputs_lost"], json::parse(R"([{"file": "metrics", "path": "m.prom",
                                                          "error": "No space left on device"}])"));
        EXPECT_EQ(report["exit_code"], 7);
    }

    // A file lost before the metrics are written, or after them (the
    // report's last write, the capture at its end): they give the 7 that
    // the run ends with, not the 0 it would have had.
    struct Loss {
        const char* name;
        json fault;
        std::vector<std::string> outputs;
    };
    const Loss losses[] = {
        {"the log", {{"file", "log"}, {"call", "write"}, {"errno", "EIO"}, {"count", "all"}}, {}},
        {"the report's last write",
         {{"file", "report"}, {"call", "rename"}, {"errno", "EBUSY"}, {"nth", 2}},
         {"--report", "r.json"}},
        {"the capture at its end", {{"file", "capture"}, {"call", "rename"}, {"errno", "EIO"}}, {"--capture", "c.jsonl"}},
    };
    for (const Loss& loss : losses) {
        SCOPED_TRACE(loss.name);
        machine["file_faults"] = json::array({loss.fault});
        dir.machine(machine.dump());
        std::vector<std::string> args = {"--read-only", "-q", "--strict", "--metrics", "m.prom"};
        args.insert(args.end(), loss.outputs.begin(), loss.outputs.end());
        auto r = dir.run(args);
        EXPECT_EQ(r.status, 7);
        MetricsFile m = parse_metrics(dir.read("m.prom"));
        EXPECT_EQ(m["qb40_run_exit_status"], "7");
        EXPECT_EQ(m["qb40_scan_success"], "0");
    }
}

TEST(Metrics, AValueWhoseReadFailedIsUnknownNeverTheByteItLeft)
{
    // default.json with the QB4077's registers 0x30, 0x61 and 0x64 refused
    // (0x83, three times each: the I2C layer gives up on the pointer write).
    // The scan keeps 0xFF for them; the metrics and the report say unknown.
    json machine = json::parse(machine_file("default.json"));
    machine["bmcs"][0]["faults"] = json::array();
    for (const char* reg : {"30", "61", "64"})
        machine["bmcs"][0]["faults"].push_back(
            {{"request", std::string("18 52 01 C0 00 ") + reg}, {"completion_code", "0x83"}, {"count", 3}});
    SimDir dir;
    dir.machine(machine.dump());
    auto r = dir.run({"--read-only", "-q", "--metrics", "m.prom", "--report", "r.json"});
    ASSERT_EQ(r.status, 0) << dir.log();
    EXPECT_NE(dir.log().find("Configuration      (Reg 0x30):0xff"), std::string::npos) << "the log shows what it got";
    MetricsFile m = parse_metrics(dir.read("m.prom"));
    EXPECT_EQ(m.problems, std::vector<std::string>{});
    const std::string qb4077 = controller(0, 1, 0, 0xC0, "QB4077"), qb4073 = controller(0, 2, 0, 0xC0, "QB4073S");
    EXPECT_EQ(m["qb40_controller_info{" + qb4077 + ",chip_id=\"77\",firmware=\"unknown\",revision=\"unknown\"}"], "1");
    EXPECT_EQ(m["qb40_controller_config{" + qb4077 + "}"], "(none)");
    EXPECT_EQ(m["qb40_controller_config{" + qb4073 + "}"], "1") << "the others keep theirs";
    EXPECT_EQ(m["qb40_controller_info{" + qb4073 + ",chip_id=\"73\",firmware=\"1.5.2\",revision=\"1\"}"], "1");
    for (const auto& [series, value] : m.samples)
        EXPECT_EQ(series.find("255"), std::string::npos) << series;

    json report = json::parse(dir.read("r.json"));
    const json& c = report["bmcs"][0]["controllers"][0];
    ASSERT_EQ(c["model"], "QB4077");
    for (const char* field : {"config", "chip_revision", "firmware_before", "firmware_last_seen"})
        EXPECT_TRUE(c[field].is_null()) << field << ": " << c[field];
    const json& other = report["bmcs"][0]["controllers"][1];
    EXPECT_EQ(other["config"], 1);
    EXPECT_EQ(other["firmware_last_seen"], json({1, 5, 2}));
}
