// PLACEHOLDER until console and log output land.
#include "logfile.h"

FILE* log_file = nullptr;

int ps(const char*, ...) { return 0; }
int ps_no_rn(const char*, ...) { return 0; }
int ps_r(const char*, ...) { return 0; }
int pb(const char*, ...) { return 0; }
int pf(const char*, ...) { return -1; }
int StartLogFile(const char*) { return 0; }
int CloseLogFile() { return 0; }
