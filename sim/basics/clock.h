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

    // Moved to the wall clock between a guest's requests (qb40sim-bmc),
    // where the guest's own time runs slow under the host's load: what the
    // guest must see alike under any load is counted in its requests
    // instead (a controller's erase_requests).
    bool follows_wall_clock() const { return follows_wall_clock_; }
    void follow_wall_clock() { follows_wall_clock_ = true; }

private:
    int64_t start_epoch_us_;
    bool real_time_;
    bool follows_wall_clock_ = false;
    uint64_t elapsed_us_ = 0;
};

}  // namespace sim
