// SPDX-License-Identifier: MIT
// Random machine files for the campaign: one to four BMCs behind the driver
// or the KCS ports, buses with controllers of every family, muxes and
// EEPROMs, and every fault of sim/README.md on the BMCs and the controllers.
#pragma once

#include <nlohmann/json.hpp>
#include <vector>

#include "controller_model.h"
#include "random.h"

namespace campaign {

struct MachinePlan {
    nlohmann::json json;
    std::vector<ControllerModel> controllers;
    bool kcs_road = false;  // the BMC is meant to be reached through the KCS ports (-dio)
};

// `image_version` is the version the run's image will carry: some
// controllers run it already.
MachinePlan generate_machine(Random& random, const Version& image_version);

// What BMCs this project did not write showed through the rig, on the
// machine `generate_machine` made: answers no device gives that come late,
// and a KCS interface that puts a dummy byte after every byte written and
// holds IBF while its BMC works. Drawn after everything else of a seed, so
// that the rest of its run stays what it was before.
void add_real_bmc_ways(Random& random, nlohmann::json& machine);

}  // namespace campaign
