// SPDX-License-Identifier: MIT
// A capture read into the requests each BMC received, with what the run
// showed of the machine around them: what the model infers from.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "../replay/capture_file.h"
#include "seen.h"

namespace sim::capture {

struct Reading {
    Header header;
    std::vector<Event> events;
    std::vector<SeenBmc> bmcs;
    std::map<std::string, unsigned> vanishing;
    std::vector<std::pair<std::string, int64_t>> modprobes;
    std::optional<bool> iopl;
    std::set<int> pairs_seen_absent;
    uint64_t read_ns = 2000;  // one status read of the host and its delay write
    // Per descriptor: the message ids of the requests whose answers the
    // tool has not received (the driver keeps them queued, oldest first),
    // and where each of them is (its BMC's place in `bmcs`, its own in `seen`).
    std::map<int, std::deque<int64_t>> unanswered;
    std::map<std::pair<int, int64_t>, std::pair<size_t, size_t>> unanswered_at;
    // The lines of calls the model has no place for (a request on a
    // descriptor no open gave, a call the tool does not make), in words:
    // "line 5: ...". A model that leaves one out is not the capture's.
    std::vector<std::string> unused;
    // The line of the last signal the run received (0: none): the times
    // before it placed it.
    size_t last_signal_line = 0;
};

// `image`: the bytes the byte commands carried, or nullptr.
Reading read_requests(Capture capture, const std::vector<uint8_t>* image);

}  // namespace sim::capture
