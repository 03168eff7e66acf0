// PLACEHOLDER until the diagnostics land.
#include "qb40tool.h"

int PerformDiagnostics() { return 0; }
