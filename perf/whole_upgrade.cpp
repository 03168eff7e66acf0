// SPDX-License-Identifier: MIT
// Whole-run timing of a firmware upgrade: qb40tool-sim upgrades one QB4077
// with a full 20480-byte image (the 0x3E00-byte limit: 2 x 15,872 byte
// commands) on a BMC with no latency, scans before and after included. The
// figure is the CPU time of the child process (user + system), so neither
// the virtual waits nor the machine's load count.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr int kImageSize = 20480;
constexpr int kByteCommands = 2 * 0x3E00;

const char kMachine[] = R"({"bmcs": [{"node": "/dev/ipmi0", "latency_us": 0, "buses": {"0x01": {"devices": [
    {"type": "qb40xx", "address": "0xC0", "chip_id": 77, "firmware": [1, 0, 0]}]}}}]})";

class UpgradeDir {
public:
    UpgradeDir()
    {
        std::string templ = (fs::temp_directory_path() / "qb40perf.XXXXXX").string();
        if (!mkdtemp(templ.data()))
            throw std::runtime_error("mkdtemp failed");
        dir_ = templ;
        std::ofstream(dir_ / "machine.json") << kMachine;
        std::ofstream image(dir_ / "fw_4077.bin", std::ios::binary);
        for (int n = 0; n < kImageSize; n++)
            image.put(static_cast<char>(n * 13 + 7));  // its version bytes differ from 1.0.0
    }
    ~UpgradeDir()
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    UpgradeDir(const UpgradeDir&) = delete;
    UpgradeDir& operator=(const UpgradeDir&) = delete;

    // Runs one upgrade; returns the child's CPU seconds.
    double run() const
    {
        pid_t pid = fork();
        if (pid < 0)
            throw std::runtime_error("fork failed");
        if (pid == 0) {
            if (chdir(dir_.c_str()) != 0)
                _exit(120);
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            setenv("QB40SIM_MACHINE", "machine.json", 1);
            unsetenv("QB40SIM_TRACE");
            execl(QB40TOOL_SIM, QB40TOOL_SIM, "-u", "-f", "fw_4077.bin", static_cast<char*>(nullptr));
            _exit(122);
        }
        int status = 0;
        struct rusage usage {};
        wait4(pid, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            throw std::runtime_error("the upgrade did not succeed (status " + std::to_string(status) + ")");
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }

    // The upgrade wrote the whole limit in both phases.
    bool wrote_full_limit() const
    {
        std::ifstream log(dir_ / "log.txt");
        std::string line;
        int ends = 0;
        while (std::getline(log, line))
            ends += line == "End of write image at: 0x3DFF" || line == "End of verify image at: 0x3DFF";
        return ends == 2;
    }

private:
    fs::path dir_;
};

void WholeUpgradeOfOneQB4077(benchmark::State& state)
{
    UpgradeDir dir;
    double total = 0;
    for (auto _ : state) {
        double cpu = dir.run();
        state.SetIterationTime(cpu);
        total += cpu;
    }
    if (!dir.wrote_full_limit())
        state.SkipWithError("the log does not show both phases ending at 0x3DFF");
    state.counters["byte_commands"] = kByteCommands;
    state.counters["cpu_us_per_byte_command"] =
        benchmark::Counter(total * 1e6 / kByteCommands, benchmark::Counter::kAvgIterations);
}
BENCHMARK(WholeUpgradeOfOneQB4077)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
