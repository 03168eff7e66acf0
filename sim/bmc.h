// One simulated BMC: its I2C buses with their devices, the IPMI commands it
// answers and the faults injected into its exchanges. The front ends (the
// driver's device node, the KCS ports, the external-BMC socket) only carry
// request and response messages to and from BmcCore::handle.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "context.h"
#include "i2c_device.h"
#include "json_field.h"

namespace sim {

class I2cBus {
public:
    void add(uint8_t addr7, std::unique_ptr<I2cDevice> device);
    // The device answering at `addr7`: on the bus itself, or behind a mux.
    I2cDevice* find(uint8_t addr7);

private:
    std::map<uint8_t, std::unique_ptr<I2cDevice>> devices_;
};

class BmcCore {
public:
    BmcCore(Context context, std::string name);

    // {"buses": {...}, "faults": [...], ...} of one entry of "bmcs".
    static std::unique_ptr<BmcCore> from_json(const Field& bmc, Context context, std::string name);

    const std::string& name() const { return name_; }

    // A request message in KCS layout (NetFn/LUN, command, data) and the
    // response message in the same layout (NetFn/LUN, command, completion
    // code, data).
    std::vector<uint8_t> handle(std::span<const uint8_t> request);

private:
    Context context_;
    std::string name_;
    std::map<uint8_t, I2cBus> buses_;
};

}  // namespace sim
