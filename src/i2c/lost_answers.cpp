// SPDX-License-Identifier: MIT
#include "lost_answers.h"

#include <cstring>

#include "../common/settings.h"

namespace {

constexpr int kAddresses = 128;
constexpr int kReadsKept = 32;  // a 255-byte VPD dump in 16-byte reads is 16

// What the device at one address was last told: a pointer write, and the
// reads since.
struct Context {
    bool pointer_known;
    bool overflowed;
    unsigned char pointer_bus;
    INT8U pointer[4];  // the pointer write's bytes (1, or the QB4083C form's 4)
    INT8U pointer_size;
    int reads;
    unsigned char read_bus[kReadsKept];
    INT8U read_size[kReadsKept];
};
Context Contexts[kAddresses];
bool Redoing = false;

// A write that only sets the pointer: one byte, or 0x55 0xAA 0xF2 REG with
// REG below 0xE0 (the QB4083C command set's register form).
bool IsPointerWrite(const INT8U* bytes, INT8U size)
{
    return size == 1 || (size == 4 && bytes[0] == 0x55 && bytes[1] == 0xAA && bytes[2] == 0xF2 && bytes[3] < 0xE0);
}

}  // namespace

void NoteI2cTransfer(bool write, INT8U i2c_addr, const INT8U* bytes, INT8U num_bytes, unsigned char busID)
{
    if (Redoing || i2c_addr >= kAddresses)
        return;
    Context& c = Contexts[i2c_addr];
    if (write) {
        // Any other write (a register, a flash command) leaves no pointer a
        // read follows: what is read after it is the command's answer, which
        // stays the same however often it is read.
        c = Context{};
        if (IsPointerWrite(bytes, num_bytes)) {
            c.pointer_known = true;
            c.pointer_bus = busID;
            c.pointer_size = num_bytes;
            std::memcpy(c.pointer, bytes, num_bytes);
        }
        return;
    }
    if (!c.pointer_known)
        return;
    if (c.reads == kReadsKept) {
        c.overflowed = true;
        return;
    }
    c.read_bus[c.reads] = busID;
    c.read_size[c.reads] = num_bytes;
    ++c.reads;
}

RedoResult RedoBeforeLostRead(INT8U i2c_addr, I2cWrite write, I2cRead read)
{
    if (Redoing || i2c_addr >= kAddresses)
        return REDO_IMPOSSIBLE;
    const Context c = Contexts[i2c_addr];
    if (!c.pointer_known)
        return REDONE;  // an answer read: nothing to redo
    if (c.overflowed)
        return REDO_IMPOSSIBLE;
    Redoing = true;
    bool done = write(i2c_addr, c.pointer, c.pointer_size, c.pointer_bus) == c.pointer_size;
    INT8U scratch[256];
    for (int i = 0; done && i < c.reads; ++i)
        done = read(i2c_addr, scratch, c.read_size[i], c.read_bus[i]) == c.read_size[i];
    Redoing = false;
    return done ? REDONE : REDO_FAILED;
}

int LostReadAttempts() { return 1 + CMDL_LanRetries; }
