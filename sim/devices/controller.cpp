// SPDX-License-Identifier: MIT
#include "controller.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "image_version.h"

namespace sim {

namespace {

// Flash size by chip ID: the largest download the tool makes into that chip.
struct FlashSize {
    uint8_t chip_id;
    size_t bytes;
};
constexpr FlashSize kFlashSizes[] = {
    {73, 0x2000}, {76, 0x2000}, {77, 0x4000}, {80, 0x4000}, {82, 0x4000}, {83, 0x7C00}, {84, 0x7C00},
};
constexpr size_t kOtherFlashSize = 0x8000;

size_t flash_size_of(uint8_t chip_id)
{
    for (const FlashSize& f : kFlashSizes)
        if (f.chip_id == chip_id)
            return f.bytes;
    return kOtherFlashSize;
}

// The commands: code, machine-file name, operand bytes, and in which command
// set they exist (the closing command only without 0xF2; the ready probe only
// in the standard set; the checksums only in the QB4083C set).
struct CommandInfo {
    FlashCommand command;
    const char* name;
    uint8_t operands;
    bool standard;
    bool qb4083c;
};
constexpr CommandInfo kCommands[] = {
    {FlashCommand::Version, "version", 0, true, true},
    {FlashCommand::Erase, "erase", 0, true, true},
    {FlashCommand::Dummy, "dummy", 0, true, false},
    {FlashCommand::Write, "write", 3, true, true},
    {FlashCommand::Verify, "verify", 3, true, true},
    {FlashCommand::EndVerify, "end_verify", 0, true, true},
    {FlashCommand::ChecksumUpper, "checksum_upper", 0, false, true},
    {FlashCommand::Downcopy, "downcopy", 0, true, true},
    {FlashCommand::ChecksumLower, "checksum_lower", 0, false, true},
    {FlashCommand::Reset, "reset", 0, true, true},
    {FlashCommand::Closing, "closing", 0, true, false},
};

const CommandInfo* command_info(uint8_t code)
{
    for (const CommandInfo& c : kCommands)
        if (static_cast<uint8_t>(c.command) == code)
            return &c;
    return nullptr;
}

constexpr uint8_t kQB4083CPrefix = 0xF2;
// Below this, 0x55 0xAA 0xF2 is followed by a register number, not a command.
constexpr uint8_t kFirstCommandCode = 0xE0;

struct LedRegister {
    uint8_t number;
    const char* name;
};
constexpr LedRegister kLeds[] = {
    {Controller::kActivity, "activity"},
    {Controller::kLocate, "locate"},
    {Controller::kFail, "fail"},
    {Controller::kRebuild, "rebuild"},
};

const char* led_name(uint8_t number)
{
    for (const LedRegister& led : kLeds)
        if (led.number == number)
            return led.name;
    return nullptr;
}

uint16_t address_of(std::span<const uint8_t> operands)
{
    return static_cast<uint16_t>(operands[0] << 8 | operands[1]);
}

ControllerFaults parse_faults(const Field& f)
{
    f.only({"refuse", "compare_error_at", "status", "checksum_fails", "never_back", "stop_at", "stop_ms"});
    ControllerFaults faults;
    if (auto refuse = f.optional("refuse")) {
        refuse->each_item([&](const Field& r) {
            r.only({"command", "at", "times"});
            Field name = r["command"];
            auto command = flash_command_named(name.string());
            if (!command) {
                std::string known;
                for (const CommandInfo& c : kCommands)
                    known += std::string(known.empty() ? "" : ", ") + c.name;
                name.fail("unknown command (known: " + known + ")");
            }
            ControllerFaults::Refusal refusal{*command, std::nullopt, std::nullopt};
            if (auto at = r.optional("at")) {
                if (*command != FlashCommand::Write && *command != FlashCommand::Verify)
                    at->fail("only write and verify commands carry an address");
                refusal.at = at->u16();
            }
            if (auto times = r.optional("times"))
                refusal.times = static_cast<unsigned>(times->unsigned_in(1, 1000000));
            faults.refuse.push_back(refusal);
        });
    }
    if (auto at = f.optional("compare_error_at"))
        faults.compare_error_at = at->u16();
    if (auto status = f.optional("status")) {
        auto bytes = status->bytes();
        if (bytes.size() != 6)
            status->fail("expected the 6 bytes of the answer");
        std::array<uint8_t, 6> answer;
        std::copy(bytes.begin(), bytes.end(), answer.begin());
        faults.status = answer;
    }
    if (auto which = f.optional("checksum_fails")) {
        std::string s = which->string();
        faults.checksum_upper_fails = s == "upper" || s == "both";
        faults.checksum_lower_fails = s == "lower" || s == "both";
        if (!faults.checksum_upper_fails && !faults.checksum_lower_fails)
            which->fail("expected \"upper\", \"lower\" or \"both\"");
    }
    if (auto never = f.optional("never_back"))
        faults.never_back = never->boolean();
    if (auto at = f.optional("stop_at"))
        faults.stop_at = at->u16();
    if (auto ms = f.optional("stop_ms")) {
        if (!faults.stop_at)
            ms->fail("needs stop_at");
        faults.stop_ms = static_cast<uint32_t>(ms->unsigned_in(0, 86400000));
    }
    return faults;
}

}  // namespace

std::optional<FlashCommand> flash_command_named(const std::string& name)
{
    for (const CommandInfo& c : kCommands)
        if (name == c.name)
            return c.command;
    return std::nullopt;
}

Controller::Controller(ControllerConfig config, Context context, std::string name)
    : config_(std::move(config)),
      context_(context),
      name_(std::move(name)),
      running_(flash_size_of(config_.chip_id), 0xFF),
      staging_(running_.size(), 0xFF),
      written_(running_.size(), 0),
      verified_(running_.size(), 0),
      refusals_used_(config_.faults.refuse.size(), 0)
{
    std::copy(config_.firmware.begin(), config_.firmware.end(), running_.begin() + kImageVersionOffset);
    registers_ = config_.registers;
    power_on_registers();
    if (config_.erasing_at_start_ms > 0) {
        phase_ = Phase::Erased;
        unavailable_for(config_.erasing_at_start_ms, "erasing");
    }
}

std::unique_ptr<I2cDevice> Controller::from_json(const Field& entry, const Context& context, const std::string& where,
                                                 uint8_t addr8)
{
    entry.only({"type", "address", "chip_id", "firmware", "revision", "registers", "drift", "erase_ms",
                "erase_requests", "reset_ms", "erasing_at_start_ms", "faults"});
    ControllerConfig config;
    Field chip = entry["chip_id"];
    if (chip.is_string() && chip.string().size() == 1)
        config.chip_id = static_cast<uint8_t>(chip.string()[0]);
    else
        config.chip_id = chip.byte();
    if (auto fw = entry.optional("firmware")) {
        auto bytes = fw->bytes();
        if (bytes.size() != 3)
            fw->fail("expected 3 bytes (image bytes 51 to 53)");
        std::copy(bytes.begin(), bytes.end(), config.firmware.begin());
    }
    if (auto rev = entry.optional("revision"))
        config.revision = rev->byte();
    if (auto regs = entry.optional("registers")) {
        regs->each_member([&](const std::string& key, const Field& value) {
            auto number = parse_unsigned(key);
            if (!number || *number > 0xFF)
                value.fail("a register is numbered 0 to 0xFF");
            if (*number >= kFwId0 && *number <= kRevision)
                value.fail("registers 0x60 to 0x64 come from firmware, chip_id and revision");
            config.registers[*number] = value.byte();
        });
    }
    if (auto drift = entry.optional("drift")) {
        drift->each_member([&](const std::string& key, const Field& value) {
            auto number = parse_unsigned(key);
            if (!number || *number > 0xFF)
                value.fail("a register is numbered 0 to 0xFF");
            if ((*number >= kFwId0 && *number <= kRevision) || led_name(static_cast<uint8_t>(*number)))
                value.fail("the version, chip ID, revision and LED registers do not drift");
            config.drift[*number] = value.byte();
        });
    }
    if (auto ms = entry.optional("erase_ms"))
        config.erase_ms = static_cast<uint32_t>(ms->unsigned_in(0, 3600000));
    if (auto n = entry.optional("erase_requests"))
        config.erase_requests = static_cast<uint32_t>(n->unsigned_in(1, 1000000));
    if (auto ms = entry.optional("reset_ms"))
        config.reset_ms = static_cast<uint32_t>(ms->unsigned_in(0, 3600000));
    if (auto ms = entry.optional("erasing_at_start_ms"))
        config.erasing_at_start_ms = static_cast<uint32_t>(ms->unsigned_in(0, 3600000));
    if (auto faults = entry.optional("faults"))
        config.faults = parse_faults(*faults);
    return std::make_unique<Controller>(std::move(config), context, device_name(where, addr8));
}

std::array<uint8_t, 3> Controller::running_version() const
{
    return {running_[kImageVersionOffset], running_[kImageVersionOffset + 1], running_[kImageVersionOffset + 2]};
}

std::array<uint8_t, 3> Controller::staged_version() const
{
    return {staging_[kImageVersionOffset], staging_[kImageVersionOffset + 1], staging_[kImageVersionOffset + 2]};
}

bool Controller::unavailable() const
{
    return unavailable_requests_ > 0 || context_.clock.elapsed_us() < unavailable_until_us_;
}

bool Controller::refuses_now()
{
    if (!unavailable())
        return false;
    if (unavailable_requests_ > 0)
        --unavailable_requests_;
    return true;
}

bool Controller::write(std::span<const uint8_t> data)
{
    bool is_command = data.size() >= 3 && data[0] == 0x55 && data[1] == 0xAA;
    if (refuses_now())
        return is_command ? refuse(data, unavailable_why_) : false;
    answer_.reset();
    if (is_command)
        return command(data);
    if (data.size() == 1)
        pointer_ = data[0];
    else if (data.size() >= 2)
        return write_register(data);
    return true;
}

bool Controller::read(std::span<uint8_t> out)
{
    if (refuses_now())
        return false;
    if (answer_) {
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = i < answer_->size() ? (*answer_)[i] : 0xFF;
        return true;
    }
    for (uint8_t& byte : out) {
        byte = registers_[pointer_];
        registers_[pointer_] = static_cast<uint8_t>(registers_[pointer_] + config_.drift[pointer_]);
        ++pointer_;
    }
    return true;
}

bool Controller::write_register(std::span<const uint8_t> data)
{
    if (data.size() != 2 || !led_name(data[0])) {
        context_.trace.line("register %s refused %s: not a writable register", name_.c_str(),
                            Trace::hex(data).c_str());
        return false;
    }
    set_register(data[0], data[1]);
    return true;
}

bool Controller::command(std::span<const uint8_t> data)
{
    Framing framing = Framing::Standard;
    size_t code_at = 2;
    if (data.size() >= 4 && data[2] == kQB4083CPrefix) {
        framing = Framing::QB4083C;
        code_at = 3;
        if (data[3] < kFirstCommandCode) {
            // 0x55 0xAA 0xF2 REG: the QB4083C way to point at a register.
            if (data.size() != 4)
                return refuse(data, "wrong length");
            pointer_ = data[3];
            return true;
        }
    }
    const CommandInfo* info = command_info(data[code_at]);
    if (!info || !(framing == Framing::Standard ? info->standard : info->qb4083c))
        return refuse(data, "unknown command");
    std::span<const uint8_t> operands = data.subspan(code_at + 1);
    if (operands.size() != info->operands)
        return refuse(data, "wrong length");
    return run(info->command, framing, operands, data);
}

bool Controller::run(FlashCommand cmd, Framing framing, std::span<const uint8_t> operands,
                     std::span<const uint8_t> data)
{
    std::optional<uint16_t> address;
    if (!operands.empty())
        address = address_of(operands);
    if (injected_refusal(cmd, address))
        return refuse(data, "fault");

    // The commands of a session must come in the command set of its erase.
    bool in_session = cmd == FlashCommand::Write || cmd == FlashCommand::Verify || cmd == FlashCommand::EndVerify ||
                      cmd == FlashCommand::ChecksumUpper || cmd == FlashCommand::Downcopy ||
                      (cmd == FlashCommand::Reset && phase_ != Phase::Idle);
    if (in_session && phase_ != Phase::Idle && framing != session_framing_)
        return refuse(data, "command set differs from the erase's");

    switch (cmd) {
    case FlashCommand::Version: {
        auto v = running_version();
        answer({0x55, 0xAA, static_cast<uint8_t>(FlashCommand::Version), v[0], v[1], v[2]});
        return true;
    }
    case FlashCommand::Dummy:
    case FlashCommand::Closing:
        if (cmd == FlashCommand::Closing)
            context_.trace.line("flash %s closing command", name_.c_str());
        return true;
    case FlashCommand::Erase:
        end_session();
        std::fill(staging_.begin(), staging_.end(), 0xFF);
        phase_ = Phase::Erased;
        session_framing_ = framing;
        context_.trace.line("flash %s erase, busy %u ms", name_.c_str(), config_.erase_ms);
        unavailable_for(config_.erase_ms, "erasing");
        if (config_.erase_requests && context_.clock.follows_wall_clock()) {
            unavailable_until_us_ = 0;
            unavailable_requests_ = *config_.erase_requests;
        }
        return true;
    case FlashCommand::Write:
        return write_byte(*address, operands[2], data);
    case FlashCommand::Verify:
        return verify_byte(*address, operands[2], data);
    case FlashCommand::EndVerify:
        return end_verify(data);
    case FlashCommand::ChecksumUpper:
        if (phase_ != Phase::Ended)
            return refuse(data, "before the end of verification");
        answer(checksum_answer(staging_, config_.faults.checksum_upper_fails || !status_good_));
        context_.trace.line("flash %s checksum upper %s", name_.c_str(), Trace::hex(*answer_).c_str());
        return true;
    case FlashCommand::ChecksumLower:
        answer(checksum_answer(running_, config_.faults.checksum_lower_fails));
        context_.trace.line("flash %s checksum lower %s", name_.c_str(), Trace::hex(*answer_).c_str());
        return true;
    case FlashCommand::Downcopy:
    case FlashCommand::Reset:
        return restart(cmd == FlashCommand::Downcopy, data);
    }
    return refuse(data, "unknown command");
}

bool Controller::end_verify(std::span<const uint8_t> data)
{
    if (phase_ == Phase::Idle)
        return refuse(data, "no erase before");
    bool verified = written_count_ > 0 && verified_written_ == written_count_;
    uint8_t errors = static_cast<uint8_t>(std::min<size_t>(compare_errors_, 0xFF));
    status_good_ = verified && errors == 0;
    phase_ = Phase::Ended;
    answer(config_.faults.status.value_or(std::array<uint8_t, 6>{
        0x55, 0xAA, static_cast<uint8_t>(FlashCommand::EndVerify), static_cast<uint8_t>(verified ? 1 : 0), errors,
        0x00}));
    context_.trace.line("flash %s status %s", name_.c_str(), Trace::hex(*answer_).c_str());
    return true;
}

bool Controller::restart(bool downcopy, std::span<const uint8_t> data)
{
    if (downcopy && phase_ != Phase::Ended)
        return refuse(data, "before the end of verification");
    if (downcopy && !status_good_)
        return refuse(data, "image not verified");
    if (downcopy)
        running_ = staging_;
    end_session();
    power_on_registers();
    auto v = running_version();
    context_.trace.line("flash %s %s, running FW %02X %02X %02X", name_.c_str(),
                        downcopy ? "downcopy and reset" : "reset, old image kept", v[0], v[1], v[2]);
    unavailable_for(config_.faults.never_back ? std::nullopt : std::optional<uint32_t>(config_.reset_ms),
                    "resetting");
    return true;
}

bool Controller::write_byte(uint16_t address, uint8_t value, std::span<const uint8_t> data)
{
    if (phase_ == Phase::Idle)
        return refuse(data, "write before an erase");
    if (phase_ == Phase::Verifying || phase_ == Phase::Ended)
        return refuse(data, "write after verifying began");
    if (address >= staging_.size())
        return refuse(data, "address beyond the flash");
    if (written_[address])
        return refuse(data, "address written twice");
    if (config_.faults.stop_at == address) {
        end_session();
        power_on_registers();
        auto v = running_version();
        context_.trace.line("flash %s lost power at write 0x%04X, running FW %02X %02X %02X", name_.c_str(), address,
                            v[0], v[1], v[2]);
        unavailable_for(config_.faults.stop_ms, "without power");
        return false;
    }
    staging_[address] = config_.faults.compare_error_at == address ? static_cast<uint8_t>(value ^ 0x01) : value;
    written_[address] = 1;
    ++written_count_;
    phase_ = Phase::Writing;
    last_written_ = address;
    if (watcher_)
        watcher_->byte_taken(*this, address);
    return true;
}

bool Controller::verify_byte(uint16_t address, uint8_t value, std::span<const uint8_t> data)
{
    if (phase_ == Phase::Idle)
        return refuse(data, "verify before an erase");
    if (phase_ == Phase::Erased)
        return refuse(data, "verify before writing");
    if (phase_ == Phase::Ended)
        return refuse(data, "verify after the end of verification");
    if (address >= staging_.size())
        return refuse(data, "address beyond the flash");
    if (verified_[address])
        return refuse(data, "address verified twice");
    verified_[address] = 1;
    if (written_[address])
        ++verified_written_;
    if (staging_[address] != value)
        ++compare_errors_;
    phase_ = Phase::Verifying;
    last_verified_ = address;
    if (watcher_)
        watcher_->byte_taken(*this, address);
    return true;
}

bool Controller::injected_refusal(FlashCommand cmd, std::optional<uint16_t> address)
{
    for (size_t i = 0; i < config_.faults.refuse.size(); ++i) {
        const auto& r = config_.faults.refuse[i];
        if (r.command != cmd || (r.at && r.at != address))
            continue;
        if (r.times && refusals_used_[i] >= *r.times)
            continue;
        ++refusals_used_[i];
        return true;
    }
    return false;
}

bool Controller::refuse(std::span<const uint8_t> data, const char* reason)
{
    context_.trace.line("flash %s refused %s: %s", name_.c_str(), Trace::hex(data).c_str(), reason);
    return false;
}

void Controller::answer(std::array<uint8_t, 6> bytes)
{
    answer_ = bytes;
}

std::array<uint8_t, 6> Controller::checksum_answer(const std::vector<uint8_t>& bank, bool fails) const
{
    uint16_t sum = 0;
    for (uint8_t byte : bank)
        sum = static_cast<uint16_t>(sum + byte);
    auto hi = static_cast<uint8_t>(sum >> 8), lo = static_cast<uint8_t>(sum);
    if (fails)
        return {'F', 'A', 'I', 'L', hi, lo};
    return {'P', 'A', 'S', 'S', hi, lo};
}

void Controller::power_on_registers()
{
    for (unsigned n = 0; n < registers_.size(); ++n)
        set_register(static_cast<uint8_t>(n), config_.registers[n]);
    auto v = running_version();
    for (unsigned i = 0; i < v.size(); ++i)
        registers_[kFwId0 + i] = v[i];
    registers_[kChipId] = config_.chip_id;
    registers_[kRevision] = config_.revision;
    pointer_ = 0;
    answer_.reset();
}

void Controller::set_register(uint8_t number, uint8_t value)
{
    if (registers_[number] == value)
        return;
    registers_[number] = value;
    if (const char* led = led_name(number))
        context_.trace.line("led %s %s %02X", name_.c_str(), led, value);
}

void Controller::unavailable_for(std::optional<uint32_t> ms, const char* why)
{
    unavailable_why_ = why;
    unavailable_requests_ = 0;
    unavailable_until_us_ =
        ms ? context_.clock.elapsed_us() + uint64_t{*ms} * 1000 : std::numeric_limits<uint64_t>::max();
}

void Controller::end_session()
{
    phase_ = Phase::Idle;
    std::fill(written_.begin(), written_.end(), 0);
    std::fill(verified_.begin(), verified_.end(), 0);
    written_count_ = 0;
    verified_written_ = 0;
    compare_errors_ = 0;
    status_good_ = false;
    last_written_.reset();
    last_verified_.reset();
}

}  // namespace sim
