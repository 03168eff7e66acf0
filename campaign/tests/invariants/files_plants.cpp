// SPDX-License-Identifier: MIT
// The planted runs of the invariants of the files the tool writes, their
// modes and their loss said (campaign/invariants/files.cpp).
#include "planted_runs.h"

namespace campaign::planted {

const Plant kFilesPlants[] = {
    {"metrics only the owner may read",
     [](Scenario& s, RunOutput& o) {
         metrics_run(s, o);
         o.modes["m.prom"] = 0600;
     },
     "file-modes"},
    {"a log others may write to", [](Scenario&, RunOutput& o) { o.modes["log.txt"] = 0666; }, "file-modes"},
    {"a report others may read",
     [](Scenario& s, RunOutput& o) {
         report(s, o, "report.json", R"({"exit_code": 4, "complete": true})");
         o.modes["report.json"] = 0644;
     },
     "file-modes"},
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
    {"the image written over", [](Scenario& s, RunOutput& o) { o.inputs["fw_4077.bin"] = s.files["fw_4077.bin"] + "x"; },
     "inputs"},
    {"the password file of --lan (given as --NAME=VALUE) written over",
     [](Scenario& s, RunOutput& o) {
         s.args.insert(s.args.end(), {"--lan", "bmc0.lab", "--lan-password-file=lan.pw"});
         s.files["lan.pw"] = "secret\n";
         o.inputs["lan.pw"] = "# HELP qb40_tool_info\n";
     },
     "inputs"},
    {"the password file of --lan gone",
     [](Scenario& s, RunOutput& o) {
         s.args.insert(s.args.end(), {"--lan", "bmc0.lab", "--lan-password-file", "lan.pw"});
         s.files["lan.pw"] = "secret\n";
         o.inputs["lan.pw"] = std::nullopt;
     },
     "inputs"},

    // What the checks must let pass.
    {"the campaign's own files keep their modes; the tool's are the owner's",
     [](Scenario& s, RunOutput& o) {
         report(s, o, "report.json", R"({"exit_code": 4, "complete": true})");
         o.modes = {{"fw_4077.bin", 0666}, {"report.json", 0600}, {"log.txt", 0644}, {"logprev.txt", 0600}};
     },
     ""},
    {"a log lost, and said",
     [](Scenario&, RunOutput& o) {
         log_fault(o, "write", "ENOSPC");
         o.errors = "ERROR: Unable to write log file log.txt: No space left on device\n";
         o.log = "QB40XX";  // cut short
     },
     ""},
    {"an old report replaced, the image and the password file as they were",
     [](Scenario& s, RunOutput& o) {
         s.args.insert(s.args.end(), {"--lan", "bmc0.lab", "--lan-password-file", "lan.pw"});
         s.files["lan.pw"] = "secret\n";
         s.files["old.json"] = "{}";
         o.inputs = {{"fw_4077.bin", s.files["fw_4077.bin"]}, {"lan.pw", "secret\n"}, {"old.json", "{\"new\": 1}"}};
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
};

std::span<const Plant> files_plants() { return kFilesPlants; }

}  // namespace campaign::planted
