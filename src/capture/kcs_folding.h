// SPDX-License-Identifier: MIT
// KCS port accesses: the accesses of one transfer, from WRITE_START to the
// dummy byte after the answer, are one line, with repeated status reads
// counted, not repeated; a clean byte command of the image joins the run of
// them (image_runs.h). Accesses outside a transfer are lines of their own,
// equal reads of one port folded.
#pragma once

namespace os::recorder {

// The I/O delay after every access: the tool's own habit, no device's.
constexpr unsigned short kIoDelayPort = 0x80;

// Whether an access to `port` belongs to the transfer under way.
bool InKcsTransfer(unsigned short port);
// WRITE_START anywhere but at the data port of the transfer under way
// (where 0x61 is a request byte) begins a transfer, or a new attempt.
bool BeginsTransfer(unsigned short port, unsigned char value);
// A read of `port` that gave `value`: what the tool is to see (VPD text redacted).
unsigned char KcsRead(unsigned short port, unsigned char value, long long t);
void KcsWrite(unsigned short port, unsigned char value, long long t);
// The signals noted since the last access, in the transfer under way at
// the access they came before.
void NoteTransferSignals();
// Writes the transfer under way, if any: its line, or its place in the run.
void WriteKcsTransfer();
// Writes the accesses not yet known to belong to a transfer.
void WriteLoose();

}  // namespace os::recorder
