// SPDX-License-Identifier: MIT
#include "run.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/basics/whole_file.h"

extern char** environ;

namespace campaign {

namespace fs = std::filesystem;
using sim::write_file;

namespace {

// Nullopt when `p` is no regular file: a report name may name a directory.
std::optional<std::string> read_file(const fs::path& p)
{
    std::error_code ec;
    if (!fs::is_regular_file(p, ec))
        return std::nullopt;
    std::ifstream in(p, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The environment of the tool: ours, with the simulator's two variables and
// sanitizer settings that make a report end the run with a status of its own.
std::vector<std::string> tool_environment(const fs::path& dir)
{
    static const char* const kOurs[] = {"QB40SIM_MACHINE=", "QB40SIM_TRACE=", "ASAN_OPTIONS=", "UBSAN_OPTIONS="};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const char* ours : kOurs)
            replaced |= std::strncmp(*e, ours, std::strlen(ours)) == 0;
        if (!replaced)
            env.emplace_back(*e);
    }
    env.push_back("QB40SIM_MACHINE=" + (dir / "machine.json").string());
    env.push_back("QB40SIM_TRACE=" + (dir / "trace.txt").string());
    env.push_back("ASAN_OPTIONS=detect_leaks=1:exitcode=86");
    env.push_back("UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=86");
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> p;
    for (std::string& s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

// Waits for the child at most `bound`; kills it when the bound is reached.
bool wait_bounded(pid_t pid, std::chrono::milliseconds bound, int& wstatus)
{
    bool timed_out = false;
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int ready;
        do
            ready = poll(&p, 1, static_cast<int>(bound.count()));
        while (ready < 0 && errno == EINTR);
        close(pidfd);
        if (ready == 0) {
            kill(pid, SIGKILL);
            timed_out = true;
        }
    }
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    return timed_out;
}

}  // namespace

RunDir::RunDir(fs::path dir, const Scenario& scenario)
    : dir_(std::move(dir)),
      args_(scenario.args),
      report_file_(scenario.report_file()),
      capture_file_(scenario.capture_file()),
      metrics_file_(scenario.metrics_file()),
      closed_(scenario.closed_descriptors)
{
    for (const std::string& name : scenario.input_files())
        if (scenario.files.count(name))
            inputs_.push_back(name);
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "work");
    for (const std::string& d : scenario.directories)
        fs::create_directories(dir_ / "work" / d);
    for (const auto& [name, bytes] : scenario.files) {
        write_file(dir_ / "work" / name, bytes);
        // A secret's file, as its owner keeps it: the tool refuses one that others can read.
        if (name.ends_with(".pw"))
            fs::permissions(dir_ / "work" / name, fs::perms::owner_read | fs::perms::owner_write);
    }
    write_file(dir_ / "machine.json", scenario.machine.dump(2) + "\n");
    write_file(dir_ / "scenario.json", to_json(scenario).dump() + "\n");
    write_file(dir_ / "command.txt", "seed " + std::to_string(scenario.seed) +
                                         "\ncd work && QB40SIM_MACHINE=../machine.json QB40SIM_TRACE=../trace.txt " +
                                         scenario.command_line() + "\n");
}

RunDir::~RunDir()
{
    std::error_code ec;
    if (!dir_.empty())
        fs::remove_all(dir_, ec);
}

RunOutput RunDir::run(const fs::path& tool, std::chrono::milliseconds bound) const
{
    std::vector<std::string> argv_strings = {tool.string()};
    argv_strings.insert(argv_strings.end(), args_.begin(), args_.end());
    std::vector<std::string> env_strings = tool_environment(dir_);
    std::vector<char*> argv = pointers(argv_strings), envp = pointers(env_strings);
    std::string out = (dir_ / "stdout.txt").string(), err = (dir_ / "stderr.txt").string(),
                work = (dir_ / "work").string();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // A descriptor the scenario closes is not opened: the tool starts without it.
    const std::pair<int, std::pair<const char*, int>> standard[] = {
        {0, {"/dev/null", O_RDONLY}}, {1, {out.c_str(), O_WRONLY | O_CREAT | O_TRUNC}}, {2, {err.c_str(), O_WRONLY | O_CREAT | O_TRUNC}}};
    for (const auto& [fd, file] : standard) {
        if (closed_.count(fd))
            posix_spawn_file_actions_addclose(&actions, fd);
        else
            posix_spawn_file_actions_addopen(&actions, fd, file.first, file.second, 0644);
    }
    posix_spawn_file_actions_addchdir_np(&actions, work.c_str());

    auto start = std::chrono::steady_clock::now();
    pid_t pid;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + tool.string() + ": " + std::strerror(spawned));

    int wstatus = 0;
    RunOutput r;
    r.timed_out = wait_bounded(pid, bound, wstatus);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(wstatus))
        r.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus))
        r.signal = WTERMSIG(wstatus);
    r.console = read_file(out).value_or("");
    r.errors = read_file(err).value_or("");
    r.trace = read_file(dir_ / "trace.txt").value_or("");
    r.log = read_file(dir_ / "work" / "log.txt");
    r.logprev = read_file(dir_ / "work" / "logprev.txt");
    if (report_file_)
        r.report = read_file(dir_ / "work" / *report_file_);
    if (capture_file_)
        r.capture = read_file(dir_ / "work" / *capture_file_);
    if (metrics_file_)
        r.metrics = read_file(dir_ / "work" / *metrics_file_);
    for (const std::string& name : inputs_)
        r.inputs[name] = read_file(dir_ / "work" / name);
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir_ / "work", ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::string name = fs::relative(it->path(), dir_ / "work", ec).string();
        if (it->is_symlink(ec))
            r.links.insert(name);
        else if (it->is_regular_file(ec))
            r.modes[name] = static_cast<unsigned>(it->status(ec).permissions());
    }
    return r;
}

void RunDir::keep(const fs::path& destination)
{
    fs::remove_all(destination);
    fs::create_directories(destination.parent_path());
    std::error_code ec;
    fs::rename(dir_, destination, ec);
    if (ec) {  // another file system
        fs::copy(dir_, destination, fs::copy_options::recursive);
        fs::remove_all(dir_);
    }
    dir_.clear();
}

}  // namespace campaign
