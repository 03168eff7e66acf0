// SPDX-License-Identifier: MIT
// qb40sim-capture: a capture of qb40tool --capture brought into the lab.
//
//   qb40sim-capture replay CAPTURE [--image FILE] > machine.json
//   qb40sim-capture model CAPTURE [--image FILE] > machine.json
//
// replay: a machine for qb40tool-sim that answers every call exactly as the
// capture has it, and stops the run (exit status 97) at the first call that
// differs. model: an ordinary machine inferred from the capture, whose
// field "inferred" says what the capture never showed. With --image, the image file the run programmed (checked against
// the capture's digest): the data bytes of its byte commands are checked too.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "../json_field.h"
#include "model_machine.h"
#include "replay_machine.h"

namespace {

[[noreturn]] void usage(const std::string& why)
{
    std::fprintf(stderr,
                 "qb40sim-capture: %s\n"
                 "usage: qb40sim-capture replay|model CAPTURE [--image FILE] > machine.json\n",
                 why.c_str());
    std::exit(2);
}

std::vector<std::string> read_lines(const std::string& path)
{
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "qb40sim-capture: cannot read %s\n", path.c_str());
        std::exit(2);
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    if (lines.empty()) {
        std::fprintf(stderr, "qb40sim-capture: %s is empty\n", path.c_str());
        std::exit(2);
    }
    return lines;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        usage("a command and a capture are needed");
    std::string command = argv[1], capture = argv[2];
    std::optional<std::string> image;
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--image" && i + 1 < argc)
            image = argv[++i];
        else
            usage("unknown argument " + a);
    }
    try {
        if (command == "replay") {
            std::cout << sim::capture::replay_machine(read_lines(capture), image).dump(1) << '\n';
            return 0;
        }
        if (command == "model") {
            std::cout << sim::capture::model_machine(read_lines(capture), image).machine.dump(1) << '\n';
            return 0;
        }
    } catch (const sim::MachineFileError& e) {
        std::fprintf(stderr, "qb40sim-capture: %s: %s: %s\n", capture.c_str(), e.field().c_str(), e.what());
        return 2;
    } catch (const nlohmann::json::exception& e) {
        std::fprintf(stderr, "qb40sim-capture: %s: %s\n", capture.c_str(), e.what());
        return 2;
    }
    usage("unknown command " + command);
}
