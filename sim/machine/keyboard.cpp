// SPDX-License-Identifier: MIT
#include "keyboard.h"

#include <algorithm>

namespace sim {

struct termios Keyboard::cooked_terminal()
{
    struct termios t {};
    t.c_iflag = BRKINT | ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS8 | CREAD;
    t.c_lflag = ECHO | ICANON | IEXTEN | ISIG;
    t.c_cc[VMIN] = 1;
    return t;
}

Keyboard::Keyboard(Context context, bool scripted, std::deque<Key> keys)
    : attributes(cooked_terminal()), context_(context), scripted_(scripted), keys_(std::move(keys))
{
}

bool Keyboard::waiting() const
{
    return ready_at() <= context_.clock.elapsed_us();
}

int Keyboard::take()
{
    if (keys_.empty()) {
        context_.trace.line("key EOF");
        return EOF;
    }
    Key key = keys_.front();
    keys_.pop_front();
    context_.clock.advance_to(key.at_us);
    context_.trace.line("key 0x%02X", key.byte);
    return key.byte;
}

void Keyboard::look(bool reading)
{
    ++looks_;
    if (keys_.empty())
        return;
    Key& next = keys_.front();
    if (next.look != 0 && next.at_us == UINT64_MAX && (reading || next.look <= looks_))
        next.at_us = std::max(context_.clock.elapsed_us(), next.not_before_us);
}

void Keyboard::discard_waiting()
{
    while (!keys_.empty() && waiting()) {
        context_.trace.line("key 0x%02X discarded", keys_.front().byte);
        keys_.pop_front();
    }
}

}  // namespace sim
