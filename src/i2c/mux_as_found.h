// SPDX-License-Identifier: MIT
// --read-only with -ms: the mux's register is read before the run's first
// channel selection on its bus, every selection is noted, and each mux the
// run switched gets its found channels back at the end of the BMC pass or
// when a signal stops the run. Nothing in other runs.
#pragma once

#include "../common/types.h"

void KeepMuxAsFound(unsigned char busID, INT8U mux_address);
void NoteMuxSwitched(unsigned char busID, INT8U mux_address, INT8U mask);
void PutMuxesBackAsFound();
