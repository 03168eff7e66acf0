// SPDX-License-Identifier: MIT
// The whole simulated machine: its clock, trace and operator, the IPMI
// driver's state, I/O privilege, and the BMCs with their front ends. It is
// one implementation of the seam (seam.h), one member per call.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <signal.h>
#include <string>
#include <sys/select.h>
#include <sys/time.h>
#include <termios.h>
#include <vector>

#include "../bmc/bmc.h"
#include "../basics/clock.h"
#include "../bmc/driver_node.h"
#include "file_faults.h"
#include "keyboard.h"
#include "../bmc/kcs_port.h"
#include "../bmc/lan/lan_bmc.h"
#include "lan_network.h"
#include "../seam.h"
#include "signal_schedule.h"
#include "../basics/trace.h"

namespace sim {

// Who watches the machine while the tool runs (the live panel, panel.h):
// told when the tool pauses and when it waits for a key, so that it shows
// the backplanes at the moments a person would look at them.
class Onlooker {
public:
    virtual ~Onlooker() = default;
    // The tool sleeps or looks whether a key is waiting.
    virtual void pause() = 0;
    // The tool waits for a key.
    virtual void key_wait() = 0;
};

enum class DriverState {
    Loaded,    // the modules are loaded: the BMCs' device nodes exist
    Loadable,  // the three modprobe commands load them
    Absent,    // the modules are not installed: modprobe fails
};

// The port pairs at which the tool looks for a KCS interface.
struct KcsPortPair {
    uint16_t data;
    uint16_t status;
};
inline constexpr KcsPortPair kKcsPortPairs[3] = {{0x0CA2, 0x0CA3}, {0x0CA8, 0x0CAC}, {0x0CB0, 0x0CB4}};

class Machine : public Seam {
public:
    struct Bmc {
        std::string node;  // "/dev/ipmiN" or "/dev/ipmidev/0"; empty: no node
        int kcs_pair = -1;  // index into kKcsPortPairs; -1: no KCS interface
        std::unique_ptr<BmcCore> core;
        std::unique_ptr<DriverNode> driver_node;
        std::unique_ptr<KcsPort> kcs;
        std::unique_ptr<lan::LanBmc> lan;  // its LAN interface, if it has one
    };

    Machine(int64_t start_epoch_us, bool real_time);
    ~Machine() override;

    VirtualClock clock;
    Trace trace;
    Keyboard keyboard;
    // Signals sent to the tool at virtual times: each one is delivered during
    // the call of the seam in which the clock reaches its time.
    SignalSchedule signals;
    Context context() { return Context{clock, trace}; }
    // File-system errors on the files the tool writes.
    FileFaults files{context()};
    // The management network: the tool's UDP sockets and the LAN BMCs.
    LanNetwork network{context()};
    // The tool's random numbers (getrandom): seeded, so that a run repeats.
    std::mt19937_64 random{1};
    // The file-creation mask the program starts with (the real one when unset).
    std::optional<mode_t> umask;

    // Who the machine is: its host name, DMI product serial and machine id
    // (an unset one cannot be read, as the serial cannot by anyone but root).
    struct Host {
        std::string name = "qb40sim";
        std::optional<std::string> product_serial = "QB40SIM-0001";
        std::optional<std::string> machine_id = "51b40c0ffee0000000000000000b4c40";
    };
    Host host;

    DriverState driver = DriverState::Loaded;
    bool iopl_allowed = true;
    uint32_t port_access_ns = 1000;  // virtual cost of one port access
    std::vector<Bmc> bmcs;
    // Device nodes that disappear after they have been opened this many
    // times (a BMC that drops off between the count and its pass).
    std::map<std::string, unsigned> vanishing_nodes;
    // A replay machine's capture (replay.h): it answers the seam instead of
    // this machine, which keeps the clock, the files and the signal handlers.
    std::unique_ptr<Seam> replay;

    // Descriptors of device nodes that are open now.
    size_t open_descriptors() const { return open_nodes_.size(); }

    // From now on `onlooker` (the live panel) watches the machine.
    void watch(std::unique_ptr<Onlooker> onlooker) { panel_ = std::move(onlooker); }

    // Adds a BMC; its front ends are made from `node` and `kcs_pair`.
    void add_bmc(std::string node, int kcs_pair, std::unique_ptr<BmcCore> core);
    // Gives the last BMC added a LAN interface on the network.
    void add_lan(lan::LanConfig config);

    // The calls of the seam.
    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout) override;
    int iopl(int level) override;
    uint8_t inb(uint16_t port) override;
    void outb(uint8_t value, uint16_t port) override;
    int nanosleep(const struct timespec* req, struct timespec* rem) override;
    int gettimeofday(struct timeval* tv) override;
    time_t time(time_t* t) override;
    int clock_gettime(clockid_t clock, struct timespec* ts) override;
    int system(const char* command) override;
    int tcgetattr(int fd, struct termios* attr) override;
    int tcsetattr(int fd, int optional_actions, const struct termios* attr) override;
    int getchar() override;
    int fflush_stdin() override;
    int sigaction(int sig, const struct sigaction* act, struct sigaction* old) override;
    int raise(int sig) override;
    int gethostname(char* name, size_t len) override;
    ssize_t read_system_file(const char* path, char* buf, size_t size) override;
    int open_file(const char* path, int flags, mode_t mode) override { return files.open(path, flags, mode); }
    ssize_t write(int fd, const void* buf, size_t count) override { return files.write(fd, buf, count); }
    int fsync(int fd) override { return files.fsync(fd); }
    int rename(const char* from, const char* to) override { return files.rename(from, to); }
    int socket(int domain, int type, int protocol) override;
    int connect(int fd, const struct sockaddr* addr, socklen_t len) override;
    ssize_t send(int fd, const void* buf, size_t len) override;
    ssize_t recv(int fd, void* buf, size_t len) override;
    ssize_t getrandom(void* buf, size_t len) override;
    int resolve(const char* host, const char* port, struct sockaddr_storage* addr, socklen_t* len) override;

private:
    bool driver_loaded() const;
    DriverNode* node_of(int fd);
    void spend_port_access();
    // A key can be read without waiting (for the panel only: it consumes nothing).
    bool stdin_ready();
    // Which descriptors of a select are (or will become) readable, and when
    // the first is; an errno when one of them cannot be watched.
    struct Readiness {
        std::vector<int> watched;
        std::optional<uint64_t> first;
        int error = 0;
    };
    Readiness readiness(int nfds, const fd_set* readfds);

    // Signals. The tool's handlers are installed for real (so that a real
    // kill reaches them too); a scheduled signal calls the installed handler
    // directly. Moves the clock to `wake`, delivering the signals due on the
    // way; stops early at a signal whose handler ran (the wait it interrupts
    // fails with EINTR) and returns that signal.
    std::optional<int> wait_until(uint64_t wake);
    // Delivers the signals due by now (a call that takes time but waits for nothing).
    void deliver_due_signals();
    // As the kernel would: true when a handler ran; the default action ends
    // the process by the signal.
    bool deliver(int sig);
    [[noreturn]] void end_by_signal(int sig);

    std::set<std::string> modules_;
    std::map<int, DriverNode*> open_nodes_;
    std::map<std::string, unsigned> opens_;  // successful opens per node
    int next_fd_ = 10;
    uint64_t port_time_ns_ = 0;
    bool iopl_granted_ = false;
    // The real signal actions before the tool changed them, restored when
    // the machine goes (tests install machines in their own process).
    std::map<int, struct sigaction> original_actions_;
    // Last, so that it goes first and draws its last frame while the BMCs still stand.
    std::unique_ptr<Onlooker> panel_;
};

}  // namespace sim
