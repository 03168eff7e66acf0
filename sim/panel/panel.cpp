// SPDX-License-Identifier: MIT
#include "panel.h"

#include <cstdio>

#include "../machine/machine.h"
#include "../devices/mux.h"

namespace sim {

namespace {

// The registers a box shows.
constexpr uint8_t kLedRegisters[4] = {Controller::kActivity, Controller::kLocate, Controller::kFail,
                                      Controller::kRebuild};

std::string version_text(const char* what, std::array<uint8_t, 3> v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%s FW %02X %02X %02X", what, v[0], v[1], v[2]);
    return text;
}

// The 256 addresses a byte command is in, as the tool's own progress line
// counts them: "Writing Address: 1a00" is block 0x1A00.
unsigned block(std::optional<uint16_t> address)
{
    return address.value_or(0) & 0xFF00u;
}

// Where a flash session stands, in a few words: "erasing", "writing 0x1A00"
// (the block being written), "verifying 0x1A00/0x3DFF" (the block being
// verified, and the last address written), "resetting"; empty when the
// controller runs its image and answers.
std::string phase_text(const Controller& c, const Controller::Session& s)
{
    char text[48] = "";
    switch (s.phase) {
    case Controller::Phase::Idle:
    case Controller::Phase::Erased:
        if (const char* busy = c.busy())
            return busy;
        return s.phase == Controller::Phase::Erased ? "erased" : "";
    case Controller::Phase::Writing:
        std::snprintf(text, sizeof text, "writing 0x%04X", block(s.last_written));
        break;
    case Controller::Phase::Verifying:
        std::snprintf(text, sizeof text, "verifying 0x%04X/0x%04X", block(s.last_verified), s.last_written.value_or(0));
        break;
    case Controller::Phase::Ended:
        return s.image_good ? "verified, image good" : "verified, image not good";
    }
    return text;
}

}  // namespace

Panel::Panel(const Machine& machine, std::unique_ptr<PanelDrawer> drawer)
    : machine_(machine), drawer_(std::move(drawer))
{
    for (const Machine::Bmc& bmc : machine.bmcs)
        for (const auto& [bus_byte, bus] : bmc.core->buses())
            watch_devices(bmc.core->name(), bus_byte, bus.devices());
}

Panel::~Panel()
{
    settle("end of run");
    for (const Watched& w : watched_)
        w.controller->watch(nullptr);
}

std::unique_ptr<Panel> Panel::open(const std::string& path, const Machine& machine)
{
    auto drawer = PanelDrawer::open(path);
    return drawer ? std::make_unique<Panel>(machine, std::move(drawer)) : nullptr;
}

void Panel::watch_devices(const std::string& bmc, uint8_t bus_id,
                          const std::map<uint8_t, std::unique_ptr<I2cDevice>>& devices)
{
    for (const auto& [addr7, device] : devices) {
        if (auto* controller = dynamic_cast<Controller*>(device.get())) {
            controller->watch(this);
            watched_.push_back({controller, bmc, bus_id, static_cast<uint8_t>(addr7 << 1)});
        } else if (auto* mux = dynamic_cast<Mux*>(device.get())) {
            // The tool reaches a channel's devices with the channel in the bus byte's upper nibble.
            for (unsigned ch = 0; ch < Mux::kChannels; ++ch)
                watch_devices(bmc, static_cast<uint8_t>((bus_id & 0x0F) | (ch + 1) << 4), mux->channels()[ch]);
        }
    }
}

void Panel::byte_taken(const Controller&, uint16_t address)
{
    // A new block: as often as the tool shows its own progress.
    if ((address & 0xFF) == 0)
        settle(nullptr);
}

PanelBox Panel::box(const Watched& w) const
{
    const Controller& c = *w.controller;
    PanelBox box;
    // The device summary's words: "QB40%d Device:", then BusID, FW and ADR as it prints them.
    char label[96];
    std::snprintf(label, sizeof label, "QB40%d Device: %s BusID:0x%02x FW:[0x%02x:0x%02x] ADR:0x%02x",
                  c.reg(Controller::kChipId), w.bmc.c_str(), w.bus_id, c.reg(Controller::kFwId1),
                  c.reg(Controller::kFwId2), w.addr8);
    box.label = label;
    for (uint8_t n = 0; n < 8; ++n) {
        auto bit = [&](uint8_t reg) { return (c.reg(reg) >> n & 1) != 0; };
        if (!bit(Controller::kSlotsUsed))
            continue;
        PanelBox::Slot slot{n, bit(Controller::kSlotsMated), {}};
        for (size_t i = 0; i < slot.lit.size(); ++i)
            slot.lit[i] = bit(kLedRegisters[i]);
        box.slots.push_back(slot);
    }
    Controller::Session session = c.session();
    std::string phase = phase_text(c, session);
    box.status = phase.empty() ? "" : phase + ", ";
    // Once bytes are written, the staging bank holds the version it will run.
    if (session.phase != Controller::Phase::Idle && session.phase != Controller::Phase::Erased)
        box.status += version_text("staged", c.staged_version()) + ", ";
    box.status += version_text("running", c.running_version());
    return box;
}

void Panel::settle(const char* note)
{
    std::vector<PanelBox> boxes;
    boxes.reserve(watched_.size());
    for (const Watched& w : watched_)
        boxes.push_back(box(w));
    std::string now = note ? note : "";
    if (drawn_ && boxes == shown_ && (!note || now == shown_note_))
        return;
    drawer_->draw(machine_.clock.elapsed_us(), now, boxes);
    shown_ = std::move(boxes);
    shown_note_ = now;
    drawn_ = true;
}

}  // namespace sim
