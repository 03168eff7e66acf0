// SPDX-License-Identifier: MIT
// The image: the file name check while the command line is parsed, and the
// loading with its size rules and errors. What loads must be the file's
// bytes; what is refused must break a rule.
//
// Input: a flags byte (bit 0: -q; bit 1: the name as a bare first argument
// instead of after -f; bit 2: a directory under the name instead of a file),
// the file name up to a NUL byte, then the file's contents. The file is
// written only for a plain name in the working directory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "answers.h"
#include "common/chip_table.h"
#include "common/settings.h"
#include "fuzz_machine.h"
#include "logfile/logfile.h"
#include "main/image.h"
#include "main/options.h"
#include "tool_run.h"

namespace {

bool plain_name(const std::string& name)
{
    return !name.empty() && name.size() < sizeof BinFilename && name != "." && name != ".." &&
           name.find('/') == std::string::npos;
}

[[noreturn]] void finding(const char* what)
{
    std::fprintf(stderr, "image loading: %s\n", what);
    std::abort();
}

// What the tool did with a regular file it was given by this name.
void check_loading(int status, const std::string& contents)
{
    const size_t expected = std::min<size_t>(contents.size(), FIRMWARE_IMAGE_SIZE);
    const bool small_flash = !std::strncmp(ImageFileName, "4073", 4) || !std::strncmp(ImageFileName, "4076", 4);
    if (status == 0) {
        if (FileImageSize != expected || std::memcmp(FirmwareImage, contents.data(), expected) != 0)
            finding("the image loaded is not the file's bytes");
    } else if (!(status == 1 && small_flash && expected > 0x1DFF)) {
        finding("a loadable image was refused");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qbfuzz::use_scratch_directory("qb40fuzz-image", argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t flags = data[0];
    const char* text = reinterpret_cast<const char*>(data + 1);
    const size_t name_length = strnlen(text, size - 1);
    const std::string name(text, name_length);
    const std::string contents = name_length < size - 1 ? std::string(text + name_length + 1, size - 2 - name_length)
                                                        : std::string();
    const bool directory = flags & 4;
    const bool planted = plain_name(name);
    const std::filesystem::path file = qbfuzz::scratch_directory() / name;
    if (planted && directory)
        std::filesystem::create_directory(file);
    else if (planted)
        std::ofstream(file, std::ios::binary) << contents;

    std::vector<std::string> args;
    if (flags & 1)
        args.push_back("-q");
    if (!(flags & 2))
        args.push_back("-f");
    args.push_back(name);
    std::vector<char*> argv = {const_cast<char*>("qb40tool")};
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    qbfuzz::Answers nothing;
    qbfuzz::start_machine({}, nothing);
    bool loaded_this_file = false;
    int status = qbfuzz::run_tool([&] {
        ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data());
        if (!CMDL_FilenameSpecified)
            return 0;
        loaded_this_file = planted && name == BinFilename;
        StartLogFile("log.txt");
        return LoadFirmwareImage();
    });
    if (status != 0 && status != 1 && status != 5)
        finding("an exit status loading does not give");
    if (loaded_this_file && directory && status != 1)
        finding("a directory was taken for an image");
    if (loaded_this_file && !directory)
        check_loading(status, contents);

    std::error_code ec;
    if (planted)
        std::filesystem::remove_all(file, ec);
    return 0;
}
