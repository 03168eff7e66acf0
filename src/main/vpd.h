// SPDX-License-Identifier: MIT
// The VPD EEPROM dump at one probe position.
#pragma once

void GetI2CdeviceData(unsigned char busID);
// --capture-redact vpd: the capture's recorder replaces the text fields of
// the VPD layout with placeholders.
void RedactVpdText();
