// SPDX-License-Identifier: MIT
// The invariants of what the hardware is left with: the controllers' running
// images, the LEDs, the muxes, and what a plan or a read-only run may send:
//   downcopy       a running image is replaced only by a downcopy after a
//                  verification status the tool accepts, and then holds the
//                  image's version
//   old-image      what stops a flash before its downcopy leaves the old image
//   upgrade-count  "Sucessfully Upgraded N of M parts" counts no record whose
//                  controller does not run the image's version afterwards
//   strict         under --strict an upgrade run exits 0 only when every
//                  record of its upgrade cycles runs the image's version
//   leds           every ending but SIGKILL leaves the LEDs as a completed run
//   image-digest   with --image-sha256 only the file with that digest is programmed
//   plan           a plan sends no flash command and counts what it names
//   read-only      a read-only run writes no byte past a register number and
//                  leaves each mux it switched as found
#pragma once

#include "evidence.h"

namespace campaign::invariants {

Finding downcopy(const Evidence& e);
Finding old_image(const Evidence& e);
Finding upgrade_count(const Evidence& e);
Finding strict_zero(const Evidence& e);
Finding leds(const Evidence& e);
Finding image_digest(const Evidence& e);
Finding planned(const Evidence& e);
Finding read_only(const Evidence& e);

}  // namespace campaign::invariants
