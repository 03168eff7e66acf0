// SPDX-License-Identifier: MIT
// --image-sha256 HEX: the image is pinned by the digest of the whole file.
// The right digest changes nothing but the command-line lines; any other
// file ends the pass's loading with 1 before a controller hears a word; a
// digest that is not 64 hexadecimal digits is a command-line error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "firmware_images.h"
#include "in_process.h"
#include "sha256_hex.h"
#include "sim_run.h"
#include "sim/basics/whole_file.h"

using nlohmann::json;
using qbtest::SimDir;
using Args = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

// The controllers run 1.0.0; the image brings 1.2.0.
const std::string kImage = qbtest::make_image(600, {1, 2, 0});

std::string upper(std::string text)
{
    std::ranges::transform(text, text.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// What a run shows without the lines that only repeat its command line.
std::vector<std::string> without_command_line(const std::string& text)
{
    std::vector<std::string> out = qbtest::lines(text);
    std::erase_if(out, [](const std::string& l) {
        int n;
        char rest[2];
        return l.starts_with("Raw command line: (argc:") || l.starts_with("Selected --image-sha256 ") ||
               (l.ends_with(' ') && std::sscanf(l.c_str(), "%d: %1s", &n, rest) == 2);  // "%d: %s "
    });
    return out;
}

std::vector<std::string> events_starting(const std::string& trace, const std::string& prefix)
{
    std::vector<std::string> events = qbtest::trace_events(trace);
    std::erase_if(events, [&](const std::string& e) { return e.find(prefix) == std::string::npos; });
    return events;
}

const std::string kMachine = qbtest::with_keys(qbtest::machine_file("upgrade_4077.json"), {});

}  // namespace

TEST(ImageDigest, OnlyTheFileWithThePinnedDigestIsProgrammed)
{
    const std::string right = qbtest::sha256_hex(kImage);
    const std::string wrong = qbtest::sha256_hex(qbtest::make_image(600, {1, 2, 1}));
    const std::string big = qbtest::make_image(30000, {1, 2, 0});
    struct Case {
        const char* name;
        std::string file;    // fw_4077.bin holds this
        std::string digest;  // after --image-sha256; "" for none at all
        int status;
        const char* error;  // the console's error line begins so; nullptr for none
    };
    const Case cases[] = {
        {"the right digest", kImage, right, 0, nullptr},
        {"the right digest in upper case", kImage, upper(right), 0, nullptr},
        {"another image's digest", kImage, wrong, 1, "ERROR: Image file fw_4077.bin has SHA-256 "},
        {"the file cut short by one byte", kImage.substr(0, kImage.size() - 1), right, 1,
         "ERROR: Image file fw_4077.bin has SHA-256 "},
        {"every byte of a file longer than the buffer", big, qbtest::sha256_hex(big), 0, nullptr},
        {"only the bytes the buffer holds", big, qbtest::sha256_hex(big.substr(0, 20480)), 1,
         "ERROR: Image file fw_4077.bin has SHA-256 "},
        {"63 digits", kImage, right.substr(1), 5, "ERROR: Invalid SHA-256 digest \""},
        {"65 digits", kImage, std::string(right).append("0"), 5, "ERROR: Invalid SHA-256 digest \""},
        {"a character that is no hexadecimal digit", kImage, std::string("g").append(right, 1), 5,
         "ERROR: Invalid SHA-256 digest \""},
        {"no digest", kImage, "", 5, "ERROR: No digest specified after --image-sha256 [RETURN CODE:0x05]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(kMachine);
        dir.write("fw_4077.bin", c.file);
        const Args plain_args = {"-u", "-f", "fw_4077.bin"};
        const auto plain = dir.run(plain_args);
        const std::string plain_log = dir.log();
        Args args = plain_args;
        args.push_back("--image-sha256");
        if (!c.digest.empty())
            args.push_back(c.digest);
        const auto pinned = dir.run(args);
        EXPECT_EQ(pinned.status, c.status);
        const std::vector<std::string> console = qbtest::lines(pinned.console);
        EXPECT_EQ(std::ranges::count_if(console, [](const std::string& l) { return l.find("ERROR:") != std::string::npos; }),
                  c.error ? 1 : 0)
            << pinned.console;
        if (c.status == 0) {
            // Exactly the run without the option, but for its command line.
            EXPECT_EQ(without_command_line(pinned.console), without_command_line(plain.console));
            EXPECT_EQ(without_command_line(dir.log()), without_command_line(plain_log));
            EXPECT_EQ(qbtest::trace_events(pinned.trace), qbtest::trace_events(plain.trace));
        } else if (c.status == 1) {
            // The BMC is opened, but no request reaches a controller, and the
            // error names the file, its digest and the one expected.
            EXPECT_EQ(events_starting(pinned.trace, " request "), std::vector<std::string>{});
            EXPECT_EQ(events_starting(pinned.trace, "flash "), std::vector<std::string>{});
            // Appended piece by piece: GCC 12 at -O3 takes `"literal" + string`
            // for an overlapping copy (-Wrestrict).
            const std::string line =
                std::string(c.error).append(qbtest::sha256_hex(c.file)).append(", expected ").append(c.digest).append(
                    " [RETURN CODE:0x01]");
            EXPECT_EQ(qbtest::count_lines(qbtest::lines(dir.log()), line), 1u) << dir.log();
            EXPECT_TRUE(dir.log().ends_with(std::string(line).append("\nKcs Close\n"))) << dir.log();
        } else {
            // Refused with the command line: no log, no BMC.
            EXPECT_TRUE(console.back().starts_with(c.error)) << pinned.console;
            EXPECT_EQ(pinned.trace, "");
            EXPECT_EQ(dir.log(), plain_log);
        }
    }
}

TEST(ImageDigest, SeveralBmcsRefuseAtTheFirstPassAndTheReportTellsBothDigests)
{
    const std::string expected = qbtest::sha256_hex(qbtest::make_image(600, {9, 9, 9}));
    SimDir dir;
    dir.machine(qbtest::machine_file("two_bmcs.json"));
    dir.write("fw_4077.bin", kImage);
    auto r = dir.run({"-u", "-f", "fw_4077.bin", "--image-sha256", expected, "--report", "r.json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(qbtest::lines_starting(dir.log(), "BmcOpen Success"), 1u);
    EXPECT_EQ(qbtest::lines_starting(dir.log(), "ERROR: Image file fw_4077.bin has SHA-256 "), 1u);
    json report = json::parse(dir.read("r.json"));
    EXPECT_EQ(report["exit_code"], 1);
    EXPECT_EQ(report["bmcs"].size(), 1u);
    EXPECT_EQ(report["image"],
              json({{"file", "fw_4077.bin"}, {"family", "4077"}, {"family_from", "path"}, {"size", nullptr},
                    {"version", nullptr}, {"sha256", qbtest::sha256_hex(kImage)}, {"sha256_expected", expected},
                    {"sha256_matched", false}, {"changed_between_passes", false}}));
    EXPECT_EQ(report["bmcs"][0]["image_sha256"], qbtest::sha256_hex(kImage));
}

namespace image_passes {

// Two BMCs with a QB4077 each, on 1.0.0. A QB4083C image asks the operator
// in every pass, after the pass has loaded the file: the test answers
// through the real standard input, and may replace the file in between.
std::string two_bmcs()
{
    json controller = {{"type", "qb40xx"}, {"address", "0xC0"}, {"chip_id", "M"}, {"firmware", {1, 0, 0}},
                       {"erase_ms", 0}, {"reset_ms", 0}};
    json m = {{"clock", {{"start", 1700000000}}}, {"bmcs", json::array()}};
    for (const char* node : {"/dev/ipmi0", "/dev/ipmi1"})
        m["bmcs"].push_back({{"node", node}, {"buses", {{"0x01", {{"devices", {controller}}}}}}});
    return m.dump();
}

const char kQuestion[] = "Proceed with Firmware Upgrade on QB4083C?";

struct PassesRun {
    int status = -1;
    std::string console, trace, log;
    std::optional<json> report;
};

// Runs qb40tool-sim with `args` in `dir`; at the first question the image
// file becomes `second`, and every question is answered "y".
PassesRun run_replacing_image(const fs::path& dir, const Args& args, const std::string& second)
{
    const fs::path aux = dir.string() + ".aux";
    fs::create_directories(aux);
    sim::write_file(aux / "machine.json", two_bmcs());
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0)
        throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0), dup2(out[1], 1);
        close(in[1]), close(out[0]);
        setenv("QB40SIM_MACHINE", (aux / "machine.json").c_str(), 1);
        setenv("QB40SIM_TRACE", (aux / "trace.txt").c_str(), 1);
        if (chdir(dir.c_str()) == 0)
            qbtest::exec_sim(args);
        _exit(127);
    }
    close(in[0]), close(out[1]);
    PassesRun r;
    size_t answered = 0;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
        r.console.append(buffer, static_cast<size_t>(n));
        for (size_t at; (at = r.console.find(kQuestion, answered)) != std::string::npos;) {
            if (answered == 0)
                sim::write_file(dir / "fw_4083.bin", second);
            answered = at + 1;
            if (write(in[1], "y", 1) != 1)
                break;
        }
    }
    close(in[1]), close(out[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.trace = qbtest::read_file(aux / "trace.txt");
    r.log = qbtest::read_file(dir / "log.txt");
    if (fs::exists(dir / "r.json")) {
        std::string text = qbtest::read_file(dir / "r.json");
        qbtest::keep_report(text);
        r.report = json::parse(text);
    }
    fs::remove_all(aux);
    return r;
}

size_t flash_commands_to(const std::string& trace, const std::string& bmc)
{
    size_t n = 0;
    for (const std::string& e : qbtest::trace_events(trace))
        n += e.starts_with(bmc + " driver request") && e.find(": 18 52 01 C0 00 55 AA ") != std::string::npos;
    return n;
}

}  // namespace image_passes

// The file is loaded anew in every pass. Another file put in its place
// between the passes: each BMC's record names the bytes its pass loaded and
// the run says they changed; the report holds to its schema whatever the
// outcome; under --strict the second pass flashes nothing and the run ends 1.
TEST(ImageDigest, EachPassNamesTheBytesItLoadedAndStrictFlashesNoOtherBytes)
{
    using namespace image_passes;
    const std::string first = qbtest::make_image(600, {1, 2, 0});
    const std::string second = qbtest::make_image(600, {1, 3, 0});
    struct Case {
        const char* name;
        Args options;
        int status;
        bool second_flashed;
    };
    const Case cases[] = {
        {"plain", {}, 0, true},
        {"pinned to the first file's digest", {"--image-sha256", qbtest::sha256_hex(first)}, 1, false},
        {"--strict", {"--strict"}, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = qbtest::fresh_temp_dir("qb40passes");
        sim::write_file(dir / "fw_4083.bin", first);
        Args args = c.options;
        args.insert(args.end(), {"--report", "r.json", "-f", "fw_4083.bin"});
        PassesRun r = run_replacing_image(dir, args, second);
        EXPECT_EQ(r.status, c.status) << r.console;
        EXPECT_GT(flash_commands_to(r.trace, "bmc0"), 0u);
        EXPECT_EQ(flash_commands_to(r.trace, "bmc1") > 0, c.second_flashed);
        ASSERT_TRUE(r.report.has_value());
        const json& report = *r.report;
        EXPECT_EQ(report["exit_code"], c.status);
        EXPECT_EQ(report["image"]["sha256"], qbtest::sha256_hex(first));
        EXPECT_EQ(report["image"]["version"], json({1, 2, 0}));
        EXPECT_EQ(report["image"]["changed_between_passes"], true);
        ASSERT_EQ(report["bmcs"].size(), 2u);
        EXPECT_EQ(report["bmcs"][0]["image_sha256"], qbtest::sha256_hex(first));
        EXPECT_EQ(report["bmcs"][1]["image_sha256"], qbtest::sha256_hex(second));
        if (c.options == Args{"--strict"}) {
            EXPECT_EQ(qbtest::lines_starting(r.log, "ERROR: Image file fw_4083.bin changed between passes: SHA-256 " +
                                                         qbtest::sha256_hex(second) + ", the first pass loaded " +
                                                         qbtest::sha256_hex(first)),
                      1u)
                << r.log;
        }
        fs::remove_all(dir);
    }
}
