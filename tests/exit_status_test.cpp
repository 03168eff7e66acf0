// The exit status of every way a run can end, with the log it leaves: how
// many passes began, how many upgrade cycles ran, and how the log ends.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "firmware_images.h"
#include "sim_run.h"

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

}  // namespace

TEST(ExitStatus, EveryWayARunEnds)
{
    struct Case {
        const char* name;
        std::string machine;
        std::vector<std::string> args;
        int status;
        size_t passes;     // "BmcOpen Success" lines
        size_t cycles;     // "[Continous Upgrade Mode" headers
        bool closing;      // ends with "Finished: ..." and the exit line
        std::string tail;  // what the log ends with, if that matters; "-": no log at all
    };
    const std::string syntax = "ERROR: Invalid Syntax \"-x\" [RETURN CODE:0x05]";
    const Case cases[] = {
        {"help", "", {"-u", "-h"}, 0, 0, 0, false, "Use -h for the list of options\nCommand-Line help only\n"},
        {"parse error", "", {"-x"}, 5, 0, 0, false, "-"},
        {"conflict", "", {"-ms"}, 5, 0, 0, false, "\"-ma[NUM]\" [RETURN CODE:0x05]\n\n"},
        {"mux switching with an address", qbtest::empty_bmcs(1), {"-ms", "-mae6"}, 0, 1, 0, true, ""},
        {"no arguments, two BMCs", qbtest::empty_bmcs(2), {}, 0, 2, 0, true, ""},
        {"no BMC found", R"({"driver": "absent", "bmcs": []})", {"-q"}, 0, 0, 0, true, ""},
        {"second BMC fails to open", qbtest::machine_file("first_bmc_lost.json"), {"-u"}, 172, 1, 0, false,
         "  modprobe ipmi_msghandler\n\nBmcOpen Failed\n[RETURN CODE:0xac]\n\n"},
        {"image missing", qbtest::empty_bmcs(2), {"-f", "absent_4077.bin"}, 1, 1, 0, false, "Kcs Close\n"},
        // An empty cycle ends its pass; the next pass counts on from there.
        {"no device to upgrade", qbtest::empty_bmcs(2), {"-f", "fw_4077.bin", "-c3"}, 171, 2, 2, true, ""},
        {"three good upgrades", one_controller(), {"-f", "fw_4077.bin", "-u", "-c3"}, 0, 1, 3, true, ""},
        {"a compare error ends the cycles", one_controller(R"({"compare_error_at": "0x0010"})"),
         {"-f", "fw_4077.bin", "-u", "-c5"}, 4, 1, 1, true, ""},
        {"QB4083C confirmation not given", one_controller(), {"-f", "fw_4083.bin"}, 3, 1, 0, true, ""},
        {"image for another chip", one_controller(), {"-f", "fw_4080.bin", "-u"}, 5, 1, 0, false, ""},
        {"diagnostics aborted", one_controller(), {"-d"}, 6, 1, 0, false, ""},
        {"diagnostics aborted after a good upgrade", one_controller(), {"-f", "fw_4077.bin", "-u", "-d"}, 6, 1, 0,
         true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qbtest::SimDir dir;
        dir.machine(c.machine);
        for (const char* name : {"fw_4077.bin", "fw_4083.bin", "fw_4080.bin"})
            dir.write(name, qbtest::make_image(600, {2, 1, 0}));
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, c.status) << r.console.substr(r.console.size() > 3000 ? r.console.size() - 3000 : 0);
        EXPECT_EQ(dir.exists("log.txt"), c.tail != "-");
        std::string log = dir.logprev() + dir.log();
        EXPECT_EQ(qbtest::lines_starting(log, "BmcOpen Success"), c.passes);
        EXPECT_EQ(qbtest::lines_starting(log, "[Continous Upgrade Mode, Count "), c.cycles);
        // The closing lines: "Finished: " with a ctime() text of 24 characters, then the code.
        char closing[64];
        std::snprintf(closing, sizeof closing, "\n\nExited with return code: 0x%02x\n", c.status);
        const size_t closing_size = 11 + 24 + std::strlen(closing);
        EXPECT_EQ(qbtest::lines_starting(log, "Exited with return code"), c.closing ? 1u : 0u);
        if (c.closing && log.size() >= closing_size) {
            EXPECT_TRUE(log.ends_with(closing)) << log;
            EXPECT_TRUE(log.substr(log.size() - closing_size).starts_with("\nFinished: ")) << log;
        }
        if (!c.tail.empty() && c.tail != "-") {
            EXPECT_TRUE(dir.log().ends_with(c.tail)) << dir.log();
        }
    }
}
