// SPDX-License-Identifier: MIT
#include "clock.h"

#include <chrono>
#include <thread>

namespace sim {

VirtualClock::VirtualClock(int64_t start_epoch_us, bool real_time)
    : start_epoch_us_(start_epoch_us), real_time_(real_time)
{
}

void VirtualClock::advance(uint64_t us)
{
    if (real_time_ && us > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(us));
    elapsed_us_ += us;
}

void VirtualClock::advance_to(uint64_t elapsed_us)
{
    if (elapsed_us > elapsed_us_)
        advance(elapsed_us - elapsed_us_);
}

}  // namespace sim
