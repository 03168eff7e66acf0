// SPDX-License-Identifier: MIT
#include "redaction.h"

#include "capture.h"

namespace os::recorder {

namespace {

bool RedactVpd = false;
unsigned char VpdAddress8 = 0;
constexpr int kMaxTextFields = 8;
unsigned char VpdTextFields[kMaxTextFields][2];
int VpdTextFieldCount = 0;
unsigned VpdLayoutEnd = 0;

// The offset a VPD read asks for: the one the last pointer write to the
// same EEPROM (per way to the BMC, bus and device) set, once the BMC
// acknowledged it. A read takes it: the next read asks for none until the
// next pointer write, since what a lost or failed read moved is unknown.
struct VpdPointer {
    int channel;  // the driver's descriptor, or the KCS status port
    unsigned char bus;
    unsigned char address8;
    unsigned char offset;
    bool asked;  // `offset` is what the next read asks for
    bool used;
};
VpdPointer VpdPointers[16];
unsigned NextVpdPointer = 0;

VpdPointer* FindVpdPointer(int channel, unsigned char bus, unsigned char address8, bool create)
{
    for (VpdPointer& p : VpdPointers)
        if (p.used && p.channel == channel && p.bus == bus && p.address8 == address8)
            return &p;
    if (!create)
        return nullptr;
    VpdPointer& p = VpdPointers[NextVpdPointer++ % (sizeof VpdPointers / sizeof VpdPointers[0])];
    p = VpdPointer{channel, bus, address8, 0, false, true};
    return &p;
}


constexpr unsigned char kPlaceholder = 'X';

}  // namespace

bool RedactHost = false;

VpdAsk VpdRequest(int channel, const unsigned char* req, size_t length)
{
    VpdAsk ask{};
    if (!RedactVpd || !IsMasterWriteRead(req, length) || req[3] != VpdAddress8)
        return ask;
    VpdPointer* p = FindVpdPointer(channel, req[2], req[3], true);
    if (req[4] == 0 && length == 6) {
        ask.pointer_write = true;
        ask.offset = req[5];
    } else if (req[4] != 0 && length == 5) {
        ask.count = req[4];
        ask.known = p->asked;
        ask.offset = p->offset;
    }
    // Whatever else reaches the EEPROM leaves its pointer unknown.
    p->asked = false;
    return ask;
}

// The BMC acknowledged a pointer write: the next read asks for its offset.
void VpdPointerSet(int channel, const unsigned char* req, const VpdAsk& ask)
{
    if (!ask.pointer_write)
        return;
    VpdPointer* p = FindVpdPointer(channel, req[2], req[3], true);
    p->offset = ask.offset;
    p->asked = true;
}

// Byte `index` of a read's answer as the tool is to see it.
unsigned char RedactedVpdByte(const VpdAsk& ask, unsigned index, unsigned char value)
{
    if (value == 0)
        return value;
    if (!ask.known)
        return kPlaceholder;
    unsigned offset = unsigned(ask.offset) + index;
    if (offset >= VpdLayoutEnd)
        return kPlaceholder;
    for (int i = 0; i < VpdTextFieldCount; ++i)
        if (offset >= VpdTextFields[i][0] && offset < unsigned(VpdTextFields[i][0]) + VpdTextFields[i][1])
            return kPlaceholder;
    return value;
}

}  // namespace os::recorder

namespace os {

void capture_redact_vpd(unsigned char address8, const unsigned char (*text_fields)[2], int count,
                        unsigned layout_end)
{
    using namespace recorder;
    RedactVpd = true;
    VpdAddress8 = address8;
    VpdLayoutEnd = layout_end;
    VpdTextFieldCount = count < kMaxTextFields ? count : kMaxTextFields;
    for (int i = 0; i < VpdTextFieldCount; ++i) {
        VpdTextFields[i][0] = text_fields[i][0];
        VpdTextFields[i][1] = text_fields[i][1];
    }
}

void capture_redact_host() { recorder::RedactHost = true; }

}  // namespace os
