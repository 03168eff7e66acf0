// SPDX-License-Identifier: MIT
// The BMC side of a KCS system interface at one port pair, driven port
// access by port access as the IPMI standard's KCS protocol describes it: a
// write to either port sets IBF and runs one handler over an explicit state;
// the BMC puts response bytes into the output register and sets OBF.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bmc.h"
#include "kcs_codes.h"
#include "../basics/context.h"

namespace sim {

class KcsPort {
public:
    KcsPort(BmcCore& core, Context context, uint16_t data_port, uint16_t status_port);

    bool owns(uint16_t port) const { return port == data_port_ || port == status_port_; }
    uint8_t read(uint16_t port);
    void write(uint16_t port, uint8_t value);

private:
    enum class State {
        Idle,      // no message under way; only WRITE_START is expected
        Write,     // WRITE_START taken: request bytes arrive on the data port
        WriteEnd,  // WRITE_END taken: the next data byte is the request's last
        Working,   // request complete: the status shows READ while the answer is prepared (no OBF yet),
                   // or WRITE with IBF when the interface holds the last byte until then
        Read,      // answer going out: one byte in the output register per READ control code
        Error,     // protocol broken (or a fault): the status shows ERROR until the next WRITE_START
    };

    void on_command(uint8_t code);
    void on_data(uint8_t value);
    uint8_t on_status_read();
    uint8_t on_data_read();
    // Brings what depends on time up to the clock: the answer's arrival and
    // the end of a stuck IBF.
    void catch_up();
    void request_complete();
    void put_output(uint8_t byte);
    // The handshake's choices (BmcCore::kcs_handshake).
    bool busy_with_ibf() const;
    void dummy_after_write();
    uint8_t dummy_byte() const;
    void fail();
    void stick_ibf(uint64_t for_us);

    BmcCore& core_;
    Context context_;
    uint16_t data_port_;
    uint16_t status_port_;

    State state_ = State::Idle;
    bool obf_ = false;
    bool command_last_ = false;
    uint8_t output_ = 0;
    std::vector<uint8_t> request_;
    std::vector<uint8_t> response_;
    size_t sent_ = 0;                     // response bytes put into the output register
    std::optional<uint64_t> answer_at_;   // Working: when the answer is ready; nullopt: never
    std::optional<uint64_t> ibf_until_;   // IBF stuck until then; UINT64_MAX: for good
    KcsFault read_fault_ = KcsFault::None;  // a fault of the read phase, from the request's outcome
    uint64_t read_fault_for_us_ = 0;        // IbfStuckInRead: how long; 0: for good
};

}  // namespace sim
