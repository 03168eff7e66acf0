// SPDX-License-Identifier: MIT
// Random command lines for the campaign, with the image files they name:
// report runs with every option, upgrades with the right and the wrong
// family, every size class, QB4083C images and missing files, the help
// screen, conflicts and arguments the parser refuses.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "machine_gen.h"
#include "random.h"

namespace campaign {

struct CommandPlan {
    std::vector<std::string> args;
    std::map<std::string, std::string> files;  // relative path -> bytes
    std::vector<std::string> directories;
    std::optional<std::string> image;  // the image file the command line names
};

CommandPlan generate_command(Random& random, const MachinePlan& machine, const Version& image_version);

}  // namespace campaign
