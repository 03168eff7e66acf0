// SPDX-License-Identifier: MIT
// Each invariant check on its family's planted runs (invariants/*_plants.cpp):
// every row, made on the good run, must break exactly the invariant it
// names, or nothing when it names none; and every invariant has a row.
#include <algorithm>
#include <gtest/gtest.h>

#include "invariants.h"
#include "invariants/planted_runs.h"

namespace campaign::planted {

struct Family {
    const char* name;
    std::span<const Plant> (*plants)();
};

const Family kFamilies[] = {{"endings", endings_plants},
                            {"hardware", hardware_plants},
                            {"report_and_metrics", report_and_metrics_plants},
                            {"files", files_plants},
                            {"captures", captures_plants}};

class PlantedRuns : public testing::TestWithParam<Family> {};

TEST_P(PlantedRuns, EachCheckFailsOnItsPlantedRunAndOnNothingElse)
{
    for (const Plant& p : GetParam().plants()) {
        Scenario s = good_scenario();
        RunOutput o = good_output();
        p.change(s, o);
        std::vector<Violation> found = check(s, o);
        std::string names;
        for (const Violation& v : found)
            names += v.invariant + " (" + v.detail + ") ";
        if (*p.broken)
            EXPECT_TRUE(found.size() == 1 && found[0].invariant == p.broken) << p.what << ": " << names;
        else
            EXPECT_TRUE(found.empty()) << p.what << ": " << names;
    }
}

INSTANTIATE_TEST_SUITE_P(Invariants, PlantedRuns, testing::ValuesIn(kFamilies),
                         [](const testing::TestParamInfo<Family>& info) { return std::string(info.param.name); });

TEST(Invariants, EveryInvariantHasAPlantedRun)
{
    for (const std::string& name : invariant_names())
        EXPECT_TRUE(std::ranges::any_of(kFamilies, [&](const Family& f) {
            return std::ranges::any_of(f.plants(), [&](const Plant& p) { return name == p.broken; });
        })) << name;
}

}  // namespace campaign::planted
