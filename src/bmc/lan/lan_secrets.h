// SPDX-License-Identifier: MIT
// The secrets of the network road: the user's password (from the file of
// --lan-password-file, else the environment's IPMI_PASSWORD, else none) and
// the BMC key K_G (--lan-kg-file). No option takes a secret itself: it
// would show in ps and in the shell's history. A file that others may
// read, or that is no regular file, is refused as ssh refuses a key. The
// secrets stay in this module's memory, are never written anywhere, and are
// wiped when the run ends.
#pragma once

#include <cstddef>

#include "../../common/types.h"

#define LAN_SECRET_SIZE 20  // an IPMI v2.0 password or K_G holds 20 bytes

// Reads both, once the command line is taken: null, or why they cannot be
// had (the run is then refused with 5).
const char* LanLoadSecrets();

// The password (the user's key K_UID) and K_G, zero-padded to 20 bytes;
// `LanKgGiven` tells whether a K_G was given (else the user's key stands
// for it).
extern INT8U LanPassword[LAN_SECRET_SIZE];
extern size_t LanPasswordSize;
extern INT8U LanKg[LAN_SECRET_SIZE];
extern bool LanKgGiven;

void LanWipeSecrets();
