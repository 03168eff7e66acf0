// SPDX-License-Identifier: MIT
// The pauses of the tool. A signal that interrupts one is looked at (a safe
// point); unless it stops the run, the pause goes on for the time left: no
// pause is cut short by a signal.
#include "pause.h"

#include <cerrno>
#include <ctime>

#include "../os/os.h"
#include "safe_point.h"

namespace {

void Pause(unsigned int usec)
{
    SafePoint();
    struct timespec left = {static_cast<time_t>(usec / 1000000), static_cast<long>(usec % 1000000) * 1000};
    while (os::nanosleep(&left, &left) != 0 && errno == EINTR)
        SafePoint();
}

}  // namespace

void qb_delay(unsigned int Val)
{
    Pause(Val * 1000);
}

void timedelay(unsigned int tickToDelay)
{
    Pause(static_cast<unsigned int>(tickToDelay * TICK_US));
}
