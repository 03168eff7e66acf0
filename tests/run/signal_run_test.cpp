// SPDX-License-Identifier: MIT
// A signal outside a controller's programming stops the run at once and
// cleanly: no further exchange begins but those that put out the LEDs the
// run lit, no pause goes on, the terminal is restored, the log gets its
// closing lines, the report names the signal, and the process ends by the
// signal. SIGKILL ends it as it always did; the signals it ignores, or that
// were ignored when it started, change nothing.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "firmware_images.h"
#include "sim_run.h"
#include "programs.h"

using namespace qbtest;

namespace {

using Lines = std::vector<std::string>;

struct Signal {
    const char* name;  // as the machine file names it
    int number;
};
constexpr Signal kHup{"HUP", SIGHUP}, kInt{"INT", SIGINT}, kQuit{"QUIT", SIGQUIT}, kTerm{"TERM", SIGTERM},
    kAlrm{"ALRM", SIGALRM}, kUsr2{"USR2", SIGUSR2}, kXcpu{"XCPU", SIGXCPU}, kVtalrm{"VTALRM", SIGVTALRM};

}  // namespace

TEST(SignalRun, OutsideProgrammingTheRunStopsAtOnce)
{
    struct Case {
        const char* name;
        const char* machine;
        std::vector<std::string> args;
        std::vector<std::pair<double, std::string>> keys;
        double at;
        Signal signal;
        const char* beside;  // the trace event right before or after the signal: where it came
        const char* unsent;  // a part of a trace event that the run must not have reached
        const char* last_logged = nullptr;  // the start of the last log line before the stop
    };
    const Case cases[] = {
        {"the scan of a report", "default.json", {}, {}, 0.005, kTerm, "bmc0 driver request", "led bmc0 bus 0x02"},
        {"the scan of a report, a timer's signal", "default.json", {}, {}, 0.005, kAlrm, "bmc0 driver request",
         "led bmc0 bus 0x02"},
        {"the summary's delay", "default.json", {"-cd5"}, {}, 2.5, kHup, "sleep 1000000", "key EOF"},
        {"the summary's delay, a CPU limit", "default.json", {"-cd5"}, {}, 2.5, kXcpu, "sleep 1000000", "key EOF"},
        {"the driver question", "driver_loadable.json", {}, {{100, "y"}}, 1, kInt, "key interrupted", "shell ",
         "Load OpenIPMI drivers?"},
        {"a diagnostics question", "default.json", {"-d"}, {{100, "y"}}, 3, kQuit, "key interrupted", "key 0x79",
         "    Press Y or N"},
        {"the LED cycling", "default.json", {"-z"}, {{100, "x"}}, 3, kTerm, "sleep ", "key 0x78", "Cycling through"},
        {"the LED cycling, a profiling timer", "default.json", {"-z"}, {{100, "x"}}, 3, kVtalrm, "sleep ", "key 0x78",
         "Cycling through"},
        {"a diagnostics question, a user's signal", "default.json", {"-d"}, {{100, "y"}}, 3, kUsr2, "key interrupted",
         "key 0x79", "    Press Y or N"},
        {"the QB4083C question", "upgrade_4077.json", {"fw_4083.bin"}, {{100, "y"}}, 3, kTerm, "key interrupted",
         "erase", "Proceed with Firmware Upgrade on QB4083C?"},
        {"the port scan before an image the digest refuses", "kcs_second_pair.json",
         {"-dio", "-f", "fw_4083.bin", "--image-sha256", std::string(64, '0')}, {}, 0, kInt, "iopl ", " request",
         "ERROR: Image file fw_4083.bin has SHA-256"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDir dir;
        dir.write("fw_4083.bin", make_image(4096, {1, 2, 0}));
        dir.machine(slow_machine(c.machine, c.keys, {{c.at, c.signal.name}}));
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--report", "r.json"});
        const RunResult r = dir.run(args);
        const std::string name = std::string("SIG") + c.signal.name;

        EXPECT_EQ(r.signal, c.signal.number) << "status " << r.status;
        const Lines log = lines(dir.log());
        ASSERT_GE(log.size(), 5u);
        EXPECT_EQ(Lines(log.end() - 5, log.end()),
                  (Lines{"Run stopped by " + name, "", log[log.size() - 3], "", "Exited on signal " + name}));
        EXPECT_TRUE(log[log.size() - 3].starts_with("Finished: "));
        if (c.last_logged) {
            auto last = std::find_if(log.rbegin() + 5, log.rend(), [](const std::string& l) { return !l.empty(); });
            EXPECT_TRUE(last != log.rend() && last->starts_with(c.last_logged)) << *last;
        }
        EXPECT_EQ(lines_starting(lines(r.console), "Run stopped by " + name).size(), 1u);

        const Lines events = trace_events(r.trace);
        const size_t signal = event_index(events, "signal " + name);
        ASSERT_NE(signal, std::string::npos) << "the signal never came";
        ASSERT_GT(signal, 0u);
        ASSERT_LT(signal + 1, events.size());
        EXPECT_TRUE(events[signal - 1].starts_with(c.beside) || events[signal + 1].starts_with(c.beside))
            << events[signal - 1] << " / " << events[signal + 1];
        // At once: the exchange under way ends, nothing else begins but
        // putting out the LEDs the run lit, no pause goes on.
        const Lines after(events.begin() + static_cast<long>(signal), events.end());
        const auto put_out = static_cast<size_t>(std::ranges::count_if(after, puts_led_out));
        EXPECT_LE(count_containing(after, " request") - put_out, 1u);
        EXPECT_EQ(count_containing(after, "sleep "), 0u);
        EXPECT_EQ(count_containing(events, c.unsent), 0u) << c.unsent;
        const Lines terminal = lines_starting(events, "terminal ");
        EXPECT_TRUE(terminal.empty() || terminal.back() == "terminal cooked");

        // The report names the signal in place of an exit status; no controller was begun.
        const nlohmann::json report = nlohmann::json::parse(dir.read("r.json"), nullptr, false);
        ASSERT_TRUE(report.is_object()) << dir.read("r.json");
        EXPECT_EQ(report["exit_code"], nullptr);
        EXPECT_EQ(report["signal"], name);
        EXPECT_EQ(report["complete"], true);
        for (const nlohmann::json& bmc : report["bmcs"])
            for (const nlohmann::json& controller : bmc["controllers"])
                EXPECT_EQ(controller.value("upgrade", nlohmann::json()), nullptr) << controller.dump();
    }
}

TEST(SignalRun, SigkillEndsTheRunAsBeforeAndIgnoredOnesChangeNothing)
{
    struct Case {
        Signal signal;
        bool ignored_at_start;  // as nohup leaves SIGHUP
        int ends_by;            // 0: the run goes on to its normal end
    };
    const Case cases[] = {{{"KILL", SIGKILL}, false, SIGKILL},
                          {{"PIPE", SIGPIPE}, false, 0},
                          {kHup, true, 0},
                          {kUsr2, true, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.signal.name);
        SimDir dir;
        dir.machine(slow_machine("default.json", {}, {{0.005, c.signal.name}}));
        struct sigaction ignore {}, before {};
        ignore.sa_handler = SIG_IGN;
        if (c.ignored_at_start)
            sigaction(c.signal.number, &ignore, &before);
        const RunResult r = dir.run({});
        if (c.ignored_at_start)
            sigaction(c.signal.number, &before, nullptr);

        const std::string name = std::string("SIG") + c.signal.name;
        const Lines events = trace_events(r.trace);
        if (c.ends_by) {
            EXPECT_EQ(r.signal, c.ends_by);
            EXPECT_EQ(count_lines(events, "signal " + name + " ends the process"), 1u);
            EXPECT_EQ(dir.log().find("Exited"), std::string::npos) << "no handler, no closing lines";
        } else {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(count_lines(events, "signal " + name + " ignored"), 1u);
            EXPECT_TRUE(dir.log().ends_with("\nExited with return code: 0x00\n"));
        }
    }
}

namespace {

// qb40tool-sim on a pseudo-terminal of its own (its standard input and
// output; no key script, so the real terminal), in `dir`, on `machine_json`
// (empty: the built-in default machine) with its trace in dir/trace.txt.
class PtyTool {
public:
    PtyTool(const SimDir& dir, const std::vector<std::string>& args, const std::string& machine_json)
    {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0 || tcgetattr(slave_, &before_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        const std::string machine = (dir.path() / "machine.json").string();
        const std::string trace = (dir.path() / "trace.txt").string();
        if (!machine_json.empty())
            dir.write("machine.json", machine_json);
        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            int null = open("/dev/null", O_WRONLY);
            if (chdir(dir.path().c_str()) != 0 || null < 0)
                _exit(120);
            dup2(slave_, 0), dup2(slave_, 1), dup2(null, 2);
            if (machine_json.empty())
                unsetenv("QB40SIM_MACHINE");
            else
                setenv("QB40SIM_MACHINE", machine.c_str(), 1);
            setenv("QB40SIM_TRACE", trace.c_str(), 1);
            unsetenv("QB40SIM_PANEL");
            exec_sim(args);
            _exit(122);
        }
    }
    ~PtyTool()
    {
        if (running())
            kill(pid_, SIGKILL), waitpid(pid_, &wstatus_, 0);
        close(master_);
        close(slave_);
    }
    PtyTool(const PtyTool&) = delete;
    PtyTool& operator=(const PtyTool&) = delete;

    // Reads what the tool writes (so that it never blocks on a full
    // terminal) until `done` holds or `seconds` have passed.
    bool follow(const std::function<bool()>& done, int seconds)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            struct pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char buf[4096];
                ssize_t n = read(master_, buf, sizeof buf);
                if (n > 0)
                    console_.append(buf, static_cast<size_t>(n));
            }
        }
        return done();
    }
    bool running() { return !ended_ && !(ended_ = waitpid(pid_, &wstatus_, WNOHANG) == pid_); }
    bool raw_and_showing(const std::string& prompt)
    {
        struct termios now {};
        return tcgetattr(slave_, &now) == 0 && !(now.c_lflag & ICANON) && console_.find(prompt) != std::string::npos;
    }

    // Waits for the end a stop signal brings. A tool still waiting after
    // 10 s lost the signal in its wait for a key: it is given one, then
    // killed. Empty when the process ended by `sig`, else what went wrong.
    std::string ends_by(int sig)
    {
        std::string lost;
        if (!follow([&] { return !running(); }, 10)) {
            lost = "the signal was lost in the wait for a key: ";
            (void)!write(master_, "n", 1);
            if (!follow([&] { return !running(); }, 5))
                return lost + "the tool waited on, also after a key, and was killed";
            lost += "the tool ended only when a key came";
        }
        if (!WIFSIGNALED(wstatus_) || WTERMSIG(wstatus_) != sig)
            return lost + (lost.empty() ? "" : "; ") + "wait status " + std::to_string(wstatus_);
        return lost;
    }

    // The terminal's settings now, against those before the run.
    bool restored() const
    {
        struct termios now {};
        return tcgetattr(slave_, &now) == 0 && now.c_lflag == before_.c_lflag && now.c_iflag == before_.c_iflag &&
               now.c_oflag == before_.c_oflag && now.c_cflag == before_.c_cflag;
    }
    void send(int sig) const { kill(pid_, sig); }
    bool cooked_before() const { return before_.c_lflag & ICANON; }
    const std::string& console() const { return console_; }

private:
    int master_ = -1, slave_ = -1;
    struct termios before_ {};
    pid_t pid_ = -1;
    int wstatus_ = 0;
    bool ended_ = false;
    std::string console_;
};

}  // namespace

// Without a key script qb40tool-sim uses the real terminal: a SIGTERM while
// the diagnostics wait for a key in raw mode leaves it as it was before.
TEST(SignalRun, TheRealTerminalIsRestoredAfterSigterm)
{
    SimDir dir;
    PtyTool tool(dir, {"-d"}, "");
    ASSERT_TRUE(tool.cooked_before());
    ASSERT_TRUE(tool.follow([&] { return tool.raw_and_showing("Press Y or N"); }, 30)) << tool.console();
    tool.send(SIGTERM);
    EXPECT_EQ(tool.ends_by(SIGTERM), "");
    EXPECT_TRUE(tool.restored());
    EXPECT_TRUE(dir.log().ends_with("\nExited on signal SIGTERM\n")) << dir.log();
}

// The worst moment for a stop: it comes after the tool last looked at the
// signals it received and before it waits for the key (the machine sends it
// as the wait begins). The wait must still end at once, whatever the
// question, the signal or the keyboard, and the run stop by the signal.
TEST(SignalRun, AStopThatComesAsTheKeyWaitBeginsEndsIt)
{
    struct Case {
        const char* name;
        const char* machine;
        std::vector<std::string> args;
        const char* prompt;  // the last console line before the stop
        Signal signal;
    };
    const Case cases[] = {
        {"a diagnostics question", "default.json", {"-d"}, "    Press Y or N", kTerm},
        {"a diagnostics question, Ctrl-C's signal", "default.json", {"-d"}, "    Press Y or N", kInt},
        {"the driver question, a hung-up session", "driver_loadable.json", {}, "Load OpenIPMI drivers?", kHup},
        {"the QB4083C question", "upgrade_4077.json", {"fw_4083.bin"}, "Proceed with Firmware Upgrade on QB4083C?",
         kTerm},
    };
    for (const Case& c : cases) {
        const std::string name = std::string("SIG") + c.signal.name;
        nlohmann::json m = nlohmann::json::parse(machine_file(c.machine));
        m["signals"] = {{{"key_wait", 1}, {"signal", c.signal.name}}};
        m.erase("keys");
        for (bool scripted : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (scripted ? ", key script" : ", real terminal"));
            SimDir dir;
            dir.write("fw_4083.bin", make_image(4096, {1, 2, 0}));
            std::string trace;
            if (scripted) {
                // The key is there long after the question: only the signal ends the wait.
                dir.machine(with_keys(m.dump(), {{100, "y"}}));
                const RunResult r = dir.run(c.args);
                EXPECT_EQ(r.signal, c.signal.number) << "status " << r.status;
                trace = r.trace;
            } else {
                PtyTool tool(dir, c.args, m.dump());
                EXPECT_EQ(tool.ends_by(c.signal.number), "") << tool.console();
                EXPECT_TRUE(tool.restored());
                trace = dir.read("trace.txt");
            }
            const Lines log = lines(dir.log());
            ASSERT_GE(log.size(), 6u);
            EXPECT_EQ(log[log.size() - 5], "Run stopped by " + name);
            EXPECT_EQ(log.back(), "Exited on signal " + name);
            auto last = std::find_if(log.rbegin() + 5, log.rend(), [](const std::string& l) { return !l.empty(); });
            EXPECT_TRUE(last != log.rend() && last->starts_with(c.prompt)) << *last;
            // The signal came as the wait began, and ended it without a key.
            const Lines events = trace_events(trace);
            const size_t signal = event_index(events, "signal " + name);
            ASSERT_NE(signal, std::string::npos) << trace;
            ASSERT_LT(signal + 1, events.size());
            EXPECT_EQ(events[signal + 1], scripted ? "key interrupted" : "key EOF");
            EXPECT_EQ(count_containing(events, "key 0x"), 0u);
        }
    }
}

// qb40tool ... | head, the reader gone before the first line: the console
// lines are lost, and the upgrade, its log and its exit status are those of
// the same run with a reader.
TEST(SignalRun, AConsoleWhoseReaderWentAwayCostsOnlyItsLines)
{
    const std::vector<std::string> args = {"-u", "-f", "fw_4077.bin"};
    SimDir with_reader, without;
    for (const SimDir* d : {&with_reader, &without}) {
        d->write("fw_4077.bin", make_image(4096, {1, 2, 0}));
        d->write("machine.json", machine_file("upgrade_4077.json"));
    }
    with_reader.machine(machine_file("upgrade_4077.json"));
    const RunResult reference = with_reader.run(args);
    ASSERT_EQ(reference.status, 0) << reference.console;
    ASSERT_FALSE(reference.console.empty());

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        if (chdir(without.path().c_str()) != 0 || null < 0)
            _exit(120);
        dup2(null, 0), dup2(ends[1], 1), dup2(null, 2);
        setenv("QB40SIM_MACHINE", "machine.json", 1);
        unsetenv("QB40SIM_TRACE");
        unsetenv("QB40SIM_PANEL");
        exec_sim(args);
        _exit(122);
    }
    close(ends[1]);
    int wstatus = 0;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);

    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
    const std::string log = without.log();
    EXPECT_TRUE(log == with_reader.log())
        << "log.txt differs; it ends: " << log.substr(log.size() > 300 ? log.size() - 300 : 0);
}
