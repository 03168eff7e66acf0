// SPDX-License-Identifier: MIT
// --capture on the network road: the capture holds each request and answer
// as the exchange hands them and the session's set-up as a reader needs it,
// never a secret, a random number or a session ID; its VPD text is redacted
// as on the driver road; and qb40sim-capture's replay and model rebuild a
// LAN BMC on which the same command gives the same run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sim/capture/capture_diff.h"
#include "sim/capture/model_machine.h"
#include "sim/capture/replay_machine_file.h"
#include "firmware_images.h"
#include "lan_roads.h"
#include "sim_run.h"

using nlohmann::json;
using namespace qbtest;

namespace {

using Args = std::vector<std::string>;

// The fields each of the network road's lines may have: nothing else, so
// that no secret can come in under another name.
const std::map<std::string, std::set<std::string>> kLanFields = {
    {"lan_session", {"t", "e", "bmc", "host", "port", "user", "privilege", "suite", "r"}},
    {"lan_x", {"t", "e", "req", "rt", "resp", "lost"}},
    {"lan_run", {"t", "e", "prefix", "first", "count", "resp", "lat", "gap", "t1", "late", "polls"}},
    {"lan_close", {"t", "e"}},
};

std::vector<uint8_t> lc_bytes_of_hex(const std::string& text)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 3)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

// Every byte the capture's lines hold in hex fields, one sequence per field.
std::vector<std::vector<uint8_t>> lc_hex_fields(const std::vector<json>& events)
{
    std::vector<std::vector<uint8_t>> out;
    for (const json& e : events)
        for (const char* field : {"req", "resp", "prefix", "bytes"})
            if (e.contains(field))
                out.push_back(lc_bytes_of_hex(e[field].get<std::string>()));
    return out;
}

// The first bytes of the random numbers the simulated machine hands the
// tool (getrandom) and those the simulated BMC draws its session IDs, its
// RAKP random number and its IVs from: both come from a generator seeded
// with 1 (the machine's "random_seed" and the BMC's "seed" by default),
// one byte per draw.
std::vector<uint8_t> lc_random_stream(size_t n)
{
    std::mt19937_64 generator(1);
    std::vector<uint8_t> out(n);
    for (uint8_t& b : out)
        b = static_cast<uint8_t>(generator() >> 56);
    return out;
}

// The four-byte pieces of `stream` (a session ID is four bytes, every
// other random number longer) found in any of `fields`.
std::vector<std::string> lc_random_pieces_in(const std::vector<uint8_t>& stream,
                                             const std::vector<std::vector<uint8_t>>& fields)
{
    std::set<std::vector<uint8_t>> pieces;
    for (size_t i = 0; i + 4 <= stream.size(); ++i)
        pieces.insert({stream.begin() + static_cast<std::ptrdiff_t>(i), stream.begin() + static_cast<std::ptrdiff_t>(i) + 4});
    std::vector<std::string> found;
    for (const std::vector<uint8_t>& f : fields)
        for (size_t i = 0; i + 4 <= f.size(); ++i)
            if (pieces.count({f.begin() + static_cast<std::ptrdiff_t>(i), f.begin() + static_cast<std::ptrdiff_t>(i) + 4}))
                found.push_back(json(std::vector<uint8_t>(f.begin() + static_cast<std::ptrdiff_t>(i),
                                                          f.begin() + static_cast<std::ptrdiff_t>(i) + 4))
                                    .dump());
    return found;
}

std::vector<json> lc_events(const std::string& capture)
{
    std::vector<json> out;
    const Lines all = lines(capture);
    for (size_t i = 1; i < all.size(); ++i)
        out.push_back(json::parse(all[i]));
    return out;
}

size_t lc_count(const std::vector<json>& events, const std::string& kind)
{
    return static_cast<size_t>(
        std::count_if(events.begin(), events.end(), [&](const json& e) { return e["e"] == kind; }));
}

std::string lc_machine(const char* name)
{
    json m = json::parse(machine_file(name));
    m["clock"]["start"] = 1700000000;
    return lan_machine(m.dump());
}

struct LanCase {
    const char* name;
    const char* machine;
    Args args;              // after the --lan arguments
    bool image;             // fw_4077.bin is written
    size_t least_lan_x;     // lan_x lines at least
    bool run_of_image;      // a lan_run holds the image's byte commands
};

const std::vector<LanCase>& lc_cases()
{
    static const std::vector<LanCase> cases = {
        {"scan with a report", "default.json", {"--report", "r.json"}, false, 10, false},
        {"VPD dump with its text redacted", "vpd_eeproms.json",
         {"-vpd", "--report", "r.json", "--capture-redact", "vpd"}, false, 20, false},
        {"QB4077 upgrade", "upgrade_4077.json", {"-u", "-f", "fw_4077.bin", "--report", "r.json"}, true, 10, true},
    };
    return cases;
}

struct Captured {
    RunResult run;
    std::string capture;
    std::string report;
    std::string log;
};

Captured lc_capture(SimDir& dir, const LanCase& c, const std::string& machine, const std::string& image)
{
    dir.machine(machine);
    if (c.image)
        dir.write("fw_4077.bin", image);
    Args args = lan_arguments(dir, bmc_count(machine));
    args.insert(args.end(), {"--capture", "c.jsonl"});
    args.insert(args.end(), c.args.begin(), c.args.end());
    Captured out{dir.run(args), dir.read("c.jsonl"), dir.read("r.json"), dir.log()};
    return out;
}

// The same command on `machine` (a rebuilt one) gives what `first` gave.
void lc_expect_same_run(const LanCase& c, const std::string& machine, const std::string& image, const Captured& first,
                        bool same_capture)
{
    SimDir again;
    Captured second = lc_capture(again, c, machine, image);
    EXPECT_EQ(second.run.errors, first.run.errors);
    EXPECT_EQ(second.run.status, first.run.status);
    EXPECT_EQ(second.run.console, first.run.console);
    EXPECT_EQ(second.log, first.log);
    EXPECT_EQ(second.report, first.report);
    if (same_capture) {
        EXPECT_EQ(second.capture, first.capture);
    }
}

}  // namespace

TEST(LanCapture, HoldsTheExchangeAndNoSecretAndTheReplayGivesTheSameRun)
{
    const std::string image = make_image(16384, {1, 2, 0});
    for (const LanCase& c : lc_cases()) {
        SCOPED_TRACE(c.name);
        const std::string machine = lc_machine(c.machine);
        SimDir dir;
        const Captured first = lc_capture(dir, c, machine, image);
        ASSERT_EQ(first.run.status, 0) << first.run.console << first.run.errors;
        const std::vector<json> events = lc_events(first.capture);

        // What a reader needs: the session, each request and answer, the close.
        ASSERT_EQ(lc_count(events, "lan_session"), 1u);
        const json session = *std::find_if(events.begin(), events.end(), [](const json& e) { return e["e"] == "lan_session"; });
        EXPECT_EQ(session["host"], "bmc0.lab");
        EXPECT_EQ(session["port"], 623);
        EXPECT_EQ(session["user"], "admin");
        EXPECT_EQ(session["privilege"], "administrator");
        EXPECT_EQ(session["suite"], 17);
        EXPECT_EQ(session["r"], "opened");
        EXPECT_GE(lc_count(events, "lan_x"), c.least_lan_x);
        EXPECT_EQ(lc_count(events, "lan_close"), 1u);
        EXPECT_EQ(lc_count(events, "lan_run") > 0, c.run_of_image);
        // The socket is the road's own: no select, close or ioctl of it.
        EXPECT_EQ(lc_count(events, "select") + lc_count(events, "close") + lc_count(events, "ioctl"), 0u);
        for (const json& e : events) {
            auto fields = kLanFields.find(e["e"].get<std::string>());
            if (fields == kLanFields.end())
                continue;
            for (const auto& [key, value] : e.items())
                EXPECT_TRUE(fields->second.count(key)) << "field " << key << " in " << e.dump();
        }

        // Never the password, K_G, a session ID or another random number.
        EXPECT_EQ(secrets_shown(dir, first.run), std::vector<std::string>{});
        EXPECT_EQ(lc_random_pieces_in(lc_random_stream(4096), lc_hex_fields(events)), std::vector<std::string>{});

        // Rebuilt from the capture and the password the run had.
        const std::string replay =
            sim::capture::replay_machine(lines(first.capture), std::nullopt, std::string(kLanPassword)).dump();
        EXPECT_EQ(replay.find(kLanKg), std::string::npos);
        lc_expect_same_run(c, replay, image, first, true);
    }
}

TEST(LanCapture, VpdTextAndTheHostAreRedactedAsOnTheDriverRoad)
{
    LanCase c = lc_cases()[1];
    c.args.back() = "vpd,host";
    json m = json::parse(machine_file(c.machine));
    m["clock"]["start"] = 1700000000;
    SimDir lan_dir;
    const Captured lan = lc_capture(lan_dir, c, lan_machine(m.dump()), "");
    SimDir driver_dir;
    driver_dir.machine(driver_machine(m.dump()));
    Args args = {"--capture", "c.jsonl"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult driver = driver_dir.run(args);
    ASSERT_EQ(driver.status, 0);
    EXPECT_EQ(first_difference(without_road_lines(driver.console), without_road_lines(lan.run.console)), "");
    EXPECT_EQ(first_difference(without_road_lines(driver_dir.log()), without_road_lines(lan_dir.log())), "");
    // The text the EEPROM holds ("BP4077SAS8X1", "FRU0012345") shows neither
    // in the console nor in the capture; its placeholders do.
    for (const std::string& text : {std::string("BP4077SAS8X1"), std::string("FRU0012345"),
                                    std::string("42 50 34 30 37 37"), std::string("46 52 55 30 30")}) {
        EXPECT_EQ(lan.run.console.find(text), std::string::npos) << text;
        EXPECT_EQ(lan.capture.find(text), std::string::npos) << text;
    }
    EXPECT_NE(lan.run.console.find("XXXX"), std::string::npos);
    EXPECT_NE(lan.capture.find("58 58 58 58"), std::string::npos);
    // The host the tool ran on is named nowhere in the capture; the report keeps it.
    EXPECT_EQ(lan.capture.find("qb40sim"), std::string::npos);
    EXPECT_EQ(lan.capture.find("QB40SIM-0001"), std::string::npos);
    EXPECT_NE(lan.capture.find("\"e\":\"hostname\",\"name\":\"redacted\""), std::string::npos);
    EXPECT_NE(lan.report.find("QB40SIM-0001"), std::string::npos);
}

TEST(LanCapture, ModelOfAScanGivesTheSameRun)
{
    const LanCase& c = lc_cases()[0];
    const std::string machine = lc_machine(c.machine);
    SimDir dir;
    const Captured first = lc_capture(dir, c, machine, "");
    ASSERT_EQ(first.run.status, 0);
    sim::capture::Model model =
        sim::capture::model_machine(lines(first.capture), std::nullopt, std::string(kLanPassword));
    EXPECT_TRUE(model.exact()) << model.machine["inferred"].dump(1);
    ASSERT_EQ(model.machine["bmcs"].size(), 1u);
    const json& lan = model.machine["bmcs"][0]["lan"];
    EXPECT_EQ(lan["host"], "bmc0.lab");
    EXPECT_EQ(lan["cipher_suites"], json::array({17}));
    lc_expect_same_run(c, model.machine.dump(), "", first, false);
}

TEST(LanCapture, ReplayLeavesAtARequestTheCaptureDoesNotHave)
{
    const LanCase& c = lc_cases()[0];
    SimDir dir;
    const Captured first = lc_capture(dir, c, lc_machine(c.machine), "");
    ASSERT_EQ(first.run.status, 0);
    // The first Master Write-Read pointer write answered otherwise: the run
    // on the replay asks for something else next and leaves the capture.
    Lines edited = lines(first.capture);
    auto at = std::find_if(edited.begin(), edited.end(),
                           [](const std::string& l) { return l.find("\"e\":\"lan_x\"") != std::string::npos; });
    ASSERT_NE(at, edited.end());
    json e = json::parse(*at);
    e["req"] = "18 52 01 C0 00 99";
    *at = e.dump();
    SimDir again;
    again.machine(sim::capture::replay_machine(edited, std::nullopt, std::string(kLanPassword)).dump());
    Args args = lan_arguments(again, 1);
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = again.run(args);
    EXPECT_EQ(r.status, 97);
    EXPECT_NE(r.errors.find("in the session; the capture has request 18 52 01 C0 00 99 in the session"), std::string::npos)
        << r.errors;

    // Without the password the rebuilt BMC refuses the run's.
    SimDir wrong;
    wrong.machine(sim::capture::replay_machine(lines(first.capture), std::nullopt).dump());
    Args wrong_args = lan_arguments(wrong, 1);
    wrong_args.insert(wrong_args.end(), c.args.begin(), c.args.end());
    const RunResult refused = wrong.run(wrong_args);
    EXPECT_NE(refused.status, 0);
    EXPECT_NE(refused.console.find("No session with the BMC at bmc0.lab port 623"), std::string::npos)
        << refused.console << refused.errors;
}

TEST(LanCapture, DiffComparesTwoNetworkRoadCaptures)
{
    const LanCase& c = lc_cases()[0];
    const std::string machine = lc_machine(c.machine);
    SimDir a_dir, same_dir, other_dir;
    const Captured a = lc_capture(a_dir, c, machine, "");
    const Captured same = lc_capture(same_dir, c, machine, "");
    // The same machine with one controller's firmware revision another.
    json other_machine = json::parse(machine);
    bool changed = false;
    for (json& bmc : other_machine["bmcs"])
        for (auto& [bus, b] : bmc["buses"].items())
            for (json& d : b["devices"])
                if (!changed && d.value("type", "") == "qb40xx" && d.contains("firmware")) {
                    d["firmware"][0] = d["firmware"][0].get<int>() + 1;
                    changed = true;
                }
    ASSERT_TRUE(changed);
    const Captured other = lc_capture(other_dir, c, other_machine.dump(), "");

    const sim::capture::CaptureDiff none = sim::capture::diff_captures(lines(a.capture), lines(same.capture), {});
    EXPECT_EQ(none.differences, 0u) << none.text;
    const sim::capture::CaptureDiff some = sim::capture::diff_captures(lines(a.capture), lines(other.capture), {});
    EXPECT_GE(some.differences, 1u);
    EXPECT_NE(some.text.find("lan_x request 18 52 01 "), std::string::npos) << some.text;
    EXPECT_EQ(some.text.find("lan_session"), std::string::npos) << some.text;
}
