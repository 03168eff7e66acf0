// SPDX-License-Identifier: MIT
#include "answer_time.h"

#include <algorithm>
#include <map>

namespace sim::capture {

std::string TypicalTime::how() const
{
    std::string answers = std::to_string(of) + (of == 1 ? " answer" : " answers");
    return median ? "the median of " + answers : "the time of " + std::to_string(shared) + " of " + answers;
}

TypicalTime typical_time(std::vector<uint64_t> times)
{
    TypicalTime typical;
    typical.of = times.size();
    if (times.empty())
        return typical;
    std::map<uint64_t, size_t> counts;
    for (uint64_t t : times)
        ++counts[t];
    // The most common value, the smallest of a tie.
    for (auto [value, n] : counts)
        if (n > typical.shared) {
            typical.value = value;
            typical.shared = n;
        }
    if (4 * typical.shared >= times.size())
        return typical;
    auto middle = times.begin() + static_cast<std::ptrdiff_t>((times.size() - 1) / 2);
    std::nth_element(times.begin(), middle, times.end());
    typical.value = *middle;
    typical.shared = counts[*middle];
    typical.median = true;
    return typical;
}

}  // namespace sim::capture
