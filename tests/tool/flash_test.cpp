// SPDX-License-Identifier: MIT
// Programming one controller, called in the test process against the
// simulated controller: the traffic and waits of both command sets, the
// download limits, the readiness polls, every failure point, and the Esc
// halt with its dialogues. After a failure the old image must still run.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/settings.h"
#include "firmware_images.h"
#include "flash_rig.h"
#include "main/flash.h"
#include "main/scan.h"
#include "sim_run.h"

using namespace qbtest;
using Version = std::array<uint8_t, 3>;

namespace {

constexpr Version kOld{1, 0, 0}, kNew{3, 4, 5};
// The i2c layer tries a refused transfer three times.
constexpr int kTries = 3;

// Faults of one scenario: the controller's own (its "faults" object) and
// one rule of the BMC's "faults" list, for what only the BMC can do.
struct Faults {
    std::string controller;
    std::string bmc;
};
std::ostream& operator<<(std::ostream& out, const Faults& f) { return out << f.controller << f.bmc; }

// The controller refuses `command` the first `times` times (at address `at` only).
Faults refused(const char* command, int times = kTries, int at = -1)
{
    return {R"({"refuse": [{"command": ")" + std::string(command) + R"(", "times": )" + std::to_string(times) +
                (at >= 0 ? R"(, "at": )" + std::to_string(at) : "") + "}]}",
            ""};
}

// The BMC answers the n-th request starting with `request` (and `count` of
// them from there) with completion code 0x83, or with `data` when given.
Faults bmc_rule(const std::string& request, int nth, int count, const std::string& data = "")
{
    return {"", R"({"request": ")" + request + R"(", "nth": )" + std::to_string(nth) + R"(, "count": )" +
                    std::to_string(count) +
                    (data.empty() ? R"(, "completion_code": "0x83"})" : R"(, "response": "1C 52 00 )" + data + "\"}")};
}
const std::string kRead = "18 52 01 C0 06";

// A controller that is ready at once after the erase and the reset.
std::string machine(int chip_id, const Faults& faults = {})
{
    return flash_machine(controller("0xC0", chip_id,
                                    R"("erase_ms": 1, "reset_ms": 1)" +
                                        (faults.controller.empty() ? "" : R"(, "faults": )" + faults.controller)),
                         faults.bmc.empty() ? "" : "[" + faults.bmc + "]");
}

struct Flashed {
    int result;
    std::string console;
};

Flashed flash(int chip_id)
{
    CapturedStdout out;
    // The second of three controllers.
    int result = FlashFirmwareOverI2C(static_cast<INT8U>(chip_id), 0xC0, 0x01, 0xE6, 0, 2, 3);
    return {result, out.text()};
}

// The addresses ("00 05") of the commands starting with `command`, in order.
std::vector<std::string> addresses(const std::vector<std::string>& traffic, const std::string& command)
{
    std::vector<std::string> out;
    for (const std::string& t : lines_starting(traffic, command))
        out.push_back(t.substr(command.size() + 1, 5));
    return out;
}

std::vector<std::string> addresses_below(int count)
{
    std::vector<std::string> out;
    for (int a = 0; a < count; a++) {
        char b[8];
        std::snprintf(b, sizeof(b), "%02X %02X", (a >> 8) & 0xFF, a & 0xFF);
        out.push_back(b);
    }
    return out;
}

}  // namespace

TEST(Flash, TwoByteImageSendsExactlyThisTrafficWithItsWaits)
{
    FlashRig rig(machine(73));
    FlashRig::load_image("\x12\x34");
    Flashed f = flash(73);
    EXPECT_EQ(f.result, 1);
    const std::vector<std::string> expected = {
        "write 55 AA ED", "read 6", "write 55 AA EE", "sleep 55000", "write 55 AA EF",
        "write 55 AA E0 00 00 12", "write 55 AA E0 00 01 34", "write 55 AA E1 00 00 12", "write 55 AA E1 00 01 34",
        "write 55 AA E2", "read 6", "write 55 AA F0", "sleep 10000000", "sleep 55000", "sleep 110000",
        "write 55 AA EF", "write 55 AA ED", "read 6",
    };
    EXPECT_EQ(bus_traffic(rig.trace()), expected);
    EXPECT_TRUE(f.console.starts_with("Upgrading ChipID:73 at Sector: 0x2000\r\n"
                                      "Updating firmware on bus 0x01 at I2C address 0xC0\r\n"));
    EXPECT_TRUE(contains(f.console, "Writing New Image on Chip 2 of 3.\r\n"));
    EXPECT_TRUE(contains(rig.log(), "Verifying New Image on Chip 2 of 3.\n"
                                    "Starting to verify image at: 0x0002 Imagesize: 2 (0x0002)\n"));
    // One dot per return poll, on the line before "done".
    EXPECT_TRUE(contains(f.console, "Waiting for reset to complete\r\n.done. (Device is now again operational)"));
}

TEST(Flash, QB4083CSetTrafficChecksumsAndFixedWaits)
{
    FlashRig rig(machine(83));
    QB4083CUpgrade = FoundQB4083C = 1;
    FlashRig::load_image("\x12\x34");
    Flashed f = flash(83);
    EXPECT_EQ(f.result, 1);
    const std::vector<std::string> expected = {
        "write 55 AA F2 ED", "read 6", "write 55 AA F2 EE", "sleep 2000000",
        "write 55 AA F2 E0 00 00 12", "write 55 AA F2 E0 00 01 34", "write 55 AA F2 E1 00 00 12",
        "write 55 AA F2 E1 00 01 34", "write 55 AA F2 E2", "read 6", "write 55 AA F2 E8", "sleep 1000000", "read 6",
        "sleep 5000000", "write 55 AA F2 F0", "sleep 10000000", "sleep 55000", "write 55 AA F2 E5", "sleep 2000000",
        "read 6", "write 55 AA F2 ED", "read 6", "sleep 1000000", "write 55 AA E7", "sleep 2000000",
    };
    EXPECT_EQ(bus_traffic(rig.trace()), expected);
    // A QB4083C in the scan gives the one-line heading.
    EXPECT_TRUE(f.console.starts_with("Upgrading ChipID:83C at Sector: 0x1000\r\nFirmware image versions are:\n"));
    EXPECT_EQ(count_of(f.console, "Device successfully passed checksum check, Checksum: 0x"), 2u);
}

TEST(Flash, DownloadLimitsOfEachChipAndCommandSet)
{
    struct Case {
        int chip_id;
        bool qb4083c;
        int image_size;
        const char* sector;
        int bytes_sent;
        bool end_of_image;
    };
    const Case cases[] = {
        {73, false, 0x1E01, "0x2000", 0x1E00, false},
        {76, false, 0x1E00, "0x2000", 0x1E00, false},  // the limit comes before the end of the image
        {77, false, 20480, "0x4000", 0x3E00, false},
        {82, false, 300, "0x4000", 300, true},
        {84, false, 0x3E01, "0x7c00", 0x3E01, true},  // 0x7A00 lies beyond the buffer
        {83, true, 0x1001, "0x1000", 0x1000, false},  // the QB4083C set writes up to the full limit
        {80, false, 0, "0x4000", 0, true},            // empty: erased, nothing written, nothing verified
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "chip " << c.chip_id << (c.qb4083c ? " QB4083C" : "") << ", " << c.image_size);
        FlashRig rig(machine(c.chip_id));
        QB4083CUpgrade = c.qb4083c;
        FlashRig::load_image(make_image(c.image_size));
        Flashed f = flash(c.chip_id);
        // The controller itself refuses an image of which nothing was verified.
        EXPECT_EQ(f.result, c.image_size > 0);
        EXPECT_TRUE(contains(f.console, std::string("at Sector: ") + c.sector + "\r\n"));
        const auto traffic = bus_traffic(rig.trace());
        const std::string set = c.qb4083c ? "write 55 AA F2 " : "write 55 AA ";
        EXPECT_EQ(lines_starting(traffic, set + "EE").size(), 1u);
        EXPECT_EQ(addresses(traffic, set + "E0"), addresses_below(c.bytes_sent));
        EXPECT_EQ(addresses(traffic, set + "E1"), addresses_below(c.bytes_sent));
        EXPECT_EQ(count_of(f.console, "End of image reached"), c.end_of_image ? 2u : 0u);
        char end_line[64];
        std::snprintf(end_line, sizeof(end_line), "End of write image at: 0x%04X\n",
                      c.end_of_image ? c.image_size : c.bytes_sent - 1);
        EXPECT_TRUE(contains(rig.log(), end_line)) << end_line;
    }
}

TEST(Flash, EveryWayACallEnds)
{
    // Reads: 1 the running version, 2 the status; QB4083C: 3 and 4 the
    // checksums, 5 the new version.
    struct Case {
        int chip_id;
        Faults faults;
        int result;
        bool new_image;  // the downcopy was taken
        const char* console;
        const char* log = nullptr;
    };
    auto status = [](const char* answer) { return Faults{R"({"status": ")" + std::string(answer) + R"("})", ""}; };
    const char* ok = "done Reading verification status...\r\nImage verified OK. Replacing old image with new...";
    const char* compare = "done Reading verification status...\r\nUpgrade failed, with compare error! try again...";
    const char* bad = "done Reading verification status...\r\nverification failed!";
    const Case cases[] = {
        {77, status("55 AA E2 FF 00 7E"), 1, true, ok},
        {83, bmc_rule(kRead, 3, 1, "50 41 53 53 00 3C"), 1, true, "passed checksum check, Checksum: 0x3c3c\r\n"},
        {83, {R"({"checksum_fails": "upper"})", ""}, 1, true, "failed checksum check for upper flash\r\nError\r\n"},
        {83, bmc_rule(kRead, 4, 1, "50 41 53 54 00 3C"), 1, true,
         "Device failed checksum check for lower flash, Checksum: 0x3c3c\r\nError\r\n"},
        {77, {R"({"never_back": true})", ""}, 0, true, "Device never came out of reset after firmware upgrade!"},
        {77, bmc_rule("18 52 01 C0 00 55 AA ED", 2, kTries), 0, true,
         "Reading current firmware version after upgrade...\r\nDevice is not responding on the SMBus."},
        {77, bmc_rule(kRead, 3, kTries), 0, true, "Reading current firmware version after upgrade...\r\nSMBus read failed"},
        {83, refused("checksum_lower"), 0, true, "Error\r\n"},
        {83, refused("closing"), 0, true, "Major:4 Minor:5\r\nDevice is not responding on the SMBus.\r\n"},
        {77, status("55 AA E2 00 00 00"), 0, false, compare},
        {77, status("55 AA E2 01 02 00"), 0, false, compare},
        {77, status("55 AA E3 01 00 00"), 0, false, bad},
        {77, status("55 AB E2 01 00 00"), 0, false, bad},
        {77, bmc_rule(kRead, 2, 1, "55 AA E2 01"), 0, false, "done Reading verification status...\r\nError"},
        {0, {}, 0, false, "UNSUPPORTED CHIP\r\n"}, {75, {}, 0, false, "UNSUPPORTED CHIP\r\n"},
        {81, {}, 0, false, "UNSUPPORTED CHIP\r\n"}, {85, {}, 0, false, "UNSUPPORTED CHIP\r\n"},
        {77, refused("version"), 0, false, "Device is not responding on the SMBus.",
         "Failed for sent command: 0x55, 0xaa, 0xed (FW version)"},
        {77, bmc_rule(kRead, 1, kTries), 0, false, "SMBus read failed"},
        {77, refused("erase"), 0, false, "Error Erasing Firmware image.", "Failed for sent command: 0x55, 0xaa, 0xee (erase)"},
        // The erase wait takes the first ready answer of 45 dummy commands.
        {77, refused("dummy", 44 * kTries), 1, true, "Erase Completed. Writing new firmware..."},
        {77, refused("dummy", 45 * kTries), 0, false, "Chip Erase did not succeed.\r\n"},
        {77, refused("write", kTries, 29), 0, false, "Error writing data on SMBus",
         "Failed for sent command: 0x55, 0xaa, 0xe0 (during mass-write)\nFailed at: 0x001D (50%)\n"},
        {77, {R"({"stop_at": 4})", ""}, 0, false, "Error writing data on SMBus", "Failed at: 0x0004 (8%)\n"},
        {77, refused("verify", kTries, 5), 0, false, "Error writing data on SMBus", "End of write image at: 0x003C\n"},
        {77, refused("end_verify"), 0, false, "Writing end-of-image...\r\nError"},
        {77, refused("downcopy"), 0, false, "Image verified OK. Replacing old image with new...\r\nError"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "chip " << c.chip_id << ": " << c.faults);
        FlashRig rig(machine(c.chip_id, c.faults));
        QB4083CUpgrade = c.chip_id == 83;
        FlashRig::load_image(make_image(60, {3, 4, 5}));
        Flashed f = flash(c.chip_id);
        EXPECT_EQ(f.result, c.result);
        EXPECT_TRUE(contains(f.console, c.console)) << f.console;
        EXPECT_TRUE(!c.log || contains(rig.log(), c.log)) << rig.log();
        // Only an operator abort resets the controller; an unsupported one hears nothing.
        const auto traffic = bus_traffic(rig.trace());
        EXPECT_EQ(lines_starting(traffic, "write 55 AA F1").size() + lines_starting(traffic, "write 55 AA F2 F1").size(), 0u);
        EXPECT_EQ(traffic.empty(), contains(c.console, "UNSUPPORTED"));
        EXPECT_EQ(FlashRig::controller_at().running_version(), c.new_image ? kNew : kOld);
    }
}

TEST(Flash, EscHaltsTheWriteAndVerifyPhases)
{
    // Keys ('^' is Esc) are looked at once every 256 addresses: a 512-byte
    // image polls at 0x000, 0x100 and 0x200 in each phase, so the n-th key
    // is taken at the n-th poll.
    struct Case {
        const char* keys;
        bool unconditional;
        int result;
        bool reset_refused = false;
    };
    const Case cases[] = {
        {"x^y", false, 0}, {"x^y", false, 0, true}, {"x^Y", false, 0}, {"x^n", false, 1},
        {"x^n", true, 0},  // -u aborts at once in the write phase
        {"xxxx^y", false, 0}, {"xxxx^y", true, 0}, {"xxxx^q", true, 1},  // but asks in the verify phase
        {"yyyyyy", false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.keys << (c.unconditional ? " -u" : "") << (c.reset_refused ? " no reset" : ""));
        std::vector<std::pair<double, std::string>> keys;
        for (const char* k = c.keys; *k; k++)
            keys.push_back({0, *k == '^' ? "esc" : std::string(1, *k)});
        FlashRig rig(with_keys(machine(77, c.reset_refused ? refused("reset") : Faults{}), keys));
        CMDL_UnconditionalUpgrade = c.unconditional;
        FlashRig::load_image(make_image(512, {3, 4, 5}));
        Flashed f = flash(77);
        EXPECT_EQ(f.result, c.result);
        EXPECT_EQ(contains(f.console, std::string("Firmware Upgrade Halted...\r\nAbort Upgrade? [y]\r\n") +
                                          (c.result ? "Firmware Upgrade Continuing...\r\n" : "Firmware Upgrade Aborted.")),
                  c.keys[0] == 'x') << f.console;
        // An abort stops at 0x100 of its phase; going on skips and repeats no address.
        const bool in_verify = std::strlen(c.keys) > 3;
        const auto traffic = bus_traffic(rig.trace());
        EXPECT_EQ(addresses(traffic, "write 55 AA E0"), addresses_below(c.result || in_verify ? 512 : 0x100));
        EXPECT_EQ(addresses(traffic, "write 55 AA E1"), addresses_below(c.result ? 512 : in_verify ? 0x100 : 0));
        EXPECT_EQ(count_of(f.console, "\rWriting Address: "), c.result || in_verify ? 3u : 2u);
        EXPECT_TRUE(contains(f.console, "\rVerifying Address: 0000 of 0200\r") == (c.result || in_verify));
        // Only an abort resets; it neither ends the verification nor copies down.
        EXPECT_EQ(lines_starting(traffic, "write 55 AA F1").size(), c.result ? 0u : c.reset_refused ? size_t(kTries) : 1u);
        EXPECT_EQ(lines_starting(traffic, "write 55 AA E2").size() + lines_starting(traffic, "write 55 AA F0").size(), c.result ? 2u : 0u);
        EXPECT_TRUE(c.result ||
                    rig.log().ends_with(c.reset_refused ? "Failed for sent command: 0x55, 0xaa, 0xf1 (reset)\n\n"
                                                        : "Reset Issued after Abort.OK to exit.\n(NOTE: Firmware NOT upgraded)\n\n"));
        EXPECT_EQ(FlashRig::controller_at().running_version(), c.result ? kNew : kOld);
        EXPECT_FALSE(c.unconditional && !in_verify && contains(rig.trace(), "key 0x6E")) << "-u read a key in the write phase";
    }
}
