// SPDX-License-Identifier: MIT
#include "bmc.h"

#include <cstdio>

#include "../devices/devices.h"

namespace sim {

namespace {

constexpr uint8_t kNetFnApp = 0x06;
constexpr uint8_t kCmdMasterWriteRead = 0x52;

std::string bus_name(uint8_t bus_byte)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", bus_byte);
    return buf;
}

}  // namespace

// To answer another command, add a handler and one line here.
const BmcCore::Command BmcCore::kCommands[] = {
    {kNetFnApp, kCmdMasterWriteRead, 3, &BmcCore::master_write_read},
    {kNetFnApp, 0x01, 0, &BmcCore::get_device_id},
    {kNetFnApp, 0x08, 0, &BmcCore::get_device_guid},
    {kNetFnApp, 0x2E, 1, &BmcCore::set_global_enables},
    {kNetFnApp, 0x2F, 0, &BmcCore::get_global_enables},
    {kNetFnApp, 0x30, 1, &BmcCore::clear_message_flags},
    {kNetFnApp, 0x31, 0, &BmcCore::get_message_flags},
    {kNetFnApp, 0x35, 0, &BmcCore::read_event_message_buffer},
};

void I2cBus::add(uint8_t addr7, std::unique_ptr<I2cDevice> device)
{
    if (auto* mux = dynamic_cast<I2cMux*>(device.get()))
        muxes_.push_back(mux);
    devices_[addr7] = std::move(device);
}

I2cDevice* I2cBus::find(uint8_t addr7)
{
    auto it = devices_.find(addr7);
    if (it != devices_.end())
        return it->second.get();
    for (I2cMux* mux : muxes_)
        if (I2cDevice* d = mux->find(addr7))
            return d;
    return nullptr;
}

BmcCore::BmcCore(Context context, std::string name)
    : context_(context), name_(std::move(name)), faults_(context, name_)
{
}

std::unique_ptr<BmcCore> BmcCore::from_json(const Field& bmc, Context context, std::string name)
{
    bmc.only({"node", "kcs", "kcs_handshake", "buses", "faults", "latency_us", "lan"});
    auto core = std::make_unique<BmcCore>(context, name);
    if (auto l = bmc.optional("latency_us"))
        core->latency_us = l->unsigned_in(0, 60ULL * 1000 * 1000);
    if (auto h = bmc.optional("kcs_handshake")) {
        h->only({"dummy_after_write", "ibf_while_busy", "command_flag", "dummy_is_last_byte"});
        KcsHandshake& k = core->kcs_handshake;
        for (auto [name, flag] : {std::pair<const char*, bool*>{"dummy_after_write", &k.dummy_after_write},
                                  {"ibf_while_busy", &k.ibf_while_busy},
                                  {"command_flag", &k.command_flag},
                                  {"dummy_is_last_byte", &k.dummy_is_last_byte}})
            if (auto f = h->optional(name))
                *flag = f->boolean();
    }
    if (auto buses = bmc.optional("buses")) {
        buses->each_member([&](const std::string& key, const Field& b) {
            auto bus_byte = parse_unsigned(key);
            if (!bus_byte || *bus_byte > 0xFF)
                b.fail("a bus is keyed by its bus byte, \"0x00\" to \"0xFF\"");
            b.only({"devices", "bmc_switches_mux", "same_bus_as"});
            I2cBus& bus = core->bus(static_cast<uint8_t>(*bus_byte));
            if (auto s = b.optional("bmc_switches_mux"))
                bus.bmc_switches_mux = s->boolean();
            if (auto same = b.optional("same_bus_as")) {
                if (b.optional("devices") || b.optional("bmc_switches_mux"))
                    same->fail("a bus byte that names another bus has no devices of its own");
                bus.same_bus_as = same->byte();
            }
            std::string where = name + " bus " + bus_name(static_cast<uint8_t>(*bus_byte));
            if (auto devices = b.optional("devices")) {
                devices->each_item([&](const Field& entry) {
                    PlacedDevice placed = make_device(entry, context, where);
                    if (bus.find(placed.addr7))
                        entry["address"].fail("two devices at one address");
                    bus.add(placed.addr7, std::move(placed.device));
                });
            }
        });
    }
    if (auto buses = bmc.optional("buses")) {
        // Checked once every bus is known: the bus named may come later.
        buses->each_member([&](const std::string&, const Field& b) {
            auto same = b.optional("same_bus_as");
            if (!same)
                return;
            auto target = core->buses_.find(same->byte());
            if (target == core->buses_.end() || target->second.same_bus_as)
                same->fail("names no bus of this BMC with devices of its own");
        });
    }
    if (auto faults = bmc.optional("faults"))
        core->faults().load(*faults);
    return core;
}

std::vector<uint8_t> BmcCore::handle(std::span<const uint8_t> request)
{
    uint8_t netfn_lun = request.size() > 0 ? request[0] : 0;
    uint8_t cmd = request.size() > 1 ? request[1] : 0;
    std::vector<uint8_t> response{static_cast<uint8_t>(netfn_lun | 0x04), cmd};
    std::span<const uint8_t> data = request.size() > 2 ? request.subspan(2) : std::span<const uint8_t>();

    const Command* command = nullptr;
    for (const Command& c : kCommands)
        if (c.netfn == netfn_lun >> 2 && c.cmd == cmd)
            command = &c;
    if (!command) {
        response.push_back(kCcInvalidCommand);
    } else if (request.size() < 2 || data.size() < command->min_length) {
        response.push_back(kCcRequestLength);
    } else {
        std::vector<uint8_t> answer = (this->*command->handler)(data);
        response.insert(response.end(), answer.begin(), answer.end());
    }
    return response;
}

BmcCore::Outcome BmcCore::exchange(Road road, std::span<const uint8_t> request)
{
    Outcome out;
    if (answers) {
        AnswerSource::Answer a = answers->answer(*this, request);
        out.response = std::move(a.response);
        out.delay_us = a.delay_us;
        return out;
    }
    out.fault = faults_.decide(road, request);
    out.delay_us = latency_us;
    const FaultAction* f = out.fault ? &*out.fault : nullptr;
    if (!f || f->request_executed())
        out.response = handle(request);
    if (f) {
        uint8_t netfn_lun = request.size() > 0 ? request[0] : 0;
        uint8_t cmd = request.size() > 1 ? request[1] : 0;
        if (f->completion_code)
            out.response = {static_cast<uint8_t>(netfn_lun | 0x04), cmd, *f->completion_code};
        if (f->response)
            out.response = *f->response;
        if (f->lose)
            out.response.clear();
        out.delay_us += f->delay_us;
    }
    return out;
}

// Master Write-Read: bus byte, 8-bit slave address, read count, bytes to
// write. The write part goes first; a device that does not acknowledge
// either part is a NAK, as is an address nobody answers at.
std::vector<uint8_t> BmcCore::master_write_read(std::span<const uint8_t> data)
{
    uint8_t bus_byte = data[0];
    uint8_t addr7 = data[1] >> 1;
    size_t read_count = data[2];
    std::span<const uint8_t> to_write = data.subspan(3);

    I2cBus* bus = nullptr;
    if (auto it = buses_.find(bus_byte); it != buses_.end()) {
        bus = &it->second;
        if (bus->same_bus_as)
            bus = &buses_.at(*bus->same_bus_as);
    } else if (auto low = buses_.find(bus_byte & 0x0F); low != buses_.end() && low->second.bmc_switches_mux &&
                                                          (bus_byte >> 4) != 0 && low->second.mux()) {
        bus = &low->second;
        bus->mux()->select_channel(bus_byte >> 4);
    }
    if (!bus)
        return {kCcInvalidField};

    I2cDevice* device = bus->find(addr7);
    if (!device)
        return {kCcI2cNak};
    if (!to_write.empty() && !device->write(to_write))
        return {kCcI2cNak};
    std::vector<uint8_t> answer(1 + read_count, 0);
    answer[0] = kCcOk;
    if (read_count > 0 && !device->read(std::span<uint8_t>(answer).subspan(1)))
        return {kCcI2cNak};
    return answer;
}

}  // namespace sim
