// SPDX-License-Identifier: MIT
#include "kcs_port.h"

namespace sim {

namespace {

// What the BMC leaves in the output register after the last response byte,
// and when it breaks off a transfer.
constexpr uint8_t kDummyByte = 0x00;
constexpr uint8_t kErrorByte = 0xFF;

}  // namespace

KcsPort::KcsPort(BmcCore& core, Context context, uint16_t data_port, uint16_t status_port)
    : core_(core), context_(context), data_port_(data_port), status_port_(status_port)
{
}

uint8_t KcsPort::read(uint16_t port)
{
    catch_up();
    return port == status_port_ ? on_status_read() : on_data_read();
}

void KcsPort::write(uint16_t port, uint8_t value)
{
    catch_up();
    // A BMC that hangs with IBF set takes nothing from the host, nor one
    // that has not yet taken the request's last byte.
    if (ibf_until_ || busy_with_ibf())
        return;
    if (port == status_port_)
        on_command(value);
    else
        on_data(value);
}

void KcsPort::catch_up()
{
    uint64_t now = context_.clock.elapsed_us();
    if (ibf_until_ && *ibf_until_ <= now) {
        // The BMC comes back having dropped the request.
        ibf_until_.reset();
        state_ = State::Idle;
    }
    if (state_ == State::Working && answer_at_ && *answer_at_ <= now) {
        if (context_.trace.enabled())
            context_.trace.line("%s kcs response: %s", core_.name().c_str(), Trace::hex(response_).c_str());
        state_ = State::Read;
        sent_ = 0;
        put_output(response_.empty() ? dummy_byte() : response_[sent_++]);
    }
}

uint8_t KcsPort::on_status_read()
{
    uint8_t state_bits = kcs::kStateIdle;
    switch (state_) {
    case State::Idle:
        state_bits = kcs::kStateIdle;
        break;
    case State::Write:
    case State::WriteEnd:
        state_bits = kcs::kStateWrite;
        break;
    case State::Working:
        state_bits = busy_with_ibf() ? kcs::kStateWrite : kcs::kStateRead;
        break;
    case State::Read:
        state_bits = kcs::kStateRead;
        break;
    case State::Error:
        state_bits = kcs::kStateError;
        break;
    }
    return static_cast<uint8_t>(state_bits | (command_last_ ? kcs::kCommandLast : 0) |
                                (ibf_until_ || busy_with_ibf() ? kcs::kIbf : 0) | (obf_ ? kcs::kObf : 0));
}

uint8_t KcsPort::on_data_read()
{
    obf_ = false;
    return output_;
}

void KcsPort::on_command(uint8_t code)
{
    command_last_ = core_.kcs_handshake.command_flag;
    switch (code) {
    case kcs::kWriteStart:
        // Allowed in every state: it is how the host starts over after an
        // error or a response it did not read to the end.
        state_ = State::Write;
        request_.clear();
        response_.clear();
        answer_at_.reset();
        read_fault_ = KcsFault::None;
        dummy_after_write();
        break;
    case kcs::kWriteEnd:
        if (state_ == State::Write) {
            state_ = State::WriteEnd;
            dummy_after_write();
        } else {
            fail();
        }
        break;
    default:
        // The abort sequence (GET_STATUS/ABORT) is not modelled: the tool
        // never sends it.
        fail();
        break;
    }
}

void KcsPort::on_data(uint8_t value)
{
    command_last_ = false;
    switch (state_) {
    case State::Write:
        request_.push_back(value);
        dummy_after_write();
        break;
    case State::WriteEnd:
        request_.push_back(value);
        request_complete();
        break;
    case State::Read:
        if (value != kcs::kRead) {
            fail();
        } else if (read_fault_ == KcsFault::IbfStuckInRead) {
            stick_ibf(read_fault_for_us_);  // this READ is never taken
        } else if ((read_fault_ == KcsFault::ErrorInRead || read_fault_ == KcsFault::ErrorNoObf) && sent_ >= 1) {
            fail();
            if (read_fault_ == KcsFault::ErrorInRead)
                put_output(kErrorByte);
        } else if (sent_ < response_.size()) {
            put_output(response_[sent_++]);
        } else {
            state_ = State::Idle;
            if (read_fault_ != KcsFault::NoDummy)
                put_output(dummy_byte());
        }
        break;
    case State::Idle:
    case State::Working:
    case State::Error:
        fail();
        break;
    }
}

void KcsPort::request_complete()
{
    if (context_.trace.enabled())
        context_.trace.line("%s kcs request: %s", core_.name().c_str(), Trace::hex(request_).c_str());
    BmcCore::Outcome out = core_.exchange(Road::Kcs, request_);
    KcsFault fault = out.fault ? out.fault->kcs : KcsFault::None;
    if (fault == KcsFault::IbfStuck) {
        stick_ibf(out.fault->for_us);
        return;
    }
    if (fault == KcsFault::ErrorState) {
        fail();
        return;
    }
    state_ = State::Working;
    read_fault_ = fault;  // what is left acts on the read phase
    read_fault_for_us_ = out.fault ? out.fault->for_us : 0;
    response_ = std::move(out.response);
    if (response_.empty())
        answer_at_.reset();  // lost: the answer never comes
    else
        answer_at_ = context_.clock.elapsed_us() + out.delay_us;
    catch_up();
}

bool KcsPort::busy_with_ibf() const
{
    return state_ == State::Working && core_.kcs_handshake.ibf_while_busy;
}

void KcsPort::dummy_after_write()
{
    if (core_.kcs_handshake.dummy_after_write)
        put_output(dummy_byte());
}

uint8_t KcsPort::dummy_byte() const { return core_.kcs_handshake.dummy_is_last_byte ? output_ : kDummyByte; }

void KcsPort::put_output(uint8_t byte)
{
    output_ = byte;
    obf_ = true;
}

void KcsPort::stick_ibf(uint64_t for_us)
{
    ibf_until_ = for_us ? context_.clock.elapsed_us() + for_us : UINT64_MAX;
}

void KcsPort::fail()
{
    state_ = State::Error;
    answer_at_.reset();
}

}  // namespace sim
