// SPDX-License-Identifier: MIT
// An image that cannot be read whole ends the run like one that cannot be
// opened: an error naming the file and the cause, code 1, the BMC and the log
// closed, and not one request sent, so no controller is erased for nothing;
// nor does the run go on to the next BMC.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sys/stat.h>

#include "flash_rig.h"
#include "sim_run.h"

using namespace qbtest;
namespace fs = std::filesystem;

TEST(UnreadableImage, IsRefusedBeforeAnythingIsSent)
{
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> plant;  // makes fw_4077.bin
        const char* console;
    };
    const Case cases[] = {
        {"no such file", [](const fs::path&) {}, "\r\nERROR: Can't open file fw_4077.bin [RETURN CODE:0x01]\r\n"},
        {"a directory", [](const fs::path& d) { fs::create_directory(d / "fw_4077.bin"); },
         "\r\nERROR: Can't read file fw_4077.bin: Is a directory [RETURN CODE:0x01]\r\n"},
        // Opening a FIFO for reading would wait for a writer for ever.
        {"a FIFO", [](const fs::path& d) { ASSERT_EQ(mkfifo((d / "fw_4077.bin").c_str(), 0600), 0); },
         "\r\nERROR: Can't read file fw_4077.bin: not a regular file [RETURN CODE:0x01]\r\n"},
        {"a link to a device", [](const fs::path& d) { fs::create_symlink("/dev/zero", d / "fw_4077.bin"); },
         "\r\nERROR: Can't read file fw_4077.bin: not a regular file [RETURN CODE:0x01]\r\n"},
        // A regular file whose first read fails: the tool's own memory at address 0.
        {"an I/O error", [](const fs::path& d) { fs::create_symlink("/proc/self/mem", d / "fw_4077.bin"); },
         "\rLoading binary: 0x0000:ff\nERROR: Can't read file fw_4077.bin: Input/output error [RETURN CODE:0x01]\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(machine_file("two_bmcs.json"));
        c.plant(dir.path());
        auto r = dir.run({"-u", "-f", "fw_4077.bin"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.console, c.console)) << r.console;
        EXPECT_FALSE(contains(r.console, "EOF reached")) << r.console;
        EXPECT_EQ(lines_starting(r.console, "ERROR: Can't"), 1u) << r.console;
        EXPECT_TRUE(dir.log().ends_with("[RETURN CODE:0x01]\nKcs Close\n")) << dir.log();
        EXPECT_FALSE(contains(r.trace, "request")) << r.trace;
    }
}
