// SPDX-License-Identifier: MIT
// The runner on the real qb40tool-sim: a run in its own directory that the
// checks find good, a run killed at the bound, a failing run kept, and a few
// generated seeds end to end.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

#include "sim/devices/image_version.h"
#include "invariants.h"
#include "run.h"
#include "programs.h"

namespace campaign {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::milliseconds kBound{60000};

struct TempRoot {
    TempRoot() : path(fs::temp_directory_path() / ("qb40campaign-test." + std::to_string(getpid()))) {}
    ~TempRoot() { fs::remove_all(path); }
    fs::path path;
};

Scenario one_qb4077_upgrade()
{
    Scenario s;
    s.seed = 1;
    s.machine = nlohmann::json::parse(R"({"clock": {"start": 1700000000}, "keys": [],
        "bmcs": [{"node": "/dev/ipmi0", "buses": {"0x01": {"devices": [
            {"type": "qb40xx", "address": "0xC0", "chip_id": 77, "firmware": [1, 0, 0], "reset_ms": 100}]}}}]})");
    s.controllers = {{0, 0x01, 0xC0, 77, {1, 0, 0}}};
    std::string image(300, '\x11');
    image.replace(sim::kImageVersionOffset, 3, "\x21\x22\x23");
    s.directories = {"img"};
    s.files["img/fw_4077.bin"] = image;
    s.image = "img/fw_4077.bin";
    s.args = {"-u", "-f", "img/fw_4077.bin"};
    return s;
}

TEST(Runner, RunsTheToolInAFreshDirectoryAndCollectsWhatItLeft)
{
    TempRoot root;
    Scenario s = one_qb4077_upgrade();
    RunOutput out;
    fs::path dir;
    {
        RunDir run(root.path / "run", s);
        dir = run.path();
        out = run.run(qbtest::kToolSim, kBound);
    }
    EXPECT_FALSE(fs::exists(dir));  // gone with the object
    EXPECT_EQ(out.status, 0) << out.errors;
    EXPECT_FALSE(out.timed_out);
    EXPECT_NE(out.trace.find("flash bmc0 bus 0x01 0xC0 downcopy and reset, running FW 21 22 23"), std::string::npos);
    ASSERT_TRUE(out.log.has_value());
    EXPECT_NE(out.log->find("Sucessfully Upgraded 1 of 1 parts"), std::string::npos);
    EXPECT_FALSE(out.logprev.has_value());
    EXPECT_TRUE(check(s, out).empty());
}

TEST(Runner, KillsARunAtTheBound)
{
    TempRoot root;
    Scenario s = one_qb4077_upgrade();
    s.args = {"30"};
    RunOutput out = RunDir(root.path / "run", s).run("/bin/sleep", std::chrono::milliseconds(0));
    EXPECT_TRUE(out.timed_out);
    EXPECT_EQ(out.signal, SIGKILL);
    ASSERT_EQ(check(s, out).size(), 1u);
    EXPECT_EQ(check(s, out)[0].invariant, "run");
}

TEST(Runner, KeepsAFailingRunWithItsMachineAndCommandLine)
{
    TempRoot root;
    Scenario s = one_qb4077_upgrade();
    RunDir run(root.path / "run", s);
    run.run(qbtest::kToolSim, kBound);
    run.keep(root.path / "kept" / "seed-1");
    for (const char* kept : {"machine.json", "command.txt", "trace.txt", "work/log.txt", "work/img/fw_4077.bin"})
        EXPECT_TRUE(fs::exists(root.path / "kept" / "seed-1" / kept)) << kept;
    EXPECT_EQ(nlohmann::json::parse(std::ifstream(root.path / "kept" / "seed-1" / "machine.json")), s.machine);
}

TEST(Runner, GeneratedSeedsKeepEveryInvariant)
{
    TempRoot root;
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        Scenario s = generate(seed);
        RunOutput out = RunDir(root.path / "run", s).run(qbtest::kToolSim, kBound);
        for (const Violation& v : check(s, out))
            ADD_FAILURE() << "seed " << seed << ": " << v.invariant << ": " << v.detail;
    }
}

}  // namespace
}  // namespace campaign
