// Console and log output. Every message of the tool goes through these five
// functions; the log is "log.txt" in the working directory, with the previous
// run's log kept as "logprev.txt".
#pragma once

#include "../main/qb40tool.h"

extern FILE* log_file;  // the open log, or nullptr

int ps(const char* fmt, ...) QB_PRINTF(1, 2);        // console, CR LF
int ps_no_rn(const char* fmt, ...) QB_PRINTF(1, 2);  // console, no line end
int ps_r(const char* fmt, ...) QB_PRINTF(1, 2);      // console, CR only (overwrites the line)
int pb(const char* fmt, ...) QB_PRINTF(1, 2);        // console and log
int pf(const char* fmt, ...) QB_PRINTF(1, 2);        // log only

int StartLogFile(const char* log_file_filename);
int CloseLogFile();
