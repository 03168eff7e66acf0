// SPDX-License-Identifier: MIT
// The BMC at the other end of the network road, as the fuzzer's machine
// plays it: it reads every datagram the tool sends (what was asked, the
// session's IDs, tags, random numbers, sequence numbers) and, when the input
// asks for it, answers the last one well formed: the right RMCP or RMCP+
// header, payload type, message tag or sequence number, the console's
// session ID echoed, the key exchange code and integrity check value the
// password and K_G give, the session's protection; the fields after those
// come from the input. So the fuzzer gets past each step of the session's
// set-up to the next, and into the protected session.
//
// The BMC's side of the key exchange is computed with the tool's own
// cryptography (src/bmc/lan/lan_crypto.h, nettle) and its packets are sealed
// with the tool's own packet builder: the harness has no cipher or hash of
// its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "answers.h"

namespace qbfuzz {

// The secrets the harness gives the tool (a password file, IPMI_PASSWORD, a
// K_G file) and the BMC knows. Neither may ever appear in what the tool writes.
constexpr std::string_view kLanPassword = "Fz-pass-7Q!x";
constexpr std::string_view kLanKg = "Kg-fuzz-0n3s3cret";

// A new BMC for one run; `kg_given`: the tool was given K_G, so the BMC's
// session keys come from it rather than from the password.
void lan_bmc_start(bool kg_given);
// A datagram the tool sent.
void lan_bmc_heard(const uint8_t* datagram, size_t size);
// The well-formed answer to the last datagram, its fields from `answers`
// as `shape` (below 0xC0) chooses: its size, or 0 when the BMC does not
// know what was asked (the datagram was not one it could read).
size_t lan_bmc_answer(Answers& answers, uint8_t shape, uint8_t* out, size_t capacity);

}  // namespace qbfuzz
