// SPDX-License-Identifier: MIT
// Long and odd arguments end the run the way they should and never write
// past a buffer. Under the sanitizer build this is the proof: any overrun or
// undefined behaviour aborts the run with a report on standard error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_run.h"

TEST(OddArguments, EndTheRunCleanlyWhateverTheirLengthOrContent)
{
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const std::string huge(100000, 'x'), long_key = "-i" + std::string(20000, 'y');
    const std::string name254 = std::string(245, 'n') + "_4077.bin";
    std::vector<std::string> many(2000, "-u");
    many.push_back("-ms");  // a conflict: ends the run after the command-line report
    const Case cases[] = {
        {{huge}, 5},
        {{"-f", huge}, 5},
        {{huge + ".bin"}, 5},
        {{"-f", name254}, 1},  // accepted; the file is missing
        {{name254}, 1},
        {{"-vpd" + huge}, 5},  // a huge value after falling-through keys
        {{"-mc" + huge}, 5},
        {{"-c" + std::string(5000, '9'), "-cd" + std::string(5000, '7'), "-ms"}, 5},
        {{"-z" + huge, long_key, "-ms"}, 5},
        {many, 5},
        {{"%s%s%s%n%n", "-ms"}, 5},
        {{"-u%s%n%s", "-ms"}, 5},
        {{"-"}, 5},
        {{"-v"}, 5},
        {{"-\xff\xfe\x80"}, 5},
        {{"-b1", "-mc1", "-sc1", "-ma1", "-vpd1"}, 5},
        {{"-c-1", "-cd-5", "-h"}, 0},
        {{"-h", "-f", name254}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args).substr(0, 60));
        qbtest::SimDir dir;
        dir.machine(qbtest::empty_bmcs(1));
        auto r = dir.run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(r.errors.find("Sanitizer") == std::string::npos &&
                    r.errors.find("runtime error") == std::string::npos)
            << r.errors.substr(0, 2000);
        // Arguments that reach the log reach it whole.
        if (c.args.size() > 1 && c.args[1] == long_key) {
            EXPECT_NE(dir.log().find("\n2: " + long_key + " \n3: -ms \n"), std::string::npos);
        }
    }
}
