// SPDX-License-Identifier: MIT
#include "signal_schedule.h"

#include <algorithm>
#include <csignal>

namespace sim {

namespace {

struct Known {
    const char* name;  // without "SIG"
    int number;
};

// Every signal whose default action ends the process and that comes from
// outside it: an operator, a supervisor, a dropped session, a timer or a
// resource limit; with them the one that cannot be caught and the one the
// tool ignores.
constexpr Known kKnown[] = {
    {"HUP", SIGHUP},       {"INT", SIGINT},   {"QUIT", SIGQUIT},   {"TERM", SIGTERM}, {"ALRM", SIGALRM},
    {"USR1", SIGUSR1},     {"USR2", SIGUSR2}, {"XCPU", SIGXCPU},   {"XFSZ", SIGXFSZ}, {"VTALRM", SIGVTALRM},
    {"PROF", SIGPROF},     {"PWR", SIGPWR},   {"IO", SIGIO},       {"STKFLT", SIGSTKFLT},
    {"KILL", SIGKILL},     {"PIPE", SIGPIPE},
};

}  // namespace

void SignalSchedule::add(uint64_t at_us, int number)
{
    auto after = std::upper_bound(pending_.begin(), pending_.end(), at_us,
                                  [](uint64_t at, const Signal& s) { return at < s.at_us; });
    pending_.insert(after, Signal{at_us, number});
}

std::optional<SignalSchedule::Signal> SignalSchedule::next_due(uint64_t until) const
{
    if (pending_.empty() || pending_.front().at_us > until)
        return std::nullopt;
    return pending_.front();
}

std::optional<uint64_t> SignalSchedule::last_at() const
{
    if (pending_.empty())
        return std::nullopt;
    return pending_.back().at_us;
}

void SignalSchedule::add_at_key_wait(uint32_t wait, int number) { at_key_waits_.emplace_back(wait, number); }

std::vector<int> SignalSchedule::key_wait_begins()
{
    ++key_waits_;
    std::vector<int> sent;
    for (const auto& [wait, number] : at_key_waits_)
        if (wait == key_waits_)
            sent.push_back(number);
    return sent;
}

int SignalSchedule::number(const std::string& name)
{
    std::string bare = name.starts_with("SIG") ? name.substr(3) : name;
    for (const Known& k : kKnown)
        if (bare == k.name)
            return k.number;
    return 0;
}

const char* SignalSchedule::names()
{
    return "HUP, INT, QUIT, TERM, ALRM, USR1, USR2, XCPU, XFSZ, VTALRM, PROF, PWR, IO, STKFLT, KILL or PIPE";
}

std::string SignalSchedule::name(int number)
{
    for (const Known& k : kKnown)
        if (k.number == number)
            return std::string("SIG") + k.name;
    return "signal " + std::to_string(number);
}

}  // namespace sim
