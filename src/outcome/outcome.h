// SPDX-License-Identifier: MIT
// The run's outcome for scripts: --strict (an exit status that tells the
// truth about the whole run) and --report FILE (one JSON record of the run
// and of every controller it met).
//
// The run flow calls the Note* functions where it already decides an
// outcome; they fill the run's record (run_record.h), which the report and
// the metrics are encoded from. Without the two options they change nothing the
// flow prints, logs, sends or returns. Every way the run ends after the
// command line was parsed goes through EndRun, which writes the report once.
#pragma once

#include "../common/types.h"
#include "run_record.h"

// The command line is about to be parsed: an error in it that comes after
// --report FILE still leaves FILE describing this run.
void NoteCommandLine(int argc, char** argv);

// The command line is parsed: the run (and its report) begins.
void BeginRunOutcome(int argc, char** argv);

// With --report, once the log is started: the report's file is refused
// (an "ERROR:" line, the log closed, exit status 5; nothing is written) when
// it is the image, a log, a link or no regular file; otherwise a report of
// the run so far ("complete": false) takes its place before anything is
// sent, or, when it cannot be written, the run ends there with 5: no report
// of an earlier run ever stands for this one.
void StartReport();

// With --metrics, once the log is started: the metrics file is refused (an
// "ERROR:" line, the log closed, exit status 5; nothing is written) when it
// is the image, a log, the report, the capture, a link or no regular file.
// The file itself is written once, when the run ends (EndRun): until then
// the previous run's metrics stand.
void StartMetrics();

// What BMC discovery counted.
void NoteBmcsFound(int count);

// The code of the run once a pass or cycle has set `next`: `next` itself,
// or under --strict the first failure of the run, which no later pass undoes.
int RunCode(int next);

// The end of the run with exit status `code`: returns the status the process
// ends with (under --strict the run's first failure) and writes the report,
// once, however often it is called.
int EndRun(int code);
[[noreturn]] void ExitRun(int code);
// A command-line or image-name error: the line on the console (unless
// quiet), and the run ends with 5.
[[noreturn]] void CommandLineError(const char* fmt, ...) QB_PRINTF(1, 2);
// A command line refused for an option beyond the classic keys: as
// CommandLineError, but under -q the line goes to standard error, where a
// timer's journal finds it.
[[noreturn]] void RefuseCommandLine(const char* fmt, ...) QB_PRINTF(1, 2);

// The last step before the process ends with `code`: the capture is put in
// place, a file found lost since the report was written is added to it,
// and the status returned (under --strict not 0 when a file was lost).
int FinishRun(int code);
// A file lost after the report's last write: the report is written again
// to say so (the run has ended already).
void ReportLateLosses();

// The run ends because of the signal named `signal_name` ("SIGTERM"): the
// report then names it and has no exit code. Call it before EndRun.
void NoteRunSignal(const char* signal_name);

// The image's digest is computed (also of an image then refused): `sha256`
// in hexadecimal, "" when the file could not be read whole; the image is
// loaded and checked: the record keeps its size and version. The first
// pass's image stands for the run; each pass's digest goes with its BMC.
void NoteImageDigest(const char* sha256);
void NoteImageLoaded(const INT8U* image, INT16U size);

// One BMC pass has tried to open its BMC.
void NoteBmcPass(int opened);
// The BMC of the pass was lost in the middle of it (the network road).
void NoteBmcLost(const char* why);

// The scan: a scan begins; a controller was identified (recorded in the
// device table, or not, when the table was full).
void NoteScanBegins();
void NoteControllerFound(const structChipInfo& rec, int MUXretval, int stored);
// A register the scan read from the controller it is recording (the value,
// or -1 when the read failed), before NoteControllerFound: the slot masks
// and temperatures are kept for --metrics.
void NoteRegisterRead(INT8U reg, int value);

// The flash of one controller: it begins; it enters a step (FlashStep);
// the line that tells of its failure; it was aborted by the operator; the
// version it reads back after its reset (answer bytes 3 to 5).
void NoteFlashBegins();
void NoteFlashStep(INT8U step);
void NoteFlashError(const char* line);
void NoteFlashAborted();
void NoteVersionReadBack(const INT8U* version);
// A version the programming read from the controller at `busID`/`i2c_addr`
// (answer bytes 3 to 5), before its erase or after its reset: the last
// version seen until a later scan reads it again or misses it.
void NoteVersionRead(INT8U busID, INT8U i2c_addr, const INT8U* version);

// The upgrade cycle: a controller already runs the image's version; a
// controller was flashed with result `flashed` and ought to run
// `image_version` now (returns the value its Updated field gets); the
// cycle's result over the `count` records of the device table `chips`
// (under --strict: 1 only when every controller ended on the image's
// version and the table held them all).
void NoteSameVersion(const structChipInfo& chip, INT8U ChipCounter);
// --plan: what the upgrade would do to the controller (PlannedUpgrade).
void NotePlanned(const structChipInfo& chip, INT8U planned);
int NoteFlashResult(const structChipInfo& chip, int flashed, const INT8U* image_version);
int UpgradeCycleResult(int result, const structChipInfo* chips, INT8U count);
