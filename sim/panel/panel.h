// SPDX-License-Identifier: MIT
// The live panel (QB40SIM_PANEL): a picture of the machine's backplanes as
// the operator in front of the server would see them. One box per
// controller, labelled as the device summary labels it, with one cell per
// slot in use: its four LEDs and whether a drive is mated there; during a
// flash session its phase and the staged and running image versions.
//
// The panel only looks: it never changes what the controllers answer. A
// frame is worth drawing at the moments a person would take in what the
// backplanes show: when the tool pauses (a sleep, a look for a key), waits
// for a key, moves on 256 addresses in a flash phase, and when the run ends;
// it is drawn then if the boxes differ from the last frame's, and at a key
// wait and the end also to say so.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../devices/controller.h"
#include "../machine/machine.h"
#include "panel_drawing.h"

namespace sim {

class Panel final : public FlashWatcher, public Onlooker {
public:
    // Watches every controller of `machine`, drawing with `drawer`.
    Panel(const Machine& machine, std::unique_ptr<PanelDrawer> drawer);
    // The last frame: how the run leaves the backplanes.
    ~Panel();
    Panel(const Panel&) = delete;
    Panel& operator=(const Panel&) = delete;

    // The panel the path names (a terminal or a file); nullptr when it
    // cannot be opened.
    static std::unique_ptr<Panel> open(const std::string& path, const Machine& machine);

    void pause() override { settle(nullptr); }
    void key_wait() override { settle("waiting for a key"); }
    void byte_taken(const Controller& controller, uint16_t address) override;

private:
    struct Watched {
        Controller* controller;
        std::string bmc;
        uint8_t bus_id;  // as the tool addresses it: a mux channel in the upper nibble
        uint8_t addr8;
    };

    void watch_devices(const std::string& bmc, uint8_t bus_id,
                       const std::map<uint8_t, std::unique_ptr<I2cDevice>>& devices);
    PanelBox box(const Watched& w) const;
    // Draws the boxes if they changed, or if `note` is not the last frame's.
    void settle(const char* note);

    const Machine& machine_;
    std::unique_ptr<PanelDrawer> drawer_;
    std::vector<Watched> watched_;
    std::vector<PanelBox> shown_;
    std::string shown_note_;
    bool drawn_ = false;
};

}  // namespace sim
