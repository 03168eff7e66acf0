// SPDX-License-Identifier: MIT
// --capture: the recorder at the seam. While it records, every call of the
// seam (os.h) is written down with its result and its time, one JSON object
// per line, so that the run can be brought back into the lab: replayed, or
// turned into a machine for the simulator (sim/capture/README.md describes
// the lines).
//
// The tool starts it once the command line is accepted and stops it at the
// end; everything between goes through the recorder, whatever the road or
// the mode. The recorder writes its lines into a file the caller opened; the
// caller puts the header in front of them (capture_run.cpp).
#pragma once

#include "../output/buffered_writer.h"

namespace os {

// Starts recording into `events_fd`. A run that ends by raising a signal
// has `before_raise` called once its last line is noted, since no exit
// handler runs then. Returns 0, or an errno when the clock cannot be read.
int capture_start(int events_fd, void (*before_raise)());

// The wall-clock time the recording started, microseconds since the epoch.
long long capture_started_us();

// The image as loaded: a run of byte commands that carry its bytes at their
// own addresses is written as one line naming the run, without the bytes.
// The bytes stay the caller's; they are read while the recording lasts.
void capture_image(const unsigned char* bytes, unsigned size);

// VPD text at the EEPROM with 8-bit address `address8` is replaced, in what
// the tool reads and so in the capture, by placeholders of the same length:
// every byte but 0 in the fields given as {offset, width}. Which bytes those
// are follows from the offset the read asks for (the pointer write the BMC
// acknowledged just before it); a read that asks for none (a retry after a
// lost answer, a read after a failed pointer write) may start anywhere, so
// every byte of it but 0 is replaced. So is every byte from `layout_end`
// on: what lies past the fields is unknown, and an EEPROM smaller than the
// dump answers its own start there again, text and all.
void capture_redact_vpd(unsigned char address8, const unsigned char (*text_fields)[2], int count,
                        unsigned layout_end);

// The host's identity (its host name, the DMI product serial, the machine
// id) is replaced in the capture by placeholders; the tool itself still
// gets it, for its report.
void capture_redact_host();

// Ends the recording and writes out what is pending. Returns 0, or the
// errno of the first write that failed.
int capture_stop();

// Once stopped, the capture file is written through the recorder's writer:
// capture_write_begin points it at `out_fd` for the caller's header, and
// capture_write_end copies the recorded lines after it and returns 0 or the
// errno of the first write that failed.
BufferedWriter* capture_write_begin(int out_fd);
int capture_write_end();

}  // namespace os
