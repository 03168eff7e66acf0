// PLACEHOLDER until register access lands.
#include "qb40tool.h"

int ReadQBreg(INT8U, INT8U, INT8U) { return -1; }
int WriteQBreg(INT8U, INT8U, INT8U, INT8U) { return -1; }
int ReadQB4083Creg(INT8U, INT8U, INT8U) { return -1; }
