// SPDX-License-Identifier: MIT
// --plan: what the upgrade would do to each controller, and not a single
// flash command. Every plan is checked against the upgrade run it stands
// for: up to where that upgrade begins its first controller, the plan sends
// exactly what the upgrade sends; after it, nothing.
#include <gtest/gtest.h>

#include <array>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "firmware_images.h"
#include "sha256_hex.h"
#include "sim_run.h"

using nlohmann::json;
using namespace qbtest;
using Args = std::vector<std::string>;

namespace {

struct PlannedController {
    int bmc;
    int bus;
    int address;
    int chip_id;
    std::array<int, 3> firmware;
};

// A machine of QB40xx controllers only, on `bmcs` BMCs behind the driver.
std::string plan_machine(const std::vector<PlannedController>& controllers, int bmcs = 1)
{
    json m = {{"clock", {{"start", 1700000000}}}, {"keys", json::array()}, {"bmcs", json::array()}};
    for (int b = 0; b < bmcs; ++b)
        m["bmcs"].push_back({{"node", "/dev/ipmi" + std::to_string(b)}, {"buses", json::object()}});
    for (const PlannedController& c : controllers) {
        char bus[8], address[8];
        std::snprintf(bus, sizeof bus, "0x%02X", c.bus);
        std::snprintf(address, sizeof address, "0x%02X", c.address);
        m["bmcs"][c.bmc]["buses"][bus]["devices"].push_back(
            {{"type", "qb40xx"}, {"address", address}, {"chip_id", c.chip_id}, {"firmware", c.firmware}});
    }
    return m.dump();
}

constexpr std::array<int, 3> kPlanOld = {1, 0, 0};
constexpr std::array<int, 3> kPlanNew = {1, 2, 0};  // the image's version

// Seventeen QB4077 behind one BMC (probed with -i): the first sixteen fill
// the device table and run the image already; the last one does not.
std::string plan_seventeen_controllers()
{
    std::vector<PlannedController> all;
    for (int n = 0; n < 17; ++n)
        all.push_back({0, 1 + n / 4, 0xC0 + 2 * (n % 4), 77, n < 16 ? kPlanNew : kPlanOld});
    return plan_machine(all);
}

std::vector<std::string> plan_seventeen_lines()
{
    std::vector<std::string> out;
    char line[96];
    for (int n = 0; n < 17; ++n) {
        std::snprintf(line, sizeof line, "Plan: BMC 0 BusID:0x%02x ADR:0x%02x QB4077: %s", 1 + n / 4, 0xC0 + 2 * (n % 4),
                      n < 16 ? "already on 1.2.0" : "beyond the device table: the upgrade would not reach it");
        out.push_back(line);
    }
    out.push_back("Plan: 0 of 17 controllers would be upgraded; nothing was written [RETURN CODE:0x00]");
    return out;
}

// The request bytes of every request in a trace ("... request id 7: 18 52 01 C0 00 63").
std::vector<std::vector<int>> plan_requests(const std::string& trace)
{
    std::vector<std::vector<int>> out;
    for (const std::string& e : trace_events(trace)) {
        size_t at = e.find(" request");
        if (at == std::string::npos)
            continue;
        std::vector<int> bytes;
        unsigned byte;
        for (size_t p = e.find(": ", at) + 2; p < e.size() && std::sscanf(e.c_str() + p, "%2x", &byte) == 1; p += 3)
            bytes.push_back(static_cast<int>(byte));
        out.push_back(bytes);
    }
    return out;
}

// What a scan and a summary send: Master Write-Read requests that write at
// most a register number, or the found mark (Locate 0x42, Fail 0x44) set or
// cleared. Any other write would change a controller.
std::string plan_first_write_beyond_a_scan(const std::string& trace)
{
    for (const std::vector<int>& r : plan_requests(trace)) {
        bool master_write_read = r.size() >= 5 && r[0] == 0x18 && r[1] == 0x52;
        size_t written = r.size() - 5;
        bool mark = written == 2 && (r[5] == 0x42 || r[5] == 0x44) && (r[6] == 0xFF || r[6] == 0x00);
        if (!master_write_read || (written > 1 && !mark)) {
            std::string text;
            char hex[4];
            for (int b : r) {
                std::snprintf(hex, sizeof hex, "%02X ", b);
                text += hex;
            }
            return text;
        }
    }
    return "";
}

// The events of a trace up to the first device node closed: the first
// BMC's pass, before the upgrade of its controllers would begin.
std::vector<std::string> plan_first_pass(const std::string& trace)
{
    std::vector<std::string> events = trace_events(trace);
    size_t end = event_index(events, "close ");
    return {events.begin(), end == std::string::npos ? events.end() : events.begin() + static_cast<long>(end)};
}

std::vector<std::string> plan_planned_words(const json& report)
{
    std::vector<std::string> out;
    for (const json& bmc : report["bmcs"])
        for (const json& c : bmc["controllers"])
            out.push_back(c["planned"].is_null() ? "null" : c["planned"].get<std::string>());
    return out;
}

std::string plan_would(int bmc, int bus, const char* model, const char* from)
{
    char line[96];
    std::snprintf(line, sizeof line, "Plan: BMC %d BusID:0x%02x ADR:0xc0 %s: would upgrade from %s to 1.2.0", bmc, bus,
                  model, from);
    return line;
}

std::string plan_told(int bmc, int bus, const char* model, const char* what)
{
    char line[128];
    std::snprintf(line, sizeof line, "Plan: BMC %d BusID:0x%02x ADR:0xc0 %s: %s", bmc, bus, model, what);
    return line;
}

std::string plan_closing(int upgrades, int of, int code)
{
    char line[96];
    std::snprintf(line, sizeof line,
                  "Plan: %d of %d controllers would be upgraded; nothing was written [RETURN CODE:0x%02x]", upgrades, of,
                  code);
    return line;
}

const char* const kPlanAlready = "already on 1.2.0";
const char* const kPlanOtherFamily = "another family: the upgrade would stop here with 5";
const char* const kPlanNotReached = "not reached: the upgrade stops before it";
const char* const kPlanAsksFirst = "Plan: the upgrade would first ask to proceed with the QB4083C image (3 if not confirmed)";

}  // namespace

TEST(Plan, SaysWhatTheUpgradeWouldDoAndSendsNothingTheUpgradeWouldNotSendBeforeIt)
{
    struct Case {
        const char* name;
        std::string machine;
        Args options;  // besides --plan, -f IMAGE and --report r.json
        int status;
        std::vector<std::string> lines;    // the log's "Plan: " lines
        std::vector<std::string> planned;  // the report's controllers, in order
        const char* image = "fw_4077.bin";
    };
    const std::string two_old = machine_file("upgrade_4077.json");
    const Case cases[] = {
        {"two controllers to upgrade", two_old, {"-u"}, 4,
         {plan_would(0, 1, "QB4077", "1.0.0"), plan_would(0, 2, "QB4077", "1.0.0"), plan_closing(2, 2, 4)},
         {"upgrade", "upgrade"}},
        {"one already on the image", machine_file("fleet_healthy.json"), {"-q"}, 4,
         {plan_would(0, 1, "QB4077", "1.0.0"), plan_told(0, 2, "QB4077", kPlanAlready), plan_closing(1, 2, 4)},
         {"upgrade", "same_version"}},
        {"every controller on the image", plan_machine({{0, 1, 0xC0, 77, kPlanNew}, {0, 2, 0xC0, 77, kPlanNew}}), {}, 0,
         {plan_told(0, 1, "QB4077", kPlanAlready), plan_told(0, 2, "QB4077", kPlanAlready), plan_closing(0, 2, 0)},
         {"same_version", "same_version"}},
        {"a controller of another family stops the upgrade there",
         plan_machine({{0, 1, 0xC0, 77, kPlanOld}, {0, 2, 0xC0, 80, kPlanOld}, {0, 3, 0xC0, 77, kPlanOld}}), {"-u"}, 5,
         {plan_would(0, 1, "QB4077", "1.0.0"), plan_told(0, 2, "QB4080", kPlanOtherFamily), plan_told(0, 3, "QB4077", kPlanNotReached),
          plan_closing(1, 3, 5)},
         {"upgrade", "other_family", "not_reached"}},
        {"and the next BMC is never reached", machine_file("two_bmcs.json"), {"-u"}, 5,
         {plan_would(0, 1, "QB4077", "2.1.0"), plan_told(0, 2, "QB4073S", kPlanOtherFamily), plan_told(1, 1, "QB4080", kPlanNotReached),
          plan_closing(1, 3, 5)},
         {"upgrade", "other_family", "not_reached"}},
        {"two BMCs", plan_machine({{0, 1, 0xC0, 77, kPlanNew}, {1, 3, 0xC0, 77, kPlanOld}}, 2), {"-u"}, 4,
         {plan_told(0, 1, "QB4077", kPlanAlready), plan_would(1, 3, "QB4077", "1.0.0"), plan_closing(1, 2, 4)},
         {"same_version", "upgrade"}},
        {"a seventeenth controller beyond the device table", plan_seventeen_controllers(), {"-u", "-i"}, 0,
         plan_seventeen_lines(), [] {
             std::vector<std::string> p(16, "same_version");
             p.push_back("not_recorded");
             return p;
         }()},
        {"no controller behind the BMC", empty_bmcs(1), {"-u"}, 171, {plan_closing(0, 0, 171)}, {}},
        {"a BMC of two without controllers", plan_machine({{0, 1, 0xC0, 77, kPlanOld}}, 2), {"-u"}, 171,
         {plan_would(0, 1, "QB4077", "1.0.0"), plan_closing(1, 1, 171)}, {"upgrade"}},
        {"no BMC at all", machine_file("driver_absent.json"), {"-q"}, 171, {plan_closing(0, 0, 171)}, {}},
        {"fewer controllers than expected", two_old, {"-u", "--expect", "3"}, 171,
         {plan_would(0, 1, "QB4077", "1.0.0"), plan_would(0, 2, "QB4077", "1.0.0"), plan_closing(2, 2, 171)},
         {"upgrade", "upgrade"}},
        {"--strict changes nothing", two_old, {"-u", "--strict"}, 4,
         {plan_would(0, 1, "QB4077", "1.0.0"), plan_would(0, 2, "QB4077", "1.0.0"), plan_closing(2, 2, 4)},
         {"upgrade", "upgrade"}},
        {"a QB4083C image is asked for first", two_old, {}, 4,
         {kPlanAsksFirst, plan_would(0, 1, "QB4077", "1.0.0"), plan_would(0, 2, "QB4077", "1.0.0"), plan_closing(2, 2, 4)},
         {"upgrade", "upgrade"}, "fw_4083.bin"},
        {"but not with -u", two_old, {"-u"}, 4,
         {plan_would(0, 1, "QB4077", "1.0.0"), plan_would(0, 2, "QB4077", "1.0.0"), plan_closing(2, 2, 4)},
         {"upgrade", "upgrade"}, "fw_4083.bin"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(with_keys(c.machine, {}));
        dir.write(c.image, make_image(600, {1, 2, 0}));
        Args upgrade = c.options;
        upgrade.insert(upgrade.end(), {"-f", c.image});
        Args plan = upgrade;
        plan.insert(plan.end(), {"--plan", "--report", "r.json"});

        const RunResult r = dir.run(plan);
        EXPECT_EQ(r.status, c.status);
        const std::vector<std::string> log = lines(dir.log());
        EXPECT_EQ(lines_starting(log, "Plan: "), c.lines);
        char exited[48];
        std::snprintf(exited, sizeof exited, "Exited with return code: 0x%02x", c.status);
        EXPECT_EQ(log.back(), exited);

        EXPECT_EQ(plan_first_write_beyond_a_scan(r.trace), "");
        for (const std::string& e : trace_events(r.trace))
            EXPECT_EQ(e.find(" flash "), std::string::npos) << e;

        const json report = json::parse(dir.read("r.json"));
        EXPECT_EQ(report["plan"], true);
        EXPECT_EQ(report["exit_code"], c.status);
        EXPECT_EQ(plan_planned_words(report), c.planned);

        // The same command line without --plan: its first pass begins with
        // everything the plan sent there.
        const RunResult u = dir.run(upgrade);
        const std::vector<std::string> plan_pass = plan_first_pass(r.trace), upgrade_events = trace_events(u.trace);
        ASSERT_LE(plan_pass.size(), upgrade_events.size());
        EXPECT_EQ(plan_pass, std::vector<std::string>(upgrade_events.begin(),
                                                      upgrade_events.begin() + static_cast<long>(plan_pass.size())));
    }
}

TEST(Plan, RefusesWhatMakesNoSenseInAPlanAndABadImageAsTheUpgradeWould)
{
    const std::string image = make_image(600, {1, 2, 0});
    const std::string wrong_digest = sha256_hex("another image");
    struct Case {
        const char* name;
        Args args;
        int status;
        const char* line;  // the one ERROR line, from its beginning
        bool in_log;       // through the log (an option conflict, the image), or the console alone
    };
    const Case cases[] = {
        {"no image", {"--plan", "-u"}, 5, "ERROR: --plan needs an image file (-f FILE) [RETURN CODE:0x05]", true},
        {"continuous mode", {"--plan", "-c2", "-f", "fw_4077.bin"}, 5, "ERROR: -c not allowed with --plan [RETURN CODE:0x05]",
         true},
        {"diagnostics", {"-d", "-f", "fw_4077.bin", "--plan"}, 5, "ERROR: -d not allowed with --plan [RETURN CODE:0x05]",
         true},
        {"LED cycling", {"--plan", "-z", "-f", "fw_4077.bin"}, 5, "ERROR: -z not allowed with --plan [RETURN CODE:0x05]",
         true},
        {"quiet continuous mode is refused as ever", {"--plan", "-q", "-c", "-f", "fw_4077.bin"}, 5,
         "ERROR: Continous mode not allowed in quiet mode [RETURN CODE:0x05]", true},
        {"a word that merely holds it", {"--plans", "-f", "fw_4077.bin"}, 5,
         "ERROR: Unknown option \"--plans\" ", false},
        {"an image name without a family", {"--plan", "-f", "fw.bin"}, 5,
         "ERROR: Invalid filename specified after -f [RETURN CODE:0x05]", false},
        {"an image that is not there", {"--plan", "-f", "fw_4080.bin"}, 1,
         "ERROR: Can't open file fw_4080.bin [RETURN CODE:0x01]", true},
        {"an image with another digest", {"--plan", "-f", "fw_4077.bin", "--image-sha256", wrong_digest}, 1,
         "ERROR: Image file fw_4077.bin has SHA-256 ", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(machine_file("upgrade_4077.json"));
        dir.write("fw_4077.bin", image);
        const RunResult r = dir.run(c.args);
        EXPECT_EQ(r.status, c.status);
        const std::vector<std::string> errors = lines_starting(lines(c.in_log ? dir.log() : r.console), "ERROR:");
        ASSERT_EQ(errors.size(), 1u) << r.console << dir.log();
        EXPECT_TRUE(errors[0].starts_with(c.line)) << errors[0];
        EXPECT_EQ(plan_requests(r.trace), std::vector<std::vector<int>>{});
    }
}
