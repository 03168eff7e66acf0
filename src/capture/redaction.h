// SPDX-License-Identifier: MIT
// Redaction at the seam. VPD text: the answers of reads of the VPD EEPROM
// are changed before the tool sees them (and so before the capture does);
// which bytes are text follows from the offset the read asks for. The
// host's identity: replaced in the capture alone.
#pragma once

#include <cstddef>

namespace os::recorder {

constexpr unsigned char kNetFnAppLun0 = 0x18;
constexpr unsigned char kMasterWriteRead = 0x52;

inline bool IsMasterWriteRead(const unsigned char* req, size_t length)
{
    return length >= 5 && req[0] == kNetFnAppLun0 && req[1] == kMasterWriteRead;
}

// What a request to the VPD EEPROM asks: a read of `count` bytes, from
// `offset` when `known` (else from wherever the EEPROM's pointer happens to
// be), or a pointer write to `offset`. All zero: nothing of the VPD.
struct VpdAsk {
    unsigned count;  // a read of this many bytes
    bool pointer_write;
    bool known;
    unsigned char offset;
};


// A request is about to reach the BMC on `channel` (the driver's
// descriptor, or the KCS status port).
VpdAsk VpdRequest(int channel, const unsigned char* req, size_t length);
// The BMC acknowledged a pointer write: the next read asks for its offset.
void VpdPointerSet(int channel, const unsigned char* req, const VpdAsk& ask);
// Byte `index` of a read's answer as the tool is to see it.
unsigned char RedactedVpdByte(const VpdAsk& ask, unsigned index, unsigned char value);

// The host's identity in the capture: replaced by kHostPlaceholder.
extern bool RedactHost;
constexpr const char kHostPlaceholder[] = "redacted";

}  // namespace os::recorder
