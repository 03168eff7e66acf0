// SPDX-License-Identifier: MIT
// The simulator's live panel (QB40SIM_PANEL) over whole runs: what it shows
// at each question of the diagnostics, through the LED cycling and through
// an upgrade, and that the tool prints, logs, sends and returns the same
// with it as without it. Then the terminal's drawing.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <map>
#include <regex>
#include <set>
#include <unistd.h>

#include "firmware_images.h"
#include "sim/panel/panel_drawing.h"
#include "sim_run.h"

using namespace qbtest;

namespace {

// A box of a frame, as the file shows it.
struct Box {
    std::string label;
    std::vector<std::string> cells;  // "0*A.F.": slot, drive, the LEDs A L F R
    std::string status;
};
struct PanelFrame {
    std::string heading;  // "12.000000 s, waiting for a key"
    std::vector<Box> boxes;
};

std::string inner(const std::string& line)
{
    std::string text = line.substr(2, line.size() - 4);
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

std::vector<PanelFrame> frames(const std::string& panel)
{
    std::vector<PanelFrame> out;
    auto all = lines(panel);
    for (size_t i = 0; i < all.size(); ++i) {
        const std::string& l = all[i];
        if (l.starts_with("=== ")) {
            out.push_back({l.substr(4), {}});
        } else if (l.starts_with("+- ") && !out.empty() && i + 2 < all.size()) {
            Box box{l.substr(3, l.find_last_not_of("-+") - 3), {}, inner(all[i + 2])};
            std::string cells = inner(all[i + 1]);
            for (size_t at = 0; cells != "no slots in use" && at < cells.size(); at += 7)
                box.cells.push_back(cells.substr(at, 6));
            out.back().boxes.push_back(box);
            i += 3;
        }
    }
    return out;
}

// The LEDs every slot of the box shows ("A.F."), or "mixed".
std::string leds(const Box& box)
{
    std::string shown = box.cells.empty() ? "" : box.cells[0].substr(2);
    for (const std::string& c : box.cells)
        if (c.substr(2) != shown)
            return "mixed";
    return shown;
}

// The slots holding a drive: "0,1,3".
std::string mated(const Box& box)
{
    std::string list;
    for (const std::string& c : box.cells)
        if (c[1] == '*')
            list.append(list.empty() ? "" : ",").append(1, c[0]);
    return list;
}

// Runs the tool without the panel and with it: it must print, log, return
// and send the same. The run with the panel. A fixed clock start (with_keys)
// makes the two logs comparable.
RunResult run_with_and_without_panel(const std::string& machine, const std::vector<std::string>& args,
                                     const std::map<std::string, std::string>& files = {})
{
    RunResult runs[2];
    std::string logs[2];
    for (int with_panel = 0; with_panel < 2; ++with_panel) {
        SimDir dir;
        dir.machine(machine);
        for (const auto& [name, bytes] : files)
            dir.write(name, bytes);
        if (with_panel)
            dir.panel();
        runs[with_panel] = dir.run(args);
        logs[with_panel] = dir.log();
    }
    EXPECT_EQ(runs[1].status, runs[0].status);
    EXPECT_EQ(runs[1].console, runs[0].console);
    EXPECT_EQ(runs[1].errors, runs[0].errors);
    EXPECT_EQ(logs[1], logs[0]);
    EXPECT_EQ(runs[1].trace, runs[0].trace);
    EXPECT_TRUE(runs[0].panel.empty());
    return runs[1];
}

const std::string kDark = "....", kActivity = "A...", kFail = "..F.", kLamp = "A.F.";

}  // namespace

TEST(Panel, ShowsTheLedsOfEveryQuestionAndOfEveryCyclingStepAndChangesNothingTheToolDoes)
{
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::pair<double, std::string>> keys;
        bool at_key_waits;  // only the frames of key waits (and the end), else every frame but the end
        std::vector<std::vector<std::string>> expected;  // per frame, the LEDs of each box
    };
    const Case cases[] = {
        // All activity LEDs, all status LEDs, then each backplane's lamp test alone; all dark at the end.
        {"diagnostics", {"-d"}, {{100, "y"}, {101, "n"}, {102, "y"}, {103, "n"}, {104, "y"}}, true,
         {{kActivity, kActivity, kActivity}, {kFail, kFail, kFail}, {kLamp, kDark, kDark}, {kDark, kLamp, kDark},
          {kDark, kDark, kLamp}, {kDark, kDark, kDark}}},
        // A frame every 2 s: all, each alone, none, all again..., until the key at 15 s; then all dark.
        {"cycling", {"-z"}, {{15, "x"}}, false,
         {{kFail, kFail, kFail}, {kFail, kDark, kDark}, {kDark, kFail, kDark}, {kDark, kDark, kFail},
          {kDark, kDark, kDark}, {kFail, kFail, kFail}, {kFail, kDark, kDark}, {kDark, kFail, kDark},
          {kDark, kDark, kDark}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunResult r = run_with_and_without_panel(with_keys(machine_file("default.json"), c.keys), c.args);
        auto all = frames(r.panel);
        ASSERT_FALSE(all.empty());
        EXPECT_TRUE(all.back().heading.ends_with(" s, end of run"));
        if (!c.at_key_waits)
            all.pop_back();
        std::vector<std::vector<std::string>> shown;
        std::vector<Box> lit;  // the box each backplane question lit
        for (const PanelFrame& f : all) {
            if (c.at_key_waits && f.heading.find(", ") == std::string::npos)
                continue;
            if (!c.at_key_waits) {
                EXPECT_EQ(f.heading, std::to_string(2 * shown.size()) + ".000000 s");
            }
            std::vector<std::string> row;
            for (const Box& b : f.boxes)
                row.push_back(leds(b));
            shown.push_back(row);
            if (std::count(row.begin(), row.end(), kLamp) == 1)
                lit.push_back(f.boxes[std::find(row.begin(), row.end(), kLamp) - row.begin()]);
        }
        EXPECT_EQ(shown, c.expected) << r.panel;
        // Each backplane question asks about the slots and drives its lit box shows.
        std::vector<std::string> questions;
        for (const Box& box : lit) {
            auto drives = std::ranges::count_if(box.cells, [](const std::string& cell) { return cell[1] == '*'; });
            char question[96];
            std::snprintf(question, sizeof question, "    Is the active backplane a %zu slot with %td drive(s) inserted?",
                          box.cells.size(), drives);
            questions.push_back(question);
            questions.push_back(std::string("    Drives installed in slots: ").append(mated(box)));
        }
        EXPECT_EQ(missing_in_order(lines(r.console), questions), "");
    }
}

TEST(Panel, LabelsEachControllerAsTheSummaryDoesAlsoBehindAMux)
{
    // Channels 2 to 4 of the mux on bus 3 carry the channel in the bus ID's upper nibble.
    RunResult r = run_with_and_without_panel(with_keys(machine_file("mux_channels.json"), {}), {"-b13", "-mae6", "-i"});
    std::regex record(R"(\d+: (BusID:0x..) ChipID:(\d+) (FW:\[0x..:0x..\]) (ADR:0x..) Config:0x..)");
    std::set<std::string> summary, labels;
    std::smatch m;
    for (const std::string& line : lines(r.console))
        if (std::regex_match(line, m, record))
            summary.insert(m.format("QB40$2 Device: bmc0 $1 $3 $4"));
    auto all = frames(r.panel);
    ASSERT_FALSE(all.empty());
    for (const Box& box : all.back().boxes)
        labels.insert(box.label);
    EXPECT_EQ(summary.size(), 5u);
    EXPECT_EQ(labels, summary);
}

TEST(Panel, AnUpgradeShowsEachPhaseAndTheNewVersionOnlyFromTheDowncopy)
{
    // Images of version 1.2.0 onto two QB4077 controllers running 1.0.0.
    struct Case {
        std::vector<std::string> args;
        size_t image_size;
        unsigned end;  // one past the last address the tool sends
        std::vector<std::string> phases;
    };
    const Case cases[] = {
        {{"-u", "-f", "fw_4077.bin"}, 20480, 0x3E00,
         {"running", "erasing", "erased", "writing", "verifying", "resetting", "running"}},
        // Quiet, the tool looks for no key before the first write: nothing pauses on the erased bank.
        {{"-u", "-q", "-f", "fw_4077.bin"}, 4096, 0x1000,
         {"running", "erasing", "writing", "verifying", "resetting", "running"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1]);
        RunResult r = run_with_and_without_panel(with_keys(machine_file("upgrade_4077.json"), {}), c.args,
                                                 {{"fw_4077.bin", make_image(c.image_size, {1, 2, 0})}});
        ASSERT_EQ(r.status, 0) << r.console;
        auto all = frames(r.panel);
        ASSERT_FALSE(all.empty());
        for (size_t b = 0; b < all[0].boxes.size(); ++b) {
            SCOPED_TRACE(all[0].boxes[b].label);
            std::vector<std::string> phases, blocks;
            bool reset = false;
            for (const PanelFrame& f : all) {
                const Box& box = f.boxes[b];
                std::string phase = box.status.substr(0, box.status.find_first_of(" ,"));
                if (phases.empty() || phase != phases.back())
                    phases.push_back(phase);
                if (phase == "writing" || phase == "verifying")
                    blocks.push_back(box.status.substr(0, box.status.find(',')));
                reset = reset || phase == "resetting";
                // The running version changes with the downcopy, never before it.
                EXPECT_NE(box.label.find(reset ? "FW:[0x02:0x00]" : "FW:[0x00:0x00]"), std::string::npos) << box.label;
                EXPECT_NE(box.status.find(reset ? "running FW 01 02 00" : "running FW 01 00 00"), std::string::npos);
            }
            EXPECT_EQ(phases, c.phases);
            // Every 256 addresses of both phases; verifying up to the last address written.
            std::vector<std::string> expected;
            for (const char* phase : {"writing 0x%04X", "verifying 0x%04X/0x%04X"})
                for (unsigned at = 0; at < c.end; at += 0x100) {
                    char text[40];
                    std::snprintf(text, sizeof text, phase, at, c.end - 1);
                    expected.push_back(text);
                }
            blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
            EXPECT_EQ(blocks, expected);
        }
    }
}

TEST(Panel, ATerminalIsRepaintedInPlaceInColourWithTheLinesOfTheFile)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        GTEST_SKIP() << "no pseudo-terminal here";
    const std::string terminal = ptsname(master);
    SimDir dir;
    const std::string file = (dir.path() / "panel.txt").string();
    // Slot 0 holds a drive, its activity and fail LEDs lit; slot 3 is empty, rebuild lit.
    const std::vector<sim::PanelBox> boxes = {
        {"QB4077 Device: bmc0 BusID:0x01 FW:[0x01:0x00] ADR:0xc0",
         {{0, true, {true, false, true, false}}, {3, false, {false, false, false, true}}},
         "running FW 02 01 00"}};
    for (const std::string& path : {terminal, file}) {
        auto drawer = sim::PanelDrawer::open(path);
        ASSERT_NE(drawer, nullptr) << path;
        drawer->draw(1500000, "waiting for a key", boxes);
        if (path == terminal)
            drawer->draw(3000000, "", boxes);
    }
    std::string painted;
    fcntl(master, F_SETFL, O_NONBLOCK);
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
        painted.append(buf, static_cast<size_t>(n));
    close(master);

    // Two frames, each from the top of the screen, each LED lit in its colour.
    ASSERT_TRUE(painted.starts_with("\033[H"));
    std::string second = painted.substr(painted.find("\033[H", 1));
    EXPECT_EQ(second.find("\033[H", 1), std::string::npos);
    EXPECT_TRUE(second.ends_with("\033[J")) << second;
    for (const char* lit : {"\033[30;42mA\033[0m", "\033[30;43mF\033[0m", "\033[30;45mR\033[0m"})
        EXPECT_NE(painted.find(lit), std::string::npos) << lit;
    // Without its colours and line erasures, the first frame has the file's
    // lines: heading, boxes and the legend (which the file has once, first).
    std::string first = painted.substr(0, painted.find("\033[H", 1));
    auto shown = lines(std::regex_replace(first, std::regex("\033\\[[0-9;]*[A-Za-z]"), ""));
    auto text = lines(dir.read("panel.txt"));
    ASSERT_EQ(shown.size(), text.size());
    EXPECT_EQ(shown[0], "qb40tool-sim panel   1.500000 s, waiting for a key");
    EXPECT_EQ(text[1], "=== 1.500000 s, waiting for a key");
    EXPECT_EQ(std::vector(shown.begin() + 1, shown.end() - 1), std::vector(text.begin() + 2, text.end()));
    EXPECT_EQ(shown.back(), text[0]);
    EXPECT_EQ(text[3], std::string("| 0*A.F. 3 ...R").append(44, ' ').append("|"));
}

TEST(Panel, APanelThatCannotBeOpenedStopsTheSimulatorBeforeTheToolRuns)
{
    SimDir dir;
    dir.panel("/nonexistent/panel.txt");
    auto r = dir.run({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.console, "");
    EXPECT_EQ(r.errors, "qb40tool-sim: cannot open panel /nonexistent/panel.txt\n");
}
