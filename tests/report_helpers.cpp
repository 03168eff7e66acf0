#include "report_helpers.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "kcs/kcs.h"
#include "logfile/logfile.h"
#include "machine.h"
#include "machine_file.h"
#include "main/qb40tool.h"
#include "settings.h"
#include "sim_run.h"

namespace qbtest {

std::string line_after(const std::vector<std::string>& lines, const std::string& line)
{
    auto at = std::find(lines.begin(), lines.end(), line);
    if (at == lines.end() || at + 1 == lines.end())
        return "";
    return *(at + 1);
}

std::vector<std::string> lines_starting(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::vector<std::string> out;
    for (const std::string& l : lines)
        if (l.starts_with(prefix))
            out.push_back(l);
    return out;
}

std::vector<std::string> lines_after(const std::vector<std::string>& lines, const std::string& line, size_t count)
{
    auto at = std::find(lines.begin(), lines.end(), line);
    if (at == lines.end())
        return {};
    ++at;
    auto end = lines.end() - at > static_cast<long>(count) ? at + static_cast<long>(count) : lines.end();
    return {at, end};
}

std::vector<std::string> device_headings(const std::vector<std::string>& lines)
{
    std::vector<std::string> out;
    for (const std::string& l : lines)
        if (l.starts_with("QB40") && l.ends_with(" Device:"))
            out.push_back(l);
    return out;
}

size_t count_lines(const std::vector<std::string>& lines, const std::string& line)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

LedBoard::LedBoard(const std::vector<std::string>& events, size_t stop_before)
{
    size_t end = std::min(stop_before, events.size());
    for (size_t i = 0; i < end; ++i) {
        const std::string& e = events[i];
        if (!e.starts_with("led "))
            continue;
        // "led NAME KIND VALUE": NAME has blanks of its own.
        size_t value_at = e.rfind(' ');
        size_t kind_at = e.rfind(' ', value_at - 1);
        std::string name = e.substr(4, kind_at - 4);
        leds_[name][e.substr(kind_at + 1, value_at - kind_at - 1)] = e.substr(value_at + 1);
    }
}

std::string LedBoard::get(const std::string& controller, const std::string& kind) const
{
    auto c = leds_.find(controller);
    if (c == leds_.end())
        return "";
    auto k = c->second.find(kind);
    return k == c->second.end() ? "" : k->second;
}

std::set<std::string> LedBoard::lit(const std::string& kind) const
{
    std::set<std::string> out;
    for (const auto& [name, kinds] : leds_) {
        auto k = kinds.find(kind);
        if (k != kinds.end() && k->second != "00")
            out.insert(name);
    }
    return out;
}

size_t event_index(const std::vector<std::string>& events, const std::string& prefix, size_t n)
{
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].starts_with(prefix) && n-- == 0)
            return i;
    return std::string::npos;
}

namespace {

void clear_device_tables()
{
    std::memset(ChipInfo, 0, sizeof ChipInfo);
    std::memset(QB4083CChipInfo, 0, sizeof QB4083CChipInfo);
    std::memset(TotalChipInfo, 0, sizeof TotalChipInfo);
    ChipsFound = 0;
    TotalChipCounter = 0;
    FoundQB4083C = 0;
    ScanChannels = 0;
}

void forget_bmcs()
{
    fd = -1;  // belonged to the machine installed before
    FoundBmc = 0;
    ScanForBmc = 0;
    FirstBmcOpen = SecondBmcOpen = ThirdBmcOpen = FourthBmcOpen = 0;
}

}  // namespace

ReportBench::ReportBench(const std::string& machine_json)
{
    restore_default_settings();
    CMDL_QuietMode = 1;
    clear_device_tables();
    forget_bmcs();
    sim::install(sim::load_machine_json(machine_json));
    sim::machine().trace.open((dir_.path() / "trace.txt").string());
    StartLogFile("log.txt");
    FoundBmc = 1;
    Kcs_Open();
}

ReportBench::~ReportBench()
{
    Kcs_Close();
    CloseLogFile();
    sim::install(sim::load_machine_json("{}"));
    forget_bmcs();
    clear_device_tables();
    restore_default_settings();
}

std::vector<std::string> ReportBench::log_lines() const { return lines(dir_.read("log.txt")); }

std::vector<std::string> ReportBench::events() const
{
    auto all = trace_events(dir_.read("trace.txt"));
    all.erase(all.begin(), all.begin() + static_cast<long>(std::min(seen_, all.size())));
    return all;
}

void ReportBench::forget() { seen_ += events().size(); }

}  // namespace qbtest
