// SPDX-License-Identifier: MIT
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

fs::path fresh_temp_dir(const std::string& prefix)
{
    std::string templ = (fs::temp_directory_path() / (prefix + ".XXXXXX")).string();
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    return templ;
}

std::string read_file(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

ScopedWorkDir::ScopedWorkDir() : previous_(fs::current_path()), dir_(fresh_temp_dir("qb40unit"))
{
    fs::current_path(dir_);
}

ScopedWorkDir::~ScopedWorkDir()
{
    std::error_code ec;
    fs::current_path(previous_, ec);
    fs::remove_all(dir_, ec);
}

CapturedStdout::CapturedStdout() : file_(fresh_temp_dir("qb40out") / "stdout")
{
    int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot capture standard output");
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
    fs::remove_all(file_.parent_path(), ec);
}

std::string CapturedStdout::text() const
{
    std::fflush(stdout);
    return read_file(file_);
}

}  // namespace qbtest
