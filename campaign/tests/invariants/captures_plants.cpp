// SPDX-License-Identifier: MIT
// The planted runs of the invariant of what a redacted capture may hold
// (campaign/invariants/captures.cpp).
#include "planted_runs.h"

namespace campaign::planted {

namespace {

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

}  // namespace

const Plant kCapturesPlants[] = {
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

    // What the checks must let pass.
    {"a redacted capture with placeholders only",
     [](Scenario& s, RunOutput& o) {
         capture_redacted(s, o, "vpd,host",
                          "{\"e\":\"hostname\",\"name\":\"redacted\",\"r\":0}\n"
                          "{\"e\":\"x\",\"resp\":\"1C 52 00 58 58 58 58 58 58 58 58 58 58\"}\n");
     },
     ""},
};

std::span<const Plant> captures_plants() { return kCapturesPlants; }

}  // namespace campaign::planted
