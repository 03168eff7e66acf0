// SPDX-License-Identifier: MIT
// Controller registers over I2C (common/register_map.h names them).
// Addresses are 8-bit here.
#pragma once

#include "../common/types.h"

int ReadQBreg(INT8U busID, INT8U i2c_addr, INT8U reg);               // 0..255, or -1
int WriteQBreg(INT8U busID, INT8U i2c_addr, INT8U reg, INT8U data);  // 1, or -1
int ReadQB4083Creg(INT8U busID, INT8U i2c_addr, INT8U reg);          // through the QB4083C command set
