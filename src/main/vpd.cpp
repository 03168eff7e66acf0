// SPDX-License-Identifier: MIT
// VPD EEPROM dump: reads the first VPD_BYTEStoREAD bytes of the EEPROM at
// VPDaddress in 16-byte chunks and shows them raw and as named fields.
#include "vpd.h"

#include "../capture/capture.h"
#include "../common/settings.h"
#include "../i2c/i2c.h"
#include "../logfile/logfile.h"

namespace {

constexpr INT8U kChunk = 16;

// Room for the largest count (255) read in whole chunks: 16 chunks, 256
// bytes. The offset is 16 bits wide so that it can step past 255.
constexpr unsigned kBufferSize = 256;

enum FieldKind { FIELD_HEX4, FIELD_HEX2, FIELD_TEXT };

// The VPD layout. A two-byte number shows only its first byte; text fields
// end at the first zero byte or at their width.
struct VpdField {
    INT8U offset;
    INT8U width;
    FieldKind kind;
    const char* label;
};
constexpr VpdField kVpdFields[] = {
    {0x00, 2, FIELD_HEX4, "Overall Length of Valid VPD data"},
    {0x02, 2, FIELD_HEX4, "Data Format"},
    {0x04, 2, FIELD_HEX4, "Block Length"},
    {0x06, 1, FIELD_HEX2, "Block ID"},
    {0x07, 1, FIELD_HEX2, "Length of VPD Sub-block"},
    {0x08, 2, FIELD_HEX4, "VPD ID Value"},
    {0x0A, 1, FIELD_HEX2, "Reserved for POS ID extension"},
    {0x0B, 1, FIELD_HEX2, "Device Revision Level"},
    {0x0C, 2, FIELD_HEX4, "POS ID value"},
    {0x0E, 12, FIELD_TEXT, "Part Number of Device"},
    {0x1A, 12, FIELD_TEXT, "FRU Number of Device"},
    {0x26, 6, FIELD_TEXT, "Device Serial Number"},
    {0x2C, 6, FIELD_TEXT, "Device Prefix Serial Number"},
    {0x32, 4, FIELD_TEXT, "Device Manufacturer ID"},
    {0x36, 1, FIELD_HEX2, "Device Slot Number"},
};

// " %02x" per byte, without a printf call per byte.
void FormatHexBytes(char* out, const INT8U* bytes, unsigned count)
{
    static const char kHex[] = "0123456789abcdef";
    for (unsigned i = 0; i < count; i++) {
        *out++ = ' ';
        *out++ = kHex[bytes[i] >> 4];
        *out++ = kHex[bytes[i] & 0x0F];
    }
    *out = '\0';
}

void PrintInterpreted(const INT8U* rbuf)
{
    pb("VPD Interpreted Data Dump:");
    for (const VpdField& f : kVpdFields) {
        const INT8U* at = rbuf + f.offset;
        switch (f.kind) {
        case FIELD_HEX4:
            pb(" [%02x] %-32s: [%04x]", f.offset, f.label, at[0]);
            break;
        case FIELD_HEX2:
            pb(" [%02x] %-32s: [%02x]", f.offset, f.label, at[0]);
            break;
        case FIELD_TEXT:
            pb(" [%02x] %-32s: [%.*s]", f.offset, f.label, static_cast<int>(f.width),
               reinterpret_cast<const char*>(at));
            break;
        }
    }
}

}  // namespace

void GetI2CdeviceData(unsigned char busID)
{
    INT8U rbuf[kBufferSize] = {};
    const INT8U vpd_addr7 = VPDaddress >> 1;

    pb("Reading %d bytes of VPD at address: 0x%02x BusID: 0x%02x", VPD_BYTEStoREAD, VPDaddress, busID);
    if (VPD_BYTEStoREAD == 0)
        return;

    INT16U VPD_counter = 0;
    do {
        INT8U pointer = static_cast<INT8U>(VPD_counter);
        pf("Writing VPD offset of %d ", VPD_counter);
        // A failed pointer write shows in the read that follows.
        i2c_master_write(vpd_addr7, &pointer, 1, busID);
        pf("Reading VPD at offset of %d ", VPD_counter);
        if (i2c_master_read(vpd_addr7, rbuf + VPD_counter, kChunk, busID) != kChunk) {
            pb("(no response)");
            break;
        }
        pf("Read %d bytes", VPD_BYTEStoREAD);
        VPD_counter += kChunk;
    } while (VPD_counter < VPD_BYTEStoREAD);

    if (VPD_counter == 0)
        return;

    char text[kBufferSize * 3 + 1];
    FormatHexBytes(text, rbuf, VPD_BYTEStoREAD);
    pb("VPD Raw Data Dump:");
    pb(" %02x: %s", 0, text);
    PrintInterpreted(rbuf);
}

void RedactVpdText()
{
    unsigned char text_fields[sizeof kVpdFields / sizeof kVpdFields[0]][2];
    int count = 0;
    unsigned layout_end = 0;
    for (const VpdField& f : kVpdFields) {
        if (unsigned(f.offset) + f.width > layout_end)
            layout_end = unsigned(f.offset) + f.width;
        if (f.kind == FIELD_TEXT) {
            text_fields[count][0] = f.offset;
            text_fields[count][1] = f.width;
            ++count;
        }
    }
    os::capture_redact_vpd(VPDaddress, text_fields, count, layout_end);
}
