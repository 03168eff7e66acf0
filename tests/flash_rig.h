// A simulated machine installed in the test process with its first BMC
// opened through the driver, so that tests can call the flash and upgrade
// functions directly and read back what crossed the bus.
#pragma once

#include <string>
#include <vector>

#include "in_process.h"

namespace qbtest {

// One BMC at /dev/ipmi0 whose bus 0x01 holds `devices` (the JSON list
// items), with optional BMC `faults` and a key script `keys` (JSON lists).
std::string flash_machine(const std::string& devices, const std::string& faults = "",
                          const std::string& keys = "");

// A QB40xx controller entry for flash_machine; `extra` adds fields.
std::string controller(const char* address, int chip_id, const std::string& extra = "");

class FlashRig {
public:
    // Installs the machine, starts the trace and the log in a fresh working
    // directory and opens the BMC. The run-wide settings the flash path
    // reads are put back to their defaults.
    explicit FlashRig(const std::string& machine_json);
    ~FlashRig();
    FlashRig(const FlashRig&) = delete;
    FlashRig& operator=(const FlashRig&) = delete;

    // Puts `image` into the image buffer as the loader would.
    static void load_image(const std::string& image);

    std::string trace() const;
    std::string log() const { return dir_.read("log.txt"); }
    const ScopedWorkDir& dir() const { return dir_; }

private:
    ScopedWorkDir dir_;
};

// The traffic with the controller at 8-bit address `address` on bus byte
// `bus`, one entry per request the BMC received, with all the sleeps in
// between: "write 55 AA ED", "read 6", "sleep 55000".
std::vector<std::string> bus_traffic(const std::string& trace, int address = 0xC0, int bus = 0x01);

// Only the entries that start with `prefix`.
std::vector<std::string> only(const std::vector<std::string>& traffic, const std::string& prefix);

size_t count_of(const std::string& text, const std::string& part);
bool contains(const std::string& text, const std::string& part);

}  // namespace qbtest
