// SPDX-License-Identifier: MIT
// The generator: a seed names one run, every machine file it writes is one
// the simulator takes, the machines keep the properties the checks rely on,
// and over a range of seeds it reaches everything the campaign promises.
#include <functional>
#include <gtest/gtest.h>
#include <set>

#include "sim/machine_file/machine_file.h"
#include "scenario.h"

namespace campaign {
namespace {

// Seeds 1 to n.
std::vector<Scenario> first_seeds(uint64_t n)
{
    std::vector<Scenario> v;
    for (uint64_t seed = 1; seed <= n; ++seed)
        v.push_back(generate(seed));
    return v;
}

TEST(Generator, ASeedNamesOneRun)
{
    for (uint64_t seed : {1, 77, 123456789}) {
        Scenario a = generate(seed), b = generate(seed);
        EXPECT_EQ(a.machine, b.machine);
        EXPECT_EQ(a.args, b.args);
        EXPECT_EQ(a.files, b.files);
    }
    EXPECT_NE(generate(1).machine, generate(2).machine);
}

TEST(Generator, AScenarioFileReplaysTheSameRun)
{
    for (const Scenario& s : first_seeds(20)) {
        Scenario back = scenario_from_json(nlohmann::json::parse(to_json(s).dump()));
        EXPECT_EQ(back.machine, s.machine);
        EXPECT_EQ(back.args, s.args);
        EXPECT_EQ(back.files, s.files);
        EXPECT_EQ(back.directories, s.directories);
        EXPECT_EQ(back.image, s.image);
        EXPECT_EQ(to_json(back), to_json(s));  // the controllers too
    }
}

TEST(Generator, TheSimulatorTakesEveryMachineFile)
{
    for (const Scenario& s : first_seeds(150)) {
        try {
            sim::load_machine_json(s.machine.dump());
        } catch (const sim::MachineFileError& e) {
            ADD_FAILURE() << "seed " << s.seed << ": field " << e.field() << ": " << e.what();
        }
    }
}

// The checks map a device-table record to a controller by bus number and
// address, and rely on no other version reading as the image's.
TEST(Generator, ControllersHaveTheirOwnPlacesAndVersions)
{
    for (const Scenario& s : first_seeds(200)) {
        std::set<std::pair<uint8_t, uint8_t>> places;
        for (const ControllerModel& c : s.controllers) {
            EXPECT_TRUE(places.insert({c.bus, c.address}).second) << "seed " << s.seed;
            bool image_range = c.firmware[0] >= 0x20 && c.firmware[0] <= 0x3F;
            for (uint8_t b : c.firmware)
                EXPECT_EQ(image_range, b >= 0x20 && b <= 0x3F) << "seed " << s.seed;
        }
    }
}

// The working directory can be built: no file is drawn where a directory
// is, nor under a file (seed 78080651 planted an old report at an image name
// drawn as a directory).
TEST(Generator, NoFileStandsWhereADirectoryIs)
{
    std::vector<uint64_t> seeds = {78080651};
    for (uint64_t seed = 1; seed <= 2000; ++seed)
        seeds.push_back(seed);
    for (uint64_t seed : seeds) {
        Scenario s = generate(seed);
        std::set<std::string> directories(s.directories.begin(), s.directories.end());
        for (const auto& [name, bytes] : s.files) {
            EXPECT_FALSE(directories.count(name)) << "seed " << seed << ": " << name;
            for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
                EXPECT_FALSE(s.files.count(name.substr(0, slash))) << "seed " << seed << ": " << name;
        }
    }
}

bool has_arg(const Scenario& s, const std::string& prefix)
{
    for (const std::string& a : s.args)
        if (a.starts_with(prefix))
            return true;
    return false;
}

using Match = std::function<bool(const nlohmann::json&)>;

bool any_in(const nlohmann::json& devices, const Match& match)
{
    for (const auto& d : devices) {
        if (match(d))
            return true;
        if (d.contains("channels"))
            for (const auto& [ch, inner] : d["channels"].items())
                if (any_in(inner, match))
                    return true;
    }
    return false;
}

// Some bus of some BMC; some device on it, behind muxes too.
bool any_bus(const Scenario& s, const Match& match)
{
    for (const auto& bmc : s.machine["bmcs"]) {
        const nlohmann::json buses = bmc.value("buses", nlohmann::json::object());
        for (const auto& [key, bus] : buses.items())
            if (match(bus))
                return true;
    }
    return false;
}

bool any_device(const Scenario& s, const Match& match)
{
    return any_bus(s, [&](const nlohmann::json& bus) { return any_in(bus["devices"], match); });
}

bool any_fault(const Scenario& s, const std::string& field)
{
    for (const auto& bmc : s.machine["bmcs"])
        for (const auto& rule : bmc.value("faults", nlohmann::json::array()))
            if (rule.contains(field))
                return true;
    return false;
}

bool nested_mux(const nlohmann::json& device)
{
    const nlohmann::json channels = device.value("channels", nlohmann::json::object());
    for (const auto& [ch, inner] : channels.items())
        for (const auto& d : inner)
            if (d["type"] == "mux")
                return true;
    return false;
}

size_t image_size(const Scenario& s)
{
    return s.image && s.files.count(*s.image) ? s.files.at(*s.image).size() : SIZE_MAX;
}

TEST(Generator, ReachesEverythingTheCampaignPromises)
{
    using Want = std::function<bool(const Scenario&)>;
    auto image_named = [](const char* key) {
        return [key](const Scenario& s) { return s.image && s.image->find(key) != std::string::npos; };
    };
    std::vector<std::pair<std::string, Want>> wanted = {
        {"four BMCs", [](const Scenario& s) { return s.machine["bmcs"].size() == 4; }},
        {"a KCS-only BMC", [](const Scenario& s) { return !s.machine["bmcs"][0].contains("node"); }},
        {"/dev/ipmidev/0",
         [](const Scenario& s) { return s.machine.dump().find("/dev/ipmidev/") != std::string::npos; }},
        {"loadable driver", [](const Scenario& s) { return s.machine["driver"] == "loadable"; }},
        {"absent driver", [](const Scenario& s) { return s.machine["driver"] == "absent"; }},
        {"vanishing node", [](const Scenario& s) { return s.machine.contains("vanishing_nodes"); }},
        {"no I/O privilege", [](const Scenario& s) { return s.machine.contains("iopl"); }},
        {"BMC switching a mux",
         [](const Scenario& s) {
             return any_bus(s, [](const auto& b) { return b.value("bmc_switches_mux", false); });
         }},
        {"mux behind a mux", [](const Scenario& s) { return any_device(s, nested_mux); }},
        {"VPD EEPROM",
         [](const Scenario& s) { return any_device(s, [](const auto& d) { return d["type"] == "eeprom"; }); }},
        {"invalid chip ID 83",
         [](const Scenario& s) { return any_device(s, [](const auto& d) { return d.value("chip_id", 0) == 83; }); }},
        {"Esc in a key script",
         [](const Scenario& s) {
             return s.machine.value("keys", nlohmann::json()).dump().find("esc") != std::string::npos;
         }},
        {"no key script", [](const Scenario& s) { return !s.keys_scripted(); }},
        {"no arguments", [](const Scenario& s) { return s.args.empty(); }},
        {"missing image", [](const Scenario& s) { return s.image && !s.files.count(*s.image); }},
        {"directory for an image",
         [](const Scenario& s) { return s.image && std::count(s.directories.begin(), s.directories.end(), *s.image); }},
        {"empty image", [](const Scenario& s) { return image_size(s) == 0; }},
        {"image without version bytes", [](const Scenario& s) { return image_size(s) > 0 && image_size(s) < 54; }},
        {"4073 or 4076 image over its limit",
         [&](const Scenario& s) {
             return image_size(s) > 7679 && image_size(s) != SIZE_MAX &&
                    (image_named("4073")(s) || image_named("4076")(s));
         }},
        {"image over the buffer", [](const Scenario& s) { return image_size(s) > 20480 && image_size(s) != SIZE_MAX; }},
        {"4083 image", image_named("4083")},
        {"argument the parser refuses",
         [](const Scenario& s) {
             return std::any_of(s.args.begin(), s.args.end(), [](const std::string& a) {
                 for (const char* bad : {"-s20", "-x", "-b1", "-b123", "-mc20", "-mcA2", "-mae", "-vpda", "-vpda21"})
                     if (a == bad)
                         return true;
                 return false;
             });
         }},
        {"report that cannot be written", [](const Scenario& s) { return s.report_file() == "missing/run.json"; }},
        {"bare image name", [](const Scenario& s) { return s.image && !s.args.empty() && s.args[0] == *s.image; }},
        {"a signal", [](const Scenario& s) { return s.machine.contains("signals"); }},
        {"a closed standard descriptor", [](const Scenario& s) { return !s.closed_descriptors.empty(); }},
        {"umask 000", [](const Scenario& s) { return s.machine.value("umask", "") == "000"; }},
        {"an earlier run's report", [](const Scenario& s) { return s.old_report.has_value(); }},
        {"a capture without VPD text", [](const Scenario& s) { return s.capture_file() && s.redacts("vpd"); }},
        {"a capture without the host", [](const Scenario& s) { return s.capture_file() && s.redacts("host"); }},
        {"an image in a directory holding another family's key",
         [](const Scenario& s) { return s.image && s.image->starts_with("rel-"); }},
        {"an image in a dated directory", [](const Scenario& s) { return s.image && s.image->starts_with("202"); }},
        {"a second signal", [](const Scenario& s) { return s.machine.value("signals", nlohmann::json()).size() >= 2; }},
        {"a late answer no device gives", [](const Scenario& s) {
             for (const auto& bmc : s.machine["bmcs"])
                 for (const auto& rule : bmc.value("faults", nlohmann::json::array()))
                     if (rule.contains("delay_ms") && (rule.contains("completion_code") || rule.contains("response")))
                         return true;
             return false;
         }},
        {"an option's value as --NAME=VALUE", [](const Scenario& s) { return s.equals_spelling(); }},
        {"a -- word the tool must refuse", [](const Scenario& s) { return s.refused_spelling().has_value(); }},
        {"the network road", [](const Scenario& s) { return s.lan_road(); }},
        {"an output named as the password file of --lan",
         [](const Scenario& s) {
             return s.lan_road() && (s.report_file() == "lan.pw" || s.capture_file() == "lan.pw" ||
                                     s.metrics_file() == "lan.pw");
         }},
        {"a KCS interface holding IBF while its BMC works", [](const Scenario& s) {
             return s.machine.dump().find("\"ibf_while_busy\":true") != std::string::npos;
         }},
    };
    for (const char* signal : {"TERM", "INT", "HUP", "QUIT", "ALRM", "USR1", "USR2", "XCPU", "XFSZ", "VTALRM", "PROF",
                               "PWR", "IO", "STKFLT", "KILL", "PIPE"})
        wanted.emplace_back(std::string("SIG") + signal, [signal](const Scenario& s) {
            return s.machine.value("signals", nlohmann::json()).dump().find(std::string("\"") + signal + "\"") !=
                   std::string::npos;
        });
    for (const char* field : {"completion_code", "response", "lose", "delay_ms", "send_errno", "select_errno",
                              "receive_errno", "wrong_id", "kcs", "for_ms", "probability", "request"})
        wanted.emplace_back(std::string("BMC fault ") + field,
                            [field](const Scenario& s) { return any_fault(s, field); });
    for (const char* field :
         {"refuse", "compare_error_at", "status", "checksum_fails", "never_back", "stop_at", "stop_ms"})
        wanted.emplace_back(std::string("controller fault ") + field, [field](const Scenario& s) {
            return any_device(s, [&](const auto& d) { return d.contains("faults") && d["faults"].contains(field); });
        });
    for (const char* file : {"log", "report", "capture"})
        for (const char* call : {"open", "write", "fsync", "rename"})
            wanted.emplace_back(std::string("file fault ") + file + " " + call, [file, call](const Scenario& s) {
                for (const auto& rule : s.machine.value("file_faults", nlohmann::json::array()))
                    if (rule["file"] == file && rule["call"] == call)
                        return true;
                return false;
            });
    for (const char* error : {"ENOSPC", "EROFS", "EIO", "EBUSY"})
        wanted.emplace_back(std::string("file fault ") + error, [error](const Scenario& s) {
            return s.machine.value("file_faults", nlohmann::json()).dump().find(error) != std::string::npos;
        });
    for (const char* option : {"-vl", "-i",  "-vpd", "-d", "-z",   "-a", "-b", "-sc", "-ma",      "-mc",     "-ms",
                               "-cd", "-c2", "-c3",  "-q", "-dio", "-u", "-f", "-h",  "--strict", "--report",
                               "--plan", "--read-only", "--help-all"})
        wanted.emplace_back(std::string("option ") + option,
                            [option](const Scenario& s) { return has_arg(s, option); });

    const std::vector<Scenario> scenarios = first_seeds(500);
    for (const auto& [what, want] : wanted)
        EXPECT_TRUE(std::any_of(scenarios.begin(), scenarios.end(), want)) << what << " in no seed up to 500";
}

// The campaign's count of --NAME=VALUE runs reads the command line as the
// tool's parser does: a value that begins with -- is its option's, and a
// flag given a value is a refusal, not a spelling.
TEST(Generator, TellsAValueGivenWithEqualsFromOtherWords)
{
    struct Case {
        std::vector<std::string> args;
        bool equals_spelling;
        bool refused;
    };
    const std::vector<Case> cases = {
        {{"--report=r.json", "-i"}, true, false},
        {{"--report", "r.json", "-i"}, false, false},
        {{"--capture", "--metrics=m.prom"}, false, false},  // a file named so
        {{"--strict=1"}, false, true},
        {{"--reprot=r.json"}, false, true},
        {{"-i", "--expect=2", "--strict"}, true, false},
        {{"--plan", "-f", "a.bin"}, false, false},
    };
    for (const Case& c : cases) {
        Scenario s;
        s.args = c.args;
        std::string line;
        for (const std::string& a : c.args)
            line += a + " ";
        EXPECT_EQ(s.equals_spelling(), c.equals_spelling) << line;
        EXPECT_EQ(s.refused_spelling().has_value(), c.refused) << line;
    }
}

}  // namespace
}  // namespace campaign
