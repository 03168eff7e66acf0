// SPDX-License-Identifier: MIT
// qb40sim-capture: a capture of qb40tool --capture brought into the lab.
//
//   qb40sim-capture replay CAPTURE [--image FILE] [--lan-password-file FILE] > machine.json
//   qb40sim-capture model CAPTURE [--image FILE] [--exact] [--lan-password-file FILE] > machine.json
//   qb40sim-capture diff A B [--times] [--ignore-ports]
//
// replay: a machine for qb40tool-sim that answers every call exactly as the
// capture has it, and stops the run (exit status 97) at the first call that
// differs. model: an ordinary machine inferred from the capture, whose field
// "inferred" says what it inferred and what the capture never showed, also
// written on standard error; with --exact the exit status is 1 when the
// model answers some request otherwise than the capture has it or leaves a
// line of it unused. With
// --image, the image file the run programmed: the data bytes of its byte
// commands are known. diff: the first calls in which two captures differ;
// exit status 0 when they do not, 1 when they do, 2 for a wrong command line
// or a capture that cannot be read (every command: the line that cannot).
// --lan-password-file: the first line of FILE is the password of the user a
// network-road capture logged in as (the capture never holds it), so that
// the rebuilt LAN BMC takes the password the captured run was given.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "../basics/json_field.h"
#include "../replay/capture_file.h"
#include "capture_diff.h"
#include "model_machine.h"
#include "replay_machine_file.h"

namespace {

[[noreturn]] void usage(const std::string& why)
{
    std::fprintf(stderr,
                 "qb40sim-capture: %s\n"
                 "usage: qb40sim-capture replay CAPTURE [--image FILE] [--lan-password-file FILE] > machine.json\n"
                 "       qb40sim-capture model CAPTURE [--image FILE] [--exact] [--lan-password-file FILE] > machine.json\n"
                 "       qb40sim-capture diff A B [--times] [--ignore-ports]\n",
                 why.c_str());
    std::exit(2);
}

// A capture's lines through the one reader (capture_file.h): every line, or
// exit status 2 with the line that could not be read.
std::vector<std::string> read_lines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "qb40sim-capture: cannot read %s\n", path.c_str());
        std::exit(2);
    }
    std::vector<std::string> lines;
    try {
        lines = sim::capture::read_capture_lines(in);
    } catch (const sim::MachineFileError& e) {
        std::fprintf(stderr, "qb40sim-capture: %s: %s: %s\n", path.c_str(), e.field().c_str(), e.what());
        std::exit(2);
    }
    if (std::none_of(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty(); })) {
        std::fprintf(stderr, "qb40sim-capture: %s is empty\n", path.c_str());
        std::exit(2);
    }
    return lines;
}

// The first line of a password file, without its line end.
std::string first_line_of(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || (!std::getline(in, line) && !in.eof())) {
        std::fprintf(stderr, "qb40sim-capture: cannot read %s\n", path.c_str());
        std::exit(2);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

int diff(int argc, char** argv)
{
    std::vector<std::string> files;
    sim::capture::DiffOptions options;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--times")
            options.times = true;
        else if (a == "--ignore-ports")
            options.ignore_ports = true;
        else if (a.starts_with("-"))
            usage("unknown argument " + a);
        else
            files.push_back(a);
    }
    if (files.size() != 2)
        usage("diff compares two captures");
    std::vector<std::string> a = read_lines(files[0]), b = read_lines(files[1]);
    sim::capture::CaptureDiff d;
    try {
        d = sim::capture::diff_captures(a, b, options);
    } catch (const sim::MachineFileError& e) {
        // "B line 254": the file B is, and the line.
        bool second = e.field().starts_with("B ");
        std::fprintf(stderr, "qb40sim-capture: %s: %s: %s\n", files[second ? 1 : 0].c_str(), e.field().substr(2).c_str(),
                     e.what());
        return 2;
    }
    if (d.differences == 0)
        return 0;
    std::printf("A: %s\nB: %s\n%s%zu difference%s\n", files[0].c_str(), files[1].c_str(), d.text.c_str(),
                d.differences, d.differences == 1 ? "" : "s");
    return 1;
}

int run(int argc, char** argv)
{
    if (argc >= 2 && std::string(argv[1]) == "diff")
        return diff(argc, argv);
    if (argc < 3)
        usage("a command and a capture are needed");
    std::string command = argv[1], capture = argv[2];
    std::optional<std::string> image, lan_password;
    bool exact = false;
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--image" && i + 1 < argc)
            image = argv[++i];
        else if (a == "--exact" && command == "model")
            exact = true;
        else if (a == "--lan-password-file" && i + 1 < argc)
            lan_password = first_line_of(argv[++i]);
        else
            usage("unknown argument " + a);
    }
    try {
        if (command == "replay") {
            std::cout << sim::capture::replay_machine(read_lines(capture), image, lan_password).dump(1) << '\n';
            return 0;
        }
        if (command == "model") {
            sim::capture::Model m = sim::capture::model_machine(read_lines(capture), image, lan_password);
            std::cout << m.machine.dump(1) << '\n';
            for (const std::string& note : m.notes)
                std::fprintf(stderr, "qb40sim-capture: model: %s\n", note.c_str());
            return exact && !m.exact() ? 1 : 0;
        }
    } catch (const sim::MachineFileError& e) {
        std::fprintf(stderr, "qb40sim-capture: %s: %s: %s\n", capture.c_str(), e.field().c_str(), e.what());
        return 2;
    } catch (const nlohmann::json::exception& e) {
        std::fprintf(stderr, "qb40sim-capture: %s: %s\n", capture.c_str(), e.what());
        return 2;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "qb40sim-capture: %s: out of memory: the capture is larger than this process may hold\n",
                     capture.c_str());
        return 2;
    }
    usage("unknown command " + command);
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        // A capture too large for the memory this process may have: said, never a crash.
        std::fprintf(stderr, "qb40sim-capture: out of memory\n");
        return 2;
    }
}
