// SPDX-License-Identifier: MIT
// Each invariant check on a planted bad run: one good upgrade run, then one
// change per row that must break exactly the named invariant, or (rows with
// no name) a quirk of the tool the checks must let pass.
#include <cctype>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>

#include "sim/devices/image_version.h"
#include "invariants.h"

namespace campaign {
namespace {

// Two QB4077 behind one BMC: the first takes the image, the second loses
// power in its write phase, so the run ends with code 4 and the terminal
// restored.
Scenario good_scenario()
{
    Scenario s;
    s.machine = {{"keys", nlohmann::json::array()}};
    s.controllers = {{0, 0x01, 0xC0, 77, {1, 0, 0}}, {0, 0x02, 0xC0, 77, {1, 0, 0}}};
    std::string image(64, '\x5A');
    image.replace(sim::kImageVersionOffset, 3, "\x21\x22\x23");
    s.files["fw_4077.bin"] = image;
    s.image = "fw_4077.bin";
    s.args = {"-f", "fw_4077.bin"};
    return s;
}

RunOutput good_output()
{
    RunOutput o;
    o.status = 4;
    o.log =
        "DEVICE SUMMARY\n"
        "QB4077 Device:\n"
        "0: BusID:0x01 ChipID:77 FW:[0x00:0x00] ADR:0xc0 Config:0x00\n"
        "QB4077 Device:\n"
        "1: BusID:0x02 ChipID:77 FW:[0x00:0x00] ADR:0xc0 Config:0x00\n"
        "Image verified OK. Replacing old image with new...\n"
        "Sucessfully Upgraded 1 of 2 parts\n"
        "\nFinished: Tue Nov 14 22:13:43 2023\n\n"
        "Exited with return code: 0x04\n";
    o.trace =
        "0.1 terminal raw\n"
        "0.2 flash bmc0 bus 0x01 0xC0 erase, busy 500 ms\n"
        "0.3 flash bmc0 bus 0x01 0xC0 status 55 AA E2 01 00 00\n"
        "0.4 flash bmc0 bus 0x01 0xC0 downcopy and reset, running FW 21 22 23\n"
        "0.5 flash bmc0 bus 0x02 0xC0 erase, busy 500 ms\n"
        "0.6 flash bmc0 bus 0x02 0xC0 lost power at write 0x0010, running FW 01 00 00\n"
        "0.7 terminal cooked\n";
    return o;
}

void replace(std::string& text, const std::string& from, const std::string& to)
{
    size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
}

// The second controller already runs the image's version, so it is not flashed.
void second_matches(Scenario& s, RunOutput& o)
{
    s.controllers[1].firmware = {0x21, 0x22, 0x23};
    replace(o.trace,
            "0.5 flash bmc0 bus 0x02 0xC0 erase, busy 500 ms\n"
            "0.6 flash bmc0 bus 0x02 0xC0 lost power at write 0x0010, running FW 01 00 00\n",
            "");
}

// The run ends with 0 after the count line `count`.
void ends_with_zero(RunOutput& o, const std::string& count)
{
    o.status = 0;
    replace(*o.log, "1 of 2", count);
    replace(*o.log, "0x04", "0x00");
}

// --report FILE on the command line, and what the run left in FILE.
void report(Scenario& s, RunOutput& o, const char* file, std::optional<std::string> text)
{
    s.args.insert(s.args.begin(), {"--report", file});
    o.report = text;
}

// SIGTERM comes while the second controller is written: the abort's reset
// leaves it on its old image, and the run ends by the signal.
void stopped_by_sigterm(Scenario&, RunOutput& o)
{
    o.status = -1;
    o.signal = SIGTERM;
    replace(*o.log,
            "Sucessfully Upgraded 1 of 2 parts\n"
            "\nFinished: Tue Nov 14 22:13:43 2023\n\n"
            "Exited with return code: 0x04\n",
            "SIGTERM received: stopping at the controller's next safe point\n"
            "Firmware Upgrade Aborted. Issuing Reset...\n"
            "\nRun stopped by SIGTERM\n\nFinished: Tue Nov 14 22:13:43 2023\n\nExited on signal SIGTERM\n");
    replace(o.trace, "0.6 flash bmc0 bus 0x02 0xC0 lost power at write 0x0010, running FW 01 00 00\n",
            "0.55 signal SIGTERM\n0.6 flash bmc0 bus 0x02 0xC0 reset, old image kept, running FW 01 00 00\n");
}

// `change` on top of the run stopped by SIGTERM.
std::function<void(Scenario&, RunOutput&)> after_sigterm(std::function<void(Scenario&, RunOutput&)> change)
{
    return [change](Scenario& s, RunOutput& o) {
        stopped_by_sigterm(s, o);
        change(s, o);
    };
}

// The log of a pass whose first scan found both controllers on 1.0.0 and
// whose last scan found only the first, on the image's version; before the
// rest of the log.
void scans_logged(RunOutput& o)
{
    o.log = "BmcOpen Success\n"
            "Entered ScanForQBdevices()\n"
            "Found QB4077 at I2C address 0xc0 on Bus 0x01\n"
            "FWID0 Reg 0x60:0x01 \nFWID1 Reg 0x61:0x00 \nFWID2 Reg 0x62:0x00 \n"
            "Found QB4077 at I2C address 0xc0 on Bus 0x02\n"
            "FWID0 Reg 0x60:0x01 \nFWID1 Reg 0x61:0x00 \nFWID2 Reg 0x62:0x00 \n"
            "Entered ScanForQBdevices()\n"
            "Found QB4077 at I2C address 0xc0 on Bus 0x01\n"
            "FWID0 Reg 0x60:0x21 \nFWID1 Reg 0x61:0x22 \nFWID2 Reg 0x62:0x23 \n" +
            *o.log;
}

// After the pass's last scan the second controller's programming read it
// on 1.0.0 before its erase and on the image's version after its reset.
void read_back_logged(RunOutput& o)
{
    scans_logged(o);
    replace(*o.log, "Sucessfully Upgraded",
            "Updating firmware on bus 0x02 at I2C address 0xC0\n"
            "CHIP: FW:0x01 Major-REV:0x00 Minor-Rev:0x00\n"
            "Chip: FW:0x21 Major-REV:0x22 Minor-Rev:0x23\n"
            "Sucessfully Upgraded");
}

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

// A complete report of the good run whose second controller was last seen as `second`.
std::string report_seen(const char* second)
{
    return std::string(R"({"exit_code": 4, "complete": true, "bmcs": [{"controllers": [)"
                       R"({"bus": "0x01", "address": "0xC0", "firmware_last_seen": [33, 34, 35]},)"
                       R"({"bus": "0x02", "address": "0xC0", "firmware_last_seen": )") +
           second + "}]}]}";
}

// --report names `file`, which the run refuses: it ends with 5 before any
// BMC is touched, and `file` holds `left` afterwards.
void report_refused(Scenario& s, RunOutput& o, const char* file, const std::string& left)
{
    report(s, o, file, left);
    o.status = 5;
    o.log = std::string("Use -h for the list of options\nERROR: Refusing to write report file ") + file +
            ": it is the image file [RETURN CODE:0x05]\n";
    o.trace.clear();
}

// SHA-256 of the good scenario's image, and the same in upper case.
const char* const kGoodImageSha256 = "8249785209c72394f5bee8b323255a97ef09742e297e15232883fb48bc82915a";
std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The same two controllers planned instead of upgraded: `would` lines that
// say so, the closing line's count and code, and a trace without a flash.
void planned(Scenario& s, RunOutput& o, int would, int counted, const char* code)
{
    s.args.push_back("--plan");
    std::string log = "DEVICE SUMMARY\n";
    for (int n = 1; n <= would; ++n)
        log += "Plan: BMC 0 BusID:0x0" + std::to_string(n) + " ADR:0xc0 QB4077: would upgrade from 1.0.0 to 33.34.35\n";
    o.log = log + "Plan: " + std::to_string(counted) + " of 2 controllers would be upgraded; nothing was written " +
            "[RETURN CODE:0x" + code + "]\n\nFinished: Tue Nov 14 22:13:43 2023\n\nExited with return code: 0x" + code +
            "\n";
    o.trace.clear();
}

// The scan's found mark on the Fail LED of the controller on bus 1, and the
// summary's write that puts it out.
const std::string kFailLit = "0.01 bmc0 driver request id 3: 18 52 01 C0 00 44 FF\n";
const std::string kFailPutOut = "0.02 bmc0 driver request id 4: 18 52 01 C0 00 44 00\n";

// A report an earlier run left.
const char* const kOldReport = R"({"complete": true, "exit_code": 0, "arguments": ["an", "earlier", "run"]})";

// The command line was refused before the log was started.
void refused_command_line(RunOutput& o)
{
    o.status = 5;
    o.log.reset();
    o.trace.clear();
    o.console = "ERROR: No filename specified after -f [RETURN CODE:0x05]\r\n";
}

// A capture taken with --capture-redact `what` of -vpd on a machine with a
// VPD EEPROM holding text and a host with a name and a machine id; the
// capture holds `lines`.
void capture_redacted(Scenario& s, RunOutput& o, const char* what, const std::string& lines)
{
    s.args.insert(s.args.end(), {"-vpd", "--capture", "c.jsonl", "--capture-redact", what});
    s.machine["host"] = {{"name", "rack-7-db"}, {"product_serial", "SN7QX"}, {"machine_id", "c0ffee7b4c40"}};
    s.machine["bmcs"] = nlohmann::json::parse(R"([{"buses": {"0x01": {"devices": [{"type": "eeprom", "address": "0xA0",
        "contents": "52 00 01 00 50 00 01 4A 10 00 00 03 20 00 42 50 34 30 37 37 53 41 53 38 58 31 46 52 55 30 30 31 32 33 34 35"}]}}}])");
    o.capture = "{\"capture\":\"qb40tool\"}\n" + lines;
}

// The machine failed a `call` of the log.
void log_fault(RunOutput& o, const char* call, const char* error)
{
    o.trace += std::string("0.9 file fault 0 #1 on ") + call + " log log.txt: " + error + "\n";
}

// A read-only report run that switches a mux (-ms) found on channel 3 and
// puts it back; it finds no controller.
void read_only_report(Scenario& s, RunOutput& o)
{
    s.args = {"--read-only", "-mae6", "-ms", "-b11"};
    s.image.reset();
    s.files.clear();
    s.machine["bmcs"] = nlohmann::json::parse(R"([{"node": "/dev/ipmi0", "buses": {"0x01": {"devices":
        [{"type": "mux", "address": "0xE6", "mask": "0x04", "channels": {}}]}}}])");
    o.status = 0;
    o.log = "DEVICE SUMMARY\nNO DEVICES FOUND\n\nFinished: Tue Nov 14 22:13:43 2023\n\nExited with return code: 0x00\n";
    o.trace =
        "0.01 bmc0 driver request id 1: 18 52 01 E6 01\n"
        "0.02 bmc0 driver request id 2: 18 52 01 E6 00 02\n"
        "0.02 mux bmc0 bus 0x01 0xE6 channels 02\n"
        "0.03 bmc0 driver request id 3: 18 52 01 C0 00 63\n"
        "0.04 bmc0 driver request id 4: 18 52 01 E6 00 04\n"
        "0.04 mux bmc0 bus 0x01 0xE6 channels 04\n";
}

// A read-only report run with --metrics that finds the two controllers and
// ends with 0: the metrics as the tool writes them (HELP lines shortened).
void metrics_run(Scenario& s, RunOutput& o)
{
    s.args = {"--read-only", "--metrics", "m.prom"};
    s.image.reset();
    s.files.clear();
    o.status = 0;
    replace(*o.log, "Image verified OK. Replacing old image with new...\nSucessfully Upgraded 1 of 2 parts\n", "");
    replace(*o.log, "0x04", "0x00");
    o.trace = "0.01 bmc0 driver request id 1: 18 52 01 C0 00 63\n";
    const std::string labels = R"(bmc="0",bus="0x0)", rest = R"(",mux_channel="0",address="0xc0",model="QB4077")";
    o.metrics = "# HELP qb40_scan_success s\n# TYPE qb40_scan_success gauge\nqb40_scan_success 1\n"
                "# HELP qb40_run_exit_status s\n# TYPE qb40_run_exit_status gauge\nqb40_run_exit_status 0\n"
                "# HELP qb40_controllers_found c\n# TYPE qb40_controllers_found gauge\n"
                "qb40_controllers_found{bmc=\"0\"} 2\n"
                "# HELP qb40_controller_info i\n# TYPE qb40_controller_info gauge\n"
                "qb40_controller_info{" + labels + "1" + rest + R"(,chip_id="77",firmware="1.0.0",revision="2"} 1)" "\n"
                "qb40_controller_info{" + labels + "2" + rest + R"(,chip_id="77",firmware="1.0.0",revision="2"} 1)" "\n"
                "# HELP qb40_controller_config c\n# TYPE qb40_controller_config gauge\n"
                "qb40_controller_config{" + labels + "2" + rest + "} 0\n";
    o.modes["m.prom"] = 0644;
}

struct Plant {
    const char* what;
    std::function<void(Scenario&, RunOutput&)> change;
    const char* broken;  // the invariant that must fail; "" for none
};

const Plant kPlants[] = {
    {"the good run", [](Scenario&, RunOutput&) {}, ""},
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
    {"a downcopy after a status the tool refuses",
     [](Scenario&, RunOutput& o) { replace(o.trace, "status 55 AA E2 01 00 00", "status 55 AA E2 01 02 00"); },
     "downcopy"},
    {"a downcopy without a status since the erase",
     [](Scenario&, RunOutput& o) { replace(o.trace, "0.3 flash bmc0 bus 0x01 0xC0 status 55 AA E2 01 00 00\n", ""); },
     "downcopy"},
    {"a downcopy that leaves another version running",
     [](Scenario&, RunOutput& o) {
         replace(o.trace, "running FW 21 22 23", "running FW 21 22 24");
         replace(*o.log, "1 of 2", "0 of 2");  // the tool did not count it
     },
     "downcopy"},
    {"a failed flash that changed the running image",
     [](Scenario&, RunOutput& o) { replace(o.trace, "running FW 01 00 00", "running FW 21 22 23"); }, "old-image"},
    {"a count of a controller still on its old image", [](Scenario&, RunOutput& o) { ends_with_zero(o, "2 of 2"); },
     "upgrade-count"},
    {"exit status 0 under --strict with a controller still on its old image",
     [](Scenario& s, RunOutput& o) {
         s.args.insert(s.args.begin(), "--strict");
         ends_with_zero(o, "1 of 2");
     },
     "strict"},
    {"a report whose exit_code is not the exit status",
     [](Scenario& s, RunOutput& o) { report(s, o, "report.json", R"({"exit_code": 0, "bmcs": []})"); }, "report"},
    {"a report that is not JSON", [](Scenario& s, RunOutput& o) { report(s, o, "report.json", R"({"exit_code": 4)"); },
     "report"},
    {"no report and no error line", [](Scenario& s, RunOutput& o) { report(s, o, "report.json", std::nullopt); },
     "report"},
    {"a report that says the run never finished",
     [](Scenario& s, RunOutput& o) { report(s, o, "report.json", R"({"exit_code": 4, "complete": false})"); }, "report"},
    {"a report that shows a controller as an earlier scan saw it",
     [](Scenario& s, RunOutput& o) {
         scans_logged(o);
         report(s, o, "report.json", report_seen("[1, 0, 0]"));
     },
     "report"},
    {"a report that shows a controller as a scan saw it before its programming read it back",
     [](Scenario& s, RunOutput& o) {
         read_back_logged(o);
         report(s, o, "report.json", report_seen("null"));
     },
     "report"},
    {"an image changed where the report was refused",
     [](Scenario& s, RunOutput& o) { report_refused(s, o, "fw_4077.bin", R"({"exit_code": 5})"); }, "report"},
    {"an image programmed although its digest is not the pinned one",
     [](Scenario& s, RunOutput&) { s.args.insert(s.args.end(), {"--image-sha256", std::string(64, '0')}); },
     "image-digest"},
    {"the pinned image refused",
     [](Scenario& s, RunOutput& o) {
         s.args.insert(s.args.end(), {"--image-sha256", kGoodImageSha256});
         *o.log = "ERROR: Image file fw_4077.bin has SHA-256 " + std::string(kGoodImageSha256) + ", expected " +
                  kGoodImageSha256 + " [RETURN CODE:0x01]\nKcs Close\n";
         o.status = 1;
         o.trace.clear();
     },
     "image-digest"},
    {"a plan", [](Scenario& s, RunOutput& o) { planned(s, o, 2, 2, "04"); }, ""},
    {"a plan that sent a flash command", [](Scenario& s, RunOutput&) { s.args.push_back("--plan"); }, "plan"},
    {"a plan that counts a controller it never named", [](Scenario& s, RunOutput& o) { planned(s, o, 1, 2, "04"); },
     "plan"},
    {"a plan whose closing line shows another code",
     [](Scenario& s, RunOutput& o) {
         planned(s, o, 2, 2, "04");
         replace(*o.log, "[RETURN CODE:0x04]", "[RETURN CODE:0x00]");
     },
     "plan"},
    {"a read-only run", read_only_report, ""},
    {"a read-only run that writes a register",
     [](Scenario& s, RunOutput& o) {
         read_only_report(s, o);
         o.trace += "0.05 bmc0 driver request id 5: 18 52 01 C0 00 30 05\n";
     },
     "read-only"},
    {"a read-only run that leaves the mux on the channel it switched to",
     [](Scenario& s, RunOutput& o) {
         read_only_report(s, o);
         replace(o.trace, "0.04 mux bmc0 bus 0x01 0xE6 channels 04\n", "");
     },
     "read-only"},
    {"a read-only run whose mux a fault may have kept from being put back",
     [](Scenario& s, RunOutput& o) {
         read_only_report(s, o);
         replace(o.trace, "0.04 mux bmc0 bus 0x01 0xE6 channels 04\n",
                 "0.04 bmc0 fault 0 #1 on driver request: completion code 83\n");
     },
     ""},
    {"a read-only run on a bus whose BMC switches the mux itself",
     [](Scenario& s, RunOutput& o) {
         read_only_report(s, o);
         s.machine["bmcs"][0]["buses"]["0x01"]["bmc_switches_mux"] = true;
         replace(o.trace, "0.04 mux bmc0 bus 0x01 0xE6 channels 04\n", "");
     },
     ""},
    {"a metrics run", metrics_run, ""},
    {"a metrics run that wrote no file",
     [](Scenario& s, RunOutput& o) {
         metrics_run(s, o);
         o.metrics.reset();
         o.modes.erase("m.prom");
     },
     "metrics"},
    {"a metrics run that left an earlier run's file",
     [](Scenario& s, RunOutput& o) {
         metrics_run(s, o);
         s.old_metrics = s.files["m.prom"] = *o.metrics;
     },
     "metrics"},
    {"metrics a scraper refuses",
     [](Scenario& s, RunOutput& o) {
         metrics_run(s, o);
         replace(*o.metrics, "qb40_run_exit_status 0\n", "qb40_run_exit_status 0 1700000000\n");
     },
     "metrics"},
    {"metrics with another exit status",
     [](Scenario& s, RunOutput& o) {
         metrics_run(s, o);
         replace(*o.metrics, "qb40_run_exit_status 0\n", "qb40_run_exit_status 4\n");
     },
     "metrics"},
    {"metrics that say a failed scan succeeded",
     [](Scenario& s, RunOutput& o) {
         metrics_run(s, o);
         o.status = 172;
         replace(*o.metrics, "qb40_run_exit_status 0\n", "qb40_run_exit_status 172\n");
         *o.log += "BmcOpen Failed\n[RETURN CODE:0xac]\n\n";
     },
     "metrics"},
    {"metrics of a controller no summary listed",
     [](Scenario& s, RunOutput& o) {
         metrics_run(s, o);
         replace(*o.metrics, R"(bus="0x02",mux_channel="0",address="0xc0",model="QB4077",chip_id="77",firmware="1.0.0")",
                 R"(bus="0x02",mux_channel="0",address="0xc0",model="QB4077",chip_id="77",firmware="1.2.0")");
     },
     "metrics"},
    {"metrics whose summaries only the raw console shows, the log lost",
     [](Scenario& s, RunOutput& o) {
         metrics_run(s, o);
         s.args.push_back("-z");
         log_fault(o, "write", "EBUSY");
         o.errors = "ERROR: Unable to write log file log.txt: Device or resource busy\n";
         o.console = "TOTAL DEVICE SUMMARY\r\nQB4077 Device:\r\n"
                      "0: BusID:0x01 ChipID:77 FW:[0x00:0x00] ADR:0xc0 Config:0x00\r\nQB4077 Device:\r\n"
                      "1: BusID:0x02 ChipID:77 FW:[0x00:0x00] ADR:0xc0 Config:0x00\r\n";
         o.log = "";
     },
     ""},
    {"metrics of a controller that neither the console nor the log lists",
     [](Scenario& s, RunOutput& o) {
         metrics_run(s, o);
         o.console = "TOTAL DEVICE SUMMARY\r\nQB4077 Device:\r\n"
                     "0: BusID:0x01 ChipID:77 FW:[0x00:0x00] ADR:0xc0 Config:0x00\r\n";
         replace(*o.log, "1: BusID:0x02", "1: BusID:0x03");
     },
     "metrics"},
    {"metrics only the owner may read",
     [](Scenario& s, RunOutput& o) {
         metrics_run(s, o);
         o.modes["m.prom"] = 0600;
     },
     "file-modes"},
    {"a report of another run from a refused command line",
     [](Scenario& s, RunOutput& o) {
         report(s, o, "report.json", R"({"exit_code": 5, "arguments": ["-x"]})");
         refused_command_line(o);
     },
     "report"},

    {"an earlier run's report left by a run that reached the BMC",
     [](Scenario& s, RunOutput& o) {
         report(s, o, "report.json", kOldReport);
         s.old_report = kOldReport;
     },
     "stale-report"},
    {"a log others may write to", [](Scenario&, RunOutput& o) { o.modes["log.txt"] = 0666; }, "file-modes"},
    {"a report others may read",
     [](Scenario& s, RunOutput& o) {
         report(s, o, "report.json", R"({"exit_code": 4, "complete": true})");
         o.modes["report.json"] = 0644;
     },
     "file-modes"},
    {"VPD text in a redacted capture",
     [](Scenario& s, RunOutput& o) {
         capture_redacted(s, o, "vpd", "{\"e\":\"x\",\"resp\":\"1C 52 00 58 58 42 50 34 30 37 37 53 41\"}\n");
     },
     "redaction"},
    {"VPD text read through the KCS ports in a redacted capture",
     [](Scenario& s, RunOutput& o) {
         capture_redacted(s, o, "vpd", "{\"e\":\"kcs\",\"ports\":\"c61 w18 s42 d1C w68 d52 w68 d00 d42 d50 s42 d34 "
                                       "d30 d37 d37 w68\"}\n");
     },
     "redaction"},
    {"the host's name in a capture that leaves the host out",
     [](Scenario& s, RunOutput& o) {
         capture_redacted(s, o, "vpd,host", "{\"e\":\"hostname\",\"name\":\"rack-7-db\",\"r\":0}\n");
     },
     "redaction"},
    {"the machine id's bytes in a capture that leaves the host out",
     [](Scenario& s, RunOutput& o) {
         capture_redacted(s, o, "host", "{\"e\":\"sysfile\",\"bytes\":\"63 30 66 66 65 65 37\",\"r\":7}\n");
     },
     "redaction"},
    {"a log lost without a word", [](Scenario&, RunOutput& o) { log_fault(o, "write", "ENOSPC"); }, "output-loss"},
    {"a lost capture under --strict ending 0",
     [](Scenario& s, RunOutput& o) {
         s.args.insert(s.args.begin(), "--strict");
         second_matches(s, o);
         ends_with_zero(o, "2 of 2");
         o.trace += "0.9 file fault 0 #1 on rename capture c.jsonl: EBUSY\n";
         o.errors = "ERROR: Unable to write capture file c.jsonl: Device or resource busy\n";
     },
     "output-loss"},

    {"a refused command line's report of this run",
     [](Scenario& s, RunOutput& o) {
         s.args.insert(s.args.begin(), {"--report", "report.json"});
         o.report = nlohmann::json({{"exit_code", 5}, {"complete", true}, {"arguments", s.args}}).dump();
         refused_command_line(o);
     },
     ""},
    {"an earlier run's report left by a run that could not write its own and sent nothing",
     [](Scenario& s, RunOutput& o) {
         report(s, o, "report.json", kOldReport);
         s.old_report = kOldReport;
         o.status = 5;
         o.log = "Use -h for the list of options\nERROR: Unable to write report file report.json: Device or resource "
                 "busy\nERROR: No run without its report: nothing was sent [RETURN CODE:0x05]\n";
         o.errors = "ERROR: Unable to write report file report.json: Device or resource busy\n";
         o.trace = "0.0 file fault 0 #1 on rename report report.json: EBUSY\n";
     },
     ""},
    {"the campaign's own files keep their modes; the tool's are the owner's",
     [](Scenario& s, RunOutput& o) {
         report(s, o, "report.json", R"({"exit_code": 4, "complete": true})");
         o.modes = {{"fw_4077.bin", 0666}, {"report.json", 0600}, {"log.txt", 0644}, {"logprev.txt", 0600}};
     },
     ""},
    {"a redacted capture with placeholders only",
     [](Scenario& s, RunOutput& o) {
         capture_redacted(s, o, "vpd,host",
                          "{\"e\":\"hostname\",\"name\":\"redacted\",\"r\":0}\n"
                          "{\"e\":\"x\",\"resp\":\"1C 52 00 58 58 58 58 58 58 58 58 58 58\"}\n");
     },
     ""},
    {"a log lost, and said",
     [](Scenario&, RunOutput& o) {
         log_fault(o, "write", "ENOSPC");
         o.errors = "ERROR: Unable to write log file log.txt: No space left on device\n";
         o.log = "QB40XX";  // cut short
     },
     ""},
    {"a failed rotation of the log is passed over in silence", [](Scenario&, RunOutput& o) { log_fault(o, "rename", "EIO"); },
     ""},
    {"a capture lost after the log was closed makes the 0 of --strict 7",
     [](Scenario& s, RunOutput& o) {
         s.args.insert(s.args.begin(), "--strict");
         second_matches(s, o);
         ends_with_zero(o, "2 of 2");
         o.status = 7;
         o.trace += "0.9 file fault 0 #1 on rename capture c.jsonl: EBUSY\n";
         o.errors = "ERROR: Unable to write capture file c.jsonl: Device or resource busy\n";
     },
     ""},

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
    {"a found mark left lit at the end", [](Scenario&, RunOutput& o) { o.trace = kFailLit + o.trace; }, "leds"},
    {"a found mark left lit by the stop",
     after_sigterm([](Scenario&, RunOutput& o) { o.trace = kFailLit + o.trace; }), "leds"},
    {"the diagnostics' activity LEDs left lit by the stop",
     after_sigterm([](Scenario&, RunOutput& o) {
         o.trace = "0.01 bmc0 kcs request: 18 52 02 C0 00 40 FF\n" + o.trace;
     }),
     "leds"},

    // The tool's quirks, and what the two options make of the endings.
    {"a run stopped by SIGTERM", stopped_by_sigterm, ""},
    {"a stopped run's report names the signal",
     after_sigterm([](Scenario& s, RunOutput& o) {
         report(s, o, "report.json", R"({"complete": true, "exit_code": null, "signal": "SIGTERM"})");
     }),
     ""},
    {"found marks put out by the summary",
     [](Scenario&, RunOutput& o) { o.trace = kFailLit + kFailPutOut + o.trace; }, ""},
    {"found marks put out by the stop",
     after_sigterm([](Scenario&, RunOutput& o) {
         o.trace = kFailLit + o.trace;
         replace(o.trace, "0.7 terminal cooked\n", "0.7 terminal cooked\n" + kFailPutOut);
     }),
     ""},
    {"SIGKILL leaves the found marks lit",
     [](Scenario&, RunOutput& o) {
         o.status = -1;
         o.signal = SIGKILL;
         o.trace = kFailLit + o.trace + "0.8 signal SIGKILL\n0.8 signal SIGKILL ends the process\n";
     },
     ""},
    {"the 17th controller keeps its found marks",
     [](Scenario&, RunOutput& o) {
         o.trace = kFailLit + o.trace;
         *o.log = "MAX CHIPS PER SYSTEM OF 16 REACHED!!\n" + *o.log;
     },
     ""},
    {"a fault after a mark may have kept it lit",
     [](Scenario&, RunOutput& o) {
         o.trace = kFailLit + "0.06 bmc0 fault 0 #1 on driver request: completion code 83\n" + o.trace;
     },
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
    {"a report with the exit status",
     [](Scenario& s, RunOutput& o) {
         report(s, o, "out/run.json", R"({"exit_code": 4, "complete": true, "strict": false})");
     },
     ""},
    {"a report with what the pass's last scan saw, null where it saw nothing",
     [](Scenario& s, RunOutput& o) {
         scans_logged(o);
         report(s, o, "report.json", report_seen("null"));
     },
     ""},
    {"a report with the version the programming read back after the pass's last scan",
     [](Scenario& s, RunOutput& o) {
         read_back_logged(o);
         report(s, o, "report.json", report_seen("[33, 34, 35]"));
     },
     ""},
    {"a stopped run's report with the version read back last",
     after_sigterm([](Scenario& s, RunOutput& o) { stopped_after_read_back(s, o, "[33, 34, 35]"); }), ""},
    {"the pinned image programmed, in upper case",
     [](Scenario& s, RunOutput&) { s.args.insert(s.args.end(), {"--image-sha256", upper(kGoodImageSha256)}); }, ""},
    {"another image refused before anything was sent",
     [](Scenario& s, RunOutput& o) {
         s.args.insert(s.args.end(), {"--image-sha256", std::string(64, 'f')});
         *o.log = "ERROR: Image file fw_4077.bin has SHA-256 " + std::string(kGoodImageSha256) + ", expected " +
                  std::string(64, 'f') + " [RETURN CODE:0x01]\nKcs Close\n";
         o.status = 1;
         o.trace.clear();
     },
     ""},
    {"the image named as the report is refused and left alone",
     [](Scenario& s, RunOutput& o) { report_refused(s, o, "fw_4077.bin", s.files["fw_4077.bin"]); }, ""},
    {"a report that cannot be written says so, after the ending",
     [](Scenario& s, RunOutput& o) {
         report(s, o, "missing/run.json", std::nullopt);
         *o.log += "ERROR: Unable to write report file missing/run.json: No such file or directory\n";
     },
     ""},
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
    {"a version-matched record counts with Updated from an earlier cycle",
     [](Scenario& s, RunOutput& o) {
         second_matches(s, o);
         ends_with_zero(o, "2 of 2");
     },
     ""},
    {"an image without version bytes leaves erased flash as its version",
     [](Scenario& s, RunOutput& o) {
         s.files["fw_4077.bin"].resize(40);
         replace(o.trace, "running FW 21 22 23", "running FW FF FF FF");
     },
     ""},
    {"a forged answer lets the tool take a status the controller did not give",
     [](Scenario&, RunOutput& o) {
         replace(o.trace, "status 55 AA E2 01 00 00", "status 55 AA E3 01 00 00");
         o.trace += "0.8 bmc0 fault 0 #1 on driver request: response 1C 52 00 55 AA E2 01 00 00\n";
     },
     ""},
};

TEST(Invariants, EachCheckFailsOnItsPlantedRunAndOnNothingElse)
{
    for (const Plant& p : kPlants) {
        Scenario s = good_scenario();
        RunOutput o = good_output();
        p.change(s, o);
        std::vector<Violation> found = check(s, o);
        std::string names;
        for (const Violation& v : found)
            names += v.invariant + " (" + v.detail + ") ";
        if (*p.broken)
            EXPECT_TRUE(found.size() == 1 && found[0].invariant == p.broken) << p.what << ": " << names;
        else
            EXPECT_TRUE(found.empty()) << p.what << ": " << names;
    }
}

TEST(Invariants, EveryInvariantHasAPlantedRun)
{
    for (const std::string& name : invariant_names())
        EXPECT_TRUE(std::any_of(std::begin(kPlants), std::end(kPlants), [&](const Plant& p) {
            return name == p.broken;
        })) << name;
}

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

}  // namespace
}  // namespace campaign
