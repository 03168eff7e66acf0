// SPDX-License-Identifier: MIT
#include "lan_processes.h"

#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "in_process.h"
#include "programs.h"

namespace qbtest {

namespace fs = std::filesystem;

namespace {

int status_of(int wstatus) { return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus); }

[[noreturn]] void exec_args(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Starts `args` with its standard output into a pipe and standard error into
// `err`; reads the first line the program writes (the port it listens on).
pid_t start_listener(const std::vector<std::string>& args, const fs::path& err, uint16_t* port)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int n = open("/dev/null", O_RDONLY);
        dup2(e, 2), dup2(n, 0);
        close(pipe_fds[0]);
        exec_args(args);
    }
    close(pipe_fds[1]);
    std::string line;
    char c;
    while (read(pipe_fds[0], &c, 1) == 1 && c != '\n')
        line += c;
    close(pipe_fds[0]);
    if (line.empty() || line.find_first_not_of("0123456789") != std::string::npos) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        throw std::runtime_error(args[0] + " did not start: " + read_file(err));
    }
    *port = static_cast<uint16_t>(std::stoul(line));
    return pid;
}

int stop_process(pid_t* pid)
{
    int wstatus = 0;
    if (*pid > 0) {
        kill(*pid, SIGTERM);
        waitpid(*pid, &wstatus, 0);
        *pid = -1;
    }
    return status_of(wstatus);
}

}  // namespace

Started::Started(const fs::path& dir, const std::vector<std::string>& args) : dir_(dir)
{
    pid_ = fork();
    if (pid_ == 0) {
        int o = open((dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open((dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int n = open("/dev/null", O_RDONLY);
        dup2(n, 0), dup2(o, 1), dup2(e, 2);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        exec_args(args);
    }
}

Started::~Started()
{
    if (pid_ > 0)
        stop_process(&pid_);
}

Ran Started::finish()
{
    int wstatus = 0;
    waitpid(pid_, &wstatus, 0);
    pid_ = -1;
    return {status_of(wstatus), read_file(dir_ / "out.txt"), read_file(dir_ / "err.txt")};
}

Ran run_program(const fs::path& dir, const std::vector<std::string>& args) { return Started(dir, args).finish(); }

BmcServer::BmcServer(const fs::path& machine_file, int bmc, const fs::path& trace) : trace_(trace)
{
    pid_ = start_listener({kBmcServer, machine_file.string(), "--bmc", std::to_string(bmc), "--road", "lan",
                           "--listen", "127.0.0.1:0", "--trace", trace.string()},
                          fs::path(trace).replace_extension(".err"), &port_);
}

BmcServer::~BmcServer() { stop_process(&pid_); }

std::string BmcServer::stop()
{
    if (pid_ > 0)
        exit_status_ = stop_process(&pid_);
    return read_file(trace_);
}

UdpRelay::UdpRelay(uint16_t to, const fs::path& log, const std::vector<std::string>& options) : log_(log)
{
    std::vector<std::string> args{kUdpRelay, "--to", std::to_string(to), "--port-file", "-", "--log", log.string(),
                                  "--seconds", "600"};
    args.insert(args.end(), options.begin(), options.end());
    pid_ = start_listener(args, fs::path(log).replace_extension(".err"), &port_);
}

UdpRelay::~UdpRelay() { stop_process(&pid_); }

std::string UdpRelay::stop()
{
    stop_process(&pid_);
    return read_file(log_);
}

}  // namespace qbtest
