// SPDX-License-Identifier: MIT
// The wait for a key on the real terminal, one with the look at the stop
// signals. The handlers only record a signal and the run looks at the record
// before it reads a key; a signal that came after that look and before the
// read began would be recorded while the read went on waiting for a key
// that may never come (and a supervisor's SIGKILL then leaves the LEDs lit).
// So the wait begins with the stop signals blocked, looks at the flag their
// handlers set, and lets them in only inside ppoll, which ends at once if
// one is pending.
#include "os.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>

namespace os {

namespace {

sigset_t StopSignals;
volatile sig_atomic_t* StopArrived = nullptr;  // none handed: a plain read

// The stream answers without a read that could wait: characters are left in
// its buffer from an earlier read, or its end has been met (an end is kept).
bool StreamAnswersAtOnce(FILE* in)
{
    return feof(in) || in->_IO_read_ptr < in->_IO_read_end;
}

}  // namespace

void set_stop_signals(const sigset_t* stops, volatile sig_atomic_t* arrived)
{
    StopSignals = *stops;
    StopArrived = arrived;
}

int getchar_unless_stopped()
{
    if (StopArrived == nullptr || StreamAnswersAtOnce(stdin))
        return std::getchar();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &StopSignals, &before);
    // One that came already ends the wait before it begins, unless a key is
    // there: a read takes a key that is there before it looks for signals.
    const struct timespec no_wait = {0, 0};
    struct pollfd in = {0, POLLIN, 0};
    const int ready = ppoll(&in, 1, *StopArrived ? &no_wait : nullptr, &before);
    const int cause = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    // As an interrupted read ends: the stream's end, errno EINTR.
    if (ready == 0 || (ready < 0 && cause == EINTR)) {
        errno = EINTR;
        return EOF;
    }
    // Something to read, the end of the input or a failure: the read says which.
    return std::getchar();
}

}  // namespace os
