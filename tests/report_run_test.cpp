// Report runs as a whole: a plain run on the default machine, and the total
// device summary after several BMCs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report_helpers.h"
#include "sim_run.h"

using qbtest::lines;
using qbtest::lines_after;
using qbtest::machine_file;
using qbtest::missing_in_order;
using qbtest::SimDir;

TEST(ReportRun, APlainRunShowsTheBackplanesOfTheDefaultMachine)
{
    // Through the driver, and through the KCS ports when there is no driver.
    std::string machine = machine_file("default.json");
    std::string without_driver = "{\"driver\": \"absent\", " + machine.substr(machine.find('{') + 1);
    struct Case {
        const char* road;
        std::string machine;
        std::vector<std::string> args;
    };
    const Case cases[] = {{"driver", machine, {}}, {"KCS ports", without_driver, {"-dio"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.road);
        SimDir dir;
        dir.machine(c.machine);
        auto r = dir.run(c.args);
        ASSERT_EQ(r.status, 0);
        auto console = lines(r.console);
        std::string mode = c.args.empty() ? "No commandline, Entering Non-upgrade Mode..." : "Total BMC found: 1";
        EXPECT_EQ(missing_in_order(console, {mode, "Entered ScanForQBdevices()",
                                             "Found QB4077 at I2C address 0xc0 on Bus 0x01",
                                             "Found QB4073S at I2C address 0xc0 on Bus 0x02",
                                             "Found QB4080 at I2C address 0xc0 on Bus 0x03", "DEVICE SUMMARY",
                                             "QB4077 Device:", "QB4073 Device:", "QB4080 Device:"}),
                  "");
        EXPECT_EQ(r.console.find("ERROR"), std::string::npos);
        EXPECT_EQ(r.errors, "");
        EXPECT_NE(dir.log().find("Exited with return code: 0x00"), std::string::npos);
    }
}

TEST(ReportRun, TheTotalSummaryListsTheControllersOfEveryBmc)
{
    struct Case {
        const char* machine;
        std::vector<std::string> total;
    };
    const Case cases[] = {
        {"two_bmcs.json",
         {"QB4077 Device:", "0: BusID:0x01 ChipID:77 FW:[0x01:0x00] ADR:0xc0 Config:0x05", "QB4073 Device:",
          "1: BusID:0x02 ChipID:73 FW:[0x05:0x02] ADR:0xc0 Config:0x01", "QB4080 Device:",
          "2: BusID:0x01 ChipID:80 FW:[0x00:0x04] ADR:0xc0 Config:0x03"}},
        {"four_bmcs.json",
         {"QB4073 Device:", "0: BusID:0x01 ChipID:73 FW:[0x00:0x00] ADR:0xc0 Config:0x00", "QB4076 Device:",
          "1: BusID:0x02 ChipID:76 FW:[0x01:0x00] ADR:0xc0 Config:0x00", "QB4077 Device:",
          "2: BusID:0x03 ChipID:77 FW:[0x02:0x00] ADR:0xc0 Config:0x00", "QB4080 Device:",
          "3: BusID:0x04 ChipID:80 FW:[0x03:0x00] ADR:0xc0 Config:0x00"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        SimDir dir;
        dir.machine(machine_file(c.machine));
        auto r = dir.run({});
        ASSERT_EQ(r.status, 0);
        auto console = lines(r.console);
        // Everything after the heading: the records and nothing more.
        auto after = lines_after(console, "TOTAL DEVICE SUMMARY", console.size());
        EXPECT_EQ(after, c.total);
        EXPECT_EQ(lines_after(lines(dir.log()), "TOTAL DEVICE SUMMARY", c.total.size()), c.total);
    }
}
