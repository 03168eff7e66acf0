// SPDX-License-Identifier: MIT
// Which controllers an image is for. The family key is searched in the
// whole path, so a directory (rel-4073/), a date (2024073) or a ticket
// number can decide it: with --strict or --plan the family comes from the
// file's own name alone, and a path whose directories hold a key the name
// does not, or a name with none, is refused before anything is sent. The
// report says where the family came from.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "firmware_images.h"
#include "sim_run.h"

using nlohmann::json;
using qbtest::SimDir;
using Args = std::vector<std::string>;
namespace fs = std::filesystem;

namespace image_family {

// One QB4073S ("I") on bus 0x02, running 1.5.2.
std::string qb4073_machine()
{
    return json({{"clock", {{"start", 1700000000}}},
                 {"keys", json::array()},
                 {"bmcs",
                  {{{"node", "/dev/ipmi0"},
                    {"buses",
                     {{"0x02",
                       {{"devices",
                         {{{"type", "qb40xx"}, {"address", "0xC0"}, {"chip_id", "I"}, {"firmware", {1, 5, 2}},
                           {"erase_ms", 0}, {"reset_ms", 0}}}}}}}}}}}})
        .dump();
}

size_t flash_commands(const std::string& trace)
{
    size_t n = 0;
    for (const std::string& e : qbtest::trace_events(trace))
        n += e.find(" request ") != std::string::npos && e.find(": 18 52 02 C0 00 55 AA ") != std::string::npos;
    return n;
}

bool any_request(const std::string& trace)
{
    for (const std::string& e : qbtest::trace_events(trace))
        if (e.starts_with("bmc") && e.find(" request ") != std::string::npos)
            return true;
    return false;
}


TEST(ImageFamily, StrictAndPlanTakeTheFamilyFromTheFileNameAlone)
{
    struct Case {
        const char* name;
        Args args;
        int status;
        const char* line;         // the console's last line ("" for none)
        const char* family;       // in the report ("" not looked at)
        const char* family_from;
        bool flashed;             // the QB4073S hears flash commands
    };
    const Case cases[] = {
        {"a directory named for another family", {"--strict", "-u", "-f", "rel-4073/fw_4077.bin"}, 5,
         "ERROR: The directory of image file rel-4073/fw_4077.bin holds the family key 4073 that its name "
         "fw_4077.bin does not [RETURN CODE:0x05]",
         "4077", "base_name", false},
        {"the same in quiet mode", {"--strict", "-q", "-f", "rel-4073/fw_4077.bin"}, 5, "", "", "", false},
        {"a plan of it", {"--plan", "-f", "rel-4073/fw_4077.bin"}, 5,
         "ERROR: The directory of image file rel-4073/fw_4077.bin holds the family key 4073 that its name "
         "fw_4077.bin does not [RETURN CODE:0x05]",
         "", "", false},
        {"a date that holds a key", {"--strict", "-u", "-f", "srv/fw/2024073/qb4077.bin"}, 5,
         "ERROR: The directory of image file srv/fw/2024073/qb4077.bin holds the family key 4073 that its name "
         "qb4077.bin does not [RETURN CODE:0x05]",
         "", "", false},
        {"a name without a key: the family the path gave, refused", {"--strict", "-u", "-f", "fw-4073/image.bin"}, 5,
         "ERROR: No family key in the image file's own name image.bin (--strict and --plan take the family from "
         "it) [RETURN CODE:0x05]",
         "4073", "path", false},
        {"the directory repeats the name's key", {"--strict", "-u", "-f", "4073/qb4073.bin"}, 0, "", "4073",
         "base_name", true},
        {"without --strict the whole path decides, as it always did", {"-u", "-f", "rel-4073/fw_4077.bin"}, 0, "",
         "4073", "path", true},
    };
    const std::string image = qbtest::make_image(600, {1, 2, 0});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(qb4073_machine());
        for (const char* d : {"rel-4073", "srv/fw/2024073", "fw-4073", "4073"})
            fs::create_directories(dir.path() / d);
        for (const char* f : {"rel-4073/fw_4077.bin", "srv/fw/2024073/qb4077.bin", "fw-4073/image.bin",
                              "4073/qb4073.bin"})
            dir.write(f, image);
        Args args = c.args;
        args.insert(args.end() - 2, {"--report", "r.json"});
        auto r = dir.run(args);
        EXPECT_EQ(r.status, c.status);
        if (*c.line) {
            EXPECT_EQ(qbtest::lines(r.console).back(), c.line);
        }
        EXPECT_EQ(flash_commands(r.trace) > 0, c.flashed);
        EXPECT_EQ(any_request(r.trace), c.status != 5);
        json report = json::parse(dir.read("r.json"));
        EXPECT_EQ(report["exit_code"], c.status);
        if (*c.family) {
            EXPECT_EQ(report["image"]["family"], c.family);
            EXPECT_EQ(report["image"]["family_from"], c.family_from);
        }
    }
}

}  // namespace image_family
