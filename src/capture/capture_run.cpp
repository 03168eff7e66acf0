// SPDX-License-Identifier: MIT
// --capture from the run's side. Before anything is sent the file is
// checked and the recorder at the seam (capture.h) is started, its lines
// gathering in a scratch file that has no name; the image is named to it
// once loaded. When the process ends, however it ends, the header and the
// recorded lines become the capture file, put in place in one rename.
#include "capture_run.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "../common/chip_table.h"
#include "../common/settings.h"
#include "../common/sha256.h"
#include "../common/version.h"
#include "../logfile/lost_files.h"
#include "../output/json_text.h"
#include "../output/output_file.h"
#include "capture.h"

namespace {

constexpr int kFormat = 1;

bool Capturing = false;
int EventsFd = -1;
int RunArgc = 0;
char** RunArgv = nullptr;

// The time zone the run's dates are written in, at its start.
long UtcOffsetSeconds = 0;
char ZoneName[32] = "";

// The image as first loaded.
bool ImageKnown = false;
INT16U ImageSize = 0;
INT8U ImageVersion[3];
char LoadedSha256[SHA256_HEX_SIZE];  // of the bytes loaded, which the runs of byte commands name

// The capture file under way.
char TempPath[CAPTURE_FILENAME_SIZE + 64];

// The capture file's writer while its header is written.
BufferedWriter* Out = nullptr;

void PutString(const char* text) { WriterPutJson(Out, text, JSON_UTF8); }

void PutImage()
{
    if (!CMDL_FilenameSpecified) {
        WriterPrintf(Out, "null");
        return;
    }
    WriterPrintf(Out, "{\"name\": ");
    PutString(BinFilename);
    if (!ImageKnown) {
        WriterPrintf(Out, ", \"size\": null, \"sha256\": null, \"version\": null}");
        return;
    }
    WriterPrintf(Out, ", \"size\": %u, \"sha256\": \"%s\", \"version\": ", ImageSize, LoadedSha256);
    if (ImageSize > IMAGE_VERSION_OFFSET + 2)
        WriterPrintf(Out, "[%u, %u, %u]}", ImageVersion[0], ImageVersion[1], ImageVersion[2]);
    else
        WriterPrintf(Out, "null}");
}

// The first line: what the run was and where it started.
void PutHeader()
{
    WriterPrintf(Out, "{\"capture\": \"qb40tool\", \"format\": %d, \"tool_version\": \"%s\", \"program\": ", kFormat,
           QB40_TOOL_VERSION);
    PutString(RunArgc > 0 ? RunArgv[0] : "");
    WriterPrintf(Out, ", \"arguments\": [");
    for (int i = 1; i < RunArgc; ++i) {
        WriterPrintf(Out, "%s", i > 1 ? ", " : "");
        PutString(RunArgv[i]);
    }
    WriterPrintf(Out, "], \"start_us\": %lld, \"time_zone\": {\"name\": ", os::capture_started_us());
    PutString(ZoneName);
    WriterPrintf(Out, ", \"utc_offset_s\": %ld}, \"image\": ", UtcOffsetSeconds);
    PutImage();
    WriterPrintf(Out, ", \"redacted\": [%s%s%s]}\n", CMDL_CaptureRedactVpd ? "\"vpd\"" : "",
                       CMDL_CaptureRedactVpd && CMDL_CaptureRedactHost ? ", " : "",
                       CMDL_CaptureRedactHost ? "\"host\"" : "");
}

// Tells the run's report of a capture that could not be written.
void (*AfterLoss)() = nullptr;

// The run has ended when the capture is written: its report is told too.
void ReportFailure(int error)
{
    NoteOutputLost(OUTPUT_CAPTURE, CaptureFilename, std::strerror(error));
    if (AfterLoss)
        AfterLoss();
}

void EndAtExit() { CaptureEnd(); }

}  // namespace

const char* CaptureBegin(int argc, char** argv, void (*after_loss)())
{
    if (!CaptureFilename[0])
        return nullptr;
    if (const char* why = OutputFileRefusal(CaptureFilename, CMDL_FilenameSpecified ? BinFilename : nullptr, ReportFilename))
        return why;
    EventsFd = OutputScratchFile(CaptureFilename);
    int error = EventsFd < 0 ? errno : os::capture_start(EventsFd, CaptureEnd);
    if (error)
        return std::strerror(error);
    AfterLoss = after_loss;
    RunArgc = argc;
    RunArgv = argv;
    time_t start = static_cast<time_t>(os::capture_started_us() / 1000000);
    struct tm local;
    if (localtime_r(&start, &local)) {
        UtcOffsetSeconds = local.tm_gmtoff;
        std::snprintf(ZoneName, sizeof ZoneName, "%s", local.tm_zone ? local.tm_zone : "");
    }
    if (CMDL_CaptureRedactHost)
        os::capture_redact_host();
    Capturing = true;
    atexit(EndAtExit);
    return nullptr;
}

void CaptureImageLoaded(const INT8U* image, INT16U size)
{
    if (!Capturing)
        return;
    os::capture_image(image, size);
    if (ImageKnown)
        return;
    ImageKnown = true;
    ImageSize = size;
    std::memcpy(ImageVersion, &image[IMAGE_VERSION_OFFSET], sizeof ImageVersion);
    Sha256 sha;
    INT8U digest[SHA256_DIGEST_SIZE];
    Sha256Begin(&sha);
    Sha256Add(&sha, image, size);
    Sha256End(&sha, digest);
    Sha256Hex(digest, LoadedSha256);
}

void CaptureEnd()
{
    if (!Capturing)
        return;
    Capturing = false;
    int error = os::capture_stop();
    int out_fd = error ? -1 : OutputTempFile(CaptureFilename, "capture", TempPath, sizeof TempPath);
    if (out_fd < 0) {
        ReportFailure(error ? error : errno);
        close(EventsFd);
        return;
    }
    Out = os::capture_write_begin(out_fd);
    PutHeader();
    error = os::capture_write_end();
    close(EventsFd);
    if (error) {
        // Half a capture is no capture: the previous file stays.
        close(out_fd);
        unlink(TempPath);
        ReportFailure(error);
        return;
    }
    if ((error = OutputFileCommit(out_fd, TempPath, CaptureFilename)))
        ReportFailure(error);
}
