// SPDX-License-Identifier: MIT
// --expect N: a run that finds fewer than N controllers over all its BMCs
// (per BMC the fewest of any cycle's scan) ends with 171 and an "ERROR:" line
// naming the count and N; under --strict an earlier failure still stands.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "firmware_images.h"
#include "sim_run.h"

using namespace qbtest;

namespace {

// upgrade_4077.json with its controller on bus 1 still erasing for `ms` at
// power-on, as a run killed in its erase wait and started again at once finds it.
std::string still_erasing(int ms)
{
    nlohmann::json m = nlohmann::json::parse(machine_file("upgrade_4077.json"));
    m["bmcs"][0]["buses"]["0x01"]["devices"][0]["erasing_at_start_ms"] = ms;
    return m.dump();
}

}  // namespace

TEST(Expect, FewerControllersThanExpectedEndTheRunWith171)
{
    struct Case {
        const char* name;
        std::string machine;
        std::vector<std::string> args;
        int status;
        int found;  // the count the ERROR line names; -1: no such line
        const char* expected = "";
    };
    const std::string two = machine_file("upgrade_4077.json"), lost = machine_file("upgrade_reset_lost.json");
    const std::vector<std::string> upgrade = {"-u", "-f", "fw_4077.bin"};
    auto with = [](std::vector<std::string> args, std::initializer_list<std::string> more) {
        args.insert(args.end(), more);
        return args;
    };
    const Case cases[] = {
        {"a report that finds them all", two, {"--expect", "2"}, 0, -1},
        {"a report one short", two, {"--expect", "3"}, 171, 2, "3"},
        {"an upgrade of them all", two, with(upgrade, {"--expect", "2"}), 0, -1},
        {"an upgrade one short", two, with(upgrade, {"--expect", "3"}), 171, 2, "3"},
        {"two BMCs count together", machine_file("two_bmcs.json"), {"--expect", "3"}, 0, -1},
        {"two BMCs one short", machine_file("two_bmcs.json"), {"-b12", "--expect", "4"}, 171, 3, "4"},
        {"no BMC at all", machine_file("driver_absent.json"), {"-q", "--expect", "1"}, 171, 0, "1"},
        {"the shortfall is the last code", lost, with(upgrade, {"--expect", "3"}), 171, 2, "3"},
        {"under --strict the failed upgrade stands", lost, with(upgrade, {"--strict", "--expect", "3"}), 4, 2, "3"},
        // Killed in the erase wait and run again at once: the erasing controller is not found.
        {"still erasing, nothing expected", still_erasing(20000), upgrade, 0, -1},
        {"still erasing, under --strict", still_erasing(20000), with(upgrade, {"--strict"}), 0, -1},
        {"still erasing, two expected", still_erasing(20000), with(upgrade, {"--expect", "2"}), 171, 1, "2"},
        {"still erasing, --strict and two expected", still_erasing(20000), with(upgrade, {"--strict", "--expect", "2"}),
         171, 1, "2"},
        // The fewest any cycle found: the first cycle's scan met the controller still erasing.
        {"a report whose first cycle found one", still_erasing(500), {"-c2", "--expect", "2"}, 171, 1, "2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.write("fw_4077.bin", make_image(4096, {1, 2, 0}));
        dir.machine(c.machine);
        const RunResult r = dir.run(c.args);
        EXPECT_EQ(r.status, c.status);
        const std::string line = "ERROR: Controllers found: " + std::to_string(c.found) + ", expected: " + c.expected +
                                 " [RETURN CODE:0xab]";
        const std::vector<std::string> log = lines(dir.log());
        EXPECT_EQ(count_lines(log, line), c.found < 0 ? 0u : 1u) << dir.log().substr(dir.log().size() - 300);
        EXPECT_EQ(lines_starting(dir.log(), "ERROR: Controllers found: "), c.found < 0 ? 0u : 1u);
        char closing[48];
        std::snprintf(closing, sizeof closing, "Exited with return code: 0x%02x", c.status);
        EXPECT_EQ(log.back(), closing);
    }
}
