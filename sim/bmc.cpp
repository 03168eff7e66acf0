// PLACEHOLDER until the BMC model lands: answers every request with 0xC1
// (invalid command) and has no buses.
#include "bmc.h"

namespace sim {

void I2cBus::add(uint8_t addr7, std::unique_ptr<I2cDevice> device) { devices_[addr7] = std::move(device); }

I2cDevice* I2cBus::find(uint8_t addr7)
{
    auto it = devices_.find(addr7);
    return it == devices_.end() ? nullptr : it->second.get();
}

BmcCore::BmcCore(Context context, std::string name) : context_(context), name_(std::move(name)) {}

std::unique_ptr<BmcCore> BmcCore::from_json(const Field&, Context context, std::string name)
{
    return std::make_unique<BmcCore>(context, std::move(name));
}

std::vector<uint8_t> BmcCore::handle(std::span<const uint8_t> request)
{
    uint8_t netfn_lun = request.size() > 0 ? request[0] : 0;
    uint8_t cmd = request.size() > 1 ? request[1] : 0;
    return {static_cast<uint8_t>(netfn_lun | 0x04), cmd, 0xC1};
}

}  // namespace sim
