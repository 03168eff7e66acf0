// SPDX-License-Identifier: MIT
// The BMC over the network (--lan): the session's set-up (Get Channel
// Authentication Capabilities, Get Channel Cipher Suites page by page, the
// presence ping, Open Session, RAKP 1 to 4, Set Session Privilege Level),
// every request inside the protected session with its sequence window, the
// session opened anew and Close Session, under every mode of the tool
// (whole_run.h). Each datagram that comes in is any bytes, or the BMC's
// well-formed answer with fields from the input (lan_bmc.h), so that every
// step is reached. The password and K_G never appear in what the tool writes.
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

#include "lan_bmc.h"
#include "tool_run.h"
#include "whole_run.h"

namespace {

const qbfuzz::WholeRun& lan_run()
{
    static const qbfuzz::WholeRun run{
        .shape = {.driver_nodes = true},
        .fixed_args = {"--lan", "bmc.fuzz", "--lan-user", "fuzzer"},
        .options =
            {
                {.words = {"--lan-cipher", "3"}},
                {.words = {"--lan-cipher", "17"}},
                {.words = {"--lan-privilege", "operator"}},
                {.words = {"--lan-kg-file", "secrets/kg"}, .needs = &qbfuzz::MachineShape::lan_kg},
                {.words = {"--lan", "[::1]:6230"}},  // a second BMC
                {.words = {"--lan-retries", "1"}},
                {.words = {"--lan-timeout", "10"}},
                // Else the password is IPMI_PASSWORD's.
                {.words = {"--lan-password-file", "secrets/pw"}},
                // What the run leaves behind, searched for the secrets too.
                {.words = {"--capture", "capture.txt"}},
                {.words = {"--metrics", "metrics.prom"}},
            },
        .secrets = {std::string(qbfuzz::kLanPassword), std::string(qbfuzz::kLanKg)},
    };
    return run;
}

// A secret's file, as the tool takes one: a regular file only its owner reads.
void write_secret(const char* name, std::string_view secret)
{
    const auto path = qbfuzz::scratch_directory() / "secrets" / name;
    std::ofstream(path) << secret << '\n';
    chmod(path.c_str(), 0600);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qbfuzz::prepare_whole_runs("qb40fuzz-lan", argc, argv);
    std::filesystem::create_directory(qbfuzz::scratch_directory() / "secrets");
    write_secret("pw", qbfuzz::kLanPassword);
    write_secret("kg", qbfuzz::kLanKg);
    setenv("IPMI_PASSWORD", std::string(qbfuzz::kLanPassword).c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    qbfuzz::fuzz_whole_run(data, size, lan_run());
    return 0;
}
