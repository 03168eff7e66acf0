// SPDX-License-Identifier: MIT
// A file the run writes that could not be written completely (the log, or
// the report, capture or metrics of output/): said at once on standard
// error and in the log, and kept for the report.
#pragma once

// The files a run writes, for what could not be written completely.
enum OutputKind { OUTPUT_LOG, OUTPUT_REPORT, OUTPUT_CAPTURE, OUTPUT_METRICS, OUTPUT_KINDS };

// The first failure of a file the run writes: said once per file on
// standard error, quiet or not ("ERROR: Unable to write log file log.txt:
// No space left on device"), also in the log for the report and the
// capture, and kept for the report.
void NoteOutputLost(OutputKind kind, const char* path, const char* why);
// Whether the file of `kind` was lost, and its name and the reason.
bool OutputLost(OutputKind kind);
const char* OutputLostPath(OutputKind kind);
const char* OutputLostWhy(OutputKind kind);
