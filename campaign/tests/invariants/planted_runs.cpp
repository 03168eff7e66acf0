// SPDX-License-Identifier: MIT
#include "planted_runs.h"

#include <csignal>
#include <gtest/gtest.h>

#include "sim/devices/image_version.h"

namespace campaign::planted {

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

// The machine failed a `call` of the log.
void log_fault(RunOutput& o, const char* call, const char* error)
{
    o.trace += std::string("0.9 file fault 0 #1 on ") + call + " log log.txt: " + error + "\n";
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

}  // namespace campaign::planted
