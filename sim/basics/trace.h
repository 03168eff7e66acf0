// SPDX-License-Identifier: MIT
// The simulator's trace: one line per event (exchange, sleep, shell command,
// key, LED change, ...) with the virtual time in seconds, so that tests can
// check what crossed the seam byte for byte. Written only when a file was
// given (QB40SIM_TRACE); every line is flushed, since the tool may end the
// process with exit() at any point.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "clock.h"

namespace sim {

class Trace {
public:
    explicit Trace(const VirtualClock& clock) : clock_(clock) {}
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Starts writing to `path` (truncated). Returns false if it cannot be created.
    bool open(const std::string& path);
    bool enabled() const { return file_ != nullptr; }

    // Also trace every KCS port access (many lines per exchange).
    bool port_accesses = false;

    // "<seconds> <text>\n"
    void line(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // Upper-case hex bytes separated by blanks: "18 52 01 C0 00 63".
    static std::string hex(std::span<const uint8_t> bytes);

private:
    const VirtualClock& clock_;
    FILE* file_ = nullptr;
};

}  // namespace sim
