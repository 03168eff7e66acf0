// SPDX-License-Identifier: MIT
// The options that begin with "--" (all but the classic --help): one row
// each in kWholeOptions, which the parser, --help-all, the command-line log
// and the conflict checks all read, so that what an option promises holds
// whichever way it is spelled.
//
// They are matched whole, as NAME or (when they take a value) NAME=VALUE,
// before the classic keys. An argument that begins with "--" and that no
// row takes is refused: the classic keys would otherwise find a key inside
// it ("--image-sha256=..." holds -i, "--dry-run" holds -d) and run
// something else than the operator asked for.
#include "whole_options.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../common/settings.h"
#include "../logfile/logfile.h"
#include "../outcome/outcome.h"

namespace {

enum OptionValue : unsigned char {
    VALUE_NONE,
    VALUE_FILE,        // a file name, into `text`
    VALUE_COUNT,       // a decimal number from `min` to `max`, into `count`
    VALUE_DIGEST,      // a SHA-256 in hexadecimal, into `text` in lower case
    VALUE_REDACTIONS,  // vpd, host or both
};

// What an option asks of the image file (-f FILE or a bare name).
enum ImageRule : unsigned char {
    IMAGE_ANY,
    IMAGE_NEEDED,       // refused without one
    IMAGE_ONLY_PLANNED, // an upgrade is refused; a plan of one is not
};

struct ClassicConflict {
    const unsigned char& setting;
    const char* option;
};

constexpr ClassicConflict kPlanConflicts[] = {
    {CMDL_ContinousUpgrade, "-c"},
    {CMDL_DiagnosticMode, "-d"},
    {CMDL_LEDcycling, "-z"},
};
constexpr ClassicConflict kReadOnlyConflicts[] = {
    {CMDL_DiagnosticMode, "-d"},
    {CMDL_LEDcycling, "-z"},
};

struct WholeOption {
    const char* name;
    OptionValue value;
    const char* help;  // its line on --help-all
    unsigned char* flag;  // set when given (or null)
    unsigned char* also;  // a second flag it sets (or null)
    char* text;           // where a file name or digest goes
    size_t text_size;
    unsigned char* count;  // where a count goes
    int min, max;
    const char* what;  // "Report" in "Report filename too long"; the count's name
    // The log line is "Selected NAME" + log_before + the value + log_after;
    // no line for an option whose log_before is null.
    const char* log_before;
    const char* log_after;
    const char* needs;  // another option it is refused without (or null)
    ImageRule image;
    const ClassicConflict* refuses;
    size_t refuse_count;
};

template <size_t N>
constexpr size_t Count(const ClassicConflict (&)[N])
{
    return N;
}

// In the order of their log lines and of --help-all.
const WholeOption kWholeOptions[] = {
    {"--strict", VALUE_NONE, "--strict          The exit status tells the truth about the whole run", &CMDL_Strict,
     nullptr, nullptr, 0, nullptr, 0, 0, nullptr, " for an exit status of the whole run", "", nullptr, IMAGE_ANY,
     nullptr, 0},
    {"--report", VALUE_FILE, "--report FILE     Write FILE as one JSON object describing the run", nullptr, nullptr,
     ReportFilename, sizeof ReportFilename, nullptr, 0, 0, "Report", " for a report in ", "", nullptr, IMAGE_ANY,
     nullptr, 0},
    {"--expect", VALUE_COUNT, "--expect N        The run must find at least N controllers (1 to 64)", nullptr,
     nullptr, nullptr, 0, &CMDL_ExpectedControllers, 1, MAX_EXPECTED_CONTROLLERS, "a number of controllers",
     " for at least ", " controllers", nullptr, IMAGE_ANY, nullptr, 0},
    {"--image-sha256", VALUE_DIGEST, "--image-sha256 HEX  Upgrade only with the image file whose SHA-256 is HEX",
     nullptr, nullptr, ExpectedImageSha256, sizeof ExpectedImageSha256, nullptr, 0, 0, nullptr,
     " for an image whose SHA-256 is ", "", nullptr, IMAGE_NEEDED, nullptr, 0},
    {"--capture", VALUE_FILE, "--capture FILE    Record the run at its seam with the machine into FILE", nullptr,
     nullptr, CaptureFilename, sizeof CaptureFilename, nullptr, 0, 0, "Capture", " for a capture of the run in ", "",
     nullptr, IMAGE_ANY, nullptr, 0},
    {"--capture-redact", VALUE_REDACTIONS, "--capture-redact LIST  With --capture: vpd, host or vpd,host left out of it",
     nullptr, nullptr, nullptr, 0, nullptr, 0, 0, nullptr, nullptr, nullptr, "--capture", IMAGE_ANY, nullptr, 0},
    {"--plan", VALUE_NONE, "--plan            Say what the upgrade would do, and do none of it", &CMDL_Plan, nullptr,
     nullptr, 0, nullptr, 0, 0, nullptr, ": what the upgrade would do, nothing written", "", nullptr, IMAGE_NEEDED,
     kPlanConflicts, Count(kPlanConflicts)},
    {"--read-only", VALUE_NONE, "--read-only       Scan and report; write no register, LED or EEPROM byte",
     &CMDL_ReadOnly, nullptr, nullptr, 0, nullptr, 0, 0, nullptr, ": no register, LED or EEPROM byte written", "",
     nullptr, IMAGE_ONLY_PLANNED, kReadOnlyConflicts, Count(kReadOnlyConflicts)},
    {"--metrics", VALUE_FILE, "--metrics FILE    Write the scan as Prometheus metrics for the node exporter",
     nullptr, nullptr, MetricsFilename, sizeof MetricsFilename, nullptr, 0, 0, "Metrics",
     " for Prometheus metrics in ", "", nullptr, IMAGE_ANY, nullptr, 0},
    {"--help-all", VALUE_NONE, "--help-all        Displays this screen with every option", &CMDL_Help,
     &CMDL_HelpAll, nullptr, 0, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr, IMAGE_ANY, nullptr, 0},
};
constexpr size_t kWholeOptionCount = sizeof kWholeOptions / sizeof kWholeOptions[0];

// Which rows the command line gave.
unsigned char Given[kWholeOptionCount];

const WholeOption* Find(const char* name)
{
    for (const WholeOption& o : kWholeOptions)
        if (std::strcmp(o.name, name) == 0)
            return &o;
    return nullptr;
}

bool IsGiven(const char* name)
{
    const WholeOption* o = Find(name);
    return o && Given[o - kWholeOptions];
}

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// A SHA-256 digest: exactly 64 hexadecimal digits, either case.
bool IsSha256Hex(const char* value)
{
    size_t n = 0;
    while (IsHexDigit(value[n]))
        ++n;
    return n == sizeof ExpectedImageSha256 - 1 && value[n] == '\0';
}

// "vpd", "host", "vpd,host" (in either order).
bool TakeRedactions(const char* list)
{
    unsigned char vpd = 0, host = 0;
    for (const char* word = list;;) {
        size_t length = std::strcspn(word, ",");
        if (length == 3 && std::strncmp(word, "vpd", 3) == 0)
            vpd = 1;
        else if (length == 4 && std::strncmp(word, "host", 4) == 0)
            host = 1;
        else
            return false;
        if (word[length] == '\0')
            break;
        word += length + 1;
    }
    CMDL_CaptureRedactVpd |= vpd;
    CMDL_CaptureRedactHost |= host;
    return true;
}

// The value of `o`, or null when the command line has none for it; each
// kind refuses a missing or wrong value with its own line.
void TakeValue(const WholeOption& o, const char* value)
{
    switch (o.value) {
    case VALUE_NONE:
        break;
    case VALUE_FILE:
        if (!value || !value[0])
            RefuseCommandLine("ERROR: No filename specified after %s [RETURN CODE:0x%02x]", o.name, RC_COMMAND_LINE);
        if (std::strlen(value) >= o.text_size)
            RefuseCommandLine("ERROR: %s filename too long (max %d characters) [RETURN CODE:0x%02x]", o.what,
                              static_cast<int>(o.text_size) - 1, RC_COMMAND_LINE);
        std::strcpy(o.text, value);
        break;
    case VALUE_COUNT: {
        const char* count = value ? value : "";
        size_t digits = std::strspn(count, "0123456789");
        long n = digits > 0 && digits <= 3 && count[digits] == '\0' ? std::strtol(count, nullptr, 10) : 0;
        if (n < o.min || n > o.max)
            RefuseCommandLine("ERROR: %s needs %s from %d to %d [RETURN CODE:0x%02x]", o.name, o.what, o.min, o.max,
                              RC_COMMAND_LINE);
        *o.count = static_cast<unsigned char>(n);
        break;
    }
    case VALUE_DIGEST:
        if (!value || !value[0])
            RefuseCommandLine("ERROR: No digest specified after %s [RETURN CODE:0x%02x]", o.name, RC_COMMAND_LINE);
        if (!IsSha256Hex(value))
            RefuseCommandLine("ERROR: Invalid SHA-256 digest \"%s\" after %s (64 hexadecimal digits) "
                              "[RETURN CODE:0x%02x]",
                              value, o.name, RC_COMMAND_LINE);
        for (size_t i = 0; i < o.text_size; ++i)
            o.text[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(value[i])));
        break;
    case VALUE_REDACTIONS:
        if (!value || !TakeRedactions(value))
            RefuseCommandLine("ERROR: %s takes vpd, host or both (vpd,host) [RETURN CODE:0x%02x]", o.name,
                              RC_COMMAND_LINE);
        break;
    }
    if (o.flag)
        *o.flag = 1;
    if (o.also)
        *o.also = 1;
    Given[&o - kWholeOptions] = 1;
}

// An option conflict: said through the log (the only place quiet mode
// leaves), on standard error too under -q, and the run ends with 5.
[[noreturn]] void RefuseConflict(const char* fmt, ...) QB_PRINTF(1, 2);
void RefuseConflict(const char* fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    pb("%s", line);
    if (CMDL_QuietMode)
        std::fprintf(stderr, "%s\n", line);
    EndOnConflict();
}

void CheckImageRule(const WholeOption& o)
{
    if (o.image == IMAGE_NEEDED && !CMDL_FilenameSpecified)
        RefuseConflict("ERROR: %s needs an image file (-f FILE) [RETURN CODE:0x%02x]\n", o.name, RC_COMMAND_LINE);
    if (o.image == IMAGE_ONLY_PLANNED && CMDL_FilenameSpecified && !CMDL_Plan)
        RefuseConflict("ERROR: An upgrade not allowed with %s (--plan tells what it would do) [RETURN CODE:0x%02x]\n",
                       o.name, RC_COMMAND_LINE);
}

}  // namespace

bool TakeWholeArgumentOption(int& index, int argc, char** argv)
{
    const char* argument = argv[index];
    if (std::strncmp(argument, "--", 2) != 0 || std::strcmp(argument, "--help") == 0)
        return false;
    for (const WholeOption& o : kWholeOptions) {
        const size_t length = std::strlen(o.name);
        if (std::strncmp(argument, o.name, length) != 0)
            continue;
        if (argument[length] == '\0') {
            if (o.value == VALUE_NONE) {
                TakeValue(o, nullptr);
                return true;
            }
            const char* value = index + 1 < argc ? argv[index + 1] : nullptr;
            TakeValue(o, value);
            ++index;
            return true;
        }
        if (argument[length] == '=') {
            if (o.value == VALUE_NONE)
                RefuseCommandLine("ERROR: %s takes no value: \"%s\" [RETURN CODE:0x%02x]", o.name, argument,
                                  RC_COMMAND_LINE);
            TakeValue(o, argument + length + 1);
            return true;
        }
    }
    RefuseCommandLine("ERROR: Unknown option \"%s\" (an argument beginning with -- is one of --help-all's options, "
                      "whole or as --NAME=VALUE) [RETURN CODE:0x%02x]",
                      argument, RC_COMMAND_LINE);
}

void CheckWholeArgumentOptionsParsed()
{
    for (const WholeOption& o : kWholeOptions)
        if (Given[&o - kWholeOptions] && o.needs && !IsGiven(o.needs))
            RefuseCommandLine("ERROR: %s without %s [RETURN CODE:0x%02x]", o.name, o.needs, RC_COMMAND_LINE);
}

void LogWholeArgumentOptions()
{
    for (const WholeOption& o : kWholeOptions) {
        if (!Given[&o - kWholeOptions])
            continue;
        if (o.value == VALUE_REDACTIONS) {
            if (CMDL_CaptureRedactVpd)
                pf("Selected %s vpd for placeholders in place of VPD text", o.name);
            if (CMDL_CaptureRedactHost)
                pf("Selected %s host for a capture without the host name, DMI serial and machine-id", o.name);
            continue;
        }
        if (!o.log_before)
            continue;
        char count[8] = "";
        if (o.value == VALUE_COUNT)
            std::snprintf(count, sizeof count, "%d", *o.count);
        pf("Selected %s%s%s%s", o.name, o.log_before, o.value == VALUE_COUNT ? count : o.text ? o.text : "",
           o.log_after);
    }
}

void CheckWholeArgumentConflicts()
{
    for (const WholeOption& o : kWholeOptions) {
        if (!Given[&o - kWholeOptions])
            continue;
        CheckImageRule(o);
        for (size_t i = 0; i < o.refuse_count; ++i)
            if (o.refuses[i].setting)
                RefuseConflict("ERROR: %s not allowed with %s [RETURN CODE:0x%02x]\n", o.refuses[i].option, o.name,
                               RC_COMMAND_LINE);
    }
}

void DisplayWholeArgumentHelp()
{
    ps_no_rn("%s", "\n Options not listed above (those beginning with -- only whole, or as --NAME=VALUE):");
    ps_no_rn("%s", "\n     -dio              Use the KCS ports directly when the driver cannot be opened");
    ps_no_rn("%s", "\n     -ms               Switch the mux by the tool instead of the BMC; needs -ma");
    for (const WholeOption& o : kWholeOptions)
        ps_no_rn("\n     %s", o.help);
}

void EndOnConflict()
{
    int code = EndRun(RC_COMMAND_LINE);
    CloseLogFile();
    exit(FinishRun(code));
}
