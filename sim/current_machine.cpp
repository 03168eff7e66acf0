// SPDX-License-Identifier: MIT
#include "current_machine.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "machine_file/machine_file.h"
#include "panel/panel.h"

namespace sim {

namespace {

std::unique_ptr<Machine>& current()
{
    static std::unique_ptr<Machine> m;
    return m;
}

Seam*& current_seam()
{
    static Seam* s = nullptr;
    return s;
}

void make_current(std::unique_ptr<Machine> m)
{
    current_seam() = m && m->replay ? m->replay.get() : m.get();
    current() = std::move(m);
}

// The simulator's own files (the trace, the panel) must not take the place
// of a standard descriptor the program was started without: while they are
// opened, /dev/null holds each closed one, and is taken away again after,
// so the tool finds the descriptors as the program was given them.
class StandardDescriptorsHeld {
public:
    StandardDescriptorsHeld()
    {
        for (int fd = 0; fd <= 2; ++fd) {
            if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF && ::open("/dev/null", O_RDWR) == fd)
                held_[fd] = true;
        }
    }
    ~StandardDescriptorsHeld()
    {
        for (int fd = 0; fd <= 2; ++fd)
            if (held_[fd])
                ::close(fd);
    }
    StandardDescriptorsHeld(const StandardDescriptorsHeld&) = delete;
    StandardDescriptorsHeld& operator=(const StandardDescriptorsHeld&) = delete;

private:
    bool held_[3] = {};
};

// The machine named by QB40SIM_MACHINE (or the built-in default machine),
// with the trace file of QB40SIM_TRACE and the panel of QB40SIM_PANEL.
std::unique_ptr<Machine> load_from_environment()
{
    StandardDescriptorsHeld held;
    const char* path = std::getenv("QB40SIM_MACHINE");
    std::string name = path && *path ? path : "(built-in default machine)";
    std::string text = kDefaultMachineJson;
    if (path && *path) {
        std::ifstream in(path);
        if (!in) {
            std::fprintf(stderr, "qb40tool-sim: cannot read machine file %s\n", path);
            std::exit(2);
        }
        std::ostringstream s;
        s << in.rdbuf();
        text = s.str();
    }
    std::unique_ptr<Machine> m;
    try {
        m = load_machine_json(text);
    } catch (const MachineFileError& e) {
        std::fprintf(stderr, "qb40tool-sim: machine file %s: field %s: %s\n", name.c_str(), e.field().c_str(),
                     e.what());
        std::exit(2);
    }
    if (m->replay)
        std::atexit([] { seam().finish(); });
    if (m->umask)
        ::umask(*m->umask);
    const char* trace = std::getenv("QB40SIM_TRACE");
    if (trace && *trace && !m->trace.open(trace)) {
        std::fprintf(stderr, "qb40tool-sim: cannot create trace file %s\n", trace);
        std::exit(2);
    }
    const char* panel = std::getenv("QB40SIM_PANEL");
    if (panel && *panel) {
        std::unique_ptr<Panel> p = Panel::open(panel, *m);
        if (!p) {
            std::fprintf(stderr, "qb40tool-sim: cannot open panel %s\n", panel);
            std::exit(2);
        }
        m->watch(std::move(p));
    }
    return m;
}

}  // namespace

Machine& machine()
{
    if (!current())
        make_current(load_from_environment());
    return *current();
}

void install(std::unique_ptr<Machine> m)
{
    make_current(std::move(m));
}

Seam& seam()
{
    if (!current())
        make_current(load_from_environment());
    return *current_seam();
}

}  // namespace sim
