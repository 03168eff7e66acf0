#include "sim_run.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace qbtest {

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    if (!in)
        return "";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const fs::path& p, const std::string& bytes)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out)
        throw std::runtime_error("cannot write " + p.string());
}

}  // namespace

SimDir::SimDir()
{
    std::string templ = (fs::temp_directory_path() / "qb40test.XXXXXX").string();
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    dir_ = templ;
}

SimDir::~SimDir()
{
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void SimDir::write(const std::string& name, const std::string& bytes) const { spit(dir_ / name, bytes); }
bool SimDir::exists(const std::string& name) const { return fs::exists(dir_ / name); }
std::string SimDir::read(const std::string& name) const { return slurp(dir_ / name); }

RunResult SimDir::run(const std::vector<std::string>& args) const
{
    // Harness files live beside the working directory so that they never
    // show up among the files the tool itself writes.
    fs::path aux = dir_.string() + ".run";
    fs::create_directories(aux);
    fs::path machine = aux / "machine.json", trace = aux / "trace.txt", in = aux / "stdin",
             out = aux / "stdout", err = aux / "stderr";
    if (!machine_.empty())
        spit(machine, machine_);
    spit(in, input_);
    fs::remove(trace);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (chdir(dir_.c_str()) != 0)
            _exit(120);
        int i = open(has_input_ ? in.c_str() : "/dev/null", O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (i < 0 || o < 0 || e < 0)
            _exit(121);
        dup2(i, 0);
        dup2(o, 1);
        dup2(e, 2);
        if (machine_.empty())
            unsetenv("QB40SIM_MACHINE");
        else
            setenv("QB40SIM_MACHINE", machine.c_str(), 1);
        setenv("QB40SIM_TRACE", trace.c_str(), 1);
        std::vector<char*> argv;
        std::string program = QB40TOOL_SIM;
        argv.push_back(program.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(122);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    RunResult r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.console = slurp(out);
    r.errors = slurp(err);
    r.trace = slurp(trace);
    fs::remove_all(aux);
    return r;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            out.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        out.push_back(line);
    return out;
}

std::vector<std::string> trace_events(const std::string& trace)
{
    std::vector<std::string> out;
    for (const std::string& line : lines(trace)) {
        size_t blank = line.find(' ');
        out.push_back(blank == std::string::npos ? line : line.substr(blank + 1));
    }
    return out;
}

std::string ctime_text(long epoch_seconds)
{
    time_t t = static_cast<time_t>(epoch_seconds);
    std::string text = std::ctime(&t);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

std::vector<std::string> lines_from(const std::string& text, const std::string& first)
{
    auto all = lines(text);
    auto at = std::find(all.begin(), all.end(), first);
    return std::vector<std::string>(at, all.end());
}

std::string missing_in_order(const std::vector<std::string>& actual, const std::vector<std::string>& expected)
{
    auto at = actual.begin();
    for (const std::string& want : expected) {
        at = std::find(at, actual.end(), want);
        if (at == actual.end())
            return "missing (in this order): \"" + want + "\"";
        ++at;
    }
    return "";
}

std::string machine_file(const std::string& name)
{
    std::string text = slurp(fs::path(QB40_SOURCE_DIR) / "sim" / "machines" / name);
    if (text.empty())
        throw std::runtime_error("no machine file " + name);
    return text;
}

}  // namespace qbtest
