// SPDX-License-Identifier: MIT
// Everything the tool knows about a controller family, one record each: the
// scan names a controller by it, the image check takes an image's family
// and size limit from it, the flash its download limit, and the upgrade the
// chip IDs it acts on and the command set an image is sent with.
#pragma once

#include <cstddef>

#include "types.h"

// The image buffer: the largest image any family takes.
#define FIRMWARE_IMAGE_SIZE 20480
// The version an image installs: its FW ID at this byte, the major and minor
// revision after it (what the controller's FWID registers read once it runs).
#define IMAGE_VERSION_OFFSET 51

// The command set an image of a family is sent with.
enum CommandSet : INT8U {
    COMMANDS_STANDARD,
    // 0xF2 after 0x55 0xAA: a "4083" image is meant for every family the
    // upgrade knows, and is sent this way once the operator has confirmed it.
    COMMANDS_QB4083C,
};

struct ChipFamily {
    INT8U chip_id;            // the chip-ID register: an ASCII letter whose code is the model number
    const char* model;        // the name the scan records; null: no scan rule recognises the chip ID
    const char* key;          // the family key an image file's name holds
    const char* family_text;  // ImageFileName once the key has chosen the family
    INT16U max_image_size;    // bytes of an image of the family accepted at loading
    INT16U download_limit;    // DownloadSector with the standard command set
    INT16U download_limit_qb4083c;  // DownloadSector with the QB4083C command set
    CommandSet image_commands;      // the set an image of the family is sent with
};

// The 4073 and 4076 take at most 0x1E00 bytes of program; their images must
// stay one byte below that.
constexpr INT16U kSmallFlashMaxImage = 0x1DFF;

// In this order the keys are searched in an image file's name, and the first
// one found anywhere in it decides: "fw_4083_4073.bin" is a 4073 image. The
// model names are copied as seven bytes: "QB4073S" fills the field without a
// terminating zero, the six-character names bring their zero along.
constexpr ChipFamily kChipFamilies[] = {
    {73, "QB4073S", "4073", "4073", kSmallFlashMaxImage, 0x2000, 0x2000, COMMANDS_STANDARD},
    {76, "QB4076", "4076", "4076", kSmallFlashMaxImage, 0x2000, 0x2000, COMMANDS_STANDARD},
    {77, "QB4077", "4077", "4077", FIRMWARE_IMAGE_SIZE, 0x4000, 0x4000, COMMANDS_STANDARD},
    {80, "QB4080", "4080", "4080", FIRMWARE_IMAGE_SIZE, 0x4000, 0x4000, COMMANDS_STANDARD},
    {82, "QB4082", "4082", "4082", FIRMWARE_IMAGE_SIZE, 0x4000, 0x4000, COMMANDS_STANDARD},
    {84, "QB4084", "4084", "4084", FIRMWARE_IMAGE_SIZE, 0x7C00, 0x1000, COMMANDS_STANDARD},
    // The chip ID a "4083" image is meant for; the scan never finds it.
    {83, nullptr, "4083", "4083C", FIRMWARE_IMAGE_SIZE, 0x7C00, 0x1000, COMMANDS_QB4083C},
};

// The family of a chip ID; null for an ID the upgrade does not act on.
const ChipFamily* ChipFamilyOf(INT8U chip_id);
// The family whose model name the scan records for a chip ID; null for none.
const ChipFamily* ScannedFamilyOf(INT8U chip_id);
// The first family (in table order) whose key occurs in the `length` bytes at `text`.
const ChipFamily* FamilyKeyedIn(const char* text, size_t length);
// The family whose text begins with the four characters of `family_text`
// (an ImageFileName); null for "" or another text.
const ChipFamily* FamilyNamed(const char* family_text);
