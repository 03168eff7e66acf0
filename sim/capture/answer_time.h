// SPDX-License-Identifier: MIT
// A BMC's own time to answer, from the times a capture shows: the median of
// the answers that came within a millisecond of the fastest. Later ones
// were late (fault_rules.h: the answer time explains those that changed
// nothing, a rule keeps the delay of the others): a real BMC's first answers
// take 2 to 27 ms where the rest take a fraction of one, and a simulated
// BMC's delayed answers are as many milliseconds late as its faults say;
// neither sets the time, nor does the one exact value that a few answers of
// a real BMC's scattered times happen to share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::capture {

struct TypicalTime {
    uint64_t value = 0;
    size_t counted = 0;  // answers within the window of the fastest
    size_t of = 0;       // answers looked at

    // "the median of the 120 of 130 answers within a millisecond of the fastest"
    std::string how() const;
};

// `window`: a millisecond in the times' unit.
TypicalTime typical_time(std::vector<uint64_t> times, uint64_t window);

}  // namespace sim::capture
