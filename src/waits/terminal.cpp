// SPDX-License-Identifier: MIT
// The controlling terminal on standard input: raw mode for single keys
// without Enter or echo, the way back to the settings it had, and reading
// and polling single keys.
#include "terminal.h"

#include <cerrno>
#include <cstdio>
#include <sys/select.h>
#include <termios.h>

#include "../common/settings.h"
#include "../os/os.h"
#include "safe_point.h"

namespace {

enum TtyState { RESET = 0, RAW = 1 };

struct termios termattr;       // attributes set by the last mode change
struct termios save_termattr;  // attributes in force before it
int ttysavefd = -1;
TtyState ttystate = RESET;

// The failure report goes straight to the console, not to the log.
void ReportTerminalFailure(const char* call, int result)
{
    if (CMDL_QuietMode)
        return;
    printf("%s() returned %d for fildes=%d\n", call, result, 0);
    fflush(stdout);
    perror("");
}

}  // namespace

int set_tty_raw()
{
    int result = os::tcgetattr(0, &termattr);
    if (result < 0) {
        ReportTerminalFailure("tcgetattr", result);
        return -1;
    }
    save_termattr = termattr;

    termattr.c_lflag &= ~(ECHO | ICANON | IEXTEN | ISIG);
    termattr.c_iflag &= ~(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    termattr.c_cflag &= ~(CSIZE | PARENB);
    termattr.c_cflag |= CS8;
    termattr.c_oflag &= ~OPOST;
    // A read returns as soon as one byte is there.
    termattr.c_cc[VMIN] = 1;
    termattr.c_cc[VTIME] = 0;

    result = os::tcsetattr(0, TCSANOW, &termattr);
    if (result < 0) {
        ReportTerminalFailure("tcsetattr", result);
        return -1;
    }
    ttystate = RAW;
    ttysavefd = 0;
    return 0;
}

int set_tty_cooked()
{
    if (ttystate != RAW)
        return 0;
    // Keys typed but not read belong to the question that is over. Draining
    // the output may be interrupted by a signal; the terminal is restored all the same.
    int result;
    do
        result = os::tcsetattr(ttysavefd, TCSAFLUSH, &save_termattr);
    while (result < 0 && errno == EINTR);
    if (result < 0)
        return -1;
    ttystate = RESET;
    return 0;
}

// A signal that comes while the tool waits for a key ends the wait (the key
// reads as end of input), and so does one that comes between the look here
// and the wait (os.h); the safe points around it decide what it does.
int getch()
{
    SafePoint();
    int c = os::getchar();
    os::fflush_stdin();
    SafePoint();
    return c;
}

int kbhit()
{
    SafePoint();
    for (;;) {
        fd_set readfds;
        FD_ZERO(&readfds);
        FD_SET(0, &readfds);
        struct timeval no_wait = {0, 0};
        int ready = os::select(1, &readfds, nullptr, nullptr, &no_wait);
        if (ready >= 0 || errno != EINTR)
            return ready > 0 ? 1 : 0;
        SafePoint();
    }
}
