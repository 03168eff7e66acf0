// The LED commands over the found backplanes: which controllers and
// registers each one writes, in which order, and that a backplane that does
// not answer does not stop the others.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "main/qb40tool.h"
#include "report_helpers.h"

namespace {

// Three controllers whose LEDs all start in `state` ("0x00" or "0xFF").
std::string three_backplanes(const std::string& state)
{
    std::string leds = R"("registers": {"0x40": ")" + state + R"(", "0x42": ")" + state + R"(", "0x44": ")" + state +
                       R"(", "0x46": ")" + state + R"("})";
    std::string buses;
    for (const char* bus : {"0x01", "0x02", "0x03"})
        buses += std::string(buses.empty() ? "" : ", ") + "\"" + bus +
                 R"(": {"devices": [{"type": "qb40xx", "address": "0xC0", "chip_id": 77, )" + leds + "}]}";
    return R"({"bmcs": [{"node": "/dev/ipmi0", "buses": {)" + buses + "}}]}";
}

// Fills the table with the three controllers, or with `count` of them.
void found(INT8U count, INT8U first_bus = 0x01)
{
    for (INT8U i = 0; i < count; ++i) {
        ChipInfo[i].busID = static_cast<INT8U>(first_bus + i);
        ChipInfo[i].i2c_addr = 0xC0;
    }
    ChipsFound = count;
}

std::vector<std::string> led_events(const std::vector<std::string>& events)
{
    std::vector<std::string> out;
    for (const std::string& e : events)
        if (e.starts_with("led "))
            out.push_back(e);
    return out;
}

std::vector<std::string> all_four(const std::string& controller, const std::string& value)
{
    std::vector<std::string> out;
    for (const char* kind : {"activity", "locate", "fail", "rebuild"})
        out.push_back("led " + controller + " " + kind + " " + value);
    return out;
}

std::vector<std::string> concat(std::vector<std::vector<std::string>> parts)
{
    std::vector<std::string> out;
    for (auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::string kBp0 = "bmc0 bus 0x01 0xC0", kBp1 = "bmc0 bus 0x02 0xC0", kBp2 = "bmc0 bus 0x03 0xC0";

}  // namespace

TEST(Leds, EachCommandWritesItsRegistersInTableOrder)
{
    struct Case {
        const char* name;
        const char* start;  // LED state at power-on
        INT8U chips;
        std::function<void()> command;
        std::vector<std::string> changes;
    };
    const Case cases[] = {
        {"lamp test of the second", "0x00", 2, [] { EnableLampTest(1); },
         {"led " + kBp1 + " activity FF", "led " + kBp1 + " fail FF"}},
        {"all status LEDs", "0x00", 3, [] { TurnOnAllStatusLEDs(); },
         {"led " + kBp0 + " fail FF", "led " + kBp1 + " fail FF", "led " + kBp2 + " fail FF"}},
        {"all activity LEDs", "0x00", 3, [] { TurnOnAllActivityLEDs(); },
         {"led " + kBp0 + " activity FF", "led " + kBp1 + " activity FF", "led " + kBp2 + " activity FF"}},
        {"all off", "0xFF", 3, [] { TurnOffAllLEDs(); },
         concat({all_four(kBp0, "00"), all_four(kBp1, "00"), all_four(kBp2, "00")})},
        {"end of a lamp test clears every backplane", "0xFF", 3, [] { DisableLampTest(0); },
         concat({all_four(kBp0, "00"), all_four(kBp1, "00"), all_four(kBp2, "00")})},
        {"only the found ones", "0xFF", 2, [] { TurnOffAllLEDs(); },
         concat({all_four(kBp0, "00"), all_four(kBp1, "00")})},
        {"nothing found: all off", "0xFF", 0, [] { TurnOffAllLEDs(); }, {}},
        {"nothing found: status LEDs", "0x00", 0, [] { TurnOnAllStatusLEDs(); }, {}},
        {"nothing found: activity LEDs", "0x00", 0, [] { TurnOnAllActivityLEDs(); }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qbtest::ReportBench bench(three_backplanes(c.start));
        found(c.chips);
        bench.forget();
        c.command();
        EXPECT_EQ(led_events(bench.events()), c.changes);
        if (c.chips == 0) {
            EXPECT_EQ(bench.events(), std::vector<std::string>{}) << "no request at all";
        }
    }
}

TEST(Leds, ABackplaneThatDoesNotAnswerDoesNotStopTheOthers)
{
    qbtest::ReportBench bench(three_backplanes("0xFF"));
    found(3);
    ChipInfo[0].busID = 0x09;  // a bus the BMC does not have
    ChipInfo[1].i2c_addr = 0xC4;  // nobody there
    bench.forget();
    TurnOffAllLEDs();
    EXPECT_EQ(led_events(bench.events()), all_four(kBp2, "00"));
}
