#include "bmc_app_commands.h"

#include <algorithm>

namespace sim {

namespace {

constexpr uint8_t kNetFnApp = 0x06;

constexpr uint8_t kCcOk = 0x00;
constexpr uint8_t kCcMessageBufferEmpty = 0x80;
constexpr uint8_t kCcRequestLengthInvalid = 0xC7;

// Get Device ID: device 0x20 revision 1, firmware 1.00, IPMI 2.0, no SDRs, no
// FRU, no sensors; manufacturer and product 0.
constexpr uint8_t kDeviceId[] = {0x20, 0x01, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kDeviceGuid[16] = {0x51, 0x42, 0x34, 0x30, 0x53, 0x49, 0x4D, 0x42,
                                     0x4D, 0x43, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};

struct Command {
    uint8_t cmd;
    uint8_t data_len;  // request data bytes required
    std::vector<uint8_t> (*answer)(AppCommandState&, std::span<const uint8_t> data);
};

std::vector<uint8_t> ok(std::span<const uint8_t> data = {})
{
    std::vector<uint8_t> r(data.size() + 1, kCcOk);
    std::copy(data.begin(), data.end(), r.begin() + 1);
    return r;
}

constexpr Command kCommands[] = {
    {0x01, 0, [](AppCommandState&, std::span<const uint8_t>) { return ok(kDeviceId); }},        // Get Device ID
    {0x08, 0, [](AppCommandState&, std::span<const uint8_t>) { return ok(kDeviceGuid); }},      // Get Device GUID
    {0x2E, 1,                                                                                    // Set BMC Global Enables
     [](AppCommandState& s, std::span<const uint8_t> d) {
         s.global_enables = d[0];
         return ok();
     }},
    {0x2F, 0,                                                                                    // Get BMC Global Enables
     [](AppCommandState& s, std::span<const uint8_t>) {
         const uint8_t e[] = {s.global_enables};
         return ok(e);
     }},
    {0x30, 1, [](AppCommandState&, std::span<const uint8_t>) { return ok(); }},                 // Clear Message Flags
    {0x31, 0,                                                                                    // Get Message Flags
     [](AppCommandState&, std::span<const uint8_t>) {
         const uint8_t none[] = {0x00};
         return ok(none);
     }},
    {0x35, 0,                                                                                    // Read Event Message Buffer
     [](AppCommandState&, std::span<const uint8_t>) { return std::vector<uint8_t>{kCcMessageBufferEmpty}; }},
};

}  // namespace

std::optional<std::vector<uint8_t>> answer_app_command(AppCommandState& state, std::span<const uint8_t> request)
{
    if (request.size() < 2 || (request[0] >> 2) != kNetFnApp)
        return std::nullopt;
    for (const Command& c : kCommands) {
        if (c.cmd != request[1])
            continue;
        std::span<const uint8_t> data = request.subspan(2);
        std::vector<uint8_t> tail =
            data.size() < c.data_len ? std::vector<uint8_t>{kCcRequestLengthInvalid} : c.answer(state, data);
        std::vector<uint8_t> response{static_cast<uint8_t>(request[0] | 0x04), request[1]};
        response.insert(response.end(), tail.begin(), tail.end());
        return response;
    }
    return std::nullopt;
}

}  // namespace sim
