// Long and odd arguments end the run the way they should and never write
// past a buffer. Under the sanitizer build this is the proof: any overrun or
// undefined behaviour aborts the run with a report on standard error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_run.h"

using qbtest::SimDir;

namespace {

std::string image_name(size_t length)
{
    std::string tail = "_4077.bin";
    return std::string(length - tail.size(), 'n') + tail;
}

}  // namespace

TEST(OddArguments, EndTheRunCleanlyWhateverTheirLengthOrContent)
{
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
    };
    const std::string huge(100000, 'x');
    std::vector<std::string> many(2000, "-u");
    many.push_back("-ms");  // a conflict: ends the run after the command-line report
    const Case cases[] = {
        {"huge unknown argument", {huge}, 5},
        {"huge argument after -f", {"-f", huge}, 5},
        {"huge bare name with a dot", {huge + ".bin"}, 5},
        {"name of 254 characters", {"-f", image_name(254)}, 1},  // accepted; the file is missing
        {"name of 255 characters", {"-f", image_name(255)}, 5},
        {"huge value after falling-through keys", {"-vpd" + huge}, 5},
        {"huge mux channel value", {"-mc" + huge}, 5},
        {"huge numbers logged", {"-c" + std::string(5000, '9'), "-cd" + std::string(5000, '7'), "-ms"}, 5},
        {"huge arguments logged", {"-z" + huge, "-i" + huge, "-ms"}, 5},
        {"many arguments logged", many, 5},
        {"format directives", {"%s%s%s%n%n", "-ms"}, 5},
        {"format directives logged", {"-u%s%n%s", "-ms"}, 5},
        {"empty argument", {""}, 5},
        {"lone dash", {"-"}, 5},
        {"keys cut short", {"-v"}, 5},
        {"bytes above 0x7f", {"-\xff\xfe\x80"}, 5},
        {"short values", {"-b1", "-mc1", "-sc1", "-ma1", "-vpd1"}, 5},
        {"negative counts", {"-c-1", "-cd-5", "-h"}, 0},
        {"help with a huge name", {"-h", "-f", image_name(254)}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.machine(R"({"bmcs": [{"node": "/dev/ipmi0", "buses": {}}]})");
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, c.status) << r.errors.substr(0, 2000);
        EXPECT_EQ(r.errors.find("Sanitizer"), std::string::npos) << r.errors.substr(0, 2000);
        EXPECT_EQ(r.errors.find("runtime error"), std::string::npos) << r.errors.substr(0, 2000);
    }
}

TEST(OddArguments, LongArgumentsReachTheLogWhole)
{
    SimDir dir;
    const std::string long_key = "-i" + std::string(20000, 'y');
    auto r = dir.run({long_key, "-ms"});
    EXPECT_EQ(r.status, 5);
    EXPECT_NE(dir.log().find("\n1: " + long_key + " \n2: -ms \n"), std::string::npos);
}
