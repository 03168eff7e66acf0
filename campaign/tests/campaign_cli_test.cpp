// SPDX-License-Identifier: MIT
// qb40campaign as CI and a user run it: a line per failing run that says
// how to rerun it alone and where it is kept, the last line with the
// counts, and an exit status that fails CI only when a run failed.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "scenario.h"
#include "programs.h"

namespace campaign {
namespace {

namespace fs = std::filesystem;

struct Campaign {
    Campaign() : dir(fs::temp_directory_path() / ("qb40campaign-cli." + std::to_string(getpid()))) {}
    ~Campaign() { fs::remove_all(dir); }

    // Runs qb40campaign with `args`; returns its exit status, output in `lines`.
    int run(const std::string& args)
    {
        fs::create_directories(dir);
        int status = std::system((std::string(QB40CAMPAIGN) + " --keep " + (dir / "kept").string() + " " + args +
                                  " > " + (dir / "out.txt").string())
                                     .c_str());
        std::ifstream in(dir / "out.txt");
        lines.clear();
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path dir;
    std::vector<std::string> lines;
};

TEST(CampaignCli, SaysForEachFailingRunHowToRerunItAndKeepsIt)
{
    Campaign c;
    // /bin/false "ends" every run with code 1 and no log.
    EXPECT_EQ(c.run("--tool /bin/false --jobs 2 3-4"), 1);
    ASSERT_FALSE(c.lines.empty());
    EXPECT_EQ(c.lines.back(), "campaign: 2 runs, 2 failures");
    for (const char* seed : {"3", "4"}) {
        std::string kept = (c.dir / "kept" / (std::string("seed-") + seed)).string();
        EXPECT_TRUE(std::any_of(c.lines.begin(), c.lines.end(), [&](const std::string& l) {
            return l.starts_with(std::string("FAIL seed ") + seed + ": log-ending: ") &&
                   l.find(std::string("rerun alone: scripts/campaign.sh ") + seed + " ") != std::string::npos &&
                   l.find(kept) != std::string::npos;
        })) << seed;
        EXPECT_TRUE(fs::exists(kept + "/machine.json") && fs::exists(kept + "/command.txt") &&
                    fs::exists(kept + "/scenario.json"));
    }
}

TEST(CampaignCli, GoodRunsOfSeedsAndScenarioFilesEndWithZero)
{
    Campaign c;
    fs::create_directories(c.dir);
    std::ofstream(c.dir / "found.json") << to_json(generate(5)).dump();
    EXPECT_EQ(c.run(std::string("--tool ") + qbtest::kToolSim + " 1-2 " + (c.dir / "found.json").string()), 0);
    ASSERT_FALSE(c.lines.empty());
    EXPECT_EQ(c.lines.back(), "campaign: 3 runs, 0 failures");
    EXPECT_FALSE(fs::exists(c.dir / "kept"));
}

TEST(CampaignCli, AReportOutsideTheSchemaFailsItsRunAfterAllRuns)
{
    // A stand-in for the tool that ends as a good run ends, with a report
    // that every per-run check accepts but the schema does not.
    Campaign c;
    fs::create_directories(c.dir);
    const fs::path tool = c.dir / "tool.sh";
    std::ofstream(tool) << "#!/bin/sh\n"
                           "umask 077\n"  // a report is its owner's alone
                           "printf 'Finished: now\\n\\nExited with return code: 0x00\\n' > log.txt\n"
                           "printf '{\"exit_code\": 0, \"complete\": true, \"bmcs\": []}' > \"$2\"\n";
    fs::permissions(tool, fs::perms::owner_all);
    Scenario s = generate(5);
    s.args = {"--report", "r.json"};
    s.image.reset();
    std::ofstream(c.dir / "schema.json") << to_json(s).dump();
    EXPECT_EQ(c.run("--tool " + tool.string() + " " + (c.dir / "schema.json").string()), 1);
    ASSERT_FALSE(c.lines.empty());
    EXPECT_EQ(c.lines.back(), "campaign: 1 runs, 1 failures");
    const std::string kept = (c.dir / "kept" / "schema").string();
    EXPECT_TRUE(std::any_of(c.lines.begin(), c.lines.end(), [&](const std::string& l) {
        return l.starts_with("FAIL " + (c.dir / "schema.json").string() + ": report-schema: ") &&
               l.find("'schema_version' is a required property") != std::string::npos &&
               l.find(kept) != std::string::npos;
    })) << c.lines.front();
    EXPECT_TRUE(fs::exists(kept + "/report.json"));
}

}  // namespace
}  // namespace campaign
