// The report file of --report: written as a temporary file in the report's
// own directory and renamed over the report when complete, so that a reader
// never sees half a report and an interrupted run leaves the old one whole.
// The output goes through one fixed buffer: a handful of writes per report.
#pragma once

#include <cstddef>

#include "../main/qb40tool.h"

// Starts the temporary file beside `path`; 0 when it cannot be created.
int ReportFileOpen(const char* path);
// Adds to the report; a failed write is kept for ReportFileCommit to tell.
void ReportPut(const char* bytes, size_t length);
void ReportPrintf(const char* fmt, ...) QB_PRINTF(1, 2);
// Puts the finished report in place at `path`; 0 when it failed, and then
// the temporary file is gone again.
int ReportFileCommit(const char* path);
// errno of the first failure of ReportFileOpen or ReportFileCommit.
int ReportFileError();
