// SPDX-License-Identifier: MIT
// File-system errors on the files the tool writes: its log, its report and
// its capture. A rule names the file and the call (open, write, fsync,
// rename) and fails the n-th such call, and a run of them after it, with an
// errno: a full disk (ENOSPC), a file system mounted read-only (EROFS), a
// failing disk (EIO), a file bind-mounted in place (EBUSY on the rename).
// Every other call is the real one. Injections are written to the trace.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

#include "../basics/context.h"
#include "../basics/json_field.h"

namespace sim {

// Which of the tool's files a path is, from the names the tool gives them:
// log.txt and logprev.txt; the temporary files its report and capture are
// written through (".qb40tool-report.*", ".qb40tool-capture.*") and the
// capture's scratch file, which has no name (O_TMPFILE) or a
// ".qb40tool-scratch.*" one; the metrics' (".qb40tool-metrics.*").
enum class ToolFile { Log, Report, Capture, Metrics, Other };
const char* tool_file_name(ToolFile file);
ToolFile tool_file_of(const char* path, int open_flags);

enum class FileCall { Open, Write, Fsync, Rename };

struct FileFaultRule {
    ToolFile file = ToolFile::Log;
    FileCall call = FileCall::Write;
    int error = 0;
    uint64_t nth = 1;    // the first matching call it fails (1 = the first)
    uint64_t count = 1;  // how many from the nth on; 0: every one
    uint64_t seen = 0;   // matching calls so far
    uint64_t injected = 0;

    static FileFaultRule from_json(const Field& f);
};

class FileFaults {
public:
    explicit FileFaults(Context context) : context_(context) {}

    void add(FileFaultRule rule) { rules_.push_back(rule); }
    bool empty() const { return rules_.empty(); }

    // The calls, as the seam makes them: a rule's errno, or the real call.
    int open(const char* path, int flags, mode_t mode);
    ssize_t write(int fd, const void* buf, size_t count);
    int fsync(int fd);
    int rename(const char* from, const char* to);

private:
    // The errno the call fails with (counted and traced), or 0.
    int inject(ToolFile file, FileCall call, const std::string& name);
    ToolFile file_of(int fd, std::string* name) const;

    Context context_;
    std::vector<FileFaultRule> rules_;
    struct OpenFile {
        ToolFile file;
        std::string name;
    };
    std::map<int, OpenFile> open_;  // what each descriptor opened here is
};

}  // namespace sim
