// SPDX-License-Identifier: MIT
// The invariants of what a run tells scripts:
//   report        --report FILE is refused when it names the image, a log or
//                 no regular file, else written once the command line is
//                 accepted, as JSON with the exit status and the versions
//                 last seen
//   stale-report  a report of an earlier run planted at FILE is replaced
//   metrics       --metrics FILE is written at every end the process
//                 controls, in the text format a scraper takes, with the
//                 run's status and the controllers its summaries listed
#pragma once

#include <string>

#include "evidence.h"

namespace campaign::invariants {

Finding report(const Evidence& e);
Finding stale_report(const Evidence& e);
Finding metrics(const Evidence& e);

// A name where no output may ever be written: a file the run only reads
// (the image, the password file of --lan) or a log.
bool names_no_output(const Scenario& s, const std::string& file);

}  // namespace campaign::invariants
