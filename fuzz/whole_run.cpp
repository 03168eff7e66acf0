// SPDX-License-Identifier: MIT
#include "whole_run.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "answers.h"
#include "common/chip_table.h"
#include "tool_run.h"

namespace qbfuzz {

namespace {

// Options that keep a run short: -c2 rather than 100000 cycles, and bus
// ranges that shorten the scan.
constexpr const char* kOptions[16] = {"-i",  "-vl", "-d",   "-z",   "-vpd", "-vpda208", "-b11", "-sc12",
                                      "-mae6", "-ms", "-mc23", "-a", "-cd1", "-c2",      "-u",   "-q"};

struct Image {
    const char* name;
    size_t size;
};
// Small images, so that a flash takes few answers; the 4084 one is shorter
// than its version bytes.
constexpr Image kImages[] = {{"fw_4077.bin", 600}, {"fw_4083.bin", 600}, {"fw_4073.bin", 200}, {"fw_4084.bin", 20}};

std::string image_bytes(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t n = 0; n < size; n++)
        bytes[n] = static_cast<char>(n * 13 + 7);
    if (size >= IMAGE_VERSION_OFFSET + 3)
        bytes[IMAGE_VERSION_OFFSET] = 1, bytes[IMAGE_VERSION_OFFSET + 1] = 2, bytes[IMAGE_VERSION_OFFSET + 2] = 0;
    return bytes;
}

}  // namespace

void prepare_whole_runs(const char* name, int* argc, char*** argv)
{
    use_scratch_directory(name, argc, argv);
    for (const Image& image : kImages)
        std::ofstream(scratch_directory() / image.name, std::ios::binary) << image_bytes(image.size);
}

void fuzz_whole_run(const uint8_t* data, size_t size, const WholeRun& run)
{
    Answers answers;
    answers.reset({data, size});
    const unsigned options = answers.byte(0) | answers.byte(0) << 8;
    const uint8_t choice = answers.byte(0);
    const uint8_t image = (choice & 7) % (std::size(kImages) + 1);
    unsigned harness_options = run.options.empty() ? 0 : answers.byte(0);
    if (run.options.size() > 8)
        harness_options |= answers.byte(0) << 8;

    std::vector<std::string> args;
    for (unsigned bit = 0; bit < 16; bit++)
        if (options & (1u << bit))
            args.push_back(kOptions[bit]);
    if (image > 0)
        args.insert(args.end(), {"-f", kImages[image - 1].name});
    if (choice & 0x40)
        args.push_back("--strict");
    if (choice & 0x80)
        args.insert(args.end(), {"--report", "report.json"});
    MachineShape shape = run.shape;
    for (size_t bit = 0; bit < run.options.size() && bit < 16; bit++) {
        if (!(harness_options & (1u << bit)))
            continue;
        const HarnessOption& option = run.options[bit];
        args.insert(args.end(), option.words.begin(), option.words.end());
        if (option.needs)
            shape.*option.needs = true;
    }
    args.insert(args.end(), run.fixed_args.begin(), run.fixed_args.end());

    start_machine(shape, answers);
    if (run.secrets.empty()) {
        expect_tool_status(run_main(args));
        return;
    }
    std::string console;
    expect_tool_status(run_main(args, &console));
    for (const std::string& secret : run.secrets) {
        expect_absent(secret, console, "its console");
        for (const auto& entry : std::filesystem::directory_iterator(scratch_directory())) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream file(entry.path(), std::ios::binary);
            const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            expect_absent(secret, text, entry.path().filename().c_str());
        }
    }
    std::fwrite(console.data(), 1, console.size(), stdout);  // as a run that was not watched shows it
    std::fflush(stdout);
}

void fuzz_whole_run(const uint8_t* data, size_t size, MachineShape shape, std::initializer_list<const char*> fixed_args)
{
    fuzz_whole_run(data, size, WholeRun{.shape = shape, .fixed_args = {fixed_args.begin(), fixed_args.end()}});
}

}  // namespace qbfuzz
