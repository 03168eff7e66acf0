// Console and log output. Console lines end in CR LF so that they stay whole
// on a serial console left in raw mode; log lines end in LF. Every write is
// flushed at once: the tool may end the process with exit() at any point and
// the log must then hold every line written so far.
#include "logfile.h"

#include <cstdarg>
#include <cstdio>

FILE* log_file = nullptr;

namespace {

const char kPreviousLog[] = "logprev.txt";
const char kDefaultLog[] = "log.txt";

// The formatted text on the console followed by `line_end`, unless quiet.
int console_write(const char* line_end, const char* fmt, va_list ap)
{
    if (CMDL_QuietMode)
        return 0;
    int n = vfprintf(stdout, fmt, ap);
    fputs(line_end, stdout);
    fflush(stdout);
    return n;
}

// The formatted text in the log followed by a line feed; -1 without a log.
int log_write(const char* fmt, va_list ap)
{
    if (!log_file)
        return -1;
    int n = vfprintf(log_file, fmt, ap);
    fputc('\n', log_file);
    fflush(log_file);
    return n;
}

}  // namespace

int ps(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = console_write("\r\n", fmt, ap);
    va_end(ap);
    return n;
}

int ps_no_rn(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = console_write("", fmt, ap);
    va_end(ap);
    return n;
}

int ps_r(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = console_write("\r", fmt, ap);
    va_end(ap);
    return n;
}

int pb(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    console_write("\r\n", fmt, ap);
    int n = log_write(fmt, again);
    va_end(again);
    va_end(ap);
    return n;
}

int pf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = log_write(fmt, ap);
    va_end(ap);
    return n;
}

int StartLogFile(const char* log_file_filename)
{
    if (log_file)
        return 0;

    // Only two generations are kept: the one before the previous goes first.
    FILE* probe = fopen(kPreviousLog, "r");
    if (probe) {
        fclose(probe);
        if (remove(kPreviousLog) != 0)
            ps("Error Deleting %s", kPreviousLog);
    }

    char path[128];
    const char* name = log_file_filename && *log_file_filename ? log_file_filename : kDefaultLog;
    snprintf(path, sizeof path, "./%s", name);

    // Fails on a first run, when there is no log yet; that is not worth a word.
    rename(path, kPreviousLog);

    const char* mode = CMDL_AppendLogFile ? "a" : "w";
    log_file = fopen(path, mode);
    if (!log_file)
        return 0;
    if (CMDL_VerboseLog)
        pf("fopen(\"%s\", \"%s\")... [OK]", path, mode);
    return 1;
}

int CloseLogFile()
{
    if (log_file) {
        fclose(log_file);
        log_file = nullptr;
    }
    return 0;
}
