// SPDX-License-Identifier: MIT
// The exposition-format rules the metrics check holds the tool's file to:
// each row is a file a scraper (or the tool's own promise) refuses, or takes.
#include <gtest/gtest.h>

#include "metrics_reading.h"

namespace campaign {
namespace {

const std::string kHead = "# HELP qb40_x An x.\n# TYPE qb40_x gauge\n";

TEST(MetricsReading, TakesWhatAScraperTakesAndNothingElse)
{
    struct Row {
        const char* what;
        std::string text;
        bool taken;
    };
    const Row rows[] = {
        {"a sample with labels", kHead + "qb40_x{bmc=\"0\",model=\"Q\\\"B\\\\\"} 1.5\n", true},
        {"an empty file", "", true},
        {"no line feed at the end", kHead + "qb40_x 1", false},
        {"a timestamp after the value", kHead + "qb40_x 1 1700000000\n", false},
        {"no TYPE", "# HELP qb40_x An x.\nqb40_x 1\n", false},
        {"a counter", "# HELP qb40_x An x.\n# TYPE qb40_x counter\nqb40_x 1\n", false},
        {"HELP after the samples", kHead + "qb40_x 1\n# HELP qb40_x Again.\n", false},
        {"the same series twice", kHead + "qb40_x{a=\"1\"} 1\nqb40_x{a=\"1\"} 2\n", false},
        {"another prefix", "# HELP node_x An x.\n# TYPE node_x gauge\nnode_x 1\n", false},
        {"a label without quotes", kHead + "qb40_x{a=1} 1\n", false},
        {"an unknown escape", kHead + "qb40_x{a=\"\\t\"} 1\n", false},
        {"an open brace", kHead + "qb40_x{a=\"1\" 1\n", false},
        {"a value that is no number", kHead + "qb40_x one\n", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(!parse_metrics(r.text).error, r.taken) << r.what << ": " << parse_metrics(r.text).error.value_or("");
}

TEST(MetricsReading, GivesEachSampleItsLabelsAndValue)
{
    MetricsText m = parse_metrics(kHead + "qb40_x{bmc=\"1\",model=\"a\\\"b\\nc\"} 41\nqb40_x 2\n");
    ASSERT_FALSE(m.error) << *m.error;
    ASSERT_EQ(m.named("qb40_x").size(), 2u);
    EXPECT_EQ(m.samples[0].labels.at("model"), "a\"b\nc");
    EXPECT_EQ(m.samples[0].value, 41);
    EXPECT_TRUE(m.samples[1].labels.empty());
}

}  // namespace
}  // namespace campaign
