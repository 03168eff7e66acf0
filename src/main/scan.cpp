// PLACEHOLDER until the scan lands.
#include "qb40tool.h"

structChipInfo ChipInfo[MAX_CHIPS];
structChipInfo QB4083CChipInfo[MAX_CHIPS];
structChipInfo TotalChipInfo[MAX_CHIPS];
INT8U ChipsFound = 0;
unsigned char TotalChipCounter = 0;
unsigned char FoundQB4083C = 0;
char ScanChannels = 0;
INT8U BusIDchannel = 0;
INT8U i2c_addr_ScanLast = 0;

int ScanForQBdevices() { return 0; }
