// SPDX-License-Identifier: MIT
// The report file of --report: written as a temporary file with an
// unpredictable name in the report's own directory and renamed over the
// report when complete, so that a reader never sees half a report. The
// output goes through one fixed buffer: a handful of writes per report.
#pragma once

#include <cstddef>

#include "../main/qb40tool.h"

// Why `path` must not be written as the report, or null when it may
// (OutputFileRefusal, with the image file `image_path`, which may be null).
const char* ReportFileRefusal(const char* path, const char* image_path);

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

// Removes the temporary file of a report being written, if there is one.
// Safe in a signal handler.
void ReportFileDiscard();

// Removes what stands at `path` when it is a regular file or a symbolic
// link: an old report that could not be replaced must not pass for this run's.
void ReportFileRemove(const char* path);
