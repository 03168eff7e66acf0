// SPDX-License-Identifier: MIT
// The operator at the console. With a key script (from the machine file)
// each key becomes available at a virtual time, so "Esc during the write
// phase" happens at the same point on every run, and the terminal is
// simulated. Without a script the tool reads the real standard input and
// changes the real terminal, so a pipe or /dev/null behaves exactly as it
// does on a real machine.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <termios.h>

#include "../basics/context.h"

namespace sim {

class Keyboard {
public:
    struct Key {
        uint64_t at_us;  // available from this virtual time on
        int byte;
        // Instead of a time: the tool's look at the input (a check whether a
        // key waits, or a read; 1 = the first) from which the key is there,
        // but not before `not_before_us`. A read before that look takes the
        // key too: the operator answers when asked.
        uint64_t look = 0;
        uint64_t not_before_us = 0;
    };

    Keyboard(Context context, bool scripted, std::deque<Key> keys);

    // Replaces the script (the machine file is read after the keyboard exists).
    void load(bool scripted, std::deque<Key> keys)
    {
        scripted_ = scripted;
        keys_ = std::move(keys);
    }

    bool scripted() const { return scripted_; }

    // A key is available now (select on descriptor 0 with a zero timeout).
    // A key is available now, or the script is over: like a real input at
    // its end, the input then always reads as ready and getchar gives EOF.
    bool waiting() const;
    // Virtual time from which the input reads as ready (a key given by a
    // look that has not come: never).
    uint64_t ready_at() const { return keys_.empty() ? 0 : keys_.front().at_us; }
    // Virtual time of the next key of the script; nullopt at its end.
    std::optional<uint64_t> next_at() const
    {
        return keys_.empty() ? std::nullopt : std::optional<uint64_t>(keys_.front().at_us);
    }
    // The next key, waiting for it on the virtual clock; EOF when the script
    // has no more keys.
    int take();
    // Drops the keys that are available now (tcsetattr with TCSAFLUSH).
    void discard_waiting();
    // The tool looks at the input now (`reading`: it reads a key): a key
    // given by look becomes available.
    void look(bool reading);

    // The simulated terminal's attributes (scripted mode only).
    struct termios attributes {};
    // A terminal as a login shell leaves it: canonical input with echo.
    static struct termios cooked_terminal();

private:
    Context context_;
    bool scripted_;
    std::deque<Key> keys_;
    uint64_t looks_ = 0;
};

}  // namespace sim
