// SPDX-License-Identifier: MIT
// The tool runs as root in directories others may write to: a link (or a
// FIFO) planted under the log's names is never followed or written through,
// and where the log cannot be opened safely the run goes on without it.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "flash_rig.h"
#include "sim_run.h"

using namespace qbtest;
namespace fs = std::filesystem;

namespace {

const std::string kPrecious = "precious data\n";

}  // namespace

TEST(LogLink, APlantedLinkOrFifoIsNeverWrittenThrough)
{
    enum Plant { LogLink, PrevLink, BlockedLogLink, BlockedDanglingLink, BlockedLogFifo, BlockedLogDir, PrevFifo };
    struct Case {
        const char* name;
        Plant plant;
        std::vector<std::string> args;
        bool logged;            // a log.txt of this run exists afterwards
        const char* link_left;  // a link still in place afterwards, as a link
    };
    const Case cases[] = {
        {"second run: the link moves to logprev.txt as a link", LogLink, {"-i"}, true, "logprev.txt"},
        {"first run: a link named logprev.txt is not opened", PrevLink, {"-i"}, true, "logprev.txt"},
        {"rotation blocked", BlockedLogLink, {"-h"}, false, "log.txt"},
        {"rotation blocked, appending", BlockedLogLink, {"-a", "-i"}, false, "log.txt"},
        {"rotation blocked, and again at the second cycle", BlockedLogLink, {"-c2", "-i"}, false, "log.txt"},
        {"rotation blocked, a link to no file", BlockedDanglingLink, {"-i"}, false, nullptr},
        {"rotation blocked, a FIFO named log.txt", BlockedLogFifo, {"-i"}, false, nullptr},
        {"rotation blocked, a directory named log.txt", BlockedLogDir, {"-u"}, false, nullptr},
        {"a FIFO named logprev.txt goes like an old log", PrevFifo, {"-i"}, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(empty_bmcs(1));
        const fs::path d = dir.path();
        dir.write("victim.txt", kPrecious);
        // A non-empty directory named logprev.txt: the rotation's rename
        // fails, so a planted log.txt stays where it is.
        if (c.plant >= BlockedLogLink && c.plant <= BlockedLogDir)
            fs::create_directories(d / "logprev.txt" / "keep");
        if (c.plant == BlockedLogDir)
            fs::create_directory(d / "log.txt");
        if (c.plant == LogLink || c.plant == BlockedLogLink)
            fs::create_symlink("victim.txt", d / "log.txt");
        if (c.plant == PrevLink)
            fs::create_symlink("victim.txt", d / "logprev.txt");
        if (c.plant == BlockedDanglingLink)
            fs::create_symlink("absent.txt", d / "log.txt");
        if (c.plant == BlockedLogFifo || c.plant == PrevFifo) {
            ASSERT_EQ(mkfifo((d / (c.plant == PrevFifo ? "logprev.txt" : "log.txt")).c_str(), 0600), 0);
        }
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(dir.read("victim.txt"), kPrecious);
        EXPECT_FALSE(dir.exists("absent.txt"));
        EXPECT_EQ(count_of(r.console, "Unable to create logfile log.txt\n"), c.logged ? 0u : 1u) << r.console;
        // Without a log the run goes on all the same.
        EXPECT_TRUE(c.logged || r.console.starts_with("Error Deleting logprev.txt\r\nUnable to create logfile log.txt\n\r\n"
                                                      "\r\nQB40XX Firmware Upgrade tool")) << r.console;
        EXPECT_EQ(contains(r.console, "Total BMC found: 1\r\n"), c.args[0] != "-h");
        ASSERT_EQ(fs::is_regular_file(fs::symlink_status(d / "log.txt")), c.logged);
        if (c.logged) {
            EXPECT_TRUE(contains(dir.log(), "QB40XX Firmware Upgrade tool")) << dir.log();
        }
        if (c.link_left) {
            EXPECT_EQ(fs::read_symlink(d / c.link_left), "victim.txt");
        }
    }
}
