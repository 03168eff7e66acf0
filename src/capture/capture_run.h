// SPDX-License-Identifier: MIT
// --capture from the run's side: the capture file checked and the recorder
// started before anything is sent, the image named to it once loaded, and
// the file put in place when the process ends.
#pragma once

#include "../common/types.h"

// Starts the capture (--capture FILE) before anything is sent: null, or why
// FILE is refused (the run then ends with 5). `after_loss` is called when
// the capture turns out not to be written, after the run's end: the run's
// report is to say so too.
const char* CaptureBegin(int argc, char** argv, void (*after_loss)());
// The image is loaded: the capture names it, and its byte commands go in runs.
void CaptureImageLoaded(const INT8U* image, INT16U size);
// Puts the capture file in place; at exit at the latest. A capture that
// cannot be written is said, and the report (written already) says it too.
void CaptureEnd();
