// SPDX-License-Identifier: MIT
// qb40sim-capture on captures no run of the tool wrote: a line that is no
// JSON, one far too long, more than the process may hold, calls the tool
// does not make. Replay, model and diff read through one reader: each names
// the line of the file it could not read, none drops a line or crashes, and
// a model that leaves a line unused is not exact.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "sim/capture/model_machine.h"
#include "programs.h"
#include "sim_run.h"

using nlohmann::json;

namespace {

struct CaptureToolRun {
    int status = -1;
    std::string out, err;
};

// qb40sim-capture with `args` in `dir`, its address space bounded to
// `limit_kb` when given (ulimit -v).
CaptureToolRun capture_tool(const qbtest::SimDir& dir, const std::string& args, long limit_kb = 0)
{
    std::string command = (limit_kb ? "ulimit -v " + std::to_string(limit_kb) + "; " : std::string()) + "cd " +
                          dir.path().string() + " && exec " + qbtest::kCaptureTool + " " + args + " >out.txt 2>err.txt";
    int status = std::system(command.c_str());
    CaptureToolRun r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    r.out = dir.read("out.txt");
    r.err = dir.read("err.txt");
    return r;
}

// A capture of a report with the VPD: a few hundred lines, the host name on line 3.
std::vector<std::string> report_capture(qbtest::SimDir& dir)
{
    dir.run({"-vpd", "-i", "--report", "r.json", "--capture", "c.jsonl"});
    std::vector<std::string> lines = qbtest::lines(dir.read("c.jsonl"));
    if (lines.size() < 100)
        throw std::runtime_error("the capture is too short to break in its middle");
    return lines;
}

void write_lines(const qbtest::SimDir& dir, const std::string& name, const std::vector<std::string>& lines)
{
    std::ofstream out(dir.path() / name, std::ios::binary);
    for (const std::string& l : lines)
        out << l << '\n';
}

// A host name line with a name `bytes` long.
std::string host_name_line(size_t bytes) { return R"({"t":0,"e":"hostname","name":")" + std::string(bytes, 'h') + R"(","r":0})"; }

// The host name of line 3 made `bytes` long.
std::vector<std::string> with_long_host_name(std::vector<std::string> lines, size_t bytes)
{
    if (json::parse(lines.at(2)).value("e", "") != "hostname")
        throw std::runtime_error("line 3 is no host name");
    lines[2] = host_name_line(bytes);
    return lines;
}

// The three commands on the capture `file` (diff with the good one as A).
std::vector<std::string> commands_on(const std::string& file)
{
    return {"model " + file + " --exact", "replay " + file, "diff c.jsonl " + file};
}

}  // namespace

// Every command names the line of the file that it could not read (not the
// JSON parser's own "line 1"), ends 2 and writes no machine.
TEST(HostileCapture, EveryCommandNamesTheLineItCannotRead)
{
    qbtest::SimDir dir;
    const std::vector<std::string> good = report_capture(dir);
    const size_t last = good.size();
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        size_t line;
        const char* says;
    };
    auto broken_at = [&](size_t line, const std::string& text) {
        std::vector<std::string> l = good;
        l.at(line - 1) = text;
        return l;
    };
    std::vector<std::string> blank_before = good;
    blank_before.insert(blank_before.begin() + 1, "");
    blank_before.at(4) = R"({"t":0,"e":)";
    const Case cases[] = {
        {"a syntax error on line 2", broken_at(2, R"({"t":0,"e":"time","v":17)"), 2, "no JSON at column"},
        {"a syntax error on the last line", broken_at(last, good.back().substr(0, 20)), last, "no JSON at column"},
        {"a line that is no object", broken_at(7, "[1, 2]"), 7, "expected an object"},
        {"an empty line counts: the error on the file's line 5", blank_before, 5, "no JSON at column"},
        {"a host name longer than any line of a capture", with_long_host_name(good, 17 << 20), 3,
         "longer than 16777216 bytes"},
    };
    for (const Case& c : cases) {
        write_lines(dir, "c2.jsonl", c.lines);
        for (const std::string& command : commands_on("c2.jsonl")) {
            SCOPED_TRACE(std::string(c.name) + ": " + command);
            CaptureToolRun r = capture_tool(dir, command);
            EXPECT_EQ(r.status, 2);
            std::string where = "qb40sim-capture: c2.jsonl: line " + std::to_string(c.line) + ": ";
            EXPECT_NE(r.err.find(where + c.says), std::string::npos) << r.err.substr(0, 400);
            EXPECT_EQ(r.err.find("at line 1,"), std::string::npos) << r.err.substr(0, 400);
            EXPECT_EQ(r.out, "");
        }
    }
}

// The issue's capture: a 100 MB host name on line 3. Bounded in memory the
// process neither aborts (an allocation failure escaping) nor writes a
// model of the two lines before it; and a capture that holds more than the
// process may have, in lines each short enough, is refused at the line
// where memory ran out, never cut there.
TEST(HostileCapture, MemoryBoundsEndInAnErrorNotACrashOrAShorterCapture)
{
    if (!qbtest::kCpuBounds)
        GTEST_SKIP() << "the sanitizers reserve more address space than any bound leaves";
    qbtest::SimDir dir;
    const std::vector<std::string> good = report_capture(dir);
    write_lines(dir, "long.jsonl", with_long_host_name(good, 100'000'000));
    std::vector<std::string> many = good;
    for (size_t line = 3; line < 9; ++line)
        many.at(line) = host_name_line(15 << 20);
    write_lines(dir, "many.jsonl", many);
    struct Case {
        const char* file;
        long limit_kb;
        std::regex says;
    };
    const Case cases[] = {
        {"long.jsonl", 250000, std::regex("long.jsonl: line 3: longer than 16777216 bytes")},
        {"long.jsonl", 150000, std::regex("long.jsonl: line 3: longer than 16777216 bytes")},
        // Six lines of 15 MiB in 60 MB.
        {"many.jsonl", 60000, std::regex("many.jsonl: line [4-9]: out of memory")},
    };
    for (const Case& c : cases) {
        for (const std::string& command : commands_on(c.file)) {
            SCOPED_TRACE(command + " in " + std::to_string(c.limit_kb) + " KiB");
            CaptureToolRun r = capture_tool(dir, command, c.limit_kb);
            EXPECT_EQ(r.status, 2) << r.err.substr(0, 400);
            EXPECT_TRUE(std::regex_search(r.err, c.says)) << r.err.substr(0, 400);
            EXPECT_EQ(r.out, "");
        }
    }
}

// A line whose call the model has no place for is a line the model did not
// use: it says which, and is not exact, even when every request it did
// place is answered as the capture has it.
TEST(HostileCapture, AModelThatLeavesALineUnusedIsNotExact)
{
    qbtest::SimDir dir;
    const std::vector<std::string> good = report_capture(dir);
    size_t exchange = 0;
    for (size_t i = 1; i < good.size() && !exchange; ++i)
        if (json::parse(good[i]).value("e", "") == "x")
            exchange = i;
    ASSERT_GT(exchange, 0u);
    auto added = [&](const std::string& line) {
        std::vector<std::string> l = good;
        l.insert(l.begin() + static_cast<std::ptrdiff_t>(exchange), line);
        return l;
    };
    auto moved_to_fd = [&](int fd) {
        std::vector<std::string> l = good;
        json e = json::parse(l[exchange]);
        e["fd"] = fd;
        l[exchange] = e.dump();
        return l;
    };
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        const char* says;
    };
    const Case cases[] = {
        {"a request on a descriptor no open gave", moved_to_fd(77), "a request (x) on descriptor 77, which no open gave"},
        {"an ioctl the tool does not make", added(R"({"t":1,"e":"ioctl","fd":13,"request":"0x1234","r":0})"),
         "an ioctl the tool does not make (request 0x1234)"},
        {"a KCS transfer at ports of no interface",
         added(R"({"t":1,"e":"kcs","status":"0x0DA3","data":"0x0DA2","req":"18 01","resp":"1C 01 00","ports":"s00 c61 w18 c62 w01 s00 d1C","t1":2,"n":7})"),
         "a KCS transfer at the ports 0xDA2/0xDA3, none of the KCS interface's"},
        {"a port that answers where the model has no device",
         added(R"({"t":1,"e":"inb","port":"0x0300","v":"12"})"), "a read of the port 0x300, which no model device answers"},
        {"a file of the system the tool does not read",
         added(R"({"t":1,"e":"sysfile","path":"/etc/hostname","bytes":"61 0A","r":2})"),
         "the file /etc/hostname, which a model's host does not have"},
        {"a failing gethostname", added(R"({"t":1,"e":"hostname","r":-1,"errno":"EINVAL"})"),
         "a failing gethostname"},
    };
    sim::capture::Model clean = sim::capture::model_machine(good, std::nullopt);
    ASSERT_TRUE(clean.exact()) << json(clean.notes).dump(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::capture::Model m = sim::capture::model_machine(c.lines, std::nullopt);
        EXPECT_EQ(m.unused_lines, 1u);
        EXPECT_FALSE(m.exact());
        std::string line = "line " + std::to_string(exchange + 1) + ": ";
        EXPECT_NE(json(m.notes).dump().find(line + c.says), std::string::npos) << json(m.notes).dump(1);
    }
    // The program: exit status 1 under --exact, the line on standard error.
    write_lines(dir, "c2.jsonl", moved_to_fd(77));
    CaptureToolRun r = capture_tool(dir, "model c2.jsonl --exact");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("qb40sim-capture: model: 1 line of the capture not used"), std::string::npos) << r.err;
    EXPECT_NE(json::parse(r.out).value("bmcs", json::array()).size(), 0u);
}
