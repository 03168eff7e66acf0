// SPDX-License-Identifier: MIT
// A simulated machine installed in the test process with its first BMC
// opened through the driver, so that tests can call the flash and upgrade
// functions directly and read back what crossed the bus.
#pragma once

#include <string>
#include <vector>

#include "sim/devices/controller.h"
#include "in_process.h"

namespace qbtest {

// One BMC at /dev/ipmi0 whose bus 0x01 holds `devices` (the JSON list
// items), with optional BMC `faults` (a JSON list).
std::string flash_machine(const std::string& devices, const std::string& faults = "");

// A QB40xx controller entry running firmware 1.0.0; `extra` adds fields.
std::string controller(const char* address, int chip_id, const std::string& extra = "");

class FlashRig {
public:
    // Installs the machine, starts the trace and the log in a fresh working
    // directory and opens the BMC, with the run-wide state at its defaults.
    explicit FlashRig(const std::string& machine_json);
    ~FlashRig();
    FlashRig(const FlashRig&) = delete;
    FlashRig& operator=(const FlashRig&) = delete;

    // Puts `image` into the image buffer as the loader would.
    static void load_image(const std::string& image);
    // The simulated controller at 8-bit address `address` on bus 0x01.
    static sim::Controller& controller_at(int address = 0xC0);

    std::string trace() const { return dir_.read("trace.txt"); }
    std::string log() const { return dir_.read("log.txt"); }

private:
    ScopedWorkDir dir_;
};

// The traffic with the controller at 8-bit `address` on bus byte `bus`, one
// entry per request the BMC received, with the sleeps between:
// "write 55 AA ED", "read 6", "sleep 55000".
std::vector<std::string> bus_traffic(const std::string& trace, int address = 0xC0, int bus = 0x01);

size_t count_of(const std::string& text, const std::string& part);
inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace qbtest
