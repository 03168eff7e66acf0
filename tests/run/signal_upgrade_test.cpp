// SPDX-License-Identifier: MIT
// A signal during an upgrade of two controllers: the one being programmed is
// left at a safe point (the abort's reset on its old image, or its downcopy
// carried through to the read-back), the second is never begun, and the run
// ends by the signal with its closing log lines and the terminal restored.
//
// Each case runs the same upgrade twice, without and with the signal. Up to
// the safe point the two runs must send, answer and wait exactly alike,
// virtual times included: the signal cut no exchange and no pause short.
// The run without the signal is the same for every case of a road and
// command set (the clock is virtual), so it runs once for them all.
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <nlohmann/json.hpp>

#include "firmware_images.h"
#include "sim_run.h"

using namespace qbtest;

namespace {

using Lines = std::vector<std::string>;

// Two QB4077s on buses 1 and 2, answering through the driver after 20 µs
// (or through the KCS ports with -dio), so that every phase takes time.
std::string machine(bool kcs_road, const std::string& keys, const std::string& signals)
{
    const std::string controller =
        R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "erase_ms": 400, "reset_ms": 3000})";
    const std::string bmc = kcs_road ? R"("kcs": 0)" : R"("node": "/dev/ipmi0", "latency_us": 20)";
    return R"({"clock": {"start": 1700000000}, "driver": ")" + std::string(kcs_road ? "absent" : "loaded") +
           R"(", "keys": [)" + keys + R"(], "signals": [)" + signals + R"(], "bmcs": [{)" + bmc +
           R"(, "buses": {"0x01": {"devices": [)" + controller + R"(]}, "0x02": {"devices": [)" + controller +
           "]}}}]}";
}

// Virtual time (seconds) of the first trace line whose event holds `part`; -1 if none.
double first_time_of(const std::string& trace, const std::string& part)
{
    for (const std::string& line : lines(trace))
        if (line.find(part) != std::string::npos)
            return std::stod(line.substr(0, line.find(' ')));
    return -1;
}

// The trace with its times, without what a signal adds or splits (the
// signal lines, the pauses it interrupted, the terminal's restoration).
Lines comparable(const std::string& trace)
{
    Lines out;
    for (const std::string& line : lines(trace)) {
        std::string event = line.substr(line.find(' ') + 1);
        if (!event.starts_with("signal ") && !event.starts_with("raise ") && !event.starts_with("sleep ") &&
            !event.starts_with("terminal "))
            out.push_back(line);
    }
    return out;
}

// Where the controller on bus 1 is left.
enum class Left { Untouched, Aborted, Upgraded };

constexpr int kPartial = -1;  // a phase stopped at a halt point: a multiple of 256 addresses, not all

struct Case {
    const char* name;
    bool kcs_road;
    bool qb4083c;
    const char* anchor;  // trace event (a part of it) of the reference run that the signal is timed from
    double after;        // seconds
    Left left;
    int writes, verifies;     // byte commands sent to bus 1: a count or kPartial
    const char* second_signal = nullptr;  // sent 0.1 ms after the first
    const char* signal = "TERM";          // as the machine file names it
};

// Every signal whose default action ends the process and that the tool stops on.
constexpr std::pair<const char*, int> kTerminatingSignals[] = {
    {"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"TERM", SIGTERM},     {"ALRM", SIGALRM},
    {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"XCPU", SIGXCPU}, {"XFSZ", SIGXFSZ},     {"VTALRM", SIGVTALRM},
    {"PROF", SIGPROF}, {"PWR", SIGPWR},   {"IO", SIGIO},     {"STKFLT", SIGSTKFLT},
};

int terminating_signal_number(const std::string& name)
{
    for (const auto& [n, number] : kTerminatingSignals)
        if (name == n)
            return number;
    return 0;
}

constexpr int kImageSize = 4096;

// The runs without a signal, one per machine file and command line.
class SignalFreeRuns {
public:
    const RunResult& run(SimDir& dir, const std::string& machine, const std::vector<std::string>& args)
    {
        auto key = std::make_pair(machine, args);
        auto found = runs_.find(key);
        if (found == runs_.end()) {
            dir.machine(machine);
            found = runs_.emplace(std::move(key), dir.run(args)).first;
        }
        return found->second;
    }

private:
    std::map<std::pair<std::string, std::vector<std::string>>, RunResult> runs_;
};

// Runs the upgrade without and with the signal of `c`; checks where the run
// left the controllers and how it ended.
void RunCase(const Case& c, SimDir& dir, SignalFreeRuns& signal_free)
{
    // The QB4083C set is chosen by the operator's "y", once the summary's pause is over.
    const std::string keys = c.qb4083c ? R"({"at": 1.5, "key": "y"})" : "";
    std::vector<std::string> args = c.qb4083c ? std::vector<std::string>{"-f", "fw_4083.bin"}
                                              : std::vector<std::string>{"-u", "-f", "fw_4077.bin"};
    if (c.kcs_road)
        args.insert(args.begin(), "-dio");
    args.insert(args.end(), {"--report", "r.json"});

    const RunResult& reference = signal_free.run(dir, machine(c.kcs_road, keys, ""), args);
    ASSERT_EQ(reference.status, 0) << reference.console;
    const double anchor = first_time_of(reference.trace, c.anchor);
    ASSERT_GE(anchor, 0) << "no " << c.anchor << " in the reference run";
    const double at = anchor + c.after;
    std::string signals = R"({"at": )" + std::to_string(at) + R"(, "signal": ")" + c.signal + R"("})";
    if (c.second_signal)
        signals += R"(, {"at": )" + std::to_string(at + 0.0001) + R"(, "signal": ")" + c.second_signal + R"("})";
    dir.machine(machine(c.kcs_road, keys, signals));
    const RunResult r = dir.run(args);

    const std::string name = std::string("SIG") + c.signal;
    EXPECT_EQ(r.signal, terminating_signal_number(c.signal)) << "status " << r.status;
    const std::string log = dir.log();
    EXPECT_TRUE(log.ends_with("\nExited on signal " + name + "\n"))
        << log.substr(log.size() > 300 ? log.size() - 300 : 0);
    EXPECT_NE(r.console.find("Run stopped by " + name), std::string::npos);
    const Lines events = trace_events(r.trace);
    const Lines terminal = lines_starting(events, "terminal ");
    EXPECT_TRUE(terminal.empty() || terminal.back() == "terminal cooked") << terminal.back();
    // Each kind of signal is said once while the programming goes on.
    const Lines logged = lines(log);
    const bool deferred = c.left != Left::Untouched;
    EXPECT_EQ(count_lines(logged, name + " received: stopping at the controller's next safe point"),
              deferred ? 1u : 0u);
    if (c.second_signal && std::string(c.second_signal) != c.signal) {
        EXPECT_EQ(count_lines(logged, std::string("SIG") + c.second_signal +
                                          " received: stopping at the controller's next safe point"),
                  1u);
    }

    // Alike up to the safe point, then at most the abort's reset.
    const Lines want = comparable(reference.trace), got = comparable(r.trace);
    size_t same = 0;
    while (same < got.size() && same < want.size() && got[same] == want[same])
        ++same;
    const Lines tail(got.begin() + static_cast<long>(same), got.end());
    if (c.left == Left::Aborted) {
        ASSERT_EQ(tail.size(), 3u) << (tail.empty() ? "" : tail[0]);
        // The reset goes where the reference run sent its next command, and when (on the KCS
        // road a request is traced once its last byte is in, and the reset is the shorter).
        ASSERT_LT(same, want.size());
        EXPECT_NEAR(std::stod(tail[0]), std::stod(want[same]), 0.0002) << want[same];
        EXPECT_NE(tail[0].find(c.qb4083c ? "18 52 01 C0 00 55 AA F2 F1" : "18 52 01 C0 00 55 AA F1"),
                  std::string::npos) << tail[0];
        EXPECT_NE(tail[1].find("flash bmc0 bus 0x01 0xC0 reset, old image kept, running FW 01 00 00"),
                  std::string::npos) << tail[1];
        EXPECT_NE(log.find("Firmware Upgrade Aborted. Issuing Reset...\nReset Issued after Abort.OK to exit.\n"
                           "(NOTE: Firmware NOT upgraded)\n"),
                  std::string::npos);
    } else {
        EXPECT_EQ(tail, Lines{});
    }
    EXPECT_EQ(count_containing(got, "bus 0x01 0xC0 erase"), c.left == Left::Untouched ? 0u : 1u);
    EXPECT_EQ(count_containing(got, "bus 0x01 0xC0 downcopy"), c.left == Left::Upgraded ? 1u : 0u);
    EXPECT_EQ(count_containing(got, "bus 0x02 0xC0 erase"), 0u) << "a second controller was begun";

    // A phase stops at a halt point, once every 256 addresses.
    const std::string set = c.qb4083c ? "55 AA F2 " : "55 AA ";
    const size_t writes = count_containing(got, "18 52 01 C0 00 " + set + "E0"),
                 verifies = count_containing(got, "18 52 01 C0 00 " + set + "E1");
    for (auto [sent, expected] : {std::pair{writes, c.writes}, std::pair{verifies, c.verifies}}) {
        if (expected == kPartial)
            EXPECT_TRUE(sent > 0 && sent < static_cast<size_t>(kImageSize) && sent % 256 == 0) << sent;
        else
            EXPECT_EQ(sent, static_cast<size_t>(expected));
    }

    // The report names the signal in place of an exit status, and tells
    // where each controller stood: the one reset on its old image aborted,
    // the ones never begun null.
    // The last version read from each controller is what it runs: the new
    // one once it was read back after the downcopy.
    const nlohmann::json report = nlohmann::json::parse(dir.read("r.json"), nullptr, false);
    ASSERT_TRUE(report.is_object()) << dir.read("r.json");
    EXPECT_EQ(report["exit_code"], nullptr);
    EXPECT_EQ(report["signal"], name);
    EXPECT_EQ(report["complete"], true);
    for (const nlohmann::json& controller : report["bmcs"][0]["controllers"]) {
        nlohmann::json upgrade = nullptr;
        nlohmann::json seen = {1, 0, 0};
        if (controller["bus"] == "0x01" && c.left == Left::Aborted) {
            upgrade = "aborted";
        } else if (controller["bus"] == "0x01" && c.left == Left::Upgraded) {
            upgrade = "upgraded";
            seen = {1, 2, 0};
        }
        EXPECT_EQ(controller["upgrade"], upgrade) << controller["bus"];
        EXPECT_EQ(controller["firmware_last_seen"], seen) << controller["bus"];
    }
    if (c.left != Left::Untouched) {
        EXPECT_EQ(report["bmcs"][0]["controllers"].size(), 2u);
    }
}

}  // namespace

TEST(SignalUpgrade, TheControllerIsLeftAtASafePointAndNoOtherIsBegun)
{
    const int all = kImageSize;
    const Case cases[] = {
        {"scan", false, false, "request id 1:", 0.00001, Left::Untouched, 0, 0},
        {"running version read", false, false, "55 AA ED", 0.00001, Left::Untouched, 0, 0},
        {"erase wait", false, false, "0xC0 erase", 0.1, Left::Aborted, 0, 0},
        {"write phase", false, false, "55 AA E0 00 00", 0.03, Left::Aborted, kPartial, 0},
        {"write phase, a second signal", false, false, "55 AA E0 00 00", 0.03, Left::Aborted, kPartial, 0, "INT"},
        {"write phase, the same signal again", false, false, "55 AA E0 00 00", 0.03, Left::Aborted, kPartial, 0,
         "TERM"},
        {"verify phase", false, false, "55 AA E1 00 00", 0.03, Left::Aborted, all, kPartial},
        {"verified, before the downcopy", false, false, "0xC0 status", 0.00001, Left::Aborted, all, all},
        {"reset wait after the downcopy", false, false, "0xC0 downcopy", 2, Left::Upgraded, all, all},
        {"KCS road, erase wait", true, false, "0xC0 erase", 0.1, Left::Aborted, 0, 0},
        {"KCS road, write phase", true, false, "55 AA E0 00 00", 0.1, Left::Aborted, kPartial, 0},
        {"KCS road, verify phase", true, false, "55 AA E1 00 00", 0.1, Left::Aborted, all, kPartial},
        {"KCS road, reset wait", true, false, "0xC0 downcopy", 2, Left::Upgraded, all, all},
        {"QB4083C set, erase wait", false, true, "0xC0 erase", 1, Left::Aborted, 0, 0},
        {"QB4083C set, write phase", false, true, "F2 E0 00 00", 0.03, Left::Aborted, kPartial, 0},
        {"QB4083C set, verify phase", false, true, "F2 E1 00 00", 0.03, Left::Aborted, all, kPartial},
        {"QB4083C set, upper checksum", false, true, "checksum upper", 0.5, Left::Aborted, all, all},
        {"QB4083C set, wait before the downcopy", false, true, "checksum upper", 3, Left::Aborted, all, all},
        {"QB4083C set, after the downcopy", false, true, "0xC0 downcopy", 5, Left::Upgraded, all, all},
    };
    SimDir dir;
    dir.write("fw_4077.bin", make_image(all, {1, 2, 0}));
    dir.write("fw_4083.bin", make_image(all, {1, 2, 0}));
    SignalFreeRuns signal_free;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunCase(c, dir, signal_free);
    }
}

// Whatever kind of signal comes in the write phase (a timer, a limit, a
// stray kill), the controller gets the abort's reset and keeps its old image.
TEST(SignalUpgrade, EveryTerminatingSignalTakesTheSamePath)
{
    SimDir dir;
    dir.write("fw_4077.bin", make_image(kImageSize, {1, 2, 0}));
    SignalFreeRuns signal_free;
    for (const auto& kind : kTerminatingSignals) {
        SCOPED_TRACE(kind.first);
        const Case c{"write phase", false, false, "55 AA E0 00 00", 0.03, Left::Aborted, kPartial, 0, nullptr,
                     kind.first};
        RunCase(c, dir, signal_free);
    }
}

namespace {

// Two QB4077s that take each wait of the standard command set as long as it
// can go: an erase of 2.4 s (the wait gives up after 45 ticks), and a reset
// after which the controller never answers again (45 polls). The QB4083C
// set waits fixed times: two QB4084s that keep within them.
std::string slowest_machine(bool qb4083c, const std::string& signal_at, int erase_ms = 0)
{
    const std::string erase = std::to_string(erase_ms ? erase_ms : qb4083c ? 1900 : 2400);
    const std::string controller =
        qb4083c ? R"({"type": "qb40xx", "address": "0xC0", "chip_id": 84, "erase_ms": )" + erase +
                      R"(, "reset_ms": 3000})"
                : R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "erase_ms": )" + erase +
                      R"(, "reset_ms": 3000, "faults": {"never_back": true}})";
    return R"({"clock": {"start": 1700000000}, "keys": [{"at": 1.5, "key": "y"}], "signals": [)" + signal_at +
           R"(], "bmcs": [{"node": "/dev/ipmi0", "latency_us": 20, "buses": {"0x01": {"devices": [)" + controller +
           R"(]}, "0x02": {"devices": [)" + controller + "]}}}]}";
}

// Virtual seconds from the first trace line holding `from` to the first holding `to`.
double seconds_between(const std::string& trace, const std::string& from, const std::string& to)
{
    double start = -1;
    for (const std::string& line : lines(trace)) {
        double t = std::stod(line.substr(0, line.find(' ')));
        if (start < 0 && line.find(from) != std::string::npos)
            start = t;
        else if (start >= 0 && line.find(to) != std::string::npos)
            return t - start;
    }
    return -1;
}

}  // namespace

// The longest time from a signal to the end of the process in each phase,
// as the manual states it (SIGNALS): each case sends the signal where the
// phase makes it wait longest, and the time must come close to the stated
// bound without passing it.
TEST(SignalUpgrade, EachPhaseEndsWithinTheTimeTheManualStates)
{
    struct Case {
        const char* name;
        bool qb4083c;
        const char* anchor;  // trace event (a part of it) of the run without the signal
        double stated;       // seconds, the manual's bound
        double at_least;     // seconds: the case does reach the phase's longest wait
        int erase_ms = 0;    // the controllers' erase, when not the longest the wait takes
    };
    const Case cases[] = {
        {"outside the programming: the scan", false, "request id 20:", 0.001, 0},
        {"the erase wait", false, "0xC0 erase", 2.5, 2.4},
        {"the erase wait, QB4083C set", true, "0xC0 erase", 2.0 + 0.001, 1.99},
        // The erase fails as without a signal, and no reset is sent.
        {"an erase that outlasts the wait", false, "0xC0 erase", 2.5, 2.4, 3000},
        {"the write phase", false, "55 AA E0 00 01", 256 * 40e-6 + 0.001, 0.005},
        {"verified, before the downcopy", false, "0xC0 status", 0.001, 0},
        {"verified, before the downcopy, QB4083C set", true, "0xC0 status", 6.0 + 0.001, 5.99},
        {"after the downcopy", false, "55 AA F0", 15.1, 14.9},
        {"after the downcopy, QB4083C set", true, "55 AA F2 F0", 15.1, 15.0},
    };
    SimDir dir;
    dir.write("fw_4077.bin", make_image(kImageSize, {1, 2, 0}));
    dir.write("fw_4083.bin", make_image(kImageSize, {1, 2, 0}));
    SignalFreeRuns signal_free;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> args = c.qb4083c ? std::vector<std::string>{"-f", "fw_4083.bin"}
                                                        : std::vector<std::string>{"-u", "-f", "fw_4077.bin"};
        const RunResult& reference = signal_free.run(dir, slowest_machine(c.qb4083c, "", c.erase_ms), args);
        const double anchor = first_time_of(reference.trace, c.anchor);
        ASSERT_GE(anchor, 0) << "no " << c.anchor << " in the run without the signal";
        // Right after the event: on the driver road a request is traced when the BMC takes it.
        dir.machine(slowest_machine(c.qb4083c, R"({"at": )" + std::to_string(anchor + 1e-6) + R"(, "signal": "TERM"})",
                                    c.erase_ms));
        const RunResult r = dir.run(args);
        ASSERT_EQ(r.signal, SIGTERM) << r.console;
        const double took = seconds_between(r.trace, "signal SIGTERM", "raise SIGTERM");
        EXPECT_LE(took, c.stated);
        EXPECT_GE(took, c.at_least);
        if (c.erase_ms) {
            EXPECT_EQ(count_lines(lines(dir.log()), "Chip Erase did not succeed."), 1u);
            EXPECT_EQ(count_containing(trace_events(r.trace), "reset, old image kept"), 0u);
        }
    }
}
