// PLACEHOLDER until flash programming lands.
#include "qb40tool.h"

INT8U QB4083CUpgrade = 0;

int FlashFirmwareOverI2C(INT8U, INT8U, INT8U, INT8U, INT8U, INT8U, INT8U) { return 0; }
