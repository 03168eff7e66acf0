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

#include "../bmc/lan/lan_secrets.h"
#include "../common/settings.h"
#include "../logfile/logfile.h"
#include "../outcome/outcome.h"

namespace {

enum OptionValue : unsigned char {
    VALUE_NONE,
    VALUE_FILE,        // a file name, into `text`
    VALUE_COUNT,       // a decimal number from `min` to `max`, into `count` (or `wide`)
    VALUE_DIGEST,      // a SHA-256 in hexadecimal, into `text` in lower case
    VALUE_REDACTIONS,  // vpd, host or both
    VALUE_TEXT,        // any text that fits `text`
    VALUE_CHOICE,      // one of `choices`, its number into `count`
    VALUE_BMC,         // HOST[:PORT], one more of the LAN road's BMCs
};

// A word an option takes, and the number it stands for.
struct Choice {
    const char* word;
    unsigned char number;
};
constexpr Choice kLanCiphers[] = {{"17", 17}, {"3", 3}, {nullptr, 0}};
constexpr Choice kLanPrivileges[] = {{"operator", 3}, {"administrator", 4}, {nullptr, 0}};

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
constexpr ClassicConflict kLanConflicts[] = {
    {CMDL_DirectIO, "-dio"},
};

struct WholeOption {
    const char* name;
    OptionValue value;
    const char* help;  // its line on --help-all
    unsigned char* flag = nullptr;  // set when given
    unsigned char* also = nullptr;  // a second flag it sets
    char* text = nullptr;           // where a file name, a digest or a text goes
    size_t text_size = 0;
    unsigned char* count = nullptr;  // where a count or a choice goes
    INT16U* wide = nullptr;          // where a count too large for a byte goes
    int min = 0, max = 0;
    const Choice* choices = nullptr;  // VALUE_CHOICE: the words, ended by a null one
    const char* what = nullptr;  // "Report" in "Report filename too long"; the count's or choice's name
    // The log line is "Selected NAME" + log_before + the value + log_after;
    // no line for an option without log_before.
    const char* log_before = nullptr;
    const char* log_after = "";
    const char* needs = nullptr;  // another option it is refused without
    ImageRule image = IMAGE_ANY;
    const ClassicConflict* refuses = nullptr;
    size_t refuse_count = 0;
};

template <size_t N>
constexpr size_t Count(const ClassicConflict (&)[N])
{
    return N;
}

// In the order of their log lines and of --help-all.
const WholeOption kWholeOptions[] = {
    {.name = "--strict",
     .value = VALUE_NONE,
     .help = "--strict          The exit status tells the truth about the whole run",
     .flag = &CMDL_Strict,
     .log_before = " for an exit status of the whole run"},
    {.name = "--report",
     .value = VALUE_FILE,
     .help = "--report FILE     Write FILE as one JSON object describing the run",
     .text = ReportFilename,
     .text_size = sizeof ReportFilename,
     .what = "Report",
     .log_before = " for a report in "},
    {.name = "--expect",
     .value = VALUE_COUNT,
     .help = "--expect N        The run must find at least N controllers (1 to 64)",
     .count = &CMDL_ExpectedControllers,
     .min = 1,
     .max = MAX_EXPECTED_CONTROLLERS,
     .what = "a number of controllers",
     .log_before = " for at least ",
     .log_after = " controllers"},
    {.name = "--image-sha256",
     .value = VALUE_DIGEST,
     .help = "--image-sha256 HEX  Upgrade only with the image file whose SHA-256 is HEX",
     .text = ExpectedImageSha256,
     .text_size = sizeof ExpectedImageSha256,
     .log_before = " for an image whose SHA-256 is ",
     .image = IMAGE_NEEDED},
    {.name = "--capture",
     .value = VALUE_FILE,
     .help = "--capture FILE    Record the run at its seam with the machine into FILE",
     .text = CaptureFilename,
     .text_size = sizeof CaptureFilename,
     .what = "Capture",
     .log_before = " for a capture of the run in "},
    {.name = "--capture-redact",
     .value = VALUE_REDACTIONS,
     .help = "--capture-redact LIST  With --capture: vpd, host or vpd,host left out of it",
     .needs = "--capture"},
    {.name = "--plan",
     .value = VALUE_NONE,
     .help = "--plan            Say what the upgrade would do, and do none of it",
     .flag = &CMDL_Plan,
     .log_before = ": what the upgrade would do, nothing written",
     .image = IMAGE_NEEDED,
     .refuses = kPlanConflicts,
     .refuse_count = Count(kPlanConflicts)},
    {.name = "--read-only",
     .value = VALUE_NONE,
     .help = "--read-only       Scan and report; write no register, LED or EEPROM byte",
     .flag = &CMDL_ReadOnly,
     .log_before = ": no register, LED or EEPROM byte written",
     .image = IMAGE_ONLY_PLANNED,
     .refuses = kReadOnlyConflicts,
     .refuse_count = Count(kReadOnlyConflicts)},
    {.name = "--metrics",
     .value = VALUE_FILE,
     .help = "--metrics FILE    Write the scan as Prometheus metrics for the node exporter",
     .text = MetricsFilename,
     .text_size = sizeof MetricsFilename,
     .what = "Metrics",
     .log_before = " for Prometheus metrics in "},
    {.name = "--lan",
     .value = VALUE_BMC,
     .help = "--lan HOST[:PORT] Reach a BMC over the network (IPMI v2.0 RMCP+), up to 4 times",
     .log_before = " for the BMC at ",
     .refuses = kLanConflicts,
     .refuse_count = Count(kLanConflicts)},
    {.name = "--lan-user",
     .value = VALUE_TEXT,
     .help = "--lan-user NAME   The BMC user of --lan (default: the anonymous user)",
     .text = LanUser,
     .text_size = sizeof LanUser,
     .what = "User name",
     .log_before = " for the user ",
     .needs = "--lan"},
    {.name = "--lan-password-file",
     .value = VALUE_FILE,
     .help = "--lan-password-file FILE  The password of --lan-user (else IPMI_PASSWORD)",
     .text = LanPasswordFile,
     .text_size = sizeof LanPasswordFile,
     .what = "Password",
     .log_before = " for the password in ",
     .needs = "--lan"},
    {.name = "--lan-kg-file",
     .value = VALUE_FILE,
     .help = "--lan-kg-file FILE  The BMC key K_G of --lan",
     .text = LanKgFile,
     .text_size = sizeof LanKgFile,
     .what = "K_G",
     .log_before = " for the BMC key in ",
     .needs = "--lan"},
    {.name = "--lan-cipher",
     .value = VALUE_CHOICE,
     .help = "--lan-cipher 17|3  The cipher suite of --lan (default: 17 if offered, else 3)",
     .count = &CMDL_LanCipher,
     .choices = kLanCiphers,
     .what = "17 or 3",
     .log_before = " for cipher suite ",
     .needs = "--lan"},
    {.name = "--lan-privilege",
     .value = VALUE_CHOICE,
     .help = "--lan-privilege operator|administrator  The session's privilege (default administrator)",
     .count = &CMDL_LanPrivilege,
     .choices = kLanPrivileges,
     .what = "operator or administrator",
     .log_before = " for privilege ",
     .needs = "--lan"},
    {.name = "--lan-timeout",
     .value = VALUE_COUNT,
     .help = "--lan-timeout MS  The wait for one answer of a --lan BMC (10 to 60000)",
     .wide = &CMDL_LanTimeoutMs,
     .min = 10,
     .max = 60000,
     .what = "a number of milliseconds",
     .log_before = " for an answer within ",
     .log_after = " ms",
     .needs = "--lan"},
    {.name = "--lan-retries",
     .value = VALUE_COUNT,
     .help = "--lan-retries N   Sendings of a --lan request after the first (0 to 10)",
     .count = &CMDL_LanRetries,
     .min = 0,
     .max = 10,
     .what = "a number of sendings",
     .log_before = " for ",
     .log_after = " sendings after the first",
     .needs = "--lan"},
    {.name = "--help-all",
     .value = VALUE_NONE,
     .help = "--help-all        Displays this screen with every option",
     .flag = &CMDL_Help,
     .also = &CMDL_HelpAll},
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

// --lan HOST[:PORT]: a name, an IPv4 address or an IPv6 one in brackets,
// and a port from 1 to 65535 (623 unless given).
void TakeLanBmc(const WholeOption& o, const char* value)
{
    if (!value || !value[0])
        RefuseCommandLine("ERROR: No BMC address specified after %s [RETURN CODE:0x%02x]", o.name, RC_COMMAND_LINE);
    if (LanBmcCount >= LAN_MAX_BMCS)
        RefuseCommandLine("ERROR: %s given more than %d times [RETURN CODE:0x%02x]", o.name, LAN_MAX_BMCS,
                          RC_COMMAND_LINE);
    const char* host = value;
    size_t host_length = std::strlen(value);
    const char* port = nullptr;
    if (value[0] == '[') {
        const char* close = std::strchr(value, ']');
        if (!close || (close[1] != '\0' && close[1] != ':'))
            RefuseCommandLine("ERROR: Invalid BMC address \"%s\" after %s (HOST, HOST:PORT or [IPv6]:PORT) "
                              "[RETURN CODE:0x%02x]",
                              value, o.name, RC_COMMAND_LINE);
        host = value + 1;
        host_length = static_cast<size_t>(close - host);
        port = close[1] == ':' ? close + 2 : nullptr;
    } else if (const char* colon = std::strchr(value, ':')) {
        // One colon ends a name or an IPv4 address; more are an IPv6 address without a port.
        if (!std::strchr(colon + 1, ':')) {
            host_length = static_cast<size_t>(colon - value);
            port = colon + 1;
        }
    }
    long number = LAN_DEFAULT_PORT;
    if (port) {
        size_t digits = std::strspn(port, "0123456789");
        number = digits > 0 && digits <= 5 && port[digits] == '\0' ? std::strtol(port, nullptr, 10) : 0;
    }
    if (host_length == 0 || host_length >= LAN_HOST_SIZE || number < 1 || number > 65535)
        RefuseCommandLine("ERROR: Invalid BMC address \"%s\" after %s (HOST, HOST:PORT or [IPv6]:PORT) "
                          "[RETURN CODE:0x%02x]",
                          value, o.name, RC_COMMAND_LINE);
    std::memcpy(LanHosts[LanBmcCount], host, host_length);
    LanHosts[LanBmcCount][host_length] = '\0';
    LanPorts[LanBmcCount] = static_cast<INT16U>(number);
    ++LanBmcCount;
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
        long n = digits > 0 && digits <= 5 && count[digits] == '\0' ? std::strtol(count, nullptr, 10) : -1;
        if (n < o.min || n > o.max)
            RefuseCommandLine("ERROR: %s needs %s from %d to %d [RETURN CODE:0x%02x]", o.name, o.what, o.min, o.max,
                              RC_COMMAND_LINE);
        if (o.wide)
            *o.wide = static_cast<INT16U>(n);
        else
            *o.count = static_cast<unsigned char>(n);
        break;
    }
    case VALUE_TEXT:
        if (!value || std::strlen(value) >= o.text_size)
            RefuseCommandLine("ERROR: %s needs a %s of at most %d characters [RETURN CODE:0x%02x]", o.name, o.what,
                              static_cast<int>(o.text_size) - 1, RC_COMMAND_LINE);
        std::strcpy(o.text, value);
        break;
    case VALUE_CHOICE: {
        const Choice* c = o.choices;
        while (c->word && (!value || std::strcmp(c->word, value) != 0))
            ++c;
        if (!c->word)
            RefuseCommandLine("ERROR: %s takes %s [RETURN CODE:0x%02x]", o.name, o.what, RC_COMMAND_LINE);
        *o.count = c->number;
        break;
    }
    case VALUE_BMC:
        TakeLanBmc(o, value);
        break;
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
    // The network road's secrets, before anything is sent.
    if (LanBmcCount)
        if (const char* why = LanLoadSecrets())
            RefuseCommandLine("ERROR: %s [RETURN CODE:0x%02x]", why, RC_COMMAND_LINE);
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
        if (o.value == VALUE_BMC) {
            for (int i = 0; i < LanBmcCount; ++i)
                pf("Selected %s%s%s port %u", o.name, o.log_before, LanHosts[i], LanPorts[i]);
            continue;
        }
        char number[8] = "";
        const char* value = o.text ? o.text : "";
        if (o.value == VALUE_COUNT)
            std::snprintf(number, sizeof number, "%d", o.wide ? *o.wide : *o.count);
        if (o.value == VALUE_COUNT || o.value == VALUE_CHOICE)
            value = number;
        if (o.value == VALUE_CHOICE)
            for (const Choice* c = o.choices; c->word; ++c)
                if (c->number == *o.count)
                    value = c->word;
        pf("Selected %s%s%s%s", o.name, o.log_before, value, o.log_after);
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
