// SPDX-License-Identifier: MIT
// The planted runs of the invariants of how a run ends, by itself or by a
// signal (campaign/invariants/endings.cpp), and every exit path's ending
// planted with each exit status.
#include <csignal>
#include <gtest/gtest.h>

#include "planted_runs.h"

namespace campaign::planted {

namespace {

// A run stopped by SIGTERM once the first controller's version was read
// back, and its report, which shows that controller as `seen`.
void stopped_after_read_back(Scenario& s, RunOutput& o, const char* seen)
{
    o.log = "BmcOpen Success\nEntered ScanForQBdevices()\nFound QB4077 at I2C address 0xc0 on Bus 0x01\n"
            "FWID0 Reg 0x60:0x01 \nFWID1 Reg 0x61:0x00 \nFWID2 Reg 0x62:0x00 \n"
            "Updating firmware on bus 0x01 at I2C address 0xC0\n"
            "Chip: FW:0x21 Major-REV:0x22 Minor-Rev:0x23\n" +
            *o.log;
    report(s, o, "report.json",
           std::string(R"({"complete": true, "exit_code": null, "signal": "SIGTERM", "bmcs": [{"controllers": [)"
                       R"({"bus": "0x01", "address": "0xC0", "firmware_last_seen": )") +
               seen + "}]}]}");
}

}  // namespace

const Plant kEndingsPlants[] = {
    {"a -- word no option has, taken as keys",
     [](Scenario& s, RunOutput&) { s.args.push_back("--reprot=r.json"); }, "spelling"},
    {"a -- word refused only after requests",
     [](Scenario& s, RunOutput& o) {
         s.args.push_back("--image-sha");
         o.status = 5;
         o.log.reset();
         o.logprev.reset();
         o.console = "ERROR: Unknown option \"--image-sha\" [RETURN CODE:0x05]\r\n";
         o.trace = "0.01 bmc0 driver request id 1: 18 52 01 C0 00 63\n";
     },
     "spelling"},
    {"a crash", [](Scenario&, RunOutput& o) { o.signal = 11; }, "run"},
    {"a sanitizer report",
     [](Scenario&, RunOutput& o) { o.errors = "==1==ERROR: AddressSanitizer: heap-buffer-overflow\n"; }, "run"},
    {"a run past the bound", [](Scenario&, RunOutput& o) { o.timed_out = true; }, "run"},
    {"an exit status nobody defines", [](Scenario&, RunOutput& o) { o.status = 9; }, "exit-status"},
    {"a closing line with another code", [](Scenario&, RunOutput& o) { o.status = 3; }, "log-ending"},
    {"code 4 without the closing lines",
     [](Scenario&, RunOutput& o) { replace(*o.log, "Exited with return code: 0x04\n", ""); }, "log-ending"},
    {"code 4 although every part was upgraded",
     [](Scenario& s, RunOutput& o) {
         second_matches(s, o);
         replace(*o.log, "1 of 2", "2 of 2");
     },
     "log-ending"},
    {"the terminal left raw", [](Scenario&, RunOutput& o) { replace(o.trace, "0.7 terminal cooked\n", ""); },
     "terminal"},
    {"a SIGTERM the run never acted on",
     [](Scenario&, RunOutput& o) { replace(o.trace, "0.6 flash", "0.55 signal SIGTERM\n0.6 flash"); }, "signal"},
    {"a stop without its lines in the log",
     after_sigterm([](Scenario&, RunOutput& o) { replace(*o.log, "\nRun stopped by SIGTERM\n", "\n"); }), "signal"},
    {"the terminal left raw by the stop",
     after_sigterm([](Scenario&, RunOutput& o) { replace(o.trace, "0.7 terminal cooked\n", ""); }), "signal"},
    {"a controller begun after the signal",
     after_sigterm([](Scenario&, RunOutput& o) {
         replace(*o.log, "Firmware Upgrade Aborted", "Upgrading ChipID:77 at Sector: 0x4000\nFirmware Upgrade Aborted");
     }),
     "signal"},
    {"a stopped run's report with an exit code",
     after_sigterm([](Scenario& s, RunOutput& o) {
         report(s, o, "report.json", R"({"complete": true, "exit_code": 143, "signal": "SIGTERM"})");
     }),
     "signal"},
    {"a stopped run's report that shows a controller as the scan before its read-back saw it",
     after_sigterm([](Scenario& s, RunOutput& o) { stopped_after_read_back(s, o, "[1, 0, 0]"); }), "signal"},
    {"the controller left in its session after the signal",
     after_sigterm([](Scenario&, RunOutput& o) {
         replace(o.trace, "0.6 flash bmc0 bus 0x02 0xC0 reset, old image kept, running FW 01 00 00\n", "");
     }),
     "session"},

    // What the checks must let pass.
    {"the good run", [](Scenario&, RunOutput&) {}, ""},
    {"a run stopped by SIGTERM", stopped_by_sigterm, ""},
    {"a stopped run's report names the signal",
     after_sigterm([](Scenario& s, RunOutput& o) {
         report(s, o, "report.json", R"({"complete": true, "exit_code": null, "signal": "SIGTERM"})");
     }),
     ""},
    {"a flash that fails on its own after the signal sends no reset",
     after_sigterm([](Scenario&, RunOutput& o) {
         replace(o.trace, "0.6 flash bmc0 bus 0x02 0xC0 reset, old image kept, running FW 01 00 00\n", "");
         replace(*o.log, "Firmware Upgrade Aborted. Issuing Reset...\n",
                 "Updating firmware on bus 0x02 at I2C address 0xC0\nError writing data on SMBus\n");
     }),
     ""},
    {"an ignored SIGPIPE changes nothing",
     [](Scenario&, RunOutput& o) { o.trace = "0.05 signal SIGPIPE\n0.05 signal SIGPIPE ignored\n" + o.trace; }, ""},
    {"a stopped run's report with the version read back last",
     after_sigterm([](Scenario& s, RunOutput& o) { stopped_after_read_back(s, o, "[33, 34, 35]"); }), ""},
    {"under --strict an earlier pass's failure stands over a BMC that fails to open",
     [](Scenario& s, RunOutput& o) {
         s.args.insert(s.args.begin(), "--strict");
         replace(*o.log, "\nFinished: Tue Nov 14 22:13:43 2023\n\nExited with return code: 0x04\n",
                 "BmcOpen Failed\n[RETURN CODE:0xac]\n\n");
     },
     ""},
    {"the family mismatch ends the run in raw mode",
     [](Scenario&, RunOutput& o) {
         o.status = 5;
         o.log =
             "Image verified OK. Replacing old image with new...\n"
             "Chip ID Mismatch. ChipCounter:1 ChipIDshouldbe:77 ChipInfo[0].ChipID:77\n";
         o.console = "\r delay...: 1 \rERROR: The image is not for this QB40xx-version [RETURN CODE:0x05]\r\n";
         replace(o.trace, "0.7 terminal cooked\n", "");
     },
     ""},
};

std::span<const Plant> endings_plants() { return kEndingsPlants; }

// Every exit path's ending passes with its own status and with no other.
TEST(Invariants, EachExitPathEndsTheLogItsOwnWay)
{
    const std::string closing = "\nFinished: Tue Nov 14 22:13:43 2023\n\nExited with return code: 0x";
    struct Ending {
        int status;
        std::optional<std::string> log;
        std::string console;
    };
    const Ending endings[] = {
        {0, "Started\n" + closing + "00\n", ""},
        {0, "Use -h for the list of options\nCommand-Line help only\n", ""},
        {1, "ERROR: Can't open file fw_4077.bin [RETURN CODE:0x01]\nKcs Close\n", ""},
        {1, "\nERROR: Invalid file size for QB4073 in file fw_4073.bin [RETURN CODE:0x01]\nKcs Close\n", ""},
        {1, "ERROR: Can't read file fw_4077.bin: Is a directory [RETURN CODE:0x01]\nKcs Close\n", ""},
        {1, "\nERROR: Image file fw_4077.bin has SHA-256 " + std::string(64, 'a') + ", expected " + std::string(64, 'b') +
                " [RETURN CODE:0x01]\nKcs Close\n",
         ""},
        {3, "Upgrade Aborted\n" + closing + "03\n", ""},
        {4, "Sucessfully Upgraded 0 of 1 parts\n" + closing + "04\n", ""},
        {5, std::nullopt, "ERROR: Invalid Syntax \"-x\" [RETURN CODE:0x05]\r\n"},
        {5, std::nullopt, ""},
        {5, "ERROR: Diagnostics mode not allowed in quiet mode [RETURN CODE:0x05]\n\n", ""},
        {5, "ERROR: Refusing to write report file out: it is a directory [RETURN CODE:0x05]\n", ""},
        {5, "ERROR: Unable to write report file r.json: Read-only file system\n"
            "ERROR: No run without its report: nothing was sent [RETURN CODE:0x05]\n",
         ""},
        {7, "ERROR: Not every file of the run was written [RETURN CODE:0x07]\n" + closing + "07\n", ""},
        {7, "Command-Line help only\nERROR: Unable to write metrics file m.prom: Input/output error\n"
            "ERROR: Not every file of the run was written [RETURN CODE:0x07]\n",
         ""},
        {6, "    [ESC] Key pressed. Diagnostics aborted.\n\n", ""},
        {6, "    [ESC] Key pressed. Diagnostics aborted.\n" + closing + "06\n", ""},
        {171, "No Devices Found [RETURN CODE:0x02]\n\n" + closing + "ab\n", ""},
        {172, "BmcOpen Failed\n[RETURN CODE:0xac]\n\n", ""},
    };
    for (const Ending& e : endings) {
        for (int status : {0, 1, 3, 4, 5, 6, 7, 171, 172}) {
            Scenario s;
            RunOutput o;
            o.status = status;
            o.log = e.log;
            o.console = e.console;
            std::vector<Violation> found = check(s, o);
            bool broken = found.size() == 1 && found[0].invariant == "log-ending";
            EXPECT_EQ(broken, status != e.status)
                << "ending of status " << e.status << " with status " << status << ": " << e.log.value_or("(no log)");
        }
    }
}

}  // namespace campaign::planted
