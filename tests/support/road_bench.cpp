// SPDX-License-Identifier: MIT
#include "road_bench.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <regex>
#include <stdexcept>

#include "bmc/discovery.h"
#include "bmc/road.h"
#include "logfile/logfile.h"
#include "sim/machine_file/machine_file.h"
#include "os/os.h"
#include "settings.h"
#include "sim_run.h"
#include "sim/basics/trace.h"

namespace qbtest {
namespace {

std::vector<std::string> tail(std::vector<std::string> all, size_t from)
{
    all.erase(all.begin(), all.begin() + static_cast<long>(std::min(from, all.size())));
    return all;
}

}  // namespace

std::string road_machine(const std::string& faults, const std::string& top)
{
    return "{" + top + R"(, "bmcs": [{"node": "/dev/ipmi0", "kcs": 0, "buses": {
        "0x01": {"devices": [
            {"type": "registers", "address": "0xC0", "registers": {"0x00": 77, "0x63": 73, "0x44": 255}},
            {"type": "qb40xx", "address": "0xC4", "chip_id": "S", "firmware": [7, 8, 9], "revision": 3},
            {"type": "registers", "address": "0xC6"}]},
        "0x03": {"devices": [{"type": "bytes", "address": "0xC0", "contents": "4D"},
            {"type": "bytes", "address": "0xE6", "contents": "00"},
            {"type": "bytes", "address": "0xE8", "contents": "00"}]},
        "0x23": {"devices": [{"type": "bytes", "address": "0xC0", "contents": "23"}]}}, "faults": [)" + faults + "]}]}";
}

std::string hex(const std::vector<uint8_t>& bytes) { return sim::Trace::hex(bytes); }

RoadBench::RoadBench(Path path, const std::string& machine_json) : path_(path)
{
    sim::install(sim::load_machine_json(machine_json));
    if (!sim::machine().trace.open((dir_.path() / "trace.txt").string()))
        throw std::runtime_error("cannot open the trace");
    restore_default_settings();
    CloseLogFile();
    StartLogFile("log.txt");
    log_start_ = lines(dir_.read("log.txt")).size();
    OpenIPMIDriverLoaded = path == Path::Driver;
    Road = path == Path::Driver ? ROAD_DRIVER : ROAD_KCS;
    if (path == Path::Driver) {
        fd = os::open("/dev/ipmi0", O_RDWR);
    } else {
        os::iopl(3);
        ISA_SMS_DATA = 0x0CA2;
        ISA_SMS_CMD_STATUS = 0x0CA3;
    }
    trace_start_ = trace_events(dir_.read("trace.txt")).size();
}

RoadBench::~RoadBench()
{
    // The console capture also caught what the test framework reported.
    if (testing::Test::HasFailure())
        std::fputs(console_.text().c_str(), stderr);
    if (path_ == Path::Driver)
        os::close(fd);
    fd = -1;
    OpenIPMIDriverLoaded = 0;
    Road = ROAD_DRIVER;
    CloseLogFile();
    restore_default_settings();
    // Let go of the trace file before the directory goes.
    sim::install(sim::load_machine_json("{}"));
}

std::vector<std::string> RoadBench::log_lines() const { return tail(lines(dir_.read("log.txt")), log_start_); }

std::vector<std::string> RoadBench::trace() const
{
    return tail(trace_events(dir_.read("trace.txt")), trace_start_);
}

Lines RoadBench::traffic() const
{
    static const std::regex request(R"(bmc\d+ (?:driver request id -?\d+|kcs request): ?(.*))");
    Lines out;
    std::smatch m;
    for (const std::string& e : trace())
        if (std::regex_match(e, m, request) || e.starts_with("sleep "))
            out.push_back(m.empty() ? e : m[1].str());
    return out;
}

}  // namespace qbtest
