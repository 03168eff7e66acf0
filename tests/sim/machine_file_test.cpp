// SPDX-License-Identifier: MIT
// A machine file that cannot be used stops qb40tool-sim before the tool runs,
// naming the file and the field.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include "sim/machine/file_faults.h"
#include "in_process.h"
#include "sim/machine/machine.h"
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
        {R"({"bmcs": [{"faults": [{"delay_ms": 2, "delay_us": 2500}]}]})", "field bmcs[0].faults[0].delay_us:"},
        {R"({"bmcs": [{"kcs": 0, "kcs_handshake": {"dummy_after_write": 1}}]})",
         "field bmcs[0].kcs_handshake.dummy_after_write:"},
        {R"({"bmcs": [)", "field (syntax):"},
        {R"({"file_faults": [{"file": "trace", "call": "write", "errno": "EIO"}]})", "field file_faults[0].file:"},
        {R"({"file_faults": [{"file": "log", "call": "unlink", "errno": "EIO"}]})", "field file_faults[0].call:"},
        {R"({"file_faults": [{"file": "log", "call": "write", "errno": "EFULL"}]})", "field file_faults[0].errno:"},
        {R"({"file_faults": [{"file": "log", "call": "write"}]})", "field file_faults[0].errno:"},
        {R"({"file_faults": [{"file": "log", "call": "write", "errno": "EIO", "nth": 0}]})",
         "field file_faults[0].nth:"},
        {R"({"umask": "0x22"})", "field umask:"},
        {R"({"umask": 18})", "field umask:"},
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

// A file fault fails the n-th call of its kind on the tool's file it names
// and the run after it, with its errno, and leaves every other call, and
// every other file, to the real file system.
TEST(MachineFile, FileFaultsFailTheirCallsOnTheToolsFilesAlone)
{
    namespace fs = std::filesystem;
    const fs::path dir = qbtest::fresh_temp_dir("qb40files");
    sim::Machine m(0, false);
    m.files.add({sim::ToolFile::Log, sim::FileCall::Write, ENOSPC, 2, 2});
    m.files.add({sim::ToolFile::Report, sim::FileCall::Rename, EBUSY, 1, 0});
    const std::string log = (dir / "log.txt").string(), other = (dir / "other.txt").string();
    int log_fd = m.open_file(log.c_str(), O_WRONLY | O_CREAT, 0644);
    int other_fd = m.open_file(other.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(log_fd, 0);
    ASSERT_GE(other_fd, 0);
    std::vector<int> results;
    for (int i = 0; i < 5; ++i)
        results.push_back(static_cast<int>(m.write(log_fd, "x", 1)));
    EXPECT_EQ(results, (std::vector<int>{1, -1, -1, 1, 1}));
    EXPECT_EQ(m.write(other_fd, "y", 1), 1);
    close(log_fd), close(other_fd);
    EXPECT_EQ(fs::file_size(log), 3u);
    // The report's temporary file never gets its name; the log's rotation does.
    const std::string temp = (dir / ".qb40tool-report.0123456789abcdef.tmp").string();
    close(m.open_file(temp.c_str(), O_WRONLY | O_CREAT, 0600));
    EXPECT_EQ(m.rename(temp.c_str(), (dir / "r.json").c_str()), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(m.rename(log.c_str(), (dir / "logprev.txt").c_str()), 0);
    EXPECT_EQ(sim::tool_file_of("/x/.qb40tool-capture.00.tmp", 0), sim::ToolFile::Capture);
    EXPECT_EQ(sim::tool_file_of("/x", O_TMPFILE | O_RDWR), sim::ToolFile::Capture);
    EXPECT_EQ(sim::tool_file_of("./logprev.txt", 0), sim::ToolFile::Log);
    EXPECT_EQ(sim::tool_file_of("fw_4077.bin", 0), sim::ToolFile::Other);
    fs::remove_all(dir);
}
