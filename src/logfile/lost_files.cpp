// SPDX-License-Identifier: MIT
// The files of the run that could not be written, each told once.
#include "lost_files.h"

#include <cstdio>

#include "logfile.h"

namespace {

struct Loss {
    bool lost;
    char path[4096 + 64];
    char why[128];
};
Loss Losses[OUTPUT_KINDS];
constexpr const char* kOutputWords[OUTPUT_KINDS] = {"log", "report", "capture", "metrics"};

}  // namespace

void NoteOutputLost(OutputKind kind, const char* path, const char* why)
{
    Loss& loss = Losses[kind];
    if (loss.lost)
        return;
    loss.lost = true;
    std::snprintf(loss.path, sizeof loss.path, "%s", path);
    std::snprintf(loss.why, sizeof loss.why, "%s", why);
    std::fprintf(stderr, "ERROR: Unable to write %s file %s: %s\n", kOutputWords[kind], path, why);
    std::fflush(stderr);
    if (kind != OUTPUT_LOG)
        pf("ERROR: Unable to write %s file %s: %s", kOutputWords[kind], path, why);
}

bool OutputLost(OutputKind kind) { return Losses[kind].lost; }
const char* OutputLostPath(OutputKind kind) { return Losses[kind].path; }
const char* OutputLostWhy(OutputKind kind) { return Losses[kind].why; }
