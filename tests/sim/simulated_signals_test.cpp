// SPDX-License-Identifier: MIT
// The machine file's signals reach the handler installed through the seam
// when the virtual clock gets to them, and end the wait they fall into as
// the kernel would end it: with EINTR and the time still to go.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

#include "in_process.h"
#include "sim/current_machine.h"
#include "sim/machine_file/machine_file.h"
#include "os/os.h"
#include "sim_run.h"

namespace {

int handled = 0;
int last_signal = 0;
void note_signal(int sig)
{
    ++handled;
    last_signal = sig;
}

}  // namespace

class SimulatedSignals : public ::testing::Test {
protected:
    sim::Machine& machine(const std::string& fields)
    {
        sim::install(sim::load_machine_json("{" + fields + "}"));
        sim::machine().trace.open((dir_.path() / "trace.txt").string());
        handled = last_signal = 0;
        return sim::machine();
    }
    // Installs `handler` for `sig` through the seam; the machine puts the
    // test process's own action back when it goes.
    static void handle(int sig, void (*handler)(int) = note_signal, int flags = 0)
    {
        struct sigaction action {};
        action.sa_handler = handler;
        action.sa_flags = flags;
        ASSERT_EQ(os::sigaction(sig, &action, nullptr), 0);
    }
    std::vector<std::string> events() const { return qbtest::trace_events(dir_.read("trace.txt")); }
    void TearDown() override { sim::install(sim::load_machine_json("{}")); }

    qbtest::ScopedWorkDir dir_;
};

namespace {

uint64_t micros(const struct timespec& t) { return static_cast<uint64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000; }
uint64_t micros(const struct timeval& t) { return static_cast<uint64_t>(t.tv_sec) * 1000000 + t.tv_usec; }

}  // namespace

TEST_F(SimulatedSignals, APauseEndsAtTheSignalAndGoesOnForTheTimeLeft)
{
    sim::Machine& m = machine(R"("signals": [{"at": 1.5, "signal": "TERM"}, {"at": 1.5, "signal": "SIGHUP"}])");
    handle(SIGTERM);
    handle(SIGHUP);
    struct timespec pause = {4, 0}, left = {};
    errno = 0;
    EXPECT_EQ(os::nanosleep(&pause, &left), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(micros(left), 2500000u);
    EXPECT_EQ(m.clock.elapsed_us(), 1500000u);
    EXPECT_EQ(handled, 1) << "the second signal waits for the next call";
    EXPECT_EQ(os::nanosleep(&left, &left), -1) << "due at once";
    EXPECT_EQ(last_signal, SIGHUP);
    EXPECT_EQ(os::nanosleep(&left, &left), 0);
    EXPECT_EQ(m.clock.elapsed_us(), 4000000u);
    EXPECT_EQ(events(), (std::vector<std::string>{"sleep 4000000", "signal SIGTERM", "sleep 2500000", "signal SIGHUP",
                                                  "sleep 2500000"}));
}

TEST_F(SimulatedSignals, ASelectEndsAtTheSignalLeavingItsSetsAndTheTimeNotWaited)
{
    sim::Machine& m = machine(R"("keys": [{"at": 3, "key": "a"}], "signals": [{"at": 1, "signal": "INT"}])");
    handle(SIGINT);
    fd_set in;
    FD_ZERO(&in);
    FD_SET(0, &in);
    struct timeval limit = {10, 0};
    EXPECT_EQ(os::select(1, &in, nullptr, nullptr, &limit), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_TRUE(FD_ISSET(0, &in));
    EXPECT_EQ(micros(limit), 9000000u);
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(os::select(1, &in, nullptr, nullptr, &limit), 1);
    EXPECT_EQ(m.clock.elapsed_us(), 3000000u);
    EXPECT_EQ(micros(limit), 7000000u) << "Linux leaves the time not waited after any select";
}

TEST_F(SimulatedSignals, AWaitForAKeyEndsUnlessTheHandlerAsksForARestart)
{
    for (int flags : {0, SA_RESTART}) {
        SCOPED_TRACE(flags);
        sim::Machine& m = machine(R"("keys": [{"at": 3, "key": "a"}], "signals": [{"at": 1, "signal": "TERM"}])");
        handle(SIGTERM, note_signal, flags);
        int first = os::getchar();
        EXPECT_EQ(handled, 1);
        if (flags == 0) {
            EXPECT_EQ(first, EOF);
            EXPECT_EQ(m.clock.elapsed_us(), 1000000u);
            EXPECT_EQ(os::getchar(), 'a') << "the key is still to come";
        } else {
            EXPECT_EQ(first, 'a');
        }
        EXPECT_EQ(m.clock.elapsed_us(), 3000000u);
        EXPECT_EQ(qbtest::count_lines(events(), "key interrupted"), flags == 0 ? 1u : 0u);
    }
}

TEST_F(SimulatedSignals, PortAccessesRunTheHandlerAndAnIgnoredSignalEndsNoWait)
{
    sim::Machine& m = machine(R"("port_access_ns": 1000000,
        "signals": [{"at": 0.0025, "signal": "TERM"}, {"at": 1, "signal": "PIPE"}])");
    handle(SIGTERM);
    handle(SIGPIPE, SIG_IGN);
    ASSERT_EQ(os::iopl(3), 0);
    for (int i = 0; i < 3; ++i) {
        os::inb(0x0CA3);
        EXPECT_EQ(handled, i < 2 ? 0 : 1) << "after access " << i + 1;
    }
    struct timespec pause = {2, 0};
    EXPECT_EQ(os::nanosleep(&pause, nullptr), 0);
    EXPECT_EQ(m.clock.elapsed_us(), 2003000u);
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(qbtest::count_lines(events(), "signal SIGPIPE ignored"), 1u);
}
