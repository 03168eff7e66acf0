// SPDX-License-Identifier: MIT
// qb40sim-capture diff: two captures compared call by call: the requests,
// the answers and the errors, and the times only when asked.
#pragma once

#include <string>
#include <vector>

namespace sim::capture {

struct CaptureDiff {
    size_t differences = 0;  // all of them, not only those shown
    std::string text;        // the first ones, readably, with the lines of each capture
};

struct DiffOptions {
    // Times and waits count too (the wall-clock dates, each call's time,
    // how long the status reads of a KCS transfer went on).
    bool times = false;
    // KCS transfers are compared by their requests and answers, not by the
    // port accesses that carried them: a real interface and the simulated
    // one go through the handshake by different steps (a dummy byte after
    // every byte written, IBF held while the BMC works) that the tool
    // handles alike.
    bool ignore_ports = false;
};

// `a`, `b`: the captures' lines as read_capture_lines (capture_file.h)
// gives them; throws MachineFileError for a line that is no JSON object,
// naming the capture and the line ("B line 254"). At most `shown`
// differences are written.
CaptureDiff diff_captures(const std::vector<std::string>& a, const std::vector<std::string>& b, DiffOptions options,
                          size_t shown = 10);

}  // namespace sim::capture
