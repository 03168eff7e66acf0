// SPDX-License-Identifier: MIT
// A machine file that cannot be used stops qb40tool-sim before the tool runs,
// naming the file and the field.
#include <gtest/gtest.h>

#include "sim_run.h"

TEST(MachineFile, MalformedFileIsRefusedNamingFileAndField)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"({"bmcs": [{"node": "/dev/ipmi9"}]})", "field bmcs[0].node:"},
        {R"({"driver": "sometimes"})", "field driver:"},
        {R"({"bmcs": [{"kcs": 3}]})", "field bmcs[0].kcs:"},
        {R"({"keys": [{"at": 1, "key": "hello"}]})", "field keys[0].key:"},
        {R"({"colour": "blue"})", "field colour:"},
        {R"({"vanishing_nodes": {"/dev/sda": 1}})", "field vanishing_nodes./dev/sda:"},
        {R"({"vanishing_nodes": {"/dev/ipmi1": "often"}})", "field vanishing_nodes./dev/ipmi1:"},
        {R"({"signals": [{"at": -1, "signal": "TERM"}]})", "field signals[0].at:"},
        {R"({"signals": [{"at": 1, "signal": "STOP"}]})", "field signals[0].signal:"},
        {R"({"inferred": [1]})", "field inferred[0]:"},
        {R"({"keys": [{"look": 0, "key": "y"}]})", "field keys[0].look:"},
        {R"({"keys": [{"key": "y"}]})", "field keys[0].at:"},
        {R"({"bmcs": [)", "field (syntax):"},
    };
    for (const auto& [json, field] : cases) {
        SCOPED_TRACE(json);
        qbtest::SimDir dir;
        dir.machine(json);
        auto r = dir.run({});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.errors.find("machine.json"), std::string::npos) << r.errors;
        EXPECT_NE(r.errors.find(field), std::string::npos) << r.errors;
        EXPECT_EQ(r.console, "") << "the tool must not have run";
        EXPECT_FALSE(dir.exists("log.txt"));
    }
}
