// SPDX-License-Identifier: MIT
// Signals sent to the tool at virtual times (the machine file's "signals"):
// "a kill -TERM 12.5 s into the run" happens at the same point on every run.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class SignalSchedule {
public:
    struct Signal {
        uint64_t at_us;  // virtual time at which it is sent
        int number;
    };

    // Keeps the signals in time order; signals at the same time in the order added.
    void add(uint64_t at_us, int number);

    // The next signal due at or before `until`, if any.
    std::optional<Signal> next_due(uint64_t until) const;
    void pop() { pending_.pop_front(); }
    // Virtual time of the last signal still to come.
    std::optional<uint64_t> last_at() const;

    // A signal sent as the tool begins its `wait`-th wait for a key (1 = the
    // first), whatever the time: after the tool last looked at the signals it
    // received and before the wait, the moment a stop is easiest to lose.
    void add_at_key_wait(uint32_t wait, int number);
    // A wait for a key begins: the signals sent at it, in the order added.
    std::vector<int> key_wait_begins();

    // "TERM" or "SIGTERM" to its number, 0 for a name not in the list.
    static int number(const std::string& name);
    // The names the machine file takes, for its error message.
    static const char* names();
    // "SIGTERM"; "signal N" for one not in the list.
    static std::string name(int number);

private:
    std::deque<Signal> pending_;
    std::vector<std::pair<uint32_t, int>> at_key_waits_;  // (wait, signal) in the order added
    uint32_t key_waits_ = 0;                              // waits for a key begun so far
};

}  // namespace sim
