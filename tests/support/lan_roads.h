// SPDX-License-Identifier: MIT
// One machine on two roads: its BMCs behind the driver, or the same BMCs
// (buses, devices, latency, faults) as LAN BMCs that qb40tool-sim reaches
// with --lan; and what a run shows once the lines of the road it took are
// set aside, so that a run on one road can be held against a run on the
// other, or a run that lost datagrams against one that lost none.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim_run.h"

namespace qbtest {

using Lines = std::vector<std::string>;

// The secrets of the LAN BMCs lan_machine makes: user "admin"'s password,
// and the BMC key K_G when the set-up asks for one. Both are printable and
// unlike anything else a run writes, so that a search for them finds only
// a leak.
inline constexpr const char* kLanPassword = "Lan-Pw:7zq#Qb40";
inline constexpr const char* kLanKg = "Kg:rack-9Xw!Qb40";

// How the LAN BMCs and the tool meet.
struct LanSetUp {
    bool kg = false;             // the BMCs have K_G, and the tool is given it (--lan-kg-file)
    int cipher = 0;              // --lan-cipher 17 or 3; 0: the tool's choice
    bool password_in_environment = false;  // IPMI_PASSWORD instead of --lan-password-file
    nlohmann::json lan = nlohmann::json::object();  // more fields for every BMC's "lan"
};

// `machine` with each BMC's driver node and KCS ports taken away and a LAN
// interface in their place: host bmcN.lab (N from 0), user "admin" with
// kLanPassword and administrator privilege, no answer time of its own (so
// that both roads keep the same virtual time), then `setup.lan`'s fields.
std::string lan_machine(const std::string& machine, const LanSetUp& setup = {});
// `machine` with every BMC behind the driver (/dev/ipmiN, N from 0) and
// nothing else: no KCS ports, no LAN interface, no driver trouble, no
// vanishing nodes. The other road's machine of lan_machine.
std::string driver_machine(const std::string& machine);
// The arguments that reach the first `bmcs` of those BMCs, as admin; the
// password's (and K_G's) file is written into `dir` first (mode 0600).
std::vector<std::string> lan_arguments(SimDir& dir, size_t bmcs, const LanSetUp& setup = {});
// The number of BMCs of a machine file.
size_t bmc_count(const std::string& machine);

// Console or log text without the lines only one road writes: the driver's
// "Successfully opened OpenIPMI driver", the network road's "Opened an
// RMCP+ session ...", its "LAN: ..." lines and its "Selected --lan..."
// lines, and the raw command line (its count and one line per argument).
Lines without_road_lines(const std::string& text);
// The same with the dates the tool prints ("Tue Nov 14 22:13:20 2023")
// put as <date>: a run that lost datagrams took longer.
Lines without_dates(const Lines& lines);
// A report without what names the road (each BMC's "interface", and the
// "arguments"); null when there is none.
nlohmann::json report_without_road(const std::string& text);
// A report with every date put as <date>.
nlohmann::json without_dates(nlohmann::json report);

// Each BMC's Master Write-Read requests and answers in the trace, on any
// road, one line each: {"bmc0": "request 18 52 01 C0 00 63\nresponse 1C 52 00\n..."}.
std::map<std::string, std::string> master_write_read_traffic(const std::string& trace);
// Which of the Master Write-Read requests that begin with `prefix` (hex
// bytes, "18 52 01 C0 01") is the first to come right after the request
// `after` (all its bytes), counted from 1 as a fault rule's "nth" counts;
// with `after` empty, the first. 0 when none does.
uint64_t nth_request(const std::string& trace, const std::string& prefix, const std::string& after = "");
// Every line the devices wrote into the trace (LEDs, muxes, flash,
// refused register writes), without times.
Lines device_lines(const std::string& trace);
// What changed the devices: their lines without answers (the flash's
// status and checksum lines) and refusals, which change nothing. A
// command carried out twice after its answer was lost must leave these as
// they are.
Lines device_effects(const std::string& trace);

// What a run shows, road aside.
struct RoadView {
    int status = -1;
    int signal = 0;
    Lines console, log, logprev;
    nlohmann::json report;
    std::map<std::string, std::string> traffic;
    Lines devices;
    std::string metrics;
};
// Reads the report from "r.json" and the metrics from "m.prom" of `dir`.
RoadView road_view(const SimDir& dir, const RunResult& r);

// "" when the two are equal; else the first place where they differ.
std::string first_difference(const Lines& expected, const Lines& actual);
std::string first_difference(const nlohmann::json& expected, const nlohmann::json& actual);

// Where a secret shows in what a run left: its console, standard error,
// trace, and every file in its directory but the secrets' own files. Each
// secret is looked for as text and as the hexadecimal of its bytes (both
// cases, with and without blanks). Empty when nowhere.
std::vector<std::string> secrets_shown(const SimDir& dir, const RunResult& r,
                                        const std::vector<std::string>& secrets = {kLanPassword, kLanKg});

// The LAN BMCs' sessions ("bmc0 session 1") that a trace shows active and
// that were never closed, timed out or gone with a restart.
Lines sessions_left_open(const std::string& trace);
// How many sessions the LAN BMCs of a trace made active.
size_t sessions_active(const std::string& trace);
// The virtual time of the trace's last line, in seconds.
double trace_end_s(const std::string& trace);

}  // namespace qbtest
