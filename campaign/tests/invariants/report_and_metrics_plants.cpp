// SPDX-License-Identifier: MIT
// The planted runs of the invariants of the report and the metrics a run
// writes (campaign/invariants/report_and_metrics.cpp).
#include "planted_runs.h"

namespace campaign::planted {

namespace {

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

// The pass's last scan read the second controller's FWID1 only after a
// retry, and gave its FWID2 up (`given_up`) or read it after one more retry.
void retried_reads_logged(RunOutput& o, bool given_up)
{
    scans_logged(o);
    replace(*o.log, "FWID2 Reg 0x62:0x23 \n",
            "FWID2 Reg 0x62:0x23 \nFound QB4077 at I2C address 0xc0 on Bus 0x02\n"
            "\nSMBus NACK (0x83)\nRetry countdown: 2\nFWID0 Reg 0x60:0x01 \n"
            "FWID1 Reg 0x61:0x00 \n\nSMBus NACK (0x83)\nRetry countdown: 2\n\nSMBus NACK (0x83)\n" +
                std::string(given_up ? "Retry Count Exceeded\nFWID2 Reg 0x62:0xff \n"
                                     : "Retry countdown: 1\nFWID2 Reg 0x62:0x00 \n"));
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

}  // namespace

const Plant kReportAndMetricsPlants[] = {
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
    {"a report that shows a version whose read was given up",
     [](Scenario& s, RunOutput& o) {
         retried_reads_logged(o, true);
         report(s, o, "report.json", report_seen("[1, 0, 255]"));
     },
     "report"},
    {"a report that hides a version read after retries",
     [](Scenario& s, RunOutput& o) {
         retried_reads_logged(o, false);
         report(s, o, "report.json", report_seen("null"));
     },
     "report"},
    {"an image changed where the report was refused",
     [](Scenario& s, RunOutput& o) { report_refused(s, o, "fw_4077.bin", R"({"exit_code": 5})"); }, "report"},
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
    {"metrics of a controller that neither the console nor the log lists",
     [](Scenario& s, RunOutput& o) {
         metrics_run(s, o);
         o.console = "TOTAL DEVICE SUMMARY\r\nQB4077 Device:\r\n"
                     "0: BusID:0x01 ChipID:77 FW:[0x00:0x00] ADR:0xc0 Config:0x00\r\n";
         replace(*o.log, "1: BusID:0x02", "1: BusID:0x03");
     },
     "metrics"},
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

    // What the checks must let pass.
    {"a metrics run", metrics_run, ""},
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
    {"the image named as the report is refused and left alone",
     [](Scenario& s, RunOutput& o) { report_refused(s, o, "fw_4077.bin", s.files["fw_4077.bin"]); }, ""},
    {"a report that cannot be written says so, after the ending",
     [](Scenario& s, RunOutput& o) {
         report(s, o, "missing/run.json", std::nullopt);
         *o.log += "ERROR: Unable to write report file missing/run.json: No such file or directory\n";
     },
     ""},
};

std::span<const Plant> report_and_metrics_plants() { return kReportAndMetricsPlants; }

}  // namespace campaign::planted
