// PLACEHOLDER until the upgrade lands.
#include "qb40tool.h"

int UpgradeFirmwareOnAllFoundThread() { return 0; }
