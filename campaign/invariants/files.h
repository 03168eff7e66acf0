// SPDX-License-Identifier: MIT
// The invariants of the files the tool writes, whatever they hold:
//   file-modes   none is writable by others, whatever the umask; the report
//                and the capture are 0600, the metrics 0644
//   output-loss  one the machine failed to write is said on standard error,
//                and under --strict the run does not end 0
#pragma once

#include "evidence.h"

namespace campaign::invariants {

Finding file_modes(const Evidence& e);
Finding output_loss(const Evidence& e);
Finding inputs(const Evidence& e);

}  // namespace campaign::invariants
