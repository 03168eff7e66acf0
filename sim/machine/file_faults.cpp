// SPDX-License-Identifier: MIT
#include "file_faults.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "../basics/errno_names.h"

namespace sim {

namespace {

struct Named {
    const char* name;
    int value;
};
constexpr Named kFiles[] = {
    {"log", static_cast<int>(ToolFile::Log)},
    {"report", static_cast<int>(ToolFile::Report)},
    {"capture", static_cast<int>(ToolFile::Capture)},
    {"metrics", static_cast<int>(ToolFile::Metrics)},
};
constexpr Named kCalls[] = {
    {"open", static_cast<int>(FileCall::Open)},
    {"write", static_cast<int>(FileCall::Write)},
    {"fsync", static_cast<int>(FileCall::Fsync)},
    {"rename", static_cast<int>(FileCall::Rename)},
};

template <size_t N>
int parse_named(const Field& f, const Named (&table)[N], const char* expected)
{
    std::string s = f.string();
    for (const Named& n : table)
        if (s == n.name)
            return n.value;
    f.fail(std::string("expected ") + expected);
}

const char* call_name(FileCall call) { return kCalls[static_cast<int>(call)].name; }

const char* base_name(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

bool starts_with(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

}  // namespace

const char* tool_file_name(ToolFile file)
{
    return file == ToolFile::Other ? "other" : kFiles[static_cast<int>(file)].name;
}

ToolFile tool_file_of(const char* path, int open_flags)
{
    if ((open_flags & O_TMPFILE) == O_TMPFILE)
        return ToolFile::Capture;  // only the capture's scratch file has no name
    const char* name = base_name(path);
    if (std::strcmp(name, "log.txt") == 0 || std::strcmp(name, "logprev.txt") == 0)
        return ToolFile::Log;
    if (starts_with(name, ".qb40tool-report."))
        return ToolFile::Report;
    if (starts_with(name, ".qb40tool-capture.") || starts_with(name, ".qb40tool-scratch."))
        return ToolFile::Capture;
    if (starts_with(name, ".qb40tool-metrics."))
        return ToolFile::Metrics;
    return ToolFile::Other;
}

FileFaultRule FileFaultRule::from_json(const Field& f)
{
    f.only({"file", "call", "errno", "nth", "count"});
    FileFaultRule rule;
    rule.file = static_cast<ToolFile>(parse_named(f["file"], kFiles, "\"log\", \"report\" or \"capture\""));
    rule.call = static_cast<FileCall>(parse_named(f["call"], kCalls, "\"open\", \"write\", \"fsync\" or \"rename\""));
    rule.error = parse_errno(f["errno"]);
    if (auto n = f.optional("nth"))
        rule.nth = n->unsigned_in(1, UINT32_MAX);
    if (auto c = f.optional("count")) {
        if (c->is_string() && c->string() == "all")
            rule.count = 0;
        else
            rule.count = c->unsigned_in(1, UINT32_MAX);
    }
    return rule;
}

int FileFaults::inject(ToolFile file, FileCall call, const std::string& name)
{
    int error = 0;
    for (size_t i = 0; i < rules_.size(); ++i) {
        FileFaultRule& r = rules_[i];
        if (r.file != file || r.call != call)
            continue;
        uint64_t n = ++r.seen;
        bool in_window = n >= r.nth && (r.count == 0 || n < r.nth + r.count);
        if (error || !in_window)
            continue;
        error = r.error;
        ++r.injected;
        context_.trace.line("file fault %zu #%llu on %s %s %s: %s", i, static_cast<unsigned long long>(r.injected),
                            call_name(call), tool_file_name(file), name.c_str(), errno_name(error));
    }
    return error;
}

ToolFile FileFaults::file_of(int fd, std::string* name) const
{
    auto it = open_.find(fd);
    if (it == open_.end())
        return ToolFile::Other;
    *name = it->second.name;
    return it->second.file;
}

int FileFaults::open(const char* path, int flags, mode_t mode)
{
    ToolFile file = tool_file_of(path, flags);
    std::string name = (flags & O_TMPFILE) == O_TMPFILE ? std::string(path) + "/(unnamed)" : base_name(path);
    if (int error = file == ToolFile::Other ? 0 : inject(file, FileCall::Open, name)) {
        errno = error;
        return -1;
    }
    int fd = ::open(path, flags, mode);
    if (fd >= 0)
        open_[fd] = OpenFile{file, name};  // a descriptor number closed and given again is the new file's
    return fd;
}

ssize_t FileFaults::write(int fd, const void* buf, size_t count)
{
    std::string name;
    ToolFile file = file_of(fd, &name);
    if (int error = file == ToolFile::Other ? 0 : inject(file, FileCall::Write, name)) {
        errno = error;
        return -1;
    }
    return ::write(fd, buf, count);
}

int FileFaults::fsync(int fd)
{
    std::string name;
    ToolFile file = file_of(fd, &name);
    if (int error = file == ToolFile::Other ? 0 : inject(file, FileCall::Fsync, name)) {
        errno = error;
        return -1;
    }
    return ::fsync(fd);
}

int FileFaults::rename(const char* from, const char* to)
{
    ToolFile file = tool_file_of(from, 0);
    if (int error = file == ToolFile::Other ? 0 : inject(file, FileCall::Rename, base_name(to))) {
        errno = error;
        return -1;
    }
    return std::rename(from, to);
}

}  // namespace sim
