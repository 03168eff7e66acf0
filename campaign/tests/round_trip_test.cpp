// SPDX-License-Identifier: MIT
// The round trip of a capture through the replay machine for every example
// machine of sim/machines, in each mode that applies: a report, the VPD dump
// at every address, the mux probed, the mux switched by the tool, an
// upgrade, two cycles, and the KCS ports (with the driver gone, on machines
// with a KCS interface). The campaign makes the same round trip for its
// seeds (scripts/campaign.sh --ci). Each capture is also made into a model
// machine, which must give the same runs where the machine injects no fault.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

#include "round_trip.h"
#include "programs.h"

namespace campaign {

// A fixture stays out of the anonymous namespace: the test files are compiled in batches.
class RoundTrip : public testing::TestWithParam<std::string> {};

namespace {

namespace fs = std::filesystem;

constexpr std::chrono::milliseconds kRoundTripBound{60000};

std::string read_round_trip_file(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct RoundTripMode {
    const char* name;
    std::vector<std::string> args;
    bool ports = false;  // through the KCS ports, the driver gone
};

const RoundTripMode kRoundTripModes[] = {
    {"report", {}},
    {"vpd", {"-vpd", "-i"}},
    {"mux", {"-mae6", "-i"}},
    {"mux switched by the tool", {"-mae6", "-ms"}},
    {"upgrade", {"-u", "-f", "fw_4077.bin"}},
    {"two cycles", {"-c2"}},
    {"KCS ports", {"-dio"}, true},
};

TEST_P(RoundTrip, ReplayAndModelGiveWhatTheCapturedRunGave)
{
    size_t fault_free = 0, faulty = 0, with_rules = 0, differ = 0;
    fs::path root = fs::temp_directory_path() / ("qb40round-trip." + std::to_string(getpid()) + "." + GetParam());
    nlohmann::json machine = nlohmann::json::parse(read_round_trip_file(fs::path(QB40_SOURCE_DIR) / "sim" / "machines" / GetParam()));
    bool has_ports = false;
    for (const auto& bmc : machine["bmcs"])
        has_ports = has_ports || bmc.contains("kcs");
    for (const RoundTripMode& mode : kRoundTripModes) {
        if (mode.ports && !has_ports)
            continue;
        SCOPED_TRACE(mode.name);
        Scenario s;
        s.machine = machine;
        if (mode.ports) {
            s.machine["driver"] = "absent";
            s.machine.erase("vanishing_nodes");
        }
        s.args = mode.args;
        s.files["fw_4077.bin"] = read_round_trip_file(fs::path(QB40_SOURCE_DIR) / "sim" / "images" / "fw_4077.bin");
        s.image = "fw_4077.bin";
        RoundTripResult r = round_trip(s, root / "work", root / "kept", qbtest::kToolSim, qbtest::kCaptureTool, kRoundTripBound);
        EXPECT_TRUE(r.made);
        EXPECT_TRUE(r.modelled);
        // A fault-free run on the model is held to every byte (round_trip
        // reports its differences as violations); the others are counted.
        if (r.fault_free) {
            ++fault_free;
        } else {
            ++faulty;
            with_rules += r.model_rules > 0;
            differ += !r.model_differs.empty();
        }
        for (const Violation& v : r.found)
            ADD_FAILURE() << v.invariant << ": " << v.detail << " (runs kept in " << (root / "kept") << ")";
        if (r.found.empty())
            fs::remove_all(root);
    }
    std::printf("model of %s: %zu fault-free runs reproduced; %zu runs with faults, %zu needed fault rules, %zu "
                "still differ\n",
                GetParam().c_str(), fault_free, faulty, with_rules, differ);
}

std::vector<std::string> example_machines()
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::path(QB40_SOURCE_DIR) / "sim" / "machines"))
        if (entry.path().extension() == ".json")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

INSTANTIATE_TEST_SUITE_P(ExampleMachines, RoundTrip, testing::ValuesIn(example_machines()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param.substr(0, info.param.size() - 5);
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

}  // namespace
}  // namespace campaign

namespace campaign {

// A failing receive that takes a late answer off the queue: the answer
// belongs to the request whose id it names, which the fault was drawn on,
// not to the request sent last; neither trace shows it then.
TEST(RoundTripExchangeLines, AnAnswerAFailingReceiveAteIsLeftOutByItsRequestId)
{
    const nlohmann::json machine = {{"bmcs", {{{"node", "/dev/ipmi0"}}}}};
    const std::string first = "1.0 bmc0 driver request id 1: 18 52 23 C0 00 63\n"
                              "1.0 bmc0 fault 0 #1 on driver request: receive fails ENXIO\n"
                              "1.0 bmc0 driver request id 2: 18 52 33 C0 00 63\n"
                              "1.0 bmc0 driver response id 1: 1C 52 83\n"
                              "1.0 bmc0 driver response id 2: 1C 52 00\n";
    const std::string replayed = "1.0 bmc0 driver request id 1: 18 52 23 C0 00 63\n"
                                 "1.0 bmc0 driver request id 2: 18 52 33 C0 00 63\n"
                                 "1.0 bmc0 driver response id 2: 1C 52 00\n";
    const ExchangeLines lines = exchange_lines(first, machine, replayed, machine);
    EXPECT_EQ(lines.first, lines.replayed);
    EXPECT_EQ(lines.first.size(), 3u);
    // Drawn on the second request, the fault leaves the first one's late answer in view.
    const std::string drawn_later = "1.0 bmc0 driver request id 1: 18 52 23 C0 00 63\n"
                                    "1.0 bmc0 driver request id 2: 18 52 33 C0 00 63\n"
                                    "1.0 bmc0 fault 0 #1 on driver request: receive fails ENXIO\n"
                                    "1.0 bmc0 driver response id 1: 1C 52 83\n"
                                    "1.0 bmc0 driver response id 2: 1C 52 00\n";
    const ExchangeLines other = exchange_lines(drawn_later, machine, replayed, machine);
    EXPECT_NE(std::find(other.first.begin(), other.first.end(), "1.0 bmc0 driver response id 1: 1C 52 83"),
              other.first.end());
}

}  // namespace campaign
