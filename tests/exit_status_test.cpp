// How a run that finds a controller ends: the exit status and the log of
// every outcome of the upgrade and diagnostics paths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware_images.h"
#include "sim_run.h"

using qbtest::SimDir;

namespace {

// One BMC with one QB4077 running firmware 1.0.0; the operator types
// nothing (end of input at every question).
std::string one_controller(const std::string& faults = "{}")
{
    return R"({"keys": [], "bmcs": [{"node": "/dev/ipmi0", "buses": {"0x01": {"devices": [
               {"type": "qb40xx", "address": "0xC0", "chip_id": "M", "firmware": [1, 0, 0],
                "erase_ms": 0, "reset_ms": 0, "faults": )" +
           faults + "}]}}}]}";
}

size_t count_of(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

}  // namespace

TEST(ExitStatus, EveryOutcomeOfARunWithAController)
{
    struct Case {
        const char* name;
        std::string machine;
        std::vector<std::string> args;
        int status;
        bool closing_lines;
        int cycles;
    };
    const Case cases[] = {
        {"report, diagnostics answered by end of input", one_controller(), {"-d"}, 6, false, 1},
        {"three good upgrades", one_controller(), {"-f", "fw_4077.bin", "-u", "-c3"}, 0, true, 3},
        {"a compare error ends the cycles", one_controller(R"({"compare_error_at": "0x0010"})"),
         {"-f", "fw_4077.bin", "-u", "-c5"}, 4, true, 1},
        {"QB4083C confirmation not given", one_controller(), {"-f", "fw_4083.bin"}, 3, true, 1},
        {"diagnostics aborted after a good upgrade", one_controller(), {"-f", "fw_4077.bin", "-u", "-d"}, 6, true, 1},
        {"image for another chip", one_controller(), {"-f", "fw_4080.bin", "-u"}, 5, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(c.machine);
        qbtest::ImageVersion v{2, 1, 0};
        for (const char* name : {"fw_4077.bin", "fw_4083.bin", "fw_4080.bin"})
            dir.write(name, qbtest::make_image(600, v));
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, c.status) << r.console.substr(r.console.size() > 3000 ? r.console.size() - 3000 : 0);
        std::string log = dir.logprev() + dir.log();
        char closing[64];
        std::snprintf(closing, sizeof closing, "Exited with return code: 0x%02x\n", c.status);
        if (c.closing_lines)
            EXPECT_TRUE(dir.log().ends_with(closing)) << dir.log();
        else
            EXPECT_EQ(count_of(log, "Exited with return code"), 0u);
        EXPECT_EQ(count_of(log, "ERROR: The image is not for this QB40xx-version"), 0u)
            << "that message goes to the console only";
        if (c.args.size() > 3 && c.args[3].starts_with("-c")) {
            std::string max = c.args[3].substr(2);
            for (int n = 1; n <= c.cycles + 1; ++n)
                EXPECT_EQ(count_of(log, "[Continous Upgrade Mode, Count " + std::to_string(n) + " of " + max + "]"),
                          n <= c.cycles ? 1u : 0u);
        }
    }
}

TEST(ExitStatus, ContinuousUpgradeKeepsTheFirstCycleInLogprev)
{
    SimDir dir;
    dir.machine(one_controller());
    dir.write("fw_4077.bin", qbtest::make_image(600, {2, 1, 0}));
    auto r = dir.run({"-f", "fw_4077.bin", "-u", "-c3"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(count_of(dir.logprev(), "Raw command line"), 1u);
    EXPECT_EQ(count_of(dir.logprev(), "Count 1 of 3"), 1u);
    EXPECT_EQ(count_of(dir.logprev(), "Upgrade Sucessful [RETURN CODE:0x00]"), 1u);
    EXPECT_EQ(count_of(dir.log(), "Raw command line"), 0u);
    EXPECT_EQ(count_of(dir.log(), "Upgrade Sucessful [RETURN CODE:0x00]"), 2u);
    EXPECT_TRUE(dir.log().starts_with("\n[Continous Upgrade Mode, Count 2 of 3]\n"));
}
