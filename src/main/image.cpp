// PLACEHOLDER until image loading lands.
#include "qb40tool.h"

char ImageFileName[6] = "";
INT8U ChipIDshouldbe = 0;
INT8U FirmwareImage[FIRMWARE_IMAGE_SIZE];
INT16U FileImageSize = 0;

void CheckImageFileName() {}
int LoadFirmwareImage() { return RC_IMAGE_FILE; }
