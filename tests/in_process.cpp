#include "in_process.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace qbtest {

namespace fs = std::filesystem;

namespace {

fs::path make_temp_dir()
{
    std::string templ = (fs::temp_directory_path() / "qb40unit.XXXXXX").string();
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    return templ;
}

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    if (!in)
        return "";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

ScopedWorkDir::ScopedWorkDir() : previous_(fs::current_path()), dir_(make_temp_dir())
{
    fs::current_path(dir_);
}

ScopedWorkDir::~ScopedWorkDir()
{
    std::error_code ec;
    fs::current_path(previous_, ec);
    fs::remove_all(dir_, ec);
}

std::string ScopedWorkDir::read(const std::string& name) const { return slurp(dir_ / name); }
bool ScopedWorkDir::exists(const std::string& name) const { return fs::exists(dir_ / name); }

CapturedStdout::CapturedStdout()
{
    std::string templ = (fs::temp_directory_path() / "qb40out.XXXXXX").string();
    int fd = mkstemp(templ.data());
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    file_ = templ;
    std::fflush(stdout);
    saved_fd_ = dup(1);
    dup2(fd, 1);
    ::close(fd);
}

CapturedStdout::~CapturedStdout()
{
    std::fflush(stdout);
    dup2(saved_fd_, 1);
    ::close(saved_fd_);
    std::error_code ec;
    fs::remove(file_, ec);
}

std::string CapturedStdout::text() const
{
    std::fflush(stdout);
    return slurp(file_);
}

}  // namespace qbtest
