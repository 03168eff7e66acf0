// SPDX-License-Identifier: MIT
#include "answer_time.h"

#include <algorithm>

namespace sim::capture {

std::string TypicalTime::how() const
{
    return "the median of the " + std::to_string(counted) + " of " + std::to_string(of) + " answer" +
           (of == 1 ? "" : "s") + " within a millisecond of the fastest";
}

TypicalTime typical_time(std::vector<uint64_t> times, uint64_t window)
{
    TypicalTime typical;
    typical.of = times.size();
    if (times.empty())
        return typical;
    std::sort(times.begin(), times.end());
    auto within = std::upper_bound(times.begin(), times.end(), times.front() + window);
    typical.counted = static_cast<size_t>(within - times.begin());
    typical.value = times[(typical.counted - 1) / 2];
    return typical;
}

}  // namespace sim::capture
