// SPDX-License-Identifier: MIT
// The simulated BMC's fault rules, which every other test relies on: they
// fire on the requests they name, or are refused when they cannot work.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/bmc/bmc.h"
#include "sim/current_machine.h"
#include "sim/machine_file/machine_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

sim::BmcCore& core_of(const std::string& json)
{
    sim::install(sim::load_machine_json(json));
    return *sim::machine().bmcs.at(0).core;
}

TEST(Bmc, FaultRulesFireOnTheRequestsTheyName)
{
    // Per request, '.' when it went clean, or the number of the rule that fired.
    struct Case { const char* rules; std::string outcomes; };
    const Case cases[] = {  // the requests: reads on bus 1 at C0, C2, C0, C2, C0, C2, C0, C2
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
        auto counts = [&core] {
            std::vector<uint64_t> injected;
            for (size_t r = 0; r < core.faults().rules(); ++r)
                injected.push_back(core.faults().injected(r));
            return injected;
        };
        std::string outcomes;
        for (uint8_t address : {0xC0, 0xC2, 0xC0, 0xC2, 0xC0, 0xC2, 0xC0, 0xC2}) {
            std::vector<uint64_t> before = counts();
            bool faulted = core.exchange(sim::Road::Driver, Bytes{0x18, 0x52, 0x01, address, 0x01}).fault.has_value();
            auto fired = std::mismatch(before.begin(), before.end(), counts().begin()).first;
            EXPECT_EQ(faulted, fired != before.end());
            outcomes += fired == before.end() ? '.' : static_cast<char>('0' + (fired - before.begin()));
        }
        EXPECT_EQ(outcomes, c.outcomes);
    }
}

TEST(Bmc, FaultRulesThatCannotWorkAreRefusedByField)
{
    struct Case { const char* faults; const char* field; };
    const Case cases[] = {
        {R"({"nth": 2})", "bmcs[0].faults[0]"},  // no fault named
        {R"({"lose": true, "colour": 1})", "bmcs[0].faults[0].colour"},
        {R"({"kcs": "error_state", "road": "driver"})", "bmcs[0].faults[0]"},
        {R"({"send_errno": "EWHAT"})", "bmcs[0].faults[0].send_errno"},
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
