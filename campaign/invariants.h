// SPDX-License-Identifier: MIT
// What must hold after every run of the campaign, whatever the machine, the
// faults, the keys and the command line:
//
//   run            the tool ended by itself: no crash, no sanitizer report,
//                  no stop of the simulator, within the real-time bound
//   exit-status    its exit status is one the tool defines
//   log-ending     log.txt ends the way that exit path ends it
//   terminal       a terminal put in raw mode is back in cooked mode at the
//                  end, except where the path leaves it raw (the image-family
//                  mismatch ends the process in the middle of the upgrade)
//   downcopy       a controller's running image is replaced only by a
//                  downcopy that followed a verification status the tool
//                  accepts, and then holds the image's version
//   old-image      what stops a flash before its downcopy (abort, lost power)
//                  leaves the old image running
//   upgrade-count  "Sucessfully Upgraded N of M parts" counts no record whose
//                  controller does not run the image's version afterwards
//   strict         under --strict an upgrade run exits 0 only when every
//                  record of its upgrade cycles runs the image's version
//   report         --report FILE is refused (5, nothing written) when it is
//                  the image, a log or no regular file; else written once the
//                  command line is accepted, as JSON that says the run is
//                  complete, whose exit_code is the exit status and whose
//                  firmware_last_seen is the last version the log shows each
//                  pass read from the controller (by a scan, or by its
//                  programming before the erase and after the reset), null
//                  when a scan of the pass missed it since or a read of its
//                  version was given up
//   signal         a run that a signal stopped ends by that signal, its log
//                  ending with the stop, the terminal restored and its report
//                  with exit_code null, the signal's name and the last
//                  versions read as the report rule has them; it begins
//                  no controller after the signal
//   session        after a signal the tool catches no controller is left in
//                  its programming session: the one it was programming gets
//                  the abort's reset or its downcopy (unless that flash
//                  failed on its own)
//   leds           every ending but SIGKILL leaves the LEDs as a completed
//                  run of the same mode: each LED register the tool lit it
//                  put out again last (the 17th controller's found marks,
//                  and LEDs a fault may have kept lit, aside)
//   image-digest   with --image-sha256 a file with another digest is never
//                  programmed, and the one with that digest is never refused
//   plan           with --plan no controller hears a flash command, and a
//                  plan that runs to its closing lines says how many it
//                  would upgrade, as many as it named, with the exit status
//   stale-report   a report of an earlier run planted at --report's FILE
//                  is replaced, unless the run ended with 5 before a BMC
//                  heard a word
//   file-modes     no file the tool writes is writable by others, whatever
//                  the umask; the report and the capture are 0600, the
//                  metrics 0644
//   redaction      a capture taken with --capture-redact vpd holds no VPD
//                  text, with host no host name, DMI serial or machine id
//   output-loss    a log, report or capture the machine failed to write is
//                  said on standard error, and under --strict the run does
//                  not end 0
//   inputs         a file the run only reads (the image, the password file
//                  of --lan) is as it was afterwards, whichever output
//                  named it
//   read-only      a --read-only run writes no more than one byte per
//                  request (a register's number, an EEPROM offset, a mux's
//                  channels) and leaves each mux it switched as found
//   metrics        --metrics FILE is written at every end the process
//                  controls (unless refused or said lost), in the text
//                  format a scraper takes, with the run's exit status, a
//                  scan success only for a run that went through, and the
//                  controllers its device summaries listed
//   spelling       an argument beginning with -- that names no option, or
//                  gives a value to one that takes none, ends the run with 5
//                  before the log and any request, with an error line
//   report-schema  every report holds to docs/report.schema.json (checked
//                  for all runs at once, after them: report_for_schema)
//
// Several read the simulator's trace. Each family has its file in
// invariants/ (invariants.cpp says which), with the exact rules and the
// quirks of the tool they allow for: endings (run to session, spelling), hardware
// (downcopy, old-image, upgrade-count, strict, leds, image-digest, plan,
// read-only), report_and_metrics, files (file-modes, output-loss, inputs) and
// captures (redaction); evidence.h is what they all read.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run.h"
#include "scenario.h"

namespace campaign {

struct Violation {
    std::string invariant;  // one of the names above
    std::string detail;
};

// What the runs gave the rules to judge, summed over a campaign, so that a
// campaign whose checks judged nothing shows it.
struct Coverage {
    size_t downcopies = 0;     // downcopies followed
    size_t count_lines = 0;    // "Sucessfully Upgraded" lines weighed
    size_t raw_terminals = 0;  // runs with a key script that put the terminal in raw mode
    size_t qb4083c_sets = 0;   // flashes with the QB4083C command set
    size_t forged = 0;         // runs where a fault answered with success for a device
    size_t reports = 0;        // --report files read
    size_t strict_zeros = 0;   // upgrade runs under --strict that exited 0
    size_t plans = 0;          // --plan runs that ended with their plan's closing line
    size_t signalled = 0;      // runs a signal stopped
    size_t deferred = 0;       // of those, runs where it came while a controller was programmed
    size_t signal_aborts = 0;  // of those, runs where the controller was reset on its old image
    size_t lit_at_signal = 0;  // of those, runs with LEDs lit when the signal came
    size_t killed = 0;         // runs SIGKILL ended
    // The environment at the seam with the operating system.
    size_t file_faults = 0;         // runs where a file of the tool met a file-system error
    size_t old_reports = 0;         // runs with an earlier run's report where the report goes
    size_t redacted_captures = 0;   // captures taken with --capture-redact
    size_t closed_descriptors = 0;  // runs started without a standard descriptor
    size_t open_umask = 0;          // runs under umask 000
    size_t metrics = 0;             // metrics files read (--metrics)
    // The command line.
    size_t equals_spellings = 0;   // runs giving an option its value as --NAME=VALUE
    size_t refused_spellings = 0;  // runs with a -- word the tool must refuse
    size_t lan_runs = 0;           // runs over the network road (--lan)
};

std::vector<Violation> check(const Scenario& scenario, const RunOutput& output, Coverage* coverage = nullptr);

// The report a run wrote, to be checked against the report's schema with
// those of all other runs (one python start for the lot); nullopt when the
// run wrote none.
std::optional<std::string> report_for_schema(const Scenario& scenario, const RunOutput& output);

// The names, in the order the checks run.
std::vector<std::string> invariant_names();

}  // namespace campaign
