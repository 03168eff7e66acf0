// SPDX-License-Identifier: MIT
// --image-sha256 HEX: the image is pinned by the digest of the whole file.
// The right digest changes nothing but the command-line lines; any other
// file ends the pass's loading with 1 before a controller hears a word; a
// digest that is not 64 hexadecimal digits is a command-line error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "firmware_images.h"
#include "main/sha256.h"
#include "sim_run.h"

using nlohmann::json;
using qbtest::SimDir;
using Args = std::vector<std::string>;

namespace {

// The controllers run 1.0.0; the image brings 1.2.0.
const std::string kImage = qbtest::make_image(600, {1, 2, 0});

std::string hex_digest(const std::string& bytes)
{
    Sha256 s;
    Sha256Begin(&s);
    Sha256Add(&s, bytes.data(), bytes.size());
    INT8U digest[SHA256_DIGEST_SIZE];
    Sha256End(&s, digest);
    char hex[SHA256_HEX_SIZE];
    Sha256Hex(digest, hex);
    return hex;
}

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
    const std::string right = hex_digest(kImage);
    const std::string wrong = hex_digest(qbtest::make_image(600, {1, 2, 1}));
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
        {"every byte of a file longer than the buffer", big, hex_digest(big), 0, nullptr},
        {"only the bytes the buffer holds", big, hex_digest(big.substr(0, 20480)), 1,
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
                std::string(c.error).append(hex_digest(c.file)).append(", expected ").append(c.digest).append(
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
    const std::string expected = hex_digest(qbtest::make_image(600, {9, 9, 9}));
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
              json({{"file", "fw_4077.bin"}, {"family", "4077"}, {"size", nullptr}, {"version", nullptr},
                    {"sha256", hex_digest(kImage)}, {"sha256_expected", expected}, {"sha256_matched", false}}));
}
