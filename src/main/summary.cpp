// PLACEHOLDER until the summary lands.
#include "qb40tool.h"

void DisplaySummary() {}
