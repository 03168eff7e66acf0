// SPDX-License-Identifier: MIT
#include "panel_drawing.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr const char* kLegend =
    "Slot cells: the slot's number, * when a drive is mated in it, then its LEDs lit: "
    "A activity, L locate, F fail, R rebuild (. dark)";

// A controller whose slots-used register is 0.
constexpr const char* kNoSlots = "no slots in use";

// Each LED lit in its colour, black on the background of its lamp.
constexpr const char* kLedColours[4] = {"\033[30;42m", "\033[30;44m", "\033[30;43m", "\033[30;45m"};
constexpr const char* kNormal = "\033[0m";
// Erase to the end of the line: a shorter line leaves nothing of the last frame.
constexpr const char* kEndOfLine = "\033[K\n";

std::string terminal_cell(const PanelBox::Slot& slot)
{
    std::string text(1, static_cast<char>('0' + slot.number));
    text += slot.mated ? "\033[1m*\033[0m" : " ";
    for (size_t i = 0; i < slot.lit.size(); ++i)
        text += slot.lit[i] ? std::string(kLedColours[i]) + PanelDrawer::kLedLetters[i] + kNormal : "\033[2m.\033[0m";
    return text;
}

}  // namespace

PanelDrawer::~PanelDrawer()
{
    std::fclose(file_);
}

std::unique_ptr<PanelDrawer> PanelDrawer::open(const std::string& path)
{
    // A terminal of another session must not become this process's controlling terminal.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0644);
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "w");
    if (!file) {
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    if (isatty(fileno(file)))
        return std::make_unique<TerminalPanelDrawer>(file);
    std::fprintf(file, "%s\n", kLegend);
    return std::make_unique<TextPanelDrawer>(file);
}

void PanelDrawer::draw(uint64_t elapsed_us, const std::string& note, const std::vector<PanelBox>& boxes)
{
    char time[32];
    std::snprintf(time, sizeof time, "%llu.%06llu s", static_cast<unsigned long long>(elapsed_us / 1000000),
                  static_cast<unsigned long long>(elapsed_us % 1000000));
    std::string heading = time;
    if (!note.empty())
        heading.append(", ").append(note);
    std::string text = frame(heading, boxes);
    std::fwrite(text.data(), 1, text.size(), file_);
    // The tool may end the process with exit() at any point.
    std::fflush(file_);
}

std::vector<std::string> PanelDrawer::box_lines(const std::vector<PanelBox>& boxes, CellText cell)
{
    constexpr size_t kCellWidth = 6;
    auto cells_width = [](const PanelBox& b) {
        return b.slots.empty() ? std::strlen(kNoSlots) : b.slots.size() * (kCellWidth + 1) - 1;
    };
    // One width for every box, so that they stand one above the other.
    size_t width = 0;
    for (const PanelBox& b : boxes)
        width = std::max({width, b.label.size() + 2, cells_width(b), b.status.size()});
    auto padded = [&](const std::string& text, size_t shown) {
        return "| " + text + std::string(width - shown, ' ') + " |";
    };

    std::vector<std::string> out;
    for (const PanelBox& b : boxes) {
        out.push_back("+- " + b.label + " " + std::string(width - b.label.size() - 1, '-') + "+");
        std::string cells = b.slots.empty() ? kNoSlots : "";
        for (const PanelBox::Slot& slot : b.slots) {
            if (!cells.empty())
                cells += ' ';
            cells += cell(slot);
        }
        out.push_back(padded(cells, cells_width(b)));
        out.push_back(padded(b.status, b.status.size()));
        // Appended, not `"+" + string`: GCC 12 at -O3 takes that for an overlapping copy (-Wrestrict).
        out.push_back(std::string("+").append(width + 2, '-').append("+"));
    }
    return out;
}

std::string TextPanelDrawer::plain_cell(const PanelBox::Slot& slot)
{
    std::string text(1, static_cast<char>('0' + slot.number));
    text += slot.mated ? '*' : ' ';
    for (size_t i = 0; i < slot.lit.size(); ++i)
        text += slot.lit[i] ? kLedLetters[i] : '.';
    return text;
}

std::string TextPanelDrawer::frame(const std::string& heading, const std::vector<PanelBox>& boxes) const
{
    std::string text = kFrameMark + heading + "\n";
    for (const std::string& line : box_lines(boxes, &plain_cell))
        text += line + "\n";
    return text;
}

std::string TerminalPanelDrawer::frame(const std::string& heading, const std::vector<PanelBox>& boxes) const
{
    std::string text = "\033[H\033[1mqb40tool-sim panel\033[0m   " + heading + kEndOfLine;
    for (const std::string& line : box_lines(boxes, &terminal_cell))
        text += line + kEndOfLine;
    return text + kLegend + kEndOfLine + "\033[J";
}

}  // namespace sim
