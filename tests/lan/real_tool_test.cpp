// SPDX-License-Identifier: MIT
// The real qb40tool over real UDP on loopback: against qb40sim-bmc --road lan
// it must see what qb40tool-sim sees of the same machine on the driver road,
// and through a relay that loses datagrams (by rule and by chance) every
// run must end as the loss-free one or with its clear failure, never with a
// byte the loss-free run did not show.
//
// A whole upgrade takes real seconds (the flash protocol's own waits): those
// tests run only with QB40_LAN_LONG=1 (scripts/lan-loopback.sh, in CI).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "in_process.h"
#include "lan_processes.h"
#include "programs.h"
#include "sim/basics/whole_file.h"
#include "sim_run.h"

namespace fs = std::filesystem;

namespace realtool {

constexpr const char* kUser = "admin";
constexpr const char* kPassword = "qb40-lan-secret";
// Each run is bounded: a tool that hangs fails its test instead of the suite.
constexpr const char* kRunBound = "120";
// The wait for an answer in runs that lose nothing: long, so that a loaded
// machine's slow answer is not taken for a lost one (nothing is lost on
// loopback, so it costs nothing).
constexpr const char* kPatient = "5000";

// `machine` (a machine file's text) with each BMC served over the network.
std::string over_lan(const std::string& machine)
{
    auto m = nlohmann::json::parse(machine);
    for (auto& bmc : m["bmcs"]) {
        bmc.erase("node");
        bmc.erase("kcs");
        bmc["lan"] = {{"ipv4", "192.0.2.10"},
                      {"users", {{{"name", kUser}, {"password", kPassword}, {"privilege", "administrator"}}}},
                      {"cipher_suites", {17, 3}}};
    }
    return m.dump();
}

// `machine` with its BMCs on the driver nodes /dev/ipmi0 on instead.
std::string over_driver(const std::string& machine)
{
    auto m = nlohmann::json::parse(machine);
    int node = 0;
    for (auto& bmc : m["bmcs"]) {
        bmc.erase("lan");
        bmc["node"] = "/dev/ipmi" + std::to_string(node++);
    }
    return m.dump();
}

struct RealRun {
    int status = -1;
    std::string console, log, report;
    std::string trace;      // qb40sim-bmc's
    std::string relay_log;  // empty without the relay
};

// The real tool with `args` against one machine file BMC served on loopback,
// through the relay with `relay` options when given, in a fresh directory
// that holds `files` ({name, bytes}) too.
RealRun run_real(const std::string& machine, int suite, const std::vector<std::string>& args,
                 const std::optional<std::vector<std::string>>& relay = std::nullopt,
                 const std::vector<std::pair<std::string, std::string>>& files = {})
{
    const fs::path dir = qbtest::fresh_temp_dir("qb40real");
    sim::write_file(dir / "machine.json", machine);
    fs::create_directory(dir / "run");
    for (const auto& [name, bytes] : files)
        sim::write_file(dir / "run" / name, bytes);
    RealRun r;
    {
        qbtest::BmcServer server(dir / "machine.json", 0, dir / "trace.txt");
        std::optional<qbtest::UdpRelay> relayed;
        if (relay)
            relayed.emplace(server.port(), dir / "relay.txt", *relay);
        const uint16_t port = relayed ? relayed->port() : server.port();
        std::vector<std::string> command{"timeout", kRunBound, qbtest::kTool, "--lan", "127.0.0.1:" + std::to_string(port),
                                         "--lan-user", kUser, "--lan-cipher", std::to_string(suite)};
        command.insert(command.end(), args.begin(), args.end());
        setenv("IPMI_PASSWORD", kPassword, 1);
        qbtest::Ran ran = qbtest::run_program(dir / "run", command);
        unsetenv("IPMI_PASSWORD");
        r.status = ran.status;
        r.console = ran.out;
        if (relayed)
            r.relay_log = relayed->stop();
        r.trace = server.stop();
    }
    r.log = qbtest::read_file(dir / "run" / "log.txt");
    if (fs::exists(dir / "run" / "report.json"))
        r.report = qbtest::read_file(dir / "run" / "report.json");
    fs::remove_all(dir);
    return r;
}

// The lines of a console or a log with the road's own lines set aside: the
// arguments, the LAN options' and the LAN road's lines, the driver road's
// open line, and the moment of the run.
std::vector<std::string> without_road(const std::string& text)
{
    static const std::regex argument_line(R"(\d+: .* )");
    std::vector<std::string> kept;
    bool in_arguments = false;
    for (const std::string& line : qbtest::lines(text)) {
        if (line.starts_with("Raw command line: ")) {
            in_arguments = true;
            continue;
        }
        if (in_arguments && std::regex_match(line, argument_line))
            continue;
        in_arguments = false;
        if (line.starts_with("Selected --lan") || line.starts_with("Opened an RMCP+ session with the BMC") ||
            line.starts_with("LAN: ") || line == "Successfully opened OpenIPMI driver")
            continue;
        if (line.starts_with("Started: ") || line.starts_with("Finished: "))
            kept.push_back(line.substr(0, line.find(':')));
        else
            kept.push_back(line);
    }
    return kept;
}

// A report without what names the run, its road and its moment.
nlohmann::json report_body(const std::string& text)
{
    auto report = nlohmann::json::parse(text);
    for (const char* field : {"arguments", "host", "started", "finished"})
        report.erase(field);
    for (auto& bmc : report["bmcs"]) {
        bmc.erase("interface");
        for (auto& controller : bmc["controllers"]) {
            controller.erase("programming_started");
            controller.erase("programming_finished");
        }
    }
    return report;
}

// The Master Write-Read requests and answers of a trace, in order: the
// simulator's driver lines or qb40sim-bmc's LAN lines.
std::vector<std::string> master_write_reads(const std::string& trace)
{
    static const std::regex exchange(R"(bmc\d+ (?:driver|lan) (request|response)(?: id \d+)?: ((?:18|1C) 52(?: [0-9A-F]{2})*))");
    std::vector<std::string> found;
    std::smatch m;
    for (const std::string& line : qbtest::lines(trace))
        if (std::regex_search(line, m, exchange))
            found.push_back((m[1] == "request" ? "> " : "< ") + m[2].str());
    return found;
}

std::vector<std::string> events_containing(const std::string& trace, const std::string& part)
{
    std::vector<std::string> found;
    for (const std::string& line : qbtest::lines(trace))
        if (line.find(part) != std::string::npos)
            found.push_back(line);
    return found;
}

// The requests qb40sim-bmc took inside the run's session, in order: the
// relay counts the BMC's session datagrams in the same order.
std::vector<std::string> session_requests(const std::string& trace)
{
    std::vector<std::string> found;
    bool in_session = false;
    for (const std::string& line : qbtest::lines(trace)) {
        if (line.find(" active at privilege ") != std::string::npos)
            in_session = true;
        else if (in_session && line.find(" lan request: ") != std::string::npos)
            found.push_back(line.substr(line.find(" lan request: ") + 14));
    }
    return found;
}

// The 1-based number of the first session request that starts with `bytes`.
unsigned session_request_number(const std::vector<std::string>& requests, const std::string& bytes)
{
    for (size_t i = 0; i < requests.size(); ++i)
        if (requests[i] == bytes || requests[i].starts_with(bytes + " "))
            return static_cast<unsigned>(i + 1);
    ADD_FAILURE() << "no session request " << bytes;
    return 0;
}

// Where a run that failed for its losses says so: the first line with one
// of these (a progress line may carry it at its end).
size_t failure_line(const std::vector<std::string>& lines)
{
    for (size_t i = 0; i < lines.size(); ++i)
        for (const char* text : {"ERROR: The BMC at", "ERROR: No session with the BMC at", "Error writing data on SMBus",
                                 "SMBus read failed", "Device is not responding on the SMBus."})
            if (lines[i].find(text) != std::string::npos)
                return i;
    return std::string::npos;
}

// A lossy run ends as the loss-free one, or with its clear failure: a
// failure line, a status that is not 0, and up to that line nothing the
// loss-free run did not show in the same order (what comes after it, a
// rescan of a controller the failure left in another state, may differ).
// Returns whether it failed.
bool expect_same_or_clear_failure(const RealRun& lossy, const RealRun& free)
{
    const auto lossy_lines = without_road(lossy.console), free_lines = without_road(free.console);
    if (lossy.status == free.status && lossy_lines == free_lines) {
        if (!free.report.empty()) {
            EXPECT_EQ(report_body(lossy.report), report_body(free.report));
        }
        return false;
    }
    const size_t failure = failure_line(lossy_lines);
    EXPECT_NE(failure, std::string::npos) << "the run differs from the loss-free one and says no failure:\n"
                                          << lossy.console;
    EXPECT_NE(lossy.status, 0) << lossy.console;
    if (failure != std::string::npos) {
        const std::vector<std::string> before(lossy_lines.begin(), lossy_lines.begin() + static_cast<long>(failure));
        EXPECT_EQ(qbtest::missing_in_order(free_lines, before), "") << lossy.console;
    }
    return true;
}

void expect_no_secret(const RealRun& r)
{
    for (const std::string* text : {&r.console, &r.log, &r.report, &r.trace, &r.relay_log})
        EXPECT_EQ(text->find(kPassword), std::string::npos);
}

}  // namespace realtool

// A report (with --report) and a VPD dump: console, log, report, exit status
// and every Master Write-Read request and answer equal the driver road's on
// the same machine, over both cipher suites, in one session per run.
TEST(RealToolOverLan, EqualsTheDriverRoadOnTheSameMachine)
{
    const std::string machine = qbtest::machine_file("lan_bmc.json");
    const std::string lan = realtool::over_lan(machine), driver = realtool::over_driver(machine);
    struct Case {
        const char* name;
        std::vector<std::string> args;
    };
    const Case cases[] = {{"report", {"--report", "report.json"}}, {"VPD dump", {"-vpd"}}};
    for (const Case& c : cases) {
        qbtest::SimDir dir;
        dir.machine(driver);
        const qbtest::RunResult sim = dir.run(c.args);
        ASSERT_EQ(sim.status, 0) << sim.console;
        auto real_args = c.args;
        real_args.insert(real_args.end(), {"--lan-timeout", realtool::kPatient});
        for (int suite : {17, 3}) {
            SCOPED_TRACE(testing::Message() << c.name << ", cipher suite " << suite);
            const realtool::RealRun real = realtool::run_real(lan, suite, real_args);
            EXPECT_EQ(real.status, sim.status);
            EXPECT_EQ(realtool::without_road(real.console), realtool::without_road(sim.console));
            EXPECT_EQ(realtool::without_road(real.log), realtool::without_road(dir.log()));
            EXPECT_EQ(realtool::master_write_reads(real.trace), realtool::master_write_reads(sim.trace));
            EXPECT_GT(realtool::master_write_reads(real.trace).size(), 20u);
            EXPECT_EQ(realtool::events_containing(real.trace, " lan open session ").size(), 1u) << real.trace;
            EXPECT_NE(real.trace.find("stops with 0 sessions open"), std::string::npos);
            EXPECT_NE(real.console.find("(cipher suite " + std::to_string(suite) + ")"), std::string::npos);
            if (!c.args.empty() && c.args[0] == "--report") {
                ASSERT_FALSE(real.report.empty());
                qbtest::keep_report(real.report);
                EXPECT_EQ(realtool::report_body(real.report), realtool::report_body(dir.read("report.json")));
                auto interface = nlohmann::json::parse(real.report)["bmcs"][0]["interface"];
                EXPECT_EQ(interface["type"], "lan");
                EXPECT_EQ(interface["cipher_suite"], suite);
            }
            realtool::expect_no_secret(real);
        }
    }
}

// One datagram lost by rule through the relay: whichever it is, the run
// ends exactly as the loss-free one. A lost answer of a read is the case
// that shows a plain resending wrong: the controller's register pointer
// moves on with every read, so the read sent again would answer the next
// register (a pointer set to 0 read twice gives "73 00" instead of
// "40 73"); what the read belongs to is redone, from its pointer write.
TEST(RealToolThroughLossyRelay, OneDatagramLostByRuleChangesNothing)
{
    const std::string lan = realtool::over_lan(qbtest::machine_file("lan_bmc.json"));
    // A lost datagram costs one wait; a loaded machine's slow answer is not
    // taken for a lost one (it would be redone, and counted below).
    const std::vector<std::string> args{"--report", "report.json", "--lan-timeout", "250"};
    const realtool::RealRun free = realtool::run_real(lan, 17, {"--report", "report.json", "--lan-timeout", realtool::kPatient},
                                                      std::vector<std::string>{});
    ASSERT_EQ(free.status, 0) << free.console;
    const auto requests = realtool::session_requests(free.trace);
    ASSERT_EQ(requests.back(), "18 3C [session 1]") << "the session ends with Close Session";
    const unsigned pointer = realtool::session_request_number(requests, "18 52 01 C0 00 63");  // chip ID
    const unsigned led_write = realtool::session_request_number(requests, "18 52 01 C0 00 42 FF");
    const std::string close = std::to_string(requests.size());
    ASSERT_EQ(requests[pointer], "18 52 01 C0 01") << "a read follows the pointer write";

    struct Case {
        const char* name;
        std::string rule;
        // A request the BMC takes once more than in the loss-free run (the
        // sending again, or the redo), "" for none.
        std::string taken_again;
    };
    const Case cases[] = {
        {"answer of a pointer write", "bmc:session:" + std::to_string(pointer), "18 52 01 C0 00 63"},
        {"answer of a register read (73 00)", "bmc:session:" + std::to_string(pointer + 1), "18 52 01 C0 00 63"},
        {"register read itself", "client:session:" + std::to_string(pointer + 1), "18 52 01 C0 00 63"},
        {"answer of a register write", "bmc:session:" + std::to_string(led_write), "18 52 01 C0 00 42 FF"},
        {"answer of Open Session", "bmc:open:1", ""},
        {"answer of RAKP 3", "bmc:rakp4:1", ""},
        {"RAKP 3 itself", "client:rakp3:1", ""},
        {"answer of Close Session", "bmc:session:" + close, ""},
    };
    auto count = [](const std::string& trace, const std::string& request) {
        const auto taken = realtool::session_requests(trace);
        return std::count(taken.begin(), taken.end(), request);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << " (--drop " << c.rule << ")");
        const realtool::RealRun lossy = realtool::run_real(lan, 17, args, std::vector<std::string>{"--drop", c.rule});
        EXPECT_EQ(lossy.status, free.status);
        EXPECT_EQ(realtool::without_road(lossy.console), realtool::without_road(free.console));
        EXPECT_EQ(realtool::report_body(lossy.report), realtool::report_body(free.report));
        qbtest::keep_report(lossy.report);
        EXPECT_EQ(realtool::events_containing(lossy.relay_log, " dropped ").size(), 1u) << lossy.relay_log;
        if (!c.taken_again.empty()) {
            EXPECT_EQ(count(lossy.trace, c.taken_again), count(free.trace, c.taken_again) + 1);
        }
        EXPECT_NE(lossy.trace.find("stops with 0 sessions open"), std::string::npos) << lossy.trace;
        realtool::expect_no_secret(lossy);
    }
}

// 5% of the datagrams of both directions lost at random, a few seeds (the
// relay repeats its draws): each run ends as the loss-free one or with its
// clear failure.
TEST(RealToolThroughLossyRelay, RandomLossEndsAsTheLossFreeRunOrFailsClearly)
{
    const std::string lan = realtool::over_lan(qbtest::machine_file("lan_bmc.json"));
    const std::vector<std::string> args{"-vpd", "--report", "report.json", "--lan-timeout", "100"};
    // One seed per suite here; scripts/lan-loopback.sh draws more.
    const int seeds = std::getenv("QB40_LAN_LONG") ? 6 : 1;
    for (int suite : {17, 3}) {
        const realtool::RealRun free = realtool::run_real(
            lan, suite, {"-vpd", "--report", "report.json", "--lan-timeout", realtool::kPatient}, std::vector<std::string>{});
        ASSERT_EQ(free.status, 0) << free.console;
        for (int seed = suite == 17 ? 1 : 2; seed <= (suite == 17 ? seeds : seeds + 1); seed += 2) {
            SCOPED_TRACE(testing::Message() << "cipher suite " << suite << ", seed " << seed);
            const realtool::RealRun lossy =
                realtool::run_real(lan, suite, args, std::vector<std::string>{"--loss", "5", "--seed", std::to_string(seed)});
            EXPECT_GT(realtool::events_containing(lossy.relay_log, " dropped ").size(), 3u) << "the losses happened";
            realtool::expect_same_or_clear_failure(lossy, free);
            if (!lossy.report.empty()) {
                qbtest::keep_report(lossy.report);
            }
            realtool::expect_no_secret(lossy);
        }
    }
}

namespace realtool {

// The long tests run only where asked for (scripts/lan-loopback.sh).
bool long_tests() { return std::getenv("QB40_LAN_LONG") != nullptr; }

// One QB4077 to upgrade. Its erase and reset end within the first wait for
// them, so the number of polls does not follow the clock (virtual for the
// simulator, real over the network).
std::string upgrade_machine()
{
    auto m = nlohmann::json::parse(qbtest::machine_file("upgrade_4077.json"));
    auto& bmc = m["bmcs"][0];
    for (auto it = bmc["buses"].begin(); it != bmc["buses"].end();)
        it = it.key() == "0x01" ? std::next(it) : bmc["buses"].erase(it);
    for (auto& device : bmc["buses"]["0x01"]["devices"])
        if (device["type"] == "qb40xx")
            device["erase_ms"] = device["reset_ms"] = 1;
    return m.dump();
}

std::vector<std::pair<std::string, std::string>> upgrade_image()
{
    return {{"fw_4077.bin", qbtest::read_file(fs::path(QB40_SOURCE_DIR) / "sim/images/fw_4077.bin")}};
}

}  // namespace realtool

// A whole QB4077 upgrade, over both cipher suites: as on the driver road.
TEST(RealToolLong, UpgradeEqualsTheDriverRoad)
{
    if (!realtool::long_tests())
        GTEST_SKIP() << "a whole upgrade takes real seconds: scripts/lan-loopback.sh runs it (QB40_LAN_LONG=1)";
    const std::string machine = realtool::upgrade_machine();
    const std::vector<std::string> args{"-u", "-f", "fw_4077.bin", "--report", "report.json"};
    auto real_args = args;
    real_args.insert(real_args.end(), {"--lan-timeout", realtool::kPatient});
    qbtest::SimDir dir;
    dir.machine(realtool::over_driver(machine));
    for (const auto& [name, bytes] : realtool::upgrade_image())
        dir.write(name, bytes);
    const qbtest::RunResult sim = dir.run(args);
    ASSERT_EQ(sim.status, 0) << sim.console;
    for (int suite : {17, 3}) {
        SCOPED_TRACE(testing::Message() << "cipher suite " << suite);
        const auto real = realtool::run_real(realtool::over_lan(machine), suite, real_args, std::nullopt,
                                             realtool::upgrade_image());
        EXPECT_EQ(real.status, sim.status);
        EXPECT_EQ(realtool::without_road(real.console), realtool::without_road(sim.console));
        EXPECT_EQ(realtool::without_road(real.log), realtool::without_road(dir.log()));
        EXPECT_EQ(realtool::master_write_reads(real.trace), realtool::master_write_reads(sim.trace));
        EXPECT_GT(realtool::master_write_reads(real.trace).size(), 8000u) << "every image byte written and verified";
        EXPECT_EQ(realtool::report_body(real.report), realtool::report_body(dir.read("report.json")));
        qbtest::keep_report(real.report);
        EXPECT_EQ(realtool::events_containing(real.trace, " lan open session ").size(), 1u);
        EXPECT_NE(real.trace.find("stops with 0 sessions open"), std::string::npos);
        realtool::expect_no_secret(real);
    }
}

// Losses during an upgrade: the answer of a flash write or of a verify lost
// (the BMC has carried the command out; the controller refuses it a second
// time), and 5% at random. Each upgrade ends as the loss-free one, or fails
// clearly: the report says so, and the controller was never told to take
// the new image.
TEST(RealToolLong, UpgradeWithLossEndsAsTheLossFreeRunOrFailsClearly)
{
    if (!realtool::long_tests())
        GTEST_SKIP() << "whole upgrades take real seconds: scripts/lan-loopback.sh runs them (QB40_LAN_LONG=1)";
    const std::string lan = realtool::over_lan(realtool::upgrade_machine());
    const std::vector<std::string> args{"-u", "-f", "fw_4077.bin", "--report", "report.json", "--lan-timeout", "100"};
    const auto free = realtool::run_real(lan, 17, {"-u", "-f", "fw_4077.bin", "--report", "report.json", "--lan-timeout",
                                                   realtool::kPatient},
                                         std::vector<std::string>{}, realtool::upgrade_image());
    ASSERT_EQ(free.status, 0) << free.console;
    const auto requests = realtool::session_requests(free.trace);
    const unsigned first_write = realtool::session_request_number(requests, "18 52 01 C0 00 55 AA E0");
    const unsigned first_verify = realtool::session_request_number(requests, "18 52 01 C0 00 55 AA E1");
    std::vector<std::pair<std::string, std::vector<std::string>>> cases{
        {"answer of a flash write", {"--drop", "bmc:session:" + std::to_string(first_write + 100)}},
        {"flash write itself", {"--drop", "client:session:" + std::to_string(first_write + 100)}},
        {"answer of a flash verify", {"--drop", "bmc:session:" + std::to_string(first_verify + 100)}},
    };
    for (int seed = 1; seed <= 3; ++seed)
        cases.push_back({"5% lost, seed " + std::to_string(seed), {"--loss", "5", "--seed", std::to_string(seed)}});
    for (const auto& [name, relay] : cases) {
        SCOPED_TRACE(name);
        const auto lossy = realtool::run_real(lan, 17, args, relay, realtool::upgrade_image());
        EXPECT_FALSE(realtool::events_containing(lossy.relay_log, " dropped ").empty());
        ASSERT_FALSE(lossy.report.empty()) << lossy.console;
        qbtest::keep_report(lossy.report);
        if (!realtool::expect_same_or_clear_failure(lossy, free))
            continue;
        for (const auto& controller : nlohmann::json::parse(lossy.report)["bmcs"][0]["controllers"]) {
            EXPECT_EQ(controller["upgrade"], "failed") << controller.dump();
            EXPECT_FALSE(controller["error"].is_null());
        }
        EXPECT_EQ(lossy.trace.find(" lan request: 18 52 01 C0 00 55 AA F0"), std::string::npos)
            << "a failed upgrade told the controller to take the new image";
        realtool::expect_no_secret(lossy);
    }
}
