// The outcome report as JSON: one object for the run and every controller
// it met, encoded from the run's record and put in place as the report file.
#pragma once

#include "run_record.h"

// Writes `run` to `path` (report_file.h); a report that cannot be written
// costs one "ERROR:" line on the console and in the log and returns 0.
int WriteReport(const RunRecord& run, const char* path);
