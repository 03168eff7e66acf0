// SPDX-License-Identifier: MIT
// The outcome report as JSON: one object for the run and every controller
// it met, encoded from the run's record and put in place as the report file.
#pragma once

#include "run_record.h"

// Writes `run` to `path` as an output file of the run (output/output_file.h):
// 0, or the errno of the failure.
int WriteReport(const RunRecord& run, const char* path);
