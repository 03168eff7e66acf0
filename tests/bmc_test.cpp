// The simulated BMC on its own: Master Write-Read over its buses, through a
// mux switched by the tool or by the BMC, and fault rules that fire on the
// requests they name, or are refused when they cannot work.
#include <gtest/gtest.h>

#include <algorithm>

#include "bmc.h"
#include "machine.h"
#include "machine_file.h"
#include "trace.h"

namespace {

using Bytes = std::vector<uint8_t>;

sim::BmcCore& core_of(const std::string& json)
{
    sim::install(sim::load_machine_json(json));
    return *sim::machine().bmcs.at(0).core;
}

TEST(Bmc, MasterWriteReadReachesTheDevicesOfItsBusesOnly)
{
    sim::BmcCore& core = core_of(R"({"bmcs": [{"buses": {
        "0x03": {"bmc_switches_mux": true, "devices": [
            {"type": "mux", "address": "0xE6", "channels": {
                "2": [{"type": "registers", "address": "0xC0", "registers": {"0x00": "0x22"}}]}},
            {"type": "registers", "address": "0xA0", "registers": {"0x00": "0xA0"}}]},
        "0x04": {"devices": [{"type": "mux", "address": "0xE6", "channels": {
            "1": [{"type": "registers", "address": "0xC2", "registers": {"0x00": "0x11"}}]}}]}}}]})");
    const struct {
        Bytes request;
        const char* response;
    } cases[] = {  // in order: the mux keeps its channel
        {{0x18, 0x52, 0x03, 0xA0, 0x02, 0x00}, "1C 52 00 A0 00"},
        {{0x18, 0x52, 0x05, 0xA0, 0x01}, "1C 52 CC"},        // no such bus
        {{0x18, 0x52, 0x03, 0xB0, 0x00, 0x01}, "1C 52 83"},  // nobody at the address
        {{0x18, 0x52, 0x04, 0xC2, 0x01}, "1C 52 83"},        // behind a mux that is off
        {{0x18, 0x52, 0x04, 0xE6, 0x00, 0x01}, "1C 52 00"},  // switched to channel 1
        {{0x18, 0x52, 0x04, 0xC2, 0x01}, "1C 52 00 11"},
        {{0x18, 0x52, 0x23, 0xC0, 0x01}, "1C 52 00 22"},     // the BMC switches channel 2
        {{0x18, 0x52, 0x93, 0xC0, 0x01}, "1C 52 83"},        // and 9 switches all off
        {{0x18, 0x52, 0x14, 0xC2, 0x01}, "1C 52 CC"},        // a bus whose BMC does not switch
        {{0x18, 0x53, 0x03}, "1C 53 C1"},                    // unknown command
        {{0x18, 0x52, 0x03, 0xA0}, "1C 52 C7"},              // Master Write-Read without its fields
    };
    for (const auto& c : cases)
        EXPECT_EQ(sim::Trace::hex(core.handle(c.request)), c.response) << sim::Trace::hex(c.request);
}

TEST(Bmc, FaultRulesFireOnTheRequestsTheyName)
{
    const struct {
        const char* rules;
        std::string outcomes;  // per request: '.' clean, or the number of the rule that fired
    } cases[] = {  // the requests: reads on bus 1 at C0, C2, C0, C2, C0, C2, C0, C2
        {R"([{"completion_code": "0x83"}])", "0......."},
        {R"([{"completion_code": "0x83", "nth": 3, "count": 2}])", "..00...."},
        {R"([{"completion_code": "0x83", "nth": 6, "count": "all"}])", ".....000"},
        {R"([{"completion_code": "0x83", "address": "0xC2", "nth": 2}])", "...0...."},
        {R"([{"completion_code": "0x83", "request": "18 52 01 C2", "count": 2}])", ".0.0...."},
        {R"([{"completion_code": "0x83", "bus": "0x02", "count": "all"}])", "........"},
        // The first rule that fires wins; the others still count the request.
        {R"([{"completion_code": "0x83", "nth": 2, "count": 2}, {"lose": true, "nth": 3, "count": 2}])", ".001...."},
        {R"([{"lose": true, "road": "kcs", "count": "all"}])", "........"},
        {R"([{"wrong_id": true, "count": "all"}, {"kcs": "error_state", "count": "all"}])", "00000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rules);
        sim::BmcCore& core = core_of(std::string(R"({"bmcs": [{"node": "/dev/ipmi0", "faults": )") + c.rules + "}]}");
        std::string outcomes;
        for (int i = 0; i < 8; ++i) {
            std::vector<uint64_t> before;
            for (size_t r = 0; r < core.faults().rules(); ++r)
                before.push_back(core.faults().injected(r));
            Bytes request{0x18, 0x52, 0x01, static_cast<uint8_t>(i % 2 ? 0xC2 : 0xC0), 0x01};
            bool faulted = core.exchange(sim::Road::Driver, request).fault.has_value();
            char fired = '.';
            for (size_t r = 0; r < core.faults().rules(); ++r)
                if (core.faults().injected(r) != before[r])
                    fired = static_cast<char>('0' + r);
            EXPECT_EQ(faulted, fired != '.');
            outcomes += fired;
        }
        EXPECT_EQ(outcomes, c.outcomes);
        EXPECT_EQ(core.faults().injected(), static_cast<uint64_t>(std::count_if(outcomes.begin(), outcomes.end(),
                                                                                 [](char o) { return o != '.'; })));
    }
}

TEST(Bmc, FaultRulesThatCannotWorkAreRefusedByField)
{
    const struct {
        const char* faults;
        const char* field;
    } cases[] = {
        {R"({"nth": 2})", "bmcs[0].faults[0]"},  // no fault named
        {R"({"lose": true, "colour": 1})", "bmcs[0].faults[0].colour"},
        {R"({"kcs": "sideways"})", "bmcs[0].faults[0].kcs"},
        {R"({"kcs": "error_state", "road": "driver"})", "bmcs[0].faults[0]"},
        {R"({"wrong_id": true, "road": "kcs"})", "bmcs[0].faults[0]"},
        {R"({"lose": true, "for_ms": 5})", "bmcs[0].faults[0].for_ms"},
        {R"({"send_errno": "EWHAT"})", "bmcs[0].faults[0].send_errno"},
        {R"({"lose": true, "probability": 2})", "bmcs[0].faults[0].probability"},
        {R"({"response": "1C"})", "bmcs[0].faults[0].response"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        try {
            sim::load_machine_json(std::string(R"({"bmcs": [{"faults": [)") + c.faults + "]}]}");
            ADD_FAILURE() << "accepted";
        } catch (const sim::MachineFileError& e) {
            EXPECT_EQ(e.field(), c.field) << e.what();
        }
    }
}

}  // namespace
