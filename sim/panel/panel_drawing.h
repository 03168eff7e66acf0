// SPDX-License-Identifier: MIT
// How the live panel (panel.h) draws a frame: the boxes as plain text for a
// file, frames one after the other below a line with the virtual time; or
// with colour for a terminal, repainted in place.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace sim {

// What one controller shows.
struct PanelBox {
    struct Slot {
        uint8_t number;           // 0 to 7: bit n of the slot registers
        bool mated;               // a drive is in the slot
        std::array<bool, 4> lit;  // activity, locate, fail, rebuild
        bool operator==(const Slot&) const = default;
    };
    std::string label;  // "QB4077 Device: bmc0 BusID:0x01 FW:[0x01:0x00] ADR:0xc0"
    std::vector<Slot> slots;
    std::string status;  // "writing 0x1A00, staged FW 01 02 00, running FW 01 00 00"
    bool operator==(const PanelBox&) const = default;
};

class PanelDrawer {
public:
    // `file` is written with one write per frame; the drawer closes it.
    explicit PanelDrawer(FILE* file) : file_(file) {}
    virtual ~PanelDrawer();
    PanelDrawer(const PanelDrawer&) = delete;
    PanelDrawer& operator=(const PanelDrawer&) = delete;

    // A file for a path: a terminal drawer when it is one, else a text drawer.
    // nullptr when the path cannot be opened for writing.
    static std::unique_ptr<PanelDrawer> open(const std::string& path);

    // One frame: the virtual time in microseconds, a note ("waiting for a
    // key", or empty) and the boxes.
    void draw(uint64_t elapsed_us, const std::string& note, const std::vector<PanelBox>& boxes);

    // A slot's LED letters, in the order of PanelBox::Slot::lit.
    static constexpr char kLedLetters[4] = {'A', 'L', 'F', 'R'};

protected:
    // The frame's text: `heading` is "12.345678 s" and the note.
    virtual std::string frame(const std::string& heading, const std::vector<PanelBox>& boxes) const = 0;
    // The lines of the boxes, each cell as `cell` renders it (six columns wide).
    using CellText = std::string (*)(const PanelBox::Slot& slot);
    static std::vector<std::string> box_lines(const std::vector<PanelBox>& boxes, CellText cell);

private:
    FILE* file_;
};

// Plain text, frames appended one after the other.
class TextPanelDrawer final : public PanelDrawer {
public:
    using PanelDrawer::PanelDrawer;

    // "=== 12.345678 s, waiting for a key": the line that starts every frame.
    static constexpr const char* kFrameMark = "=== ";
    static std::string plain_cell(const PanelBox::Slot& slot);

protected:
    std::string frame(const std::string& heading, const std::vector<PanelBox>& boxes) const override;
};

// A terminal: colour, and every frame repaints the screen in place.
class TerminalPanelDrawer final : public PanelDrawer {
public:
    using PanelDrawer::PanelDrawer;

protected:
    std::string frame(const std::string& heading, const std::vector<PanelBox>& boxes) const override;
};

}  // namespace sim
