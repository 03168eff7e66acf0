// SPDX-License-Identifier: MIT
// The simulated machine's clock. Virtual by default: a sleep moves it forward
// at once, so a ten-second wait costs no real time. A machine file may ask for
// real time, for demonstrations; sleeps then really sleep.
#pragma once

#include <cstdint>

namespace sim {

class VirtualClock {
public:
    VirtualClock(int64_t start_epoch_us, bool real_time);

    // Microseconds since the machine started.
    uint64_t elapsed_us() const { return elapsed_us_; }
    // Wall-clock time of the machine, microseconds since the epoch.
    int64_t epoch_us() const { return start_epoch_us_ + static_cast<int64_t>(elapsed_us_); }
    bool real_time() const { return real_time_; }

    void advance(uint64_t us);
    void advance_to(uint64_t elapsed_us);

private:
    int64_t start_epoch_us_;
    bool real_time_;
    uint64_t elapsed_us_ = 0;
};

}  // namespace sim
