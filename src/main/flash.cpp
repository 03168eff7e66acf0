// SPDX-License-Identifier: MIT
// Programming the loaded image into one controller with the controller's
// flash commands: running version, erase, byte writes, byte verifies, the
// verification status, downcopy and reset, and the new version.
//
// Every command is one I2C write starting 0x55 0xAA (the QB4083C set adds
// 0xF2 after them); every answer is one 6-byte I2C read.
#include "flash.h"

#include <cstdio>

#include "../common/settings.h"
#include "../i2c/i2c.h"
#include "../logfile/logfile.h"
#include "../outcome/outcome.h"
#include "../waits/pause.h"
#include "../waits/terminal.h"
#include "image.h"
#include "scan.h"
#include "signals.h"

INT8U QB4083CUpgrade = 0;

namespace {

enum : INT8U {
    FLASH_CMD_WRITE = 0xE0,
    FLASH_CMD_VERIFY = 0xE1,
    FLASH_CMD_END_OF_VERIFY = 0xE2,
    FLASH_CMD_CHECKSUM_LOWER = 0xE5,
    FLASH_CMD_CLOSE = 0xE7,
    FLASH_CMD_CHECKSUM_UPPER = 0xE8,
    FLASH_CMD_VERSION = 0xED,
    FLASH_CMD_ERASE = 0xEE,
    FLASH_CMD_DUMMY = 0xEF,
    FLASH_CMD_DOWNCOPY_RESET = 0xF0,
    FLASH_CMD_RESET = 0xF1,
};

constexpr INT8U kQB4083CCommandByte = 0xF2;
constexpr int kAnswerLength = 6;
constexpr int kReadyAttempts = 45;  // dummy commands while erasing or resetting
constexpr INT16U kStandardSpareBytes = 512;  // the standard set leaves the top 512 bytes alone

// 0 for a chip without a download limit.
INT16U DownloadSectorOf(INT8U ChipID)
{
    const ChipFamily* family = ChipFamilyOf(ChipID);
    if (!family)
        return 0;
    return QB4083CUpgrade ? family->download_limit_qb4083c : family->download_limit;
}

// The one controller this call talks to.
struct FlashTarget {
    INT8U addr7;
    INT8U busID;
};

// The command bytes as the log lines spell them before the command byte.
const char* CommandPrefixText() { return QB4083CUpgrade ? "0x55, 0xaa, 0xf2, " : "0x55, 0xaa, "; }

// Writes the prefix and the command byte into `cmd`; returns where the
// operands go (and the length of an operand-less command).
INT8U PutCommand(INT8U* cmd, INT8U command)
{
    INT8U n = 0;
    cmd[n++] = 0x55;
    cmd[n++] = 0xAA;
    if (QB4083CUpgrade)
        cmd[n++] = kQB4083CCommandByte;
    cmd[n++] = command;
    return n;
}

// A line that ends the programming of this controller: shown, and kept for
// the outcome report.
void FailLine(const char* line)
{
    pb("%s", line);
    NoteFlashError(line);
}

bool Send(const FlashTarget& target, const INT8U* cmd, INT8U length)
{
    return i2c_master_write(target.addr7, cmd, length, target.busID) == length;
}

bool SendCommand(const FlashTarget& target, INT8U command)
{
    INT8U cmd[16];
    return Send(target, cmd, PutCommand(cmd, command));
}

bool ReadAnswer(const FlashTarget& target, INT8U* answer)
{
    return i2c_master_read(target.addr7, answer, kAnswerLength, target.busID) == kAnswerLength;
}

// The controller answers the dummy command only once it is ready again.
bool WaitUntilReady(const FlashTarget& target, bool after_reset)
{
    for (int attempt = 0; attempt < kReadyAttempts; attempt++) {
        if (after_reset) {
            ps_no_rn(".");
            timedelay(2);
        } else {
            pf("Delay 1 tick...");
            timedelay(1);
            pf("Writing dummy command: 0x55, 0xaa, 0xef");
        }
        if (SendCommand(target, FLASH_CMD_DUMMY))
            return true;
    }
    return false;
}

// Reads the version answer; false after the failure lines.
bool ReadVersion(const FlashTarget& target, INT8U* answer, const char* reading_line)
{
    if (!SendCommand(target, FLASH_CMD_VERSION)) {
        FailLine("Device is not responding on the SMBus.");
        pf("Failed for sent command: %s0xed (FW version)", CommandPrefixText());
        return false;
    }
    if (reading_line)
        pb("%s", reading_line);
    if (!ReadAnswer(target, answer)) {
        FailLine("SMBus read failed");
        return false;
    }
    return true;
}

bool IsPass(const INT8U* answer) { return answer[0] == 'P' && answer[1] == 'A' && answer[2] == 'S' && answer[3] == 'S'; }

// Abort after a halt: the controller is reset and keeps its old image.
int AbortUpgrade(const FlashTarget& target)
{
    FailLine("Firmware Upgrade Aborted. Issuing Reset...");
    NoteFlashAborted();
    if (SendCommand(target, FLASH_CMD_RESET)) {
        pf("Reset Issued after Abort.OK to exit.");
        pf("(NOTE: Firmware NOT upgraded)");
    } else {
        pf("Error Issuing Reset");
        pf("Failed for sent command: %s0xf1 (reset)", CommandPrefixText());
    }
    pb("%s", "");
    return 0;
}

// The operator pressed Esc. True: abort. Unconditional mode aborts a halted
// write phase without asking; a halted verify phase always asks.
bool HaltWantsAbort(bool ask_even_if_unconditional)
{
    pb("Firmware Upgrade Halted...");
    pb("Abort Upgrade? [y]");
    if ((CMDL_UnconditionalUpgrade && !ask_even_if_unconditional) || SignalStopsProgramming())
        return true;
    int key = getch();
    if (key == 'y' || key == 'Y' || SignalStopsProgramming())
        return true;
    pb("Firmware Upgrade Continuing...");
    return false;
}

enum class Phase { Write, Verify };

enum class PhaseEnd { Done, Failed, Aborted };

// Sends one byte command per address from 0 up to the limit or the end of
// the image. Progress and the Esc key are looked at once every 256
// addresses only, so a byte costs nothing but its own command.
// `last_address` receives the address bytes last put into a command.
PhaseEnd SendImage(const FlashTarget& target, Phase phase, INT16U limit, INT8U* last_address)
{
    INT8U cmd[16];
    const INT8U address_at = PutCommand(cmd, phase == Phase::Write ? FLASH_CMD_WRITE : FLASH_CMD_VERIFY);
    const INT8U length = address_at + 3;
    PhaseEnd end = PhaseEnd::Done;

    for (INT16U AdrCntr = 0; AdrCntr < limit; AdrCntr++) {
        if ((AdrCntr & 0xFF) == 0) {
            if (phase == Phase::Write)
                ps_r("\rWriting Address: %04x of %04x", AdrCntr, FileImageSize);
            else
                ps_r("\rVerifying Address: %04x of %04x", AdrCntr, FileImageSize);
            // A signal aborts here as an operator's "y" would.
            bool abort = SignalStopsProgramming();
            if (!abort && !CMDL_QuietMode && kbhit() && getch() == KEY_ESC)
                abort = HaltWantsAbort(/*ask_even_if_unconditional=*/phase == Phase::Verify);
            if (abort || SignalStopsProgramming()) {  // also one that came while looking for a key
                end = PhaseEnd::Aborted;
                break;
            }
        }
        cmd[address_at] = static_cast<INT8U>(AdrCntr >> 8);
        cmd[address_at + 1] = static_cast<INT8U>(AdrCntr);
        if (AdrCntr >= FileImageSize) {
            pb("End of image reached (0x%04X bytes)", FileImageSize);
            break;
        }
        cmd[address_at + 2] = FirmwareImage[AdrCntr];
        if (!Send(target, cmd, length)) {
            FailLine("Error writing data on SMBus");
            if (phase == Phase::Write) {
                pf("Failed for sent command: %s0xe0 (during mass-write)", CommandPrefixText());
                // The "%)" of this line is not a conversion: the line ends in
                // the percentage and a percent sign.
                pf("Failed at: 0x%02X%02X (%d%%)", cmd[address_at], cmd[address_at + 1],
                   (AdrCntr + 1) * 100 / FileImageSize);
            }
            end = PhaseEnd::Failed;
            break;
        }
    }
    last_address[0] = cmd[address_at];
    last_address[1] = cmd[address_at + 1];
    return end;
}

// Upper and lower flash each report a checksum; a failed one is shown but
// does not stop the upgrade.
enum class ChecksumFlash { Upper, Lower };

bool CheckChecksum(const FlashTarget& target, ChecksumFlash flash)
{
    const bool upper = flash == ChecksumFlash::Upper;
    if (upper)
        pf("Sending validate checksum command for upper flash: 0x55, 0xaa, 0xf2, 0xe8");
    else
        pf("Sending validate checksum command for lower flash: 0x55, 0xaa, 0xf2, 0xe5");
    if (!SendCommand(target, upper ? FLASH_CMD_CHECKSUM_UPPER : FLASH_CMD_CHECKSUM_LOWER)) {
        FailLine("Error");
        return false;
    }
    qb_delay(upper ? 1000 : 2000);
    INT8U answer[16];
    if (!ReadAnswer(target, answer)) {
        FailLine("Error");
        return false;
    }
    if (IsPass(answer)) {
        pb("Device successfully passed checksum check, Checksum: 0x%x%x", answer[5], answer[5]);
    } else {
        if (upper)
            pb("Device failed checksum check for upper flash");
        else
            pb("Device failed checksum check for lower flash, Checksum: 0x%x%x", answer[5], answer[5]);
        pb("Error");
    }
    return true;
}

void ShowNewVersion(const FlashTarget& target, const INT8U* answer)
{
    char version[50];
    pb("New Firmware information:");
    pb("Chip: FW:0x%02x Major-REV:0x%02x Minor-Rev:0x%02x", answer[3], answer[4], answer[5]);
    std::snprintf(version, sizeof(version), "Major:%d Minor:%d", answer[4], answer[5]);
    pb("%s", version);
    NoteVersionReadBack(answer + 3);
    NoteVersionRead(target.busID, static_cast<INT8U>(target.addr7 << 1), answer + 3);
}

// Both sets: the downcopy-and-reset command (its bytes as the set shows
// them) and the controller's first 10 s of reset.
bool SendDowncopyReset(const FlashTarget& target, const char* shown)
{
    NoteFlashStep(STEP_DOWNCOPY);
    pf("Sending Downcopy and RESET command: %s", shown);
    if (!SendCommand(target, FLASH_CMD_DOWNCOPY_RESET)) {
        FailLine("Error");
        return false;
    }
    pb("OK. Resetting device. Waiting for reset to complete");
    qb_delay(10000);
    timedelay(1);
    return true;
}

bool ShowVersionAfterUpgrade(const FlashTarget& target)
{
    NoteFlashStep(STEP_READ_BACK);
    pb("Reading current firmware version after upgrade...");
    INT8U answer[16];
    if (!ReadVersion(target, answer, nullptr))
        return false;
    ShowNewVersion(target, answer);
    return true;
}

// Standard set: downcopy and reset, then poll until the controller answers.
int FinishStandard(const FlashTarget& target)
{
    if (SignalStopsProgramming())
        return AbortUpgrade(target);
    if (!SendDowncopyReset(target, "0x55, 0xaa, 0xf0"))
        return 0;
    NoteFlashStep(STEP_RESET_WAIT);
    if (!WaitUntilReady(target, /*after_reset=*/true)) {
        FailLine("Device never came out of reset after firmware upgrade!");
        return 0;
    }
    pb("done. (Device is now again operational)");
    return ShowVersionAfterUpgrade(target) ? 1 : 0;
}

// QB4083C set: checksums around the downcopy, fixed waits instead of
// polling, and a closing command.
int FinishQB4083C(const FlashTarget& target)
{
    if (!CheckChecksum(target, ChecksumFlash::Upper))
        return 0;
    qb_delay(5000);
    if (SignalStopsProgramming())
        return AbortUpgrade(target);
    if (!SendDowncopyReset(target, "0x55, 0xaa, 0xf2, 0xf0"))
        return 0;
    pb("done. (Device is now again operational)");
    // The first word from the controller after its reset.
    NoteFlashStep(STEP_RESET_WAIT);
    if (!CheckChecksum(target, ChecksumFlash::Lower) || !ShowVersionAfterUpgrade(target))
        return 0;
    qb_delay(1000);
    // The closing command has no 0xF2.
    const INT8U closing[] = {0x55, 0xAA, FLASH_CMD_CLOSE};
    if (!Send(target, closing, sizeof(closing))) {
        FailLine("Device is not responding on the SMBus.");
        return 0;
    }
    qb_delay(2000);
    return 1;
}

bool Erase(const FlashTarget& target)
{
    pf("Sending erase command: %s0xee", CommandPrefixText());
    if (!SendCommand(target, FLASH_CMD_ERASE)) {
        FailLine("Error Erasing Firmware image.");
        pf("Failed for sent command: %s0xee (erase)", CommandPrefixText());
        return false;
    }
    pb("Wait for erase to complete...");
    if (QB4083CUpgrade) {
        qb_delay(2000);
    } else {
        pb("Retry dummy writes until chip becomes ready. Retry count: %d", kReadyAttempts);
        if (!WaitUntilReady(target, /*after_reset=*/false)) {
            FailLine("Chip Erase did not succeed.");
            return false;
        }
    }
    pb("done. Writing new firmware...");
    pb("Erase Completed. Writing new firmware...");
    return true;
}

bool CheckVerificationStatus(const FlashTarget& target)
{
    pb("Writing end-of-image...");
    pf("Sending End of Verification Command: %s0xe2", CommandPrefixText());
    if (!SendCommand(target, FLASH_CMD_END_OF_VERIFY)) {
        FailLine("Error");
        return false;
    }
    pb("done Reading verification status...");
    INT8U answer[16];
    answer[0] = answer[1] = answer[2] = 0;
    if (!ReadAnswer(target, answer)) {
        FailLine("Error");
        return false;
    }
    if (answer[0] != 0x55 || answer[1] != 0xAA || answer[2] != FLASH_CMD_END_OF_VERIFY) {
        FailLine("verification failed!");
        return false;
    }
    // Byte 3: the image verified; byte 4: compare errors seen.
    if (answer[3] == 0 || answer[4] != 0) {
        FailLine("Upgrade failed, with compare error! try again...");
        return false;
    }
    pb("Image verified OK. Replacing old image with new...");
    return true;
}

// Erase, write, verify and finish. A signal stops it at the first safe
// point: the erase wait finished, a halt point of the write or verify phase,
// or before the downcopy (the abort's reset leaves the old image running);
// after the downcopy the controller is brought back up and read first.
int Program(const FlashTarget& target, INT16U limit, INT8U ProgInd, INT8U ProgTotal)
{
    NoteFlashStep(STEP_ERASE);
    if (!Erase(target))
        return 0;
    if (SignalStopsProgramming())
        return AbortUpgrade(target);

    INT8U last_address[2];
    pb("Writing New Image on Chip %d of %d.", ProgInd, ProgTotal);
    pf("Sending write command: %s0xe0", CommandPrefixText());
    pb("========================================");
    NoteFlashStep(STEP_WRITE);
    PhaseEnd end = SendImage(target, Phase::Write, limit, last_address);
    if (end == PhaseEnd::Failed)
        return 0;
    if (end == PhaseEnd::Aborted)
        return AbortUpgrade(target);
    pf("End of write image at: 0x%02X%02X", last_address[0], last_address[1]);

    pb("Verifying New Image on Chip %d of %d.", ProgInd, ProgTotal);
    pf("Starting to verify image at: 0x%02X%02X Imagesize: %d (0x%04x)", last_address[0], last_address[1],
       FileImageSize, FileImageSize);
    pf("Sending verify commands: 0x55, 0xaa, 0xe1");
    NoteFlashStep(STEP_VERIFY);
    end = SendImage(target, Phase::Verify, limit, last_address);
    if (end == PhaseEnd::Failed)
        return 0;
    if (end == PhaseEnd::Aborted)
        return AbortUpgrade(target);
    pf("End of verify image at: 0x%02X%02X", last_address[0], last_address[1]);

    NoteFlashStep(STEP_STATUS);
    if (!CheckVerificationStatus(target))
        return 0;
    return QB4083CUpgrade ? FinishQB4083C(target) : FinishStandard(target);
}

}  // namespace

int FlashFirmwareOverI2C(INT8U ChipID, INT8U i2c_addr, INT8U busID, INT8U /*MUXaddress*/, INT8U /*MUXchannel*/,
                         INT8U ProgInd, INT8U ProgTotal)
{
    const INT16U DownloadSector = DownloadSectorOf(ChipID);
    if (DownloadSector == 0) {
        FailLine("UNSUPPORTED CHIP");
        return 0;
    }
    const INT16U limit = QB4083CUpgrade ? DownloadSector : DownloadSector - kStandardSpareBytes;
    const FlashTarget target{static_cast<INT8U>(i2c_addr >> 1), busID};

    if (FoundQB4083C) {
        pb("Upgrading ChipID:83C at Sector: 0x%04x", DownloadSector);
    } else {
        pb("Upgrading ChipID:%d at Sector: 0x%04x", ChipID, DownloadSector);
        pb("Updating firmware on bus 0x%02x at I2C address 0x%02X", busID, i2c_addr);
    }
    pb("Firmware image versions are:\n");
    pb("DISK: FW:0x%02x Major-REV:0x%02x Minor-Rev:0x%02x", FirmwareImage[IMAGE_VERSION_OFFSET],
       FirmwareImage[IMAGE_VERSION_OFFSET + 1], FirmwareImage[IMAGE_VERSION_OFFSET + 2]);
    pb("Requesting current firmware version from chip...");

    INT8U answer[16];
    NoteFlashStep(STEP_READ_BEFORE);
    if (!ReadVersion(target, answer, "Reading current firmware version...              "))
        return 0;
    pb("CHIP: FW:0x%02x Major-REV:0x%02x Minor-Rev:0x%02x", answer[3], answer[4], answer[5]);
    NoteVersionRead(busID, i2c_addr, answer + 3);
    pb("Erasing current image on chip...");

    // From the erase on the controller is in its programming session: a
    // signal waits for the next point where the session can be left safely.
    ProgrammingBegins();
    int result = Program(target, limit, ProgInd, ProgTotal);
    ProgrammingEnds();
    return result;
}
