// SPDX-License-Identifier: MIT
// Controller registers over I2C: a register read is a one-byte pointer write
// followed by a one-byte read; a write carries the register and its value.
// Addresses come in 8-bit form and go to the I2C layer as 7-bit ones.
#include "registers.h"

#include "i2c.h"

// The QB4083C reads these registers through its command set.
static const INT8U kQB4083CReadPrefix[] = {0x55, 0xAA, 0xF2};

static int read_one_byte(INT8U busID, INT8U i2c_addr)
{
    INT8U value = 0;
    if (i2c_master_read(i2c_addr >> 1, &value, 1, busID) != 1)
        return -1;
    return value;
}

int ReadQBreg(INT8U busID, INT8U i2c_addr, INT8U reg)
{
    if (i2c_master_write(i2c_addr >> 1, &reg, 1, busID) != 1)
        return -1;
    return read_one_byte(busID, i2c_addr);
}

int WriteQBreg(INT8U busID, INT8U i2c_addr, INT8U reg, INT8U data)
{
    INT8U bytes[2] = {reg, data};
    return i2c_master_write(i2c_addr >> 1, bytes, 2, busID) == 2 ? 1 : -1;
}

int ReadQB4083Creg(INT8U busID, INT8U i2c_addr, INT8U reg)
{
    INT8U command[4] = {kQB4083CReadPrefix[0], kQB4083CReadPrefix[1], kQB4083CReadPrefix[2], reg};
    if (i2c_master_write(i2c_addr >> 1, command, 4, busID) != 4)
        return -1;
    return read_one_byte(busID, i2c_addr);
}
