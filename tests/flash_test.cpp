// Programming one controller, called in the test process against the
// simulated controller: the traffic and waits of both command sets, the
// download limits, the readiness polls, every failure point, and the Esc
// halt with its dialogues.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware_images.h"
#include "flash_rig.h"
#include "main/qb40tool.h"
#include "sim_run.h"

using qbtest::bus_traffic;
using qbtest::contains;
using qbtest::controller;
using qbtest::count_of;
using qbtest::flash_machine;
using qbtest::FlashRig;
using qbtest::only;

namespace {

// A controller that is ready at once after the erase and the reset.
std::string quick_controller(int chip_id, const std::string& extra = "")
{
    return controller("0xC0", chip_id, R"("erase_ms": 1, "reset_ms": 1)" + (extra.empty() ? "" : ", " + extra));
}

// Faults of one scenario: the controller's own (its "faults" object) and
// the BMC's (one rule of its "faults" list), for what only the BMC can do:
// the n-th of a kind of request, short answers.
struct Faults {
    std::string controller;
    std::string bmc;
};

std::ostream& operator<<(std::ostream& out, const Faults& f) { return out << f.controller << f.bmc; }

// The controller does not acknowledge `command` the first `times` times
// (write and verify: at address `at` only).
Faults refused(const char* command, int times, int at = -1)
{
    std::string rule = R"({"command": ")" + std::string(command) + R"(", "times": )" + std::to_string(times);
    if (at >= 0)
        rule += R"(, "at": )" + std::to_string(at);
    return {R"({"refuse": [)" + rule + "}]}", ""};
}

Faults controller_faults(const std::string& json) { return {json, ""}; }

// The BMC answers the n-th request that starts with `request` (and `count`
// of them from there) with completion code 0x83.
Faults bmc_refuses(const std::string& request, int nth, int count)
{
    return {"", R"({"request": ")" + request + R"(", "nth": )" + std::to_string(nth) + R"(, "count": )" +
                    std::to_string(count) + R"(, "completion_code": "0x83"})"};
}

// The BMC answers the n-th 6-byte read of the controller with `data`.
Faults bmc_answers(int nth, const std::string& data)
{
    return {"", R"({"request": "18 52 01 C0 06", "nth": )" + std::to_string(nth) +
                    R"(, "response": "1C 52 00 )" + data + R"("})"};
}

std::string machine(int chip_id, const Faults& faults = {}, const std::string& keys = "")
{
    return flash_machine(quick_controller(chip_id, faults.controller.empty() ? "" : R"("faults": )" + faults.controller),
                         faults.bmc.empty() ? "" : "[" + faults.bmc + "]", keys);
}

// The i2c layer tries a refused transfer three times.
constexpr int kTries = 3;

struct Flashed {
    int result;
    std::string console;
};

Flashed flash(INT8U chip_id)
{
    qbtest::CapturedStdout out;
    int result = FlashFirmwareOverI2C(chip_id, 0xC0, 0x01, 0xE6, 0, 1, 1);
    return {result, out.text()};
}

// Every key available from the start: {"at": 0, "key": K}.
std::string key_script(const std::vector<std::string>& keys)
{
    std::string json = "[";
    for (const std::string& k : keys)
        json += std::string(json.size() > 1 ? ", " : "") + R"({"at": 0, "key": ")" + k + R"("})";
    return json + "]";
}

std::vector<std::string> addresses(const std::vector<std::string>& traffic, const std::string& command)
{
    std::vector<std::string> out;
    for (const std::string& t : only(traffic, command))
        out.push_back(t.substr(command.size() + 1, 5));
    return out;
}

std::vector<std::string> expected_addresses(int count)
{
    std::vector<std::string> out;
    for (int a = 0; a < count; a++) {
        char b[16];
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
        "write 55 AA ED", "read 6",
        "write 55 AA EE", "sleep 55000", "write 55 AA EF",
        "write 55 AA E0 00 00 12", "write 55 AA E0 00 01 34",
        "write 55 AA E1 00 00 12", "write 55 AA E1 00 01 34",
        "write 55 AA E2", "read 6",
        "write 55 AA F0", "sleep 10000000", "sleep 55000", "sleep 110000", "write 55 AA EF",
        "write 55 AA ED", "read 6",
    };
    EXPECT_EQ(bus_traffic(rig.trace()), expected);
    EXPECT_TRUE(contains(f.console, "Upgrading ChipID:73 at Sector: 0x2000\r\n"
                                    "Updating firmware on bus 0x01 at I2C address 0xC0\r\n"));
    EXPECT_TRUE(contains(f.console, "End of image reached (0x0002 bytes)\r\n"));
    EXPECT_TRUE(contains(rig.log(), "End of write image at: 0x0002\n"
                                    "Verifying New Image on Chip 1 of 1.\n"
                                    "Starting to verify image at: 0x0002 Imagesize: 2 (0x0002)\n"));
    EXPECT_TRUE(contains(f.console, "Image verified OK. Replacing old image with new...\r\n"));
    // The return poll shows one dot per attempt, on the line before "done".
    EXPECT_TRUE(contains(f.console, "Waiting for reset to complete\r\n.done. (Device is now again operational)"));
}

TEST(Flash, UnsupportedChipSendsNothing)
{
    for (int chip_id : {0, 72, 74, 75, 78, 79, 81, 85, 255}) {
        FlashRig rig(machine(77));
        FlashRig::load_image(qbtest::make_image(300));
        Flashed f = flash(static_cast<INT8U>(chip_id));
        EXPECT_EQ(f.result, 0) << chip_id;
        EXPECT_EQ(f.console, "UNSUPPORTED CHIP\r\n") << chip_id;
        EXPECT_EQ(bus_traffic(rig.trace()), std::vector<std::string>{}) << chip_id;
    }
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
        {80, false, 300, "0x4000", 300, true},
        {82, false, 300, "0x4000", 300, true},
        // 0x7A00 lies beyond any image the buffer holds; this one passes
        // the other families' limits.
        {84, false, 0x3E01, "0x7c00", 0x3E01, true},
        {83, true, 0x1001, "0x1000", 0x1000, false},  // the QB4083C set writes up to the full limit
        {84, true, 300, "0x1000", 300, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "chip " << c.chip_id << (c.qb4083c ? " QB4083C set" : "") << ", "
                                        << c.image_size << " bytes");
        FlashRig rig(machine(c.chip_id));
        QB4083CUpgrade = c.qb4083c;
        const std::string image = qbtest::make_image(c.image_size);
        FlashRig::load_image(image);
        Flashed f = flash(static_cast<INT8U>(c.chip_id));
        EXPECT_EQ(f.result, 1);
        EXPECT_TRUE(contains(f.console, std::string("at Sector: ") + c.sector + "\r\n"));

        const auto traffic = bus_traffic(rig.trace());
        const std::string write = c.qb4083c ? "write 55 AA F2 E0" : "write 55 AA E0";
        const std::string verify = c.qb4083c ? "write 55 AA F2 E1" : "write 55 AA E1";
        EXPECT_EQ(addresses(traffic, write), expected_addresses(c.bytes_sent));
        EXPECT_EQ(addresses(traffic, verify), expected_addresses(c.bytes_sent));
        // Each command carries the image byte of its address.
        const auto writes = only(traffic, write);
        ASSERT_EQ(writes.size(), size_t(c.bytes_sent));
        char last_byte[4];
        std::snprintf(last_byte, sizeof(last_byte), "%02X", static_cast<unsigned char>(image[c.bytes_sent - 1]));
        EXPECT_TRUE(writes.back().ends_with(last_byte)) << writes.back();

        EXPECT_EQ(contains(f.console, "End of image reached"), c.end_of_image);
        char end_line[64];
        const int last = c.end_of_image ? c.image_size : c.bytes_sent - 1;
        std::snprintf(end_line, sizeof(end_line), "End of write image at: 0x%04X\n", last);
        EXPECT_TRUE(contains(rig.log(), end_line)) << end_line;
        std::snprintf(end_line, sizeof(end_line), "End of verify image at: 0x%04X\n", last);
        EXPECT_TRUE(contains(rig.log(), end_line)) << end_line;
    }
}

TEST(Flash, ProgressEvery256AddressesOnTheConsoleOnly)
{
    FlashRig rig(machine(77));
    FlashRig::load_image(qbtest::make_image(0x300));
    Flashed f = flash(77);
    EXPECT_EQ(f.result, 1);
    EXPECT_TRUE(contains(f.console, "========================================\r\n"
                                    "\rWriting Address: 0000 of 0300\r"
                                    "\rWriting Address: 0100 of 0300\r"
                                    "\rWriting Address: 0200 of 0300\r"
                                    "\rWriting Address: 0300 of 0300\r"
                                    "End of image reached (0x0300 bytes)\r\n"))
        << f.console;
    EXPECT_EQ(count_of(f.console, "Verifying Address: "), 4u);
    EXPECT_FALSE(contains(rig.log(), "Address: "));
}

TEST(Flash, EmptyImageErasesAndEndsBothPhasesAtAddressZero)
{
    FlashRig rig(machine(77));
    FlashRig::load_image("");
    Flashed f = flash(77);
    EXPECT_EQ(count_of(f.console, "End of image reached (0x0000 bytes)"), 2u);
    const auto traffic = bus_traffic(rig.trace());
    EXPECT_EQ(only(traffic, "write 55 AA EE").size(), 1u);
    EXPECT_EQ(only(traffic, "write 55 AA E0").size(), 0u);
    EXPECT_EQ(only(traffic, "write 55 AA E1").size(), 0u);
    EXPECT_TRUE(contains(rig.log(), "End of write image at: 0x0000\n"));
    // What follows is the controller's answer to an empty verification.
    EXPECT_EQ(only(traffic, "write 55 AA E2").size(), 1u);
}

TEST(Flash, EraseWaitTakesTheFirstAcceptedOfFortyFiveDummies)
{
    struct Case {
        int refused_dummies;
        int result;
    };
    for (const Case c : {Case{0, 1}, Case{44, 1}, Case{45, 0}}) {
        SCOPED_TRACE(c.refused_dummies);
        FlashRig rig(machine(77, c.refused_dummies ? refused("dummy", c.refused_dummies * kTries) : Faults{}));
        FlashRig::load_image(qbtest::make_image(10));
        Flashed f = flash(77);
        EXPECT_EQ(f.result, c.result);
        const int attempts = c.refused_dummies == 45 ? 45 : c.refused_dummies + 1;
        EXPECT_EQ(count_of(rig.log(), "Delay 1 tick...\nWriting dummy command: 0x55, 0xaa, 0xef\n"),
                  size_t(attempts));
        EXPECT_EQ(contains(f.console, "Chip Erase did not succeed.\r\n"), c.result == 0);
        EXPECT_EQ(contains(f.console, "Erase Completed. Writing new firmware..."), c.result == 1);
        if (c.result == 0) {
            EXPECT_EQ(only(bus_traffic(rig.trace()), "write 55 AA E0").size(), 0u);
        }
    }
}

TEST(Flash, ControllerBusyErasingRefusesDummiesUntilItIsDone)
{
    // 44 ticks of 55 ms pass before the 45th dummy command.
    FlashRig rig(flash_machine(controller("0xC0", 77, R"("erase_ms": 2450, "reset_ms": 1)")));
    FlashRig::load_image(qbtest::make_image(10));
    EXPECT_EQ(flash(77).result, 1);
    EXPECT_EQ(count_of(rig.log(), "Delay 1 tick..."), 45u);
}

TEST(Flash, EveryVerificationStatusAnswer)
{
    // Reads: 1 the running version, 2 the status.
    struct Case {
        Faults faults;
        const char* message;
    };
    auto status = [](const char* answer) { return controller_faults(R"({"status": ")" + std::string(answer) + R"("})"); };
    const Case cases[] = {
        {{}, "Image verified OK. Replacing old image with new..."},
        {status("55 AA E2 FF 00 7E"), "Image verified OK. Replacing old image with new..."},
        {status("55 AA E2 00 00 00"), "Upgrade failed, with compare error! try again..."},
        {status("55 AA E2 01 02 00"), "Upgrade failed, with compare error! try again..."},
        {controller_faults(R"({"compare_error_at": 7})"), "Upgrade failed, with compare error! try again..."},
        {status("55 AA E3 01 00 00"), "verification failed!"},
        {status("55 AB E2 01 00 00"), "verification failed!"},
        {status("54 AA E2 01 00 00"), "verification failed!"},
        {bmc_answers(2, "55 AA E2 01"), "Error"},  // short answer
        {bmc_refuses("18 52 01 C0 06", 2, kTries), "Error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        FlashRig rig(machine(77, c.faults));
        FlashRig::load_image(qbtest::make_image(10));
        Flashed f = flash(77);
        const bool passes = std::string(c.message).starts_with("Image verified");
        EXPECT_EQ(f.result, passes ? 1 : 0);
        EXPECT_TRUE(contains(f.console, "done Reading verification status...\r\n"));
        EXPECT_TRUE(contains(f.console, std::string(c.message) + "\r\n"));
        EXPECT_EQ(only(bus_traffic(rig.trace()), "write 55 AA F0").size(), passes ? 1u : 0u)
            << "downcopy only after a good status";
    }
}

TEST(Flash, EachFailurePointEndsTheCallWithItsMessage)
{
    struct Case {
        Faults faults;
        const char* console;
        const char* log;  // nullptr: nothing particular
    };
    const Case cases[] = {
        {refused("version", kTries), "Device is not responding on the SMBus.",
         "Failed for sent command: 0x55, 0xaa, 0xed (FW version)"},
        {bmc_refuses("18 52 01 C0 06", 1, kTries), "SMBus read failed", nullptr},
        {refused("erase", kTries), "Error Erasing Firmware image.", "Failed for sent command: 0x55, 0xaa, 0xee (erase)"},
        {refused("write", kTries, 2), "Error writing data on SMBus",
         "Failed for sent command: 0x55, 0xaa, 0xe0 (during mass-write)\nFailed at: 0x0002 (30%)\n"},
        {refused("write", kTries, 9), "Error writing data on SMBus", "Failed at: 0x0009 (100%)\n"},
        {controller_faults(R"({"stop_at": 4})"), "Error writing data on SMBus", "Failed at: 0x0004 (50%)\n"},
        {refused("verify", kTries, 5), "Error writing data on SMBus", "End of write image at: 0x000A\n"},
        {refused("end_verify", kTries), "Writing end-of-image...\r\nError", nullptr},
        {refused("downcopy", kTries), "Image verified OK. Replacing old image with new...\r\nError", nullptr},
        {controller_faults(R"({"never_back": true})"), "Device never came out of reset after firmware upgrade!", nullptr},
        {bmc_refuses("18 52 01 C0 00 55 AA ED", 2, kTries), "Device is not responding on the SMBus.",
         "Failed for sent command: 0x55, 0xaa, 0xed (FW version)"},
        {bmc_refuses("18 52 01 C0 06", 3, kTries),
         "Reading current firmware version after upgrade...\r\nSMBus read failed", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        FlashRig rig(machine(77, c.faults));
        FlashRig::load_image(qbtest::make_image(10));
        Flashed f = flash(77);
        EXPECT_EQ(f.result, 0);
        EXPECT_TRUE(contains(f.console, c.console)) << f.console;
        if (c.log) {
            EXPECT_TRUE(contains(rig.log(), c.log)) << rig.log();
        }
        // Only an operator abort resets the controller.
        EXPECT_EQ(only(bus_traffic(rig.trace()), "write 55 AA F1").size(), 0u);
    }
}

TEST(Flash, EscHaltsTheWriteAndVerifyPhases)
{
    // Keys are looked at once every 256 addresses: a 512-byte image polls
    // at 0x000, 0x100 and 0x200 in each phase, so the n-th key waiting is
    // taken at the n-th poll.
    struct Case {
        const char* name;
        std::vector<std::string> keys;
        bool unconditional;
        int result;
        const char* dialogue;
    };
    const char* const aborted = "Abort Upgrade? [y]\r\nFirmware Upgrade Aborted.";
    const char* const going_on = "Abort Upgrade? [y]\r\nFirmware Upgrade Continuing...\r\n";
    const Case cases[] = {
        {"write, y aborts", {"x", "esc", "y"}, false, 0, aborted},
        {"write, Y aborts", {"x", "esc", "Y"}, false, 0, aborted},
        {"write, other key goes on", {"x", "esc", "n"}, false, 1, going_on},
        {"write, -u aborts without a key", {"x", "esc", "n"}, true, 0, aborted},
        {"verify, y aborts", {"x", "x", "x", "x", "esc", "y"}, false, 0, aborted},
        {"verify, -u still asks, y aborts", {"x", "x", "x", "x", "esc", "y"}, true, 0, aborted},
        {"verify, -u still asks, other key goes on", {"x", "x", "x", "x", "esc", "q"}, true, 1, going_on},
        {"only Esc halts", {"y", "y", "y", "y", "y", "y"}, false, 1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string keys = key_script(c.keys);
        FlashRig rig(machine(77, {}, keys));
        CMDL_UnconditionalUpgrade = c.unconditional;
        const std::string image = qbtest::make_image(512);
        FlashRig::load_image(image);
        Flashed f = flash(77);
        EXPECT_EQ(f.result, c.result);
        if (c.dialogue) {
            EXPECT_TRUE(contains(f.console, std::string("Firmware Upgrade Halted...\r\n") + c.dialogue)) << f.console;
        } else {
            EXPECT_FALSE(contains(f.console, "Halted"));
        }
        const auto traffic = bus_traffic(rig.trace());
        const bool in_verify = std::string(c.name).starts_with("verify");
        if (c.result == 0) {
            // Aborted: reset, no end of verification, no downcopy.
            EXPECT_EQ(only(traffic, "write 55 AA F1"), std::vector<std::string>{"write 55 AA F1"});
            EXPECT_EQ(only(traffic, "write 55 AA E2").size(), 0u);
            EXPECT_EQ(only(traffic, "write 55 AA F0").size(), 0u);
            EXPECT_TRUE(contains(rig.log(), "Reset Issued after Abort.OK to exit.\n(NOTE: Firmware NOT upgraded)\n\n"));
            // Stopped at the address of the halt: 0x100 in either phase.
            EXPECT_EQ(addresses(traffic, "write 55 AA E0"), expected_addresses(in_verify ? 512 : 0x100));
            EXPECT_EQ(addresses(traffic, "write 55 AA E1"), expected_addresses(in_verify ? 0x100 : 0));
        } else {
            // Went on where it stopped: every address once, in order.
            EXPECT_EQ(addresses(traffic, "write 55 AA E0"), expected_addresses(512));
            EXPECT_EQ(addresses(traffic, "write 55 AA E1"), expected_addresses(512));
            EXPECT_EQ(only(traffic, "write 55 AA F1").size(), 0u);
        }
        if (c.unconditional && !in_verify) {
            EXPECT_FALSE(contains(rig.trace(), "key 0x6E")) << "-u must not read a key in the write phase";
        }
    }
}

TEST(Flash, AResetRefusedAfterAnAbortIsLoggedAndStillEndsTheCall)
{
    FlashRig rig(machine(77, refused("reset", kTries), key_script({"esc", "y"})));
    FlashRig::load_image(qbtest::make_image(100));
    Flashed f = flash(77);
    EXPECT_EQ(f.result, 0);
    // The I2C layer's retry lines come between.
    EXPECT_EQ(qbtest::missing_in_order(qbtest::lines(rig.log()),
                                       {"Firmware Upgrade Aborted. Issuing Reset...", "Error Issuing Reset",
                                        "Failed for sent command: 0x55, 0xaa, 0xf1 (reset)", ""}),
              "");
    EXPECT_TRUE(rig.log().ends_with("Failed for sent command: 0x55, 0xaa, 0xf1 (reset)\n\n"));
}

TEST(Flash, QuietModeNeitherPollsKeysNorShowsProgress)
{
    FlashRig rig(machine(77, {}, key_script({"esc", "y"})));
    CMDL_QuietMode = 1;
    CMDL_UnconditionalUpgrade = 1;
    FlashRig::load_image(qbtest::make_image(600));
    Flashed f = flash(77);
    EXPECT_EQ(f.result, 1);
    EXPECT_EQ(f.console, "");
    EXPECT_FALSE(contains(rig.trace(), " key "));
    EXPECT_TRUE(contains(rig.log(), "Image verified OK."));
}

TEST(Flash, QB4083CSetTrafficChecksumsAndFixedWaits)
{
    FlashRig rig(machine(83));
    QB4083CUpgrade = 1;
    FlashRig::load_image("\x12\x34");
    Flashed f = flash(83);
    EXPECT_EQ(f.result, 1);
    const std::vector<std::string> expected = {
        "write 55 AA F2 ED", "read 6",
        "write 55 AA F2 EE", "sleep 2000000",
        "write 55 AA F2 E0 00 00 12", "write 55 AA F2 E0 00 01 34",
        "write 55 AA F2 E1 00 00 12", "write 55 AA F2 E1 00 01 34",
        "write 55 AA F2 E2", "read 6",
        "write 55 AA F2 E8", "sleep 1000000", "read 6",
        "sleep 5000000", "write 55 AA F2 F0", "sleep 10000000", "sleep 55000",
        "write 55 AA F2 E5", "sleep 2000000", "read 6",
        "write 55 AA F2 ED", "read 6",
        "sleep 1000000", "write 55 AA E7", "sleep 2000000",
    };
    EXPECT_EQ(bus_traffic(rig.trace()), expected);
    EXPECT_EQ(count_of(f.console, "Device successfully passed checksum check, Checksum: 0x"), 2u);
    EXPECT_TRUE(contains(rig.log(), "Sending erase command: 0x55, 0xaa, 0xf2, 0xee\n"));
    EXPECT_TRUE(contains(rig.log(), "Sending verify commands: 0x55, 0xaa, 0xe1\n"));
}

TEST(Flash, QB4083CChecksumFailuresAreShownAndTheUpgradeGoesOn)
{
    // Reads: 1 version, 2 status, 3 upper checksum, 4 lower checksum, 5 version.
    struct Case {
        Faults faults;
        int result;
        const char* console;
    };
    const Case cases[] = {
        {bmc_answers(3, "50 41 53 53 00 3C"), 1, "Device successfully passed checksum check, Checksum: 0x3c3c\r\n"},
        {controller_faults(R"({"checksum_fails": "upper"})"), 1,
         "Device failed checksum check for upper flash\r\nError\r\n"},
        {controller_faults(R"({"checksum_fails": "lower"})"), 1, "Device failed checksum check for lower flash, Checksum: 0x"},
        {bmc_answers(4, "50 41 53 54 00 3C"), 1,
         "Device failed checksum check for lower flash, Checksum: 0x3c3c\r\nError\r\n"},
        {bmc_answers(3, "50 41 53"), 0, "Error\r\n"},
        {refused("checksum_upper", kTries), 0, "Error\r\n"},
        {refused("checksum_lower", kTries), 0, "Error\r\n"},
        {refused("closing", kTries), 0, "Major:2 Minor:3\r\nDevice is not responding on the SMBus.\r\n"},
        {bmc_refuses("18 52 01 C0 00 55 AA F2 ED", 2, kTries), 0, "Device is not responding on the SMBus.\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        FlashRig rig(machine(83, c.faults));
        QB4083CUpgrade = 1;
        FlashRig::load_image(qbtest::make_image(60, {1, 2, 3}));
        Flashed f = flash(83);
        EXPECT_EQ(f.result, c.result);
        EXPECT_TRUE(contains(f.console, c.console)) << f.console;
        if (c.result == 1) {
            EXPECT_EQ(only(bus_traffic(rig.trace()), "write 55 AA F2 F0").size(), 1u);
        }
    }
}

TEST(Flash, HeadingOfAQB4083CRun)
{
    FlashRig rig(machine(84));
    FoundQB4083C = 1;
    FlashRig::load_image(qbtest::make_image(60, {5, 6, 7}));
    Flashed f = flash(84);
    EXPECT_TRUE(f.console.starts_with("Upgrading ChipID:83C at Sector: 0x7c00\r\n"
                                      "Firmware image versions are:\n\r\n"
                                      "DISK: FW:0x05 Major-REV:0x06 Minor-Rev:0x07\r\n"
                                      "Requesting current firmware version from chip...\r\n"
                                      "Reading current firmware version...              \r\n"))
        << f.console;
}
