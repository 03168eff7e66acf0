// PLACEHOLDER until the VPD dump lands.
#include "qb40tool.h"

void GetI2CdeviceData(unsigned char) {}
