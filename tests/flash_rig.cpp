#include "flash_rig.h"

#include <cstring>
#include <stdexcept>

#include "kcs/kcs.h"
#include "logfile/logfile.h"
#include "machine.h"
#include "machine_file.h"
#include "main/qb40tool.h"
#include "settings.h"
#include "sim_run.h"

namespace qbtest {

std::string flash_machine(const std::string& devices, const std::string& faults, const std::string& keys)
{
    std::string json = R"({"clock": {"start": 1700000000}, )";
    if (!keys.empty())
        json += R"("keys": )" + keys + ", ";
    json += R"("bmcs": [{"node": "/dev/ipmi0", "buses": {"0x01": {"devices": [)" + devices + "]}}";
    if (!faults.empty())
        json += R"(, "faults": )" + faults;
    return json + "}]}";
}

std::string controller(const char* address, int chip_id, const std::string& extra)
{
    std::string entry = R"({"type": "qb40xx", "address": ")" + std::string(address) +
                        R"(", "chip_id": )" + std::to_string(chip_id);
    if (!extra.empty())
        entry += ", " + extra;
    return entry + "}";
}

FlashRig::FlashRig(const std::string& machine_json)
{
    CloseLogFile();
    restore_default_settings();
    QB4083CUpgrade = 0;
    FoundQB4083C = 0;
    std::memset(ChipInfo, 0, sizeof(ChipInfo));
    ChipsFound = 0;
    std::memset(FirmwareImage, 0, sizeof(FirmwareImage));
    FileImageSize = 0;

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

std::string FlashRig::trace() const { return dir_.read("trace.txt"); }

namespace {

int hex_digit(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

}  // namespace

std::vector<std::string> bus_traffic(const std::string& trace, int address, int bus)
{
    std::vector<std::string> out;
    for (const std::string& event : trace_events(trace)) {
        if (event.starts_with("sleep ")) {
            out.push_back(event);
            continue;
        }
        // "bmc0 driver request id 5: 18 52 ..." or "bmc0 kcs request: 18 52 ..."
        size_t at = event.find(" driver request id ");
        if (at == std::string::npos)
            at = event.find(" kcs request:");
        size_t colon = at == std::string::npos ? at : event.find(": ", at);
        if (colon == std::string::npos)
            continue;
        std::vector<int> bytes;
        for (size_t i = colon + 2; i + 1 < event.size(); i += 3)
            bytes.push_back(hex_digit(event[i]) * 16 + hex_digit(event[i + 1]));
        if (bytes.size() < 5 || bytes[0] != 0x18 || bytes[1] != 0x52 || bytes[2] != bus || bytes[3] != address)
            continue;
        if (bytes[4] != 0) {
            out.push_back("read " + std::to_string(bytes[4]));
            continue;
        }
        std::string text = "write";
        for (size_t i = 5; i < bytes.size(); i++) {
            char b[4];
            std::snprintf(b, sizeof(b), " %02X", bytes[i]);
            text += b;
        }
        out.push_back(text);
    }
    return out;
}

std::vector<std::string> only(const std::vector<std::string>& traffic, const std::string& prefix)
{
    std::vector<std::string> out;
    for (const std::string& t : traffic)
        if (t.starts_with(prefix))
            out.push_back(t);
    return out;
}

size_t count_of(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace qbtest
