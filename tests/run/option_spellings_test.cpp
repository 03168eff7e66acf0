// SPDX-License-Identifier: MIT
// What an option promises holds however it is spelled: the --NAME=VALUE form
// gives the same run as NAME VALUE, a word beginning with -- that is no
// option is refused before anything is sent (the classic keys would find one
// inside it), and a refusal for an option's sake is said where a timer's
// journal sees it and in the metrics file.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "firmware_images.h"
#include "sim_run.h"

using nlohmann::json;
using namespace qbtest;
using Args = std::vector<std::string>;

namespace {

const std::string kZeros(64, '0');

// How many flash commands (0x55 0xAA ...) reached a controller.
size_t flash_commands(const std::string& trace)
{
    size_t n = 0;
    for (const std::string& e : trace_events(trace))
        if (e.find(" request: 18 52 ") != std::string::npos && e.find(" 55 AA ") != std::string::npos)
            ++n;
    return n;
}

}  // namespace

TEST(OptionSpellings, TheEqualsFormGivesTheRunOfTheTwoWordForm)
{
    struct Case {
        std::string machine;
        Args two_words, equals;
        int status;
    };
    const Case cases[] = {
        // A wrong pin stops the upgrade before an erase, in both spellings.
        {"upgrade_4077.json",
         {"-q", "-u", "--strict", "-f", "fw_4077.bin", "--image-sha256", kZeros, "--report", "r.json"},
         {"-q", "-u", "--strict", "-f", "fw_4077.bin", "--image-sha256=" + kZeros, "--report=r.json"}, 1},
        {"vpd_eeproms.json", {"-vpd", "--capture", "c.jsonl", "--capture-redact", "vpd,host", "--report", "r.json"},
         {"-vpd", "--capture=c.jsonl", "--capture-redact=vpd,host", "--report=r.json"}, 0},
        {"upgrade_4077.json", {"--read-only", "--expect", "2", "--metrics", "m.prom", "--report", "r.json"},
         {"--read-only", "--expect=2", "--metrics=m.prom", "--report=r.json"}, 0},
    };
    const std::string image = make_image(16384, {1, 2, 0});
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.equals));
        std::vector<json> reports;
        std::vector<std::string> captures;
        for (const Args& args : {c.two_words, c.equals}) {
            SimDir dir;
            dir.machine(with_keys(machine_file(c.machine), {}));
            dir.write("fw_4077.bin", image);
            auto r = dir.run(args);
            EXPECT_EQ(r.status, c.status) << r.console;
            EXPECT_EQ(flash_commands(r.trace), 0u);
            json report = json::parse(dir.read("r.json"));
            report.erase("arguments");
            report.erase("started");
            report.erase("finished");
            reports.push_back(report);
            if (dir.exists("c.jsonl"))
                captures.push_back(lines(dir.read("c.jsonl")).at(0));
            if (dir.exists("m.prom")) {
                EXPECT_NE(dir.read("m.prom").find("qb40_scan_success 1"), std::string::npos);
            }
        }
        EXPECT_EQ(reports[1].dump(1), reports[0].dump(1));
        if (!captures.empty()) {
            ASSERT_EQ(captures.size(), 2u);
            EXPECT_NE(captures[1].find("\"redacted\": [\"vpd\", \"host\"]"), std::string::npos) << captures[1];
        }
    }
}

TEST(OptionSpellings, ADashDashWordNoOptionTakesIsRefusedBeforeAnythingIsSent)
{
    // Each holds a classic key that would have run something else: -d
    // (diagnostics around an upgrade), -i, -a, -c, -q.
    const Args words = {"--dry-run", "--imagesha256=" + kZeros, "--help-all=1", "--capture-all", "--quiet", "--verbose"};
    for (const std::string& word : words) {
        SCOPED_TRACE(word);
        SimDir dir;
        dir.machine(machine_file("upgrade_4077.json"));
        dir.write("fw_4077.bin", make_image(16384, {1, 2, 0}));
        auto r = dir.run({"-u", "-f", "fw_4077.bin", word});
        EXPECT_EQ(r.status, 5);
        EXPECT_NE(r.console.find("\"" + word + "\""), std::string::npos) << "names what it could not read";
        EXPECT_EQ(r.trace, "");
        EXPECT_FALSE(dir.exists("log.txt"));
    }
}

TEST(OptionSpellings, ARefusalForAnOptionsSakeIsSaidUnderQuietAndInTheMetrics)
{
    struct Case {
        Args args;
        std::string said;  // on standard error under -q; "" for a classic refusal, which says nothing
        bool logged;       // refused once the log was started (a conflict)
    };
    const Case cases[] = {
        {{"--read-only", "-q", "--metrics", "m.prom", "--expect", "0"},
         "ERROR: --expect needs a number of controllers from 1 to 64 [RETURN CODE:0x05]", false},
        {{"-q", "--metrics=m.prom", "--dry-run"}, "ERROR: Unknown option \"--dry-run\"", false},
        // A pin without an image pins nothing: a script's empty variable.
        {{"-q", "--strict", "--metrics", "m.prom", "--image-sha256", kZeros},
         "ERROR: --image-sha256 needs an image file (-f FILE) [RETURN CODE:0x05]", true},
        {{"-q", "--metrics", "m.prom", "--plan"}, "ERROR: --plan needs an image file (-f FILE) [RETURN CODE:0x05]", true},
        {{"-q", "--metrics", "m.prom", "--read-only", "-z"}, "ERROR: -z not allowed with --read-only [RETURN CODE:0x05]",
         true},
        // The classic refusals keep their output: nothing under -q.
        {{"-q", "--metrics", "m.prom", "-x"}, "", false},
        {{"-q", "--metrics", "m.prom", "-c"}, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        SimDir dir;
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, 5);
        EXPECT_EQ(r.console, "");
        if (c.said.empty()) {
            EXPECT_EQ(r.errors, "");
        } else {
            EXPECT_TRUE(r.errors.starts_with(c.said)) << r.errors;
        }
        EXPECT_EQ(dir.exists("log.txt"), c.logged);
        EXPECT_EQ(r.trace, "");
        const std::string metrics = dir.read("m.prom");
        EXPECT_NE(metrics.find("\nqb40_run_exit_status 5\n"), std::string::npos) << metrics;
        EXPECT_NE(metrics.find("\nqb40_scan_success 0\n"), std::string::npos) << metrics;
    }
    // Without -q the line stays on the console, as a classic refusal's does.
    SimDir dir;
    auto r = dir.run({"--expect=0"});
    EXPECT_EQ(r.console, "ERROR: --expect needs a number of controllers from 1 to 64 [RETURN CODE:0x05]\r\n");
    EXPECT_EQ(r.errors, "");
}
