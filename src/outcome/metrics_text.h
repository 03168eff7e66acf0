// SPDX-License-Identifier: MIT
// --metrics FILE: the run's record in the Prometheus text exposition format
// (version 0.0.4), for the node exporter's textfile collector, put in place
// as an output file of the run (output_file.h) readable by everyone (0644):
// the exporter reads it as another user.
#pragma once

#include "run_record.h"

// Writes `run` to `path`: 0, or the errno of the failure.
int WriteMetrics(const RunRecord& run, const char* path);

// Whether the run's scan went through: it ended by itself with status 0 (a
// plan also with 4, "would upgrade"), and discovery found a BMC and every
// pass opened its own. Only such a run's controllers are written.
bool ScanSucceeded(const RunRecord& run);
