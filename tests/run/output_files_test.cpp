// SPDX-License-Identifier: MIT
// What a run writes besides the console, under a hostile operator and
// environment: a report or capture name that is a link (the system's own
// /dev/stdout among them) or in no directory; a report of an earlier run
// that must never stand for this one; the files' modes whatever the umask;
// standard descriptors closed at start; and a log, report or capture that
// cannot be written completely (a full, read-only or failing disk), which
// is said, recorded in the report and, under --strict, ends the run with 7.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "firmware_images.h"
#include "sim_run.h"

using nlohmann::json;
using qbtest::SimDir;
using Args = std::vector<std::string>;
namespace fs = std::filesystem;

namespace output_files {

// The controller runs 1.0.0; the image brings 1.2.0.
const std::string kImage = qbtest::make_image(600, {1, 2, 0});

// One QB4077 on bus 0x01 and a VPD EEPROM beside it; `file_faults` as the
// machine file takes them.
std::string machine(json file_faults = json::array())
{
    json m = {{"clock", {{"start", 1700000000}}},
              {"keys", json::array()},
              {"bmcs",
               {{{"node", "/dev/ipmi0"},
                 {"buses",
                  {{"0x01",
                    {{"devices",
                      {{{"type", "qb40xx"}, {"address", "0xC0"}, {"chip_id", "M"}, {"firmware", {1, 0, 0}},
                        {"erase_ms", 0}, {"reset_ms", 0}}}}}}}}}}}};
    if (!file_faults.empty())
        m["file_faults"] = file_faults;
    return m.dump();
}

json fault(const char* file, const char* call, const char* error, int nth = 1, json count = "all")
{
    return {{"file", file}, {"call", call}, {"errno", error}, {"nth", nth}, {"count", count}};
}

// Requests that reached a BMC.
size_t requests(const std::string& trace)
{
    size_t n = 0;
    for (const std::string& e : qbtest::trace_events(trace))
        n += e.starts_with("bmc") && e.find(" request ") != std::string::npos;
    return n;
}

size_t flash_writes(const std::string& trace)
{
    size_t n = 0;
    for (const std::string& e : qbtest::trace_events(trace))
        n += e.find(" request ") != std::string::npos && e.find(": 18 52 01 C0 00 55 AA E0 ") != std::string::npos;
    return n;
}

mode_t mode_of(const fs::path& p)
{
    struct stat st {};
    return lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A report of another run, as an old file would hold it.
const std::string kOldReport = R"({"schema_version": 2, "complete": true, "exit_code": 0, "arguments": ["an", "old", "run"]})";


// --report and --capture never write through a link, also not one the
// system owns (/dev/stdout is a link to /proc/self/fd/1: replaced, it would
// be a regular file for the whole machine), and never into a directory that
// is not there: refused with 5 before anything is sent, link and target as
// they were.
TEST(OutputFiles, ALinkOrAMissingDirectoryIsRefusedBeforeAnythingIsSent)
{
    struct Case {
        const char* name;
        Args args;
        const char* message;
    };
    const Case cases[] = {
        {"a report over a link to a file", {"--strict", "--report", "link.json", "-u", "-f", "fw_4077.bin"},
         "ERROR: Refusing to write report file link.json: it is a symbolic link [RETURN CODE:0x05]"},
        {"a report over the console's link", {"--report", "stdout", "-u", "-f", "fw_4077.bin"},
         "ERROR: Refusing to write report file stdout: it is a symbolic link [RETURN CODE:0x05]"},
        {"a capture over the error console's link", {"--capture", "stderr", "-u", "-f", "fw_4077.bin"},
         "ERROR: Capture file stderr refused: it is a symbolic link [RETURN CODE:0x05]"},
        {"a report in no directory", {"--strict", "--report", "nodir/r.json", "-u", "-f", "fw_4077.bin"},
         "ERROR: Refusing to write report file nodir/r.json: its directory does not exist [RETURN CODE:0x05]"},
        {"a capture in no directory", {"--capture", "nodir/c.jsonl", "-u", "-f", "fw_4077.bin"},
         "ERROR: Capture file nodir/c.jsonl refused: its directory does not exist [RETURN CODE:0x05]"},
        {"a report under a file", {"--report", "victim/r.json", "-u", "-f", "fw_4077.bin"},
         "ERROR: Refusing to write report file victim/r.json: its directory is not a directory [RETURN CODE:0x05]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(machine());
        dir.write("fw_4077.bin", kImage);
        dir.write("victim", "not the tool's\n");
        fs::create_symlink("victim", dir.path() / "link.json");
        fs::create_symlink("/proc/self/fd/1", dir.path() / "stdout");
        fs::create_symlink("/proc/self/fd/2", dir.path() / "stderr");
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, 5);
        EXPECT_EQ(qbtest::lines(r.console).back(), c.message);
        EXPECT_EQ(requests(r.trace), 0u);
        EXPECT_EQ(dir.read("victim"), "not the tool's\n");
        EXPECT_EQ(fs::read_symlink(dir.path() / "link.json"), "victim");
        EXPECT_EQ(fs::read_symlink(dir.path() / "stdout"), "/proc/self/fd/1");
        EXPECT_EQ(fs::read_symlink(dir.path() / "stderr"), "/proc/self/fd/2");
        EXPECT_FALSE(fs::exists(dir.path() / "nodir"));
    }
}

// The password and K_G files of --lan are the operator's secrets: no output
// of the run takes their place, by name, through a hard link, or on a
// command line refused after the output was taken and before the parse
// reached the secret (given as --NAME=VALUE); refused with 5 before
// anything is sent, the files as they were.
TEST(OutputFiles, TheSecretsOfTheNetworkRoadAreNeverAnOutput)
{
    struct Case {
        const char* name;
        Args args;
        const char* line;  // how the console's last line begins
    };
    const Args lan = {"--lan", "bmc-a.lab", "--lan-user", "admin", "--lan-kg-file", "kg.key"};
    const Case cases[] = {
        {"a report over the password", {"--lan-password-file", "pw.txt", "--report", "pw.txt", "-i"},
         "ERROR: Refusing to write report file pw.txt: it is the password file of --lan [RETURN CODE:0x05]"},
        {"the report named first", {"--report", "./pw.txt", "--lan-password-file=pw.txt", "-i"},
         "ERROR: Refusing to write report file ./pw.txt: it is the password file of --lan [RETURN CODE:0x05]"},
        {"a capture over K_G", {"--lan-password-file", "pw.txt", "--capture", "kg.key", "-i"},
         "ERROR: Capture file kg.key refused: it is the K_G file of --lan [RETURN CODE:0x05]"},
        {"metrics over the password through a hard link",
         {"--lan-password-file", "pw.txt", "--metrics", "same.txt", "-i"},
         "ERROR: Refusing to write metrics file same.txt: it is the password file of --lan [RETURN CODE:0x05]"},
        {"a report, then a refusal before the password",
         {"--report", "pw.txt", "-x", "--lan-password-file=pw.txt"}, "ERROR: Invalid Syntax \"-x\" [RETURN CODE:0x05]"},
        {"metrics, then a refusal before the password",
         {"--metrics=pw.txt", "--bogus", "--lan-password-file=pw.txt"}, "ERROR: Unknown option \"--bogus\" "},
    };
    const std::string password = "qb40-lan-secret";
    const std::string kg = "0123456789abcdef0123";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(machine());
        dir.write("pw.txt", password);
        dir.write("kg.key", kg);
        fs::permissions(dir.path() / "pw.txt", fs::perms::owner_read | fs::perms::owner_write);
        fs::permissions(dir.path() / "kg.key", fs::perms::owner_read | fs::perms::owner_write);
        fs::create_hard_link(dir.path() / "pw.txt", dir.path() / "same.txt");
        Args args = lan;
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto r = dir.run(args);
        EXPECT_EQ(r.status, 5);
        EXPECT_TRUE(qbtest::lines(r.console).back().starts_with(c.line)) << r.console;
        EXPECT_EQ(requests(r.trace), 0u);
        EXPECT_EQ(dir.read("pw.txt"), password);
        EXPECT_EQ(dir.read("kg.key"), kg);
    }
}

// Once --report FILE is taken, FILE holds this run's record before the
// first request, or the run ends with 5 before any: a report of an earlier
// run never stands for this one, also after a later command-line error and
// when the last write of the report fails.
TEST(OutputFiles, AReportNeverDescribesAnotherRun)
{
    struct Case {
        const char* name;
        Args args;
        json faults;
        int status;
        bool sent;            // requests reached the BMC
        const char* complete; // what FILE holds afterwards: "true", "false" (this run's start), "none"
        const char* line;     // a line the log or the console shows
    };
    const Case cases[] = {
        {"a later argument refused", {"--report", "r.json", "--image-sha256", "abc", "-q", "-f", "fw_4077.bin"},
         json::array(), 5, false, "true", ""},
        {"a later argument refused, not quiet", {"--report", "r.json", "-x"}, json::array(), 5, false, "true",
         "ERROR: Invalid Syntax \"-x\" [RETURN CODE:0x05]"},
        {"the first write fails (a full disk)", {"--report", "r.json", "-u", "-f", "fw_4077.bin"},
         json::array({fault("report", "write", "ENOSPC")}), 5, false, "none",
         "ERROR: No run without its report: nothing was sent [RETURN CODE:0x05]"},
        {"the first rename fails (the file bind-mounted)", {"--report", "r.json", "-u", "-f", "fw_4077.bin"},
         json::array({fault("report", "rename", "EBUSY")}), 5, false, "none",
         "ERROR: No run without its report: nothing was sent [RETURN CODE:0x05]"},
        {"a read-only directory", {"--strict", "--report", "r.json", "-q", "-f", "fw_4077.bin"},
         json::array({fault("report", "open", "EROFS")}), 5, false, "none",
         "ERROR: No run without its report: nothing was sent [RETURN CODE:0x05]"},
        {"the last write fails", {"--report", "r.json", "-u", "-f", "fw_4077.bin"},
         json::array({fault("report", "rename", "EIO", 2)}), 0, true, "false",
         "ERROR: Unable to write report file r.json: Input/output error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(machine(c.faults));
        dir.write("fw_4077.bin", kImage);
        dir.write("r.json", kOldReport);
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(requests(r.trace) > 0, c.sent);
        const std::string report = dir.read("r.json");
        EXPECT_NE(report, kOldReport);
        if (std::string(c.complete) == "none") {
            EXPECT_FALSE(dir.exists("r.json"));
        } else {
            json j = json::parse(report);
            EXPECT_EQ(j["arguments"], json(c.args));
            EXPECT_EQ(j["complete"], std::string(c.complete) == "true");
        }
        if (*c.line) {
            EXPECT_TRUE(qbtest::count_lines(qbtest::lines(dir.log() + r.console), c.line) > 0)
                << dir.log() << r.console;
        }
    }
}

// Reports and captures hold the host's identity and what the run read:
// readable by their owner alone. Nothing the tool writes is writable by
// the group or others, whatever the umask.
TEST(OutputFiles, NoFileTheToolWritesIsOpenToOthers)
{
    for (unsigned mask : {022u, 002u, 000u}) {
        SCOPED_TRACE(mask);
        SimDir dir;
        dir.machine(machine());
        dir.umask(mask);
        dir.write("fw_4077.bin", kImage);
        auto r = dir.run({"--report", "r.json", "--capture", "c.jsonl", "-u", "-f", "fw_4077.bin"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(mode_of(dir.path() / "r.json"), 0600u);
        EXPECT_EQ(mode_of(dir.path() / "c.jsonl"), 0600u);
        EXPECT_EQ(mode_of(dir.path() / "log.txt") & 022u, 0u) << std::oct << mode_of(dir.path() / "log.txt");
        // A log others could write to is not carried on as it was.
        dir.write("log.txt", "an old log\n");
        fs::permissions(dir.path() / "log.txt", fs::perms::all);
        fs::create_directories(dir.path() / "logprev.txt" / "keep");  // the rotation fails: log.txt is reused
        r = dir.run({"-a", "-u", "-f", "fw_4077.bin"});
        EXPECT_EQ(mode_of(dir.path() / "log.txt") & 022u, 0u) << std::oct << mode_of(dir.path() / "log.txt");
    }
}

// A process started with standard output (or input, or error) closed: the
// descriptor is opened on /dev/null before anything else, so the log does
// not take its place and never receives the console.
TEST(OutputFiles, AClosedStandardDescriptorNeverLetsTheConsoleIntoTheLog)
{
    const Args args = {"--report", "r.json", "-u", "-f", "fw_4077.bin"};
    SimDir plain;
    plain.machine(machine());
    plain.write("fw_4077.bin", kImage);
    auto expected = plain.run(args);
    ASSERT_EQ(expected.status, 0);
    for (std::set<int> closed : {std::set<int>{1}, std::set<int>{0}, std::set<int>{2}, std::set<int>{0, 1, 2}}) {
        SCOPED_TRACE(testing::PrintToString(closed));
        SimDir dir;
        dir.machine(machine());
        dir.write("fw_4077.bin", kImage);
        dir.closed(closed);
        auto r = dir.run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(dir.log(), plain.log());
        EXPECT_EQ(qbtest::lines_starting(dir.log(), "QB40XX Firmware Upgrade tool"), 1u);
        EXPECT_EQ(dir.log().find("\r"), std::string::npos) << "console text in the log";
        EXPECT_EQ(json::parse(dir.read("r.json"))["exit_code"], 0);
        if (!closed.count(1)) {
            EXPECT_EQ(r.console, expected.console);
        }
    }
}

// A log, report or capture that cannot be written completely is said once
// on standard error (quiet or not), recorded in the report, and under
// --strict the run does not end 0 but 7; without --strict the status is
// what the run's controllers make it.
TEST(OutputFiles, ALostFileIsSaidRecordedAndUnderStrictEndsTheRunWith7)
{
    struct Case {
        const char* name;
        json faults;
        const char* file;   // the report's outputs_lost entry
        const char* error;  // standard error's line
    };
    const Case cases[] = {
        {"a full disk under the log", json::array({fault("log", "write", "ENOSPC")}), "log",
         "ERROR: Unable to write log file log.txt: No space left on device"},
        {"a log whose disk fails later", json::array({fault("log", "write", "EIO", 20)}), "log",
         "ERROR: Unable to write log file log.txt: Input/output error"},
        {"a read-only directory for the log", json::array({fault("log", "open", "EROFS")}), "log",
         "ERROR: Unable to write log file log.txt: Read-only file system"},
        {"a capture the disk cannot take", json::array({fault("capture", "write", "ENOSPC")}), "capture",
         "ERROR: Unable to write capture file c.jsonl: No space left on device"},
        {"a capture that cannot be put in place", json::array({fault("capture", "rename", "EBUSY")}), "capture",
         "ERROR: Unable to write capture file c.jsonl: Device or resource busy"},
    };
    for (const Case& c : cases) {
        for (bool strict : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (strict ? ", --strict" : ""));
            SimDir dir;
            dir.machine(machine(c.faults));
            dir.write("fw_4077.bin", kImage);
            Args args = {"--report", "r.json", "--capture", "c.jsonl", "-q", "-f", "fw_4077.bin"};
            if (strict)
                args.insert(args.begin(), "--strict");
            auto r = dir.run(args);
            EXPECT_EQ(r.status, strict ? 7 : 0);
            EXPECT_EQ(r.errors, std::string(c.error) + "\n");
            EXPECT_EQ(r.console, "");
            EXPECT_EQ(flash_writes(r.trace), 600u) << "the controllers are upgraded all the same";
            json report = json::parse(dir.read("r.json"));
            ASSERT_EQ(report["outputs_lost"].size(), 1u) << report.dump();
            EXPECT_EQ(report["outputs_lost"][0]["file"], c.file);
            EXPECT_EQ(report["exit_code"], strict ? 7 : 0);
            EXPECT_EQ(report["exit_meaning"], strict ? "output not written" : "done");
            EXPECT_EQ(dir.exists("c.jsonl"), std::string(c.file) != "capture");
        }
    }
    // The report itself: its last write fails, its first record stands and
    // tells the run began; the status says the rest.
    SimDir dir;
    dir.machine(machine(json::array({fault("report", "write", "ENOSPC", 2)})));
    dir.write("fw_4077.bin", kImage);
    auto r = dir.run({"--strict", "--report", "r.json", "-q", "-f", "fw_4077.bin"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.errors, "ERROR: Unable to write report file r.json: No space left on device\n");
    EXPECT_EQ(json::parse(dir.read("r.json"))["complete"], false);
}

}  // namespace output_files
