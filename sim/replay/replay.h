// SPDX-License-Identifier: MIT
// The replay machine: a machine file with "replay" holds a capture's events
// (qb40sim-capture replay makes it), and every call of the seam is answered
// from them, in their order and at their times: the device nodes open as
// they did, the BMC answers each request as it did, the ports read what they
// read, the keys come where they came. A call that is not the one the
// capture has next stops the run with a message naming both and exit status
// 97 (kLeftTheCapture); so does a run that ends before the capture does.
// The clock, the files the tool writes and the signal handlers it installs
// stay the host machine's: the replay hands those calls on to it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <signal.h>
#include <string>
#include <sys/select.h>
#include <termios.h>
#include <vector>

#include "capture_file.h"
#include "../bmc/bmc.h"
#include "../basics/context.h"
#include "../seam.h"

namespace sim {

class Replay : public Seam, public AnswerSource {
public:
    static constexpr int kLeftTheCapture = 97;

    // `image`: the image the capture's byte commands carried, to check their
    // data bytes; without it only their commands and addresses are checked.
    Replay(Seam& host, Context context, std::vector<capture::Event> events,
           std::optional<std::vector<uint8_t>> image, uint32_t port_access_ns);

    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout) override;
    int iopl(int level) override;
    uint8_t inb(uint16_t port) override;
    void outb(uint8_t value, uint16_t port) override;
    int nanosleep(const struct timespec* req, struct timespec* rem) override;
    int gettimeofday(struct timeval* tv) override { return host_.gettimeofday(tv); }
    time_t time(time_t* t) override;
    int clock_gettime(clockid_t clock, struct timespec* ts) override { return host_.clock_gettime(clock, ts); }
    int system(const char* command) override;
    int tcgetattr(int fd, struct termios* attr) override;
    int tcsetattr(int fd, int optional_actions, const struct termios* attr) override;
    int getchar() override;
    int fflush_stdin() override;
    // The capture's handler changes are checked; the host installs them.
    int sigaction(int sig, const struct sigaction* act, struct sigaction* old) override;
    // The run ends by the signal, the capture's last line; the host delivers it.
    int raise(int sig) override;
    int gethostname(char* name, size_t len) override;
    ssize_t read_system_file(const char* path, char* buf, size_t size) override;
    int open_file(const char* path, int flags, mode_t mode) override { return host_.open_file(path, flags, mode); }
    ssize_t write(int fd, const void* buf, size_t count) override { return host_.write(fd, buf, count); }
    int fsync(int fd) override { return host_.fsync(fd); }
    int rename(const char* from, const char* to) override { return host_.rename(from, to); }
    // The network road: the socket and the sessions are the host machine's
    // (its LAN BMCs, rebuilt from the capture's lan_session lines); what
    // each request in a session is answered comes from the capture.
    int socket(int domain, int type, int protocol) override;
    int connect(int fd, const struct sockaddr* addr, socklen_t len) override;
    ssize_t send(int fd, const void* buf, size_t len) override;
    ssize_t recv(int fd, void* buf, size_t len) override;
    ssize_t getrandom(void* buf, size_t len) override;
    int resolve(const char* host, const char* port, struct sockaddr_storage* addr, socklen_t* len) override;

    // The run ends: the capture must be over too.
    void finish() override;

    // The host's LAN BMC `core` is answered from the capture; its LAN
    // interface adds `answer_us` to each answer.
    void answer_lan(BmcCore& core, uint64_t answer_us);
    // A request in a session reaches that BMC: the capture's answer, at its time.
    Answer answer(const BmcCore& core, std::span<const uint8_t> request) override;

private:
    using Event = capture::Event;
    using Kind = capture::Kind;

    // A handler put in place or taken away must be the capture's next call;
    // the recorder's own, outside the recording, are not in it.
    void expect_sigaction(int sig, const struct sigaction* act);

    // The event the next call must match; stops the run when it is of
    // another kind (or the capture is over).
    const Event& expect(Kind kind, const std::string& call);
    [[noreturn]] void leave(const std::string& call, const std::string& capture_has);
    std::string describe_next() const;
    void done();  // the event under way is used up: on to the next one
    // The signals the capture has next reach the handlers the tool installed,
    // as they did while the call under way was made.
    void deliver_signals();
    // The signals the transfer under way has before the next access.
    void deliver_transfer_signals();
    // A status read that lasted, and that goes on as long as the tool reads
    // the status; one before a signal held just its reads.
    bool lasting(const capture::Event& e, size_t token) const;
    void deliver(int sig);
    // A driver request's signals of one stage ("send", "select", "receive"):
    // delivers the next one not yet delivered; false when there is none.
    bool deliver_request_signal(const Event& e, const std::string& stage);
    // A status read that lasted until the tool gave up ends with the tool's
    // first call that is not a read of that port (0: any other call).
    void end_lasting_read(uint16_t port);
    void catch_up(uint64_t t);
    std::string bmc_of_fd(int fd) const;
    std::string bmc_of_port(uint16_t status_port) const;

    // The network road's notes (a session had, closed): the replay's BMC
    // has its own sessions, so they are passed over where they come.
    void pass_lan_notes();
    // A socket or a name to resolve: the capture must have a session next.
    void expect_lan(const std::string& call);
    bool is_socket(int fd) const { return sockets_.count(fd) != 0; }

    // Driver requests (plain and in runs).
    int send(int fd, void* arg);
    int receive(int fd, void* arg);
    std::vector<uint8_t> run_request(const Event& run, uint64_t index) const;
    int poll_stdin(fd_set* readfds);
    int wait_for_answer(int watched, fd_set* readfds, struct timeval* timeout);

    // KCS transfers: the port access the capture has next.
    const capture::PortToken& kcs_token(const std::string& call);
    // The transfer's next port access; after its last one the next command
    // of a run, or the next event.
    void next_token();
    void kcs_step();
    void kcs_trace(const Event& e, const capture::PortToken& token);

    Seam& host_;
    Context context_;
    std::vector<Event> events_;
    std::optional<std::vector<uint8_t>> image_;
    uint32_t port_access_ns_;
    uint64_t port_time_ns_ = 0;
    size_t next_ = 0;

    // Where the event under way stands.
    int stage_ = 0;               // an exchange: 0 send, 1 select, 2 receive
    uint64_t command_ = 0;        // a run: the command under way
    uint64_t command_sent_ = 0;   // ... when it went out
    size_t next_poll_ = 0;        // a run: its next quiet poll mark
    size_t token_ = 0;            // a KCS transfer: the port access under way
    uint64_t used_ = 0;           // ... and how many of its reads were answered
    uint64_t token_began_ = 0;    // ... when the first of them was
    uint64_t loose_used_ = 0;     // loose port reads answered
    bool request_traced_ = false;
    bool response_traced_ = false;
    size_t written_ = 0;          // a KCS transfer: request bytes written so far
    size_t request_signals_ = 0;  // a driver request: its signals delivered so far

    std::map<int, std::string> nodes_;  // open descriptors and their device nodes
    std::set<int> sockets_;             // the network road's sockets (the host's)
    std::map<const BmcCore*, uint64_t> lan_answer_us_;
    uint64_t run_answered_ = 0;         // a run in a session: when its last command was answered
};

}  // namespace sim
