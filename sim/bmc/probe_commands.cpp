// SPDX-License-Identifier: MIT
// The application commands a system's IPMI driver sends to the BMC while it
// probes the interface. The tool never sends them; they matter when a real
// driver sits between the tool and the simulated BMC (the rig's guests).
#include "bmc.h"

#include <algorithm>

namespace sim {

namespace {

constexpr uint8_t kCcMessageBufferEmpty = 0x80;

// Get Device ID: device 0x20 revision 1, firmware 1.00, IPMI 2.0, no SDRs, no
// FRU, no sensors; manufacturer and product 0.
constexpr uint8_t kDeviceId[] = {0x20, 0x01, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr uint8_t kDeviceGuid[16] = {0x51, 0x42, 0x34, 0x30, 0x53, 0x49, 0x4D, 0x42,
                                     0x4D, 0x43, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};

std::vector<uint8_t> ok(std::span<const uint8_t> data = {})
{
    std::vector<uint8_t> r(data.size() + 1, kCcOk);
    std::copy(data.begin(), data.end(), r.begin() + 1);
    return r;
}

}  // namespace

std::vector<uint8_t> BmcCore::get_device_id(std::span<const uint8_t>) { return ok(kDeviceId); }

std::vector<uint8_t> BmcCore::get_device_guid(std::span<const uint8_t>) { return ok(kDeviceGuid); }

std::array<uint8_t, 16> BmcCore::guid()
{
    std::array<uint8_t, 16> g;
    std::copy(std::begin(kDeviceGuid), std::end(kDeviceGuid), g.begin());
    return g;
}

std::vector<uint8_t> BmcCore::set_global_enables(std::span<const uint8_t> data)
{
    global_enables_ = data[0];
    return ok();
}

std::vector<uint8_t> BmcCore::get_global_enables(std::span<const uint8_t>)
{
    const uint8_t enables[] = {global_enables_};
    return ok(enables);
}

std::vector<uint8_t> BmcCore::clear_message_flags(std::span<const uint8_t>) { return ok(); }

// No flags: nothing waits in the receive queue or the event buffer.
std::vector<uint8_t> BmcCore::get_message_flags(std::span<const uint8_t>)
{
    const uint8_t flags[] = {0x00};
    return ok(flags);
}

std::vector<uint8_t> BmcCore::read_event_message_buffer(std::span<const uint8_t>)
{
    return {kCcMessageBufferEmpty};
}

}  // namespace sim
