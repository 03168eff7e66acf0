// Files the tool writes besides its logs (--capture): checked before
// anything is sent, written as a temporary file with an unpredictable name
// beside the target and renamed over it when complete, so that a reader
// never sees half a file, an interrupted run leaves the old one whole, and
// nobody can have a file of theirs taken for it. The tool runs as root:
// nothing is ever written through a link.
#pragma once

#include <cstddef>

// Why `path` must not be written over, or null when it may: it names the
// image file, log.txt or logprev.txt of the working directory or
// `other_output` (the same name or the same file, links and hard links
// included), or an existing file that is not a regular file. A symbolic
// link at `path` itself is replaced by the rename, never followed.
const char* OutputFileRefusal(const char* path, const char* other_output);

// A new file beside `path` for the caller to fill, with an unpredictable
// name (written to `temp_path`), never through a link; -1 with errno set
// when it cannot be created.
int OutputTempFile(const char* path, char* temp_path, size_t temp_path_size);

// A scratch file beside `path` that has no name at all, so that nothing is
// left behind whatever becomes of the process; -1 with errno set.
int OutputScratchFile(const char* path);

// Puts the filled temporary file in place: on the disk, closed, renamed
// over `path`. Returns 0, or an errno after removing the temporary file.
int OutputFileCommit(int fd, const char* temp_path, const char* path);
