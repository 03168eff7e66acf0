// SPDX-License-Identifier: MIT
// A BMC's usual time to answer, from the times a capture shows: the most
// common value when a quarter of the answers or more share it exactly (a
// simulated BMC, also with some answers delayed), else the median, so that
// neither the spread of a real BMC nor its slow first answers (2 to 27 ms
// where the rest take a fraction of one) set it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::capture {

struct TypicalTime {
    uint64_t value = 0;
    size_t shared = 0;  // answers that took exactly `value`
    size_t of = 0;      // answers looked at
    bool median = false;

    // "the median of 130 answers", "the time of 125 of 130 answers"
    std::string how() const;
};

TypicalTime typical_time(std::vector<uint64_t> times);

}  // namespace sim::capture
