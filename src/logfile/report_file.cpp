// SPDX-License-Identifier: MIT
#include "report_file.h"

#include <cstdarg>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "output_file.h"

namespace {

OutputWriter Report;

}  // namespace

const char* ReportFileRefusal(const char* path, const char* image_path)
{
    return OutputFileRefusal(path, image_path, nullptr);
}

int ReportFileOpen(const char* path) { return OutputBegin(&Report, path, "report", 0600); }

void ReportPut(const char* bytes, size_t length) { OutputPut(&Report, bytes, length); }

void ReportPrintf(const char* fmt, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n > 0)
        ReportPut(text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1);
}

int ReportFileCommit(const char* path) { return OutputEnd(&Report, path); }

int ReportFileError() { return Report.error; }

void ReportFileDiscard() { OutputDiscard(&Report); }

void ReportFileRemove(const char* path)
{
    struct stat st;
    if (lstat(path, &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
        unlink(path);
}
