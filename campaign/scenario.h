// SPDX-License-Identifier: MIT
// One run of the campaign, made from its seed alone: the machine file, the
// command line, the files in the working directory, and what the checks need
// to know about the machine that the run's output does not tell them.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "controller_model.h"

namespace campaign {

struct Scenario {
    uint64_t seed = 0;
    nlohmann::json machine;                    // QB40SIM_MACHINE
    std::vector<std::string> args;             // after the program name
    std::map<std::string, std::string> files;  // working-directory files: relative path -> bytes
    std::vector<std::string> directories;      // working-directory subdirectories to create
    std::vector<ControllerModel> controllers;
    // The image the command line names, when it names one (it may be missing).
    std::optional<std::string> image;
    // Standard descriptors (0 to 2) the tool is started without.
    std::set<int> closed_descriptors;
    // A report of an earlier run planted where --report writes (also in `files`).
    std::optional<std::string> old_report;
    // Metrics of an earlier run planted where --metrics writes (also in `files`).
    std::optional<std::string> old_metrics;

    bool keys_scripted() const { return machine.contains("keys"); }
    // The command line as the tool's option parser reads it: each
    // "--NAME=VALUE" as "--NAME" and "VALUE". The accessors below read this.
    std::vector<std::string> whole_args() const;
    // An argument beginning with -- that the tool must refuse (with 5,
    // before any request): a name no option has, or a value given with =
    // to an option that takes none. Empty when there is none.
    std::optional<std::string> refused_spelling() const;
    // Whether an option that takes a value is given it as --NAME=VALUE.
    bool equals_spelling() const;
    // --lan: the BMCs are reached over the network.
    bool lan_road() const;
    // --strict, matched as a whole argument.
    bool strict() const;
    // --plan, matched as a whole argument.
    bool plan() const;
    // --read-only, matched as a whole argument.
    bool read_only() const;
    // The file named after --report (the last one given), relative to the
    // working directory.
    std::optional<std::string> report_file() const;
    // The file named after --capture (the last one given), and what
    // --capture-redact asks to leave out ("vpd", "host").
    std::optional<std::string> capture_file() const;
    bool redacts(const std::string& what) const;
    // The file named after --metrics (the last one given).
    std::optional<std::string> metrics_file() const;
    // The files the tool only reads: the image and the password file of --lan.
    std::vector<std::string> input_files() const;
    const ControllerModel* controller_at(uint8_t bus, uint8_t address) const;
    // What a complete programming of the image leaves running: its version
    // bytes, erased flash (0xFF) where the file is shorter. Nullopt without
    // an image file.
    std::optional<Version> image_version() const;
    // The command line as a shell would take it.
    std::string command_line() const;
};

// The whole run, from the seed.
Scenario generate(uint64_t seed);

// A scenario as a file of its own (campaign/found/): a run that once found a
// bug stays the same run whatever later changes make of its seed.
nlohmann::json to_json(const Scenario& scenario);
Scenario scenario_from_json(const nlohmann::json& json);

}  // namespace campaign
