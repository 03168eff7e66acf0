// PLACEHOLDER until the exchange lands.
#include "kcs.h"

INT8U Kcs_Read_After_Write(INT8U*, INT16U, INT8U*, INT8U*) { return 0; }
