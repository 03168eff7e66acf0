// SPDX-License-Identifier: MIT
// The register map of the QB40xx controllers, as register access
// (main/registers.h) reads and writes it.
#pragma once

enum {
    QBREG_DRIVE0 = 0x00,
    QBREG_CONFIG = 0x30,
    QBREG_SUPPORTED_DRIVES = 0x34,
    QBREG_SGPIO_CONFIG = 0x35,
    QBREG_SLOTS_USED = 0x36,
    QBREG_SLOTS_MATED = 0x38,
    QBREG_ACTIVITY = 0x40,
    QBREG_LOCATE = 0x42,
    QBREG_FAIL = 0x44,
    QBREG_REBUILD = 0x46,
    QBREG_TEMP = 0x56,
    QBREG_TEMP_AMBIENT = 0x57,
    QBREG_TEMP_THRESH = 0x58,
    QBREG_FWID0 = 0x60,
    QBREG_FWID1 = 0x61,
    QBREG_FWID2 = 0x62,
    QBREG_CHIP_ID = 0x63,
    QBREG_REVISION = 0x64,
};
