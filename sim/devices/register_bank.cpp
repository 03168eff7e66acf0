// SPDX-License-Identifier: MIT
#include "register_bank.h"

namespace sim {

bool RegisterBank::write(std::span<const uint8_t> data)
{
    if (data.empty())
        return true;
    pointer = data[0];
    for (uint8_t b : data.subspan(1))
        registers[pointer++] = b;
    return true;
}

bool RegisterBank::read(std::span<uint8_t> out)
{
    for (uint8_t& b : out)
        b = registers[pointer++];
    return true;
}

std::unique_ptr<I2cDevice> RegisterBank::from_json(const Field& entry, const Context&, const std::string&, uint8_t)
{
    entry.only({"type", "address", "registers"});
    auto bank = std::make_unique<RegisterBank>();
    if (auto regs = entry.optional("registers")) {
        regs->each_member([&](const std::string& key, const Field& value) {
            auto reg = parse_unsigned(key);
            if (!reg || *reg > 0xFF)
                value.fail("a register is keyed by its number, \"0x00\" to \"0xFF\"");
            bank->registers[*reg] = value.byte();
        });
    }
    return bank;
}

}  // namespace sim
