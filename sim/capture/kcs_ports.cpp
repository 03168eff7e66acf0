// SPDX-License-Identifier: MIT
#include "kcs_ports.h"

#include "../bmc/kcs_codes.h"

namespace sim::capture {

namespace {

uint8_t state_of(const PortToken& t) { return t.value & kcs::kStateMask; }

// The accesses without the signals between them, equal status reads that a
// signal split taken as one.
std::vector<PortToken> folded(const std::vector<PortToken>& ports)
{
    std::vector<PortToken> out;
    for (const PortToken& t : ports) {
        if (t.kind == '!')
            continue;
        if (t.kind == 's' && !out.empty() && out.back().kind == 's' && out.back().value == t.value) {
            out.back().count += t.count;
            out.back().duration_us += t.duration_us;
            continue;
        }
        out.push_back(t);
    }
    return out;
}

// The answer's first byte is there for the host to read.
bool answer_ready(const PortToken& t)
{
    return t.kind == 's' && state_of(t) == kcs::kStateRead && (t.value & kcs::kObf) && !(t.value & kcs::kIbf);
}

bool idle_without_ibf(const PortToken& t)
{
    return t.kind == 's' && state_of(t) == kcs::kStateIdle && !(t.value & kcs::kIbf);
}

// How long a run of status reads lasted: as the capture gives it (from a
// millisecond on), else by the reads' count.
uint64_t lasted(const PortToken& t, uint64_t read_ns) { return t.duration_us ? t.duration_us : t.count * read_ns / 1000; }

// The read phase from `from` (the first status read that saw the answer):
// each READ the host wrote and the status after it.
void read_phase(const std::vector<PortToken>& ports, size_t from, uint64_t read_ns, KcsPortsSeen& seen)
{
    for (size_t i = from; i < ports.size(); ++i) {
        if (ports[i].kind != 'w' || i + 1 >= ports.size() || ports[i + 1].kind != 's')
            continue;
        const PortToken& status = ports[i + 1];
        bool last = i + 2 == ports.size();
        if (status.value & kcs::kIbf) {
            // The READ was not taken.
            seen.fault = KcsFault::IbfStuckInRead;
            if (!last && idle_without_ibf(ports[i + 2]))
                seen.stuck_us = lasted(status, read_ns);
            else if (!last)
                seen.unknown = true;
            return;
        }
        if (state_of(status) == kcs::kStateError) {
            seen.fault = status.value & kcs::kObf ? KcsFault::ErrorInRead : KcsFault::ErrorNoObf;
            return;
        }
        if (state_of(status) == kcs::kStateIdle && !(status.value & kcs::kObf) && last) {
            // Idle without the dummy byte, until the host gave up.
            seen.fault = KcsFault::NoDummy;
            return;
        }
    }
    seen.answered = true;
    // The dummy byte after the answer, read once the interface is idle.
    const PortToken& end = ports.back();
    if (end.kind == 'd' && end.value != 0 && ports.size() >= 2 && ports[ports.size() - 2].kind == 's' &&
        state_of(ports[ports.size() - 2]) == kcs::kStateIdle)
        seen.dummy_not_zero = true;
}

}  // namespace

KcsPortsSeen read_kcs_ports(const std::vector<PortToken>& raw, uint64_t read_ns)
{
    std::vector<PortToken> ports = folded(raw);
    KcsPortsSeen seen;
    auto find = [&ports](size_t from, char kind, std::optional<uint8_t> value) {
        for (size_t i = from; i < ports.size(); ++i)
            if (ports[i].kind == kind && (!value || (!ports[i].masked && ports[i].value == *value)))
                return i;
        return ports.size();
    };
    size_t start = find(0, 'c', kcs::kWriteStart);
    size_t write_end = start < ports.size() ? find(start + 1, 'c', kcs::kWriteEnd) : ports.size();
    size_t last = write_end < ports.size() ? find(write_end + 1, 'w', std::nullopt) : ports.size();
    if (last >= ports.size())
        return seen;  // the request never reached the BMC whole
    seen.request_complete = true;
    if (ports[start + 1].kind == 's')
        seen.command_flag = (ports[start + 1].value & kcs::kCommandLast) != 0;
    for (size_t i = start + 1; i < last; ++i) {
        if (ports[i].kind != 'd')
            continue;
        seen.dummy_after_write = true;
        seen.dummy_not_zero = seen.dummy_not_zero || ports[i].value != 0;
    }

    size_t at = last + 1;
    if (at >= ports.size() || ports[at].kind != 's') {
        seen.unknown = true;
        return seen;
    }
    const PortToken& busy = ports[at];
    const PortToken* next = at + 1 < ports.size() ? &ports[at + 1] : nullptr;
    if (answer_ready(busy)) {
        read_phase(ports, at, read_ns, seen);
    } else if (busy.value & kcs::kIbf) {
        if (!next) {
            seen.fault = KcsFault::IbfStuck;
        } else if (answer_ready(*next)) {
            seen.ibf_while_busy = true;
            seen.busy_reads = busy.count;
            read_phase(ports, at + 1, read_ns, seen);
        } else if (idle_without_ibf(*next)) {
            // The interface came back having dropped the request.
            seen.fault = KcsFault::IbfStuck;
            seen.stuck_us = lasted(busy, read_ns);
        } else {
            seen.unknown = true;
        }
    } else if (state_of(busy) == kcs::kStateError) {
        seen.fault = KcsFault::ErrorState;
    } else if (state_of(busy) == kcs::kStateRead && !(busy.value & kcs::kObf)) {
        seen.ibf_while_busy = false;
        if (!next) {
            seen.lost = true;
        } else if (answer_ready(*next)) {
            seen.busy_reads = busy.count;
            read_phase(ports, at + 1, read_ns, seen);
        } else {
            seen.unknown = true;
        }
    } else {
        seen.unknown = true;
    }
    return seen;
}

}  // namespace sim::capture
