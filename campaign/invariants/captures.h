// SPDX-License-Identifier: MIT
// The invariant of what a capture may hold:
//   redaction  one taken with --capture-redact vpd holds no VPD text, with
//              host no host name, DMI serial or machine id
#pragma once

#include "evidence.h"

namespace campaign::invariants {

Finding redaction(const Evidence& e);

}  // namespace campaign::invariants
