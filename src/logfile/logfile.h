// SPDX-License-Identifier: MIT
// Console and log output. Every message of the tool goes through these five
// functions; the log is "log.txt" in the working directory, with the previous
// run's log kept as "logprev.txt".
#pragma once

#include <cstdio>

#include "../common/types.h"

extern FILE* log_file;  // the open log, or nullptr

int ps(const char* fmt, ...) QB_PRINTF(1, 2);        // console, CR LF
int ps_no_rn(const char* fmt, ...) QB_PRINTF(1, 2);  // console, no line end
int ps_r(const char* fmt, ...) QB_PRINTF(1, 2);      // console, CR only (overwrites the line)
int pb(const char* fmt, ...) QB_PRINTF(1, 2);        // console and log
int pf(const char* fmt, ...) QB_PRINTF(1, 2);        // log only

// Opens `path` (open() `flags`) as a stream in `mode`, only if it is a
// regular file, without waiting for a FIFO's other end; the stream's own
// calls block as usual, and a "w" mode truncates once the file is known to
// be regular. Null on failure; `why` (may be null) then names a file that
// is not regular, and stays null when the open itself failed.
FILE* OpenRegularFile(const char* path, int flags, const char* mode, const char** why);

// Standard input, output or error closed when the process started is
// opened on /dev/null, so that no file the run opens takes its place (the
// console would go into the log). Before anything else.
void OpenStandardDescriptors();

int StartLogFile(const char* log_file_filename);
int CloseLogFile();
