#include "road_bench.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <regex>
#include <stdexcept>

#include "kcs/kcs.h"
#include "logfile/logfile.h"
#include "machine_file.h"
#include "os/os.h"
#include "settings.h"
#include "sim_run.h"
#include "trace.h"

namespace qbtest {

std::string path_name(Path path)
{
    return path == Path::Driver ? "Driver" : "Kcs";
}

std::string one_bmc(const std::string& bmc_fields, const std::string& top_fields)
{
    std::string top = top_fields.empty() ? "" : top_fields + ", ";
    std::string fields = bmc_fields.empty() ? "" : ", " + bmc_fields;
    return "{" + top + R"("bmcs": [{"node": "/dev/ipmi0", "kcs": 0)" + fields + "}]}";
}

std::string hex(const std::vector<uint8_t>& bytes)
{
    return sim::Trace::hex(bytes);
}

RoadBench::RoadBench(Path path, const std::string& machine_json) : path_(path)
{
    sim::install(sim::load_machine_json(machine_json));
    if (!machine().trace.open((dir_.path() / "trace.txt").string()))
        throw std::runtime_error("cannot open the trace");
    restore_default_settings();
    CloseLogFile();
    StartLogFile("log.txt");
    log_start_ = lines(log()).size();

    if (path == Path::Driver) {
        fd = os::open("/dev/ipmi0", O_RDWR);
        OpenIPMIDriverLoaded = 1;
    } else {
        os::iopl(3);
        OpenIPMIDriverLoaded = 0;
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
    CloseLogFile();
    restore_default_settings();
    // Let go of the trace file before the directory goes.
    sim::install(sim::load_machine_json("{}"));
}

std::vector<std::string> RoadBench::log_lines() const
{
    std::vector<std::string> all = lines(log());
    return {all.begin() + static_cast<long>(std::min(log_start_, all.size())), all.end()};
}

std::vector<std::string> RoadBench::trace() const
{
    std::vector<std::string> all = trace_events(dir_.read("trace.txt"));
    return {all.begin() + static_cast<long>(std::min(trace_start_, all.size())), all.end()};
}

std::vector<std::string> RoadBench::messages(const char* kind) const
{
    std::regex line(std::string(R"(bmc\d+ (?:driver )") + kind + R"( id -?\d+|kcs )" + kind + R"(): ?(.*))");
    std::vector<std::string> out;
    for (const std::string& e : trace()) {
        std::smatch m;
        if (std::regex_match(e, m, line))
            out.push_back(m[1]);
    }
    return out;
}

std::vector<std::string> RoadBench::requests() const { return messages("request"); }
std::vector<std::string> RoadBench::responses() const { return messages("response"); }

std::vector<long> RoadBench::driver_ids() const
{
    std::regex line(R"(bmc\d+ driver request id (-?\d+): .*)");
    std::vector<long> ids;
    for (const std::string& e : trace()) {
        std::smatch m;
        if (std::regex_match(e, m, line))
            ids.push_back(std::stol(m[1]));
    }
    return ids;
}

}  // namespace qbtest
