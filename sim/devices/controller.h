// SPDX-License-Identifier: MIT
// The QB40xx backplane controller as the BMC's I2C bus sees it: a bank of
// one-byte registers (identification, firmware version, configuration, slot
// masks, LEDs, temperatures) and the flash command protocol, in both command
// sets, over a dual-bank flash: bytes are written into a staging bank, and
// only a downcopy after a good verification replaces the running image.
//
// Register access: a one-byte write sets the register pointer, a two-byte
// write [reg, value] writes an LED register, a read returns the registers
// from the pointer on.
//
// Flash commands are writes that start 0x55 0xAA: [cmd, operands] in the
// standard set, [0xF2, cmd, operands] in the QB4083C set (where 0x55 0xAA
// 0xF2 REG, REG below 0xE0, is the register read form). The controller
// refuses (does not acknowledge) what is out of order: a write before an
// erase, a verify before writing, a write after verifying began, a downcopy
// without a good verification, anything while it erases or resets.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../basics/context.h"
#include "i2c_device.h"
#include "../basics/json_field.h"

namespace sim {

// The flash commands by their code byte.
enum class FlashCommand : uint8_t {
    Version = 0xED,
    Erase = 0xEE,
    Dummy = 0xEF,
    Write = 0xE0,
    Verify = 0xE1,
    EndVerify = 0xE2,
    ChecksumUpper = 0xE8,
    Downcopy = 0xF0,
    ChecksumLower = 0xE5,
    Reset = 0xF1,
    Closing = 0xE7,
};

// The machine file's name of a command ("erase"); nullopt if unknown.
std::optional<FlashCommand> flash_command_named(const std::string& name);

// Faults on the flash path, all off by default.
struct ControllerFaults {
    // A command that is not acknowledged: always, or at one address (write
    // and verify), or only the first `times` times.
    struct Refusal {
        FlashCommand command;
        std::optional<uint16_t> at;
        std::optional<unsigned> times;
    };
    std::vector<Refusal> refuse;
    // The byte written at this address is stored wrong, so its verify
    // mismatches and the end-of-verification status reports a compare error.
    std::optional<uint16_t> compare_error_at;
    // The end-of-verification answer, instead of the one the controller works out.
    std::optional<std::array<uint8_t, 6>> status;
    // The checksum answers say FAIL instead of PASS.
    bool checksum_upper_fails = false;
    bool checksum_lower_fails = false;
    // Never comes back from a reset (downcopy or abort).
    bool never_back = false;
    // Loses power when the write command for this address arrives: that write
    // and everything after it is not acknowledged for `stop_ms` (for ever
    // without it); it then comes back on its old image.
    std::optional<uint16_t> stop_at;
    std::optional<uint32_t> stop_ms;
};

class Controller;

// Told of every write or verify byte command a controller takes, so that an
// observer (the live panel, panel.h) can follow a flash session's progress
// without polling every controller.
class FlashWatcher {
public:
    virtual void byte_taken(const Controller& controller, uint16_t address) = 0;

protected:
    ~FlashWatcher() = default;
};

struct ControllerConfig {
    uint8_t chip_id = 'M';
    std::array<uint8_t, 3> firmware{1, 0, 0};  // the running image's version bytes (image_version.h)
    uint8_t revision = 1;
    std::array<uint8_t, 256> registers{};      // power-on values of the other registers
    // Added to a register after each read of it: a temperature or drive
    // state that moves between two reads.
    std::array<uint8_t, 256> drift{};
    uint32_t erase_ms = 500;
    // On a clock that follows the wall clock (qb40sim-bmc): the erase lasts
    // this many refused requests instead of erase_ms, so that a guest whose
    // ticks run late under load is refused as often as the simulator's tool.
    std::optional<uint32_t> erase_requests;
    uint32_t reset_ms = 5000;
    // Still erasing at power-on, for this long: what a run killed in its
    // erase wait leaves behind for the next run.
    uint32_t erasing_at_start_ms = 0;
    ControllerFaults faults;
};

class Controller : public I2cDevice {
public:
    // The slot masks.
    static constexpr uint8_t kSlotsUsed = 0x36, kSlotsMated = 0x38;
    // The registers the bus may write: the LEDs.
    static constexpr uint8_t kActivity = 0x40, kLocate = 0x42, kFail = 0x44, kRebuild = 0x46;
    // Identification and version, set from the machine file's firmware,
    // chip_id and revision rather than its registers.
    static constexpr uint8_t kFwId0 = 0x60, kFwId1 = 0x61, kFwId2 = 0x62, kChipId = 0x63, kRevision = 0x64;

    // `name` ("bmc0 bus 0x01 0xC0") is what its trace lines carry.
    Controller(ControllerConfig config, Context context, std::string name);

    // {"type": "qb40xx", "address": .., "chip_id": .., ...} (sim/README.md).
    static std::unique_ptr<I2cDevice> from_json(const Field& entry, const Context& context, const std::string& where,
                                                uint8_t addr8);

    bool write(std::span<const uint8_t> data) override;
    bool read(std::span<uint8_t> out) override;

    // What tests look at.
    uint8_t reg(uint8_t number) const { return registers_[number]; }
    std::array<uint8_t, 3> running_version() const;
    const std::vector<uint8_t>& running_image() const { return running_; }
    const std::vector<uint8_t>& staging_bank() const { return staging_; }
    // Bytes in each bank: the chip's flash size.
    size_t flash_size() const { return running_.size(); }
    // Not acknowledging anything now (erasing, resetting, without power).
    bool unavailable() const;
    // Why it acknowledges nothing now ("erasing", ...); nullptr when it answers.
    const char* busy() const { return unavailable() ? unavailable_why_ : nullptr; }

    // Where a flash session stands.
    enum class Phase {
        Idle,       // no session: running its image, nothing staged
        Erased,     // staging bank erased (busy until the erase ends); bytes may be written
        Writing,    // bytes are being written
        Verifying,  // bytes are being compared; no more writes
        Ended,      // end of verification answered; a downcopy needs a good status
    };
    struct Session {
        Phase phase;
        std::optional<uint16_t> last_written;   // address of the latest byte written since the erase
        std::optional<uint16_t> last_verified;  // and of the latest byte verified
        bool image_good;                        // the end of verification found the image good
    };
    Session session() const { return {phase_, last_written_, last_verified_, status_good_}; }
    std::array<uint8_t, 3> staged_version() const;

    // Tells `watcher` (or nobody: nullptr) of every byte command taken.
    void watch(FlashWatcher* watcher) { watcher_ = watcher; }

private:
    enum class Framing { Standard, QB4083C };

    bool write_register(std::span<const uint8_t> data);
    bool command(std::span<const uint8_t> data);
    bool run(FlashCommand cmd, Framing framing, std::span<const uint8_t> operands, std::span<const uint8_t> data);
    bool write_byte(uint16_t address, uint8_t value, std::span<const uint8_t> data);
    bool verify_byte(uint16_t address, uint8_t value, std::span<const uint8_t> data);
    // The end of verification: the status answer.
    bool end_verify(std::span<const uint8_t> data);
    // A downcopy of the staged image and a reset, or a reset that keeps the old image.
    bool restart(bool downcopy, std::span<const uint8_t> data);
    bool injected_refusal(FlashCommand cmd, std::optional<uint16_t> address);
    bool refuse(std::span<const uint8_t> data, const char* reason);

    void answer(std::array<uint8_t, 6> bytes);
    std::array<uint8_t, 6> checksum_answer(const std::vector<uint8_t>& bank, bool fails) const;
    void power_on_registers();
    void set_register(uint8_t number, uint8_t value);
    void unavailable_for(std::optional<uint32_t> ms, const char* why);
    // Unavailable now: counts a request it refuses where the erase is counted so.
    bool refuses_now();
    void end_session();

    ControllerConfig config_;
    Context context_;
    std::string name_;

    std::array<uint8_t, 256> registers_{};
    uint8_t pointer_ = 0;
    std::optional<std::array<uint8_t, 6>> answer_;  // the next read returns it

    std::vector<uint8_t> running_;
    std::vector<uint8_t> staging_;
    std::vector<uint8_t> written_;   // per address: written since the erase
    std::vector<uint8_t> verified_;  // per address: verified since the erase
    Phase phase_ = Phase::Idle;
    Framing session_framing_ = Framing::Standard;
    size_t written_count_ = 0;
    size_t verified_written_ = 0;     // written addresses that were also verified
    size_t compare_errors_ = 0;
    bool status_good_ = false;        // the last end of verification found the image good
    std::optional<uint16_t> last_written_, last_verified_;
    FlashWatcher* watcher_ = nullptr;

    uint64_t unavailable_until_us_ = 0;
    uint32_t unavailable_requests_ = 0;  // an erase counted in requests: how many more it refuses
    const char* unavailable_why_ = "";
    std::vector<unsigned> refusals_used_;  // per entry of config_.faults.refuse
};

}  // namespace sim
