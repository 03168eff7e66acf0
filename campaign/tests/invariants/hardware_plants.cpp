// SPDX-License-Identifier: MIT
// The planted runs of the invariants of what the controllers, their LEDs
// and the muxes are left with, and of what a plan or a read-only run sends
// (campaign/invariants/hardware.cpp).
#include <cctype>

#include "planted_runs.h"

namespace campaign::planted {

namespace {

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

}  // namespace

const Plant kHardwarePlants[] = {
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
    {"a plan that sent a flash command", [](Scenario& s, RunOutput&) { s.args.push_back("--plan"); }, "plan"},
    {"a plan that counts a controller it never named", [](Scenario& s, RunOutput& o) { planned(s, o, 1, 2, "04"); },
     "plan"},
    {"a plan whose closing line shows another code",
     [](Scenario& s, RunOutput& o) {
         planned(s, o, 2, 2, "04");
         replace(*o.log, "[RETURN CODE:0x04]", "[RETURN CODE:0x00]");
     },
     "plan"},
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
    {"a found mark left lit at the end", [](Scenario&, RunOutput& o) { o.trace = kFailLit + o.trace; }, "leds"},
    {"a found mark left lit by the stop",
     after_sigterm([](Scenario&, RunOutput& o) { o.trace = kFailLit + o.trace; }), "leds"},
    {"the diagnostics' activity LEDs left lit by the stop",
     after_sigterm([](Scenario&, RunOutput& o) {
         o.trace = "0.01 bmc0 kcs request: 18 52 02 C0 00 40 FF\n" + o.trace;
     }),
     "leds"},

    // What the checks must let pass.
    {"a plan", [](Scenario& s, RunOutput& o) { planned(s, o, 2, 2, "04"); }, ""},
    {"a read-only run", read_only_report, ""},
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

std::span<const Plant> hardware_plants() { return kHardwarePlants; }

}  // namespace campaign::planted
