// SPDX-License-Identifier: MIT
#include "flash_rig.h"

#include <cstring>
#include <stdexcept>

#include "bmc/discovery.h"
#include "sim/current_machine.h"
#include "logfile/logfile.h"
#include "sim/machine_file/machine_file.h"
#include "main/flash.h"
#include "main/image.h"
#include "main/scan.h"
#include "settings.h"
#include "sim_run.h"

namespace qbtest {

std::string flash_machine(const std::string& devices, const std::string& faults)
{
    return R"({"clock": {"start": 1700000000}, "bmcs": [{"node": "/dev/ipmi0", "buses": {"0x01": {"devices": [)" +
           devices + "]}}" +
           (faults.empty() ? "" : R"(, "faults": )" + faults) + "}]}";
}

std::string controller(const char* address, int chip_id, const std::string& extra)
{
    return R"({"type": "qb40xx", "address": ")" + std::string(address) + R"(", "chip_id": )" +
           std::to_string(chip_id) + R"(, "firmware": [1, 0, 0])" + (extra.empty() ? "" : ", " + extra) + "}";
}

FlashRig::FlashRig(const std::string& machine_json)
{
    CloseLogFile();
    restore_default_settings();
    QB4083CUpgrade = FoundQB4083C = ChipsFound = 0;
    std::memset(ChipInfo, 0, sizeof(ChipInfo));
    load_image("");
    // A descriptor of an earlier machine means nothing to this one.
    fd = -1;
    FirstBmcOpen = SecondBmcOpen = ThirdBmcOpen = FourthBmcOpen = 0;
    ScanForBmc = 0;
    sim::install(sim::load_machine_json(machine_json));
    if (!sim::machine().trace.open((dir_.path() / "trace.txt").string()))
        throw std::runtime_error("cannot open the trace");
    StartLogFile("log.txt");
    CapturedStdout quiet;  // the open's own console line
    if (!Kcs_Open())
        throw std::runtime_error("the BMC did not open");
}

FlashRig::~FlashRig()
{
    Kcs_Close();
    CloseLogFile();
    restore_default_settings();
    QB4083CUpgrade = 0;
}

void FlashRig::load_image(const std::string& image)
{
    std::memset(FirmwareImage, 0, sizeof(FirmwareImage));
    std::memcpy(FirmwareImage, image.data(), image.size());
    FileImageSize = static_cast<INT16U>(image.size());
}

sim::Controller& FlashRig::controller_at(int address)
{
    return dynamic_cast<sim::Controller&>(*sim::machine().bmcs.at(0).core->bus(0x01).find(uint8_t(address >> 1)));
}

std::vector<std::string> bus_traffic(const std::string& trace, int address, int bus)
{
    // "bmc0 driver request id 5: 18 52 01 C0 00 55 AA ED" or "bmc0 kcs request: ..."
    char head[16];
    std::snprintf(head, sizeof(head), "18 52 %02X %02X ", bus, address);
    std::vector<std::string> out;
    for (const std::string& event : trace_events(trace)) {
        const size_t colon = event.find(" request");
        const size_t bytes = colon == std::string::npos ? colon : event.find(": ", colon);
        if (event.starts_with("sleep "))
            out.push_back(event);
        else if (bytes != std::string::npos && event.compare(bytes + 2, 12, head) == 0) {
            const std::string rest = event.substr(bytes + 14);  // read count, then the written bytes
            out.push_back(rest.starts_with("00") ? "write" + rest.substr(2)
                                                 : "read " + std::to_string(std::stoi(rest, nullptr, 16)));
        }
    }
    return out;
}

size_t count_of(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

}  // namespace qbtest
