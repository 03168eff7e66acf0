// SPDX-License-Identifier: MIT
// The firmware image: the family chosen from the file name while the command
// line is parsed, and the image buffer, filled once per BMC pass.
#pragma once

#include "../common/chip_table.h"
#include "../common/types.h"

extern INT8U FirmwareImage[FIRMWARE_IMAGE_SIZE];
extern INT16U FileImageSize;
// SHA-256 of the whole image file as last loaded, in hexadecimal, when the
// run needs it (--report, --image-sha256); "" otherwise or when the file
// could not be read to its end.
extern char ImageSha256[2 * 32 + 1];

void CheckImageFileName();  // ends the process with 5 on a bad name
// --strict, --plan: the family from the file's own name, never from a
// directory's; ends the process with 5 when the name holds no key, or a
// directory holds one that the name does not.
void CheckImageBaseName();
int LoadFirmwareImage();    // 0, or 1 after closing the BMC and the log
