// SPDX-License-Identifier: MIT
// Files the tool writes besides its logs (--report, --capture, --metrics).
// The tool runs as root: such a file is never written through a link, never
// over the image, a log or anything but a regular file, and appears whole or
// not at all: it is written as a temporary file with an unpredictable name
// beside its target and renamed over it when complete. It holds the host's
// identity or what the run read, so it is readable by its owner alone; the
// metrics, which the node exporter reads as another user, by everyone.
#pragma once

#include <csignal>
#include <cstddef>
#include <sys/types.h>

#include "buffered_writer.h"

// Why `path` must not be written as an output of the run, or null when it
// may: it is (by name, or as the same file through a hard link) the image
// file `image_path`, the password or K_G file of --lan, log.txt or
// logprev.txt of the working directory, or `other_output` (another output
// of the same run); a symbolic link (which
// the system may own, as /dev/stdout); an existing directory, device, FIFO
// or socket; or its directory does not exist. `image_path` and
// `other_output` may be null.
const char* OutputFileRefusal(const char* path, const char* image_path, const char* other_output);

// Creates ".qb40tool-KIND.XXXXXXXXXXXXXXXX.tmp" (sixteen random hexadecimal
// digits) in the directory of `path`, new, never through a link and
// readable by its owner alone, and writes its name to `temp_path`. Returns
// the descriptor, or -1 with errno.
int OutputTempFile(const char* path, const char* kind, char* temp_path, size_t temp_path_size);

// A scratch file in the directory of `path` that has no name at all, so
// that nothing is left behind whatever becomes of the process; -1 with errno.
int OutputScratchFile(const char* path);

// Puts the filled temporary file in place: on the disk, closed, renamed over
// `path`. Returns 0, or an errno after removing the temporary file.
int OutputFileCommit(int fd, const char* temp_path, const char* path);

// Removes what stands at `path` when it is a regular file or a symbolic
// link: an old output that could not be replaced must not pass for this run's.
void OutputFileRemove(const char* path);

// One output being written: its temporary file, written through a fixed
// buffer (`out`, buffered_writer.h) so that a file costs a handful of
// writes. Plain data, one per file.
#define OUTPUT_PATH_SIZE (4096 + 64)
struct OutputWriter {
    char temp_path[OUTPUT_PATH_SIZE];
    char buffer[8192];
    BufferedWriter out;            // out.error: errno of the first failure
    volatile sig_atomic_t exists;  // temp_path names the temporary file
};

// Starts the temporary file beside `path` (OutputTempFile with `kind`),
// with `mode` whatever the umask; 0 when it cannot be created.
int OutputBegin(OutputWriter* w, const char* path, const char* kind, mode_t mode);
// Puts the finished file in place at `path` (OutputFileCommit); 0 when it
// failed, and then the temporary file is gone again.
int OutputEnd(OutputWriter* w, const char* path);
// Removes the temporary file of an output being written, if there is one.
// Safe in a signal handler.
void OutputDiscard(OutputWriter* w);
