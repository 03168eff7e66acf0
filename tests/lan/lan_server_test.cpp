// SPDX-License-Identifier: MIT
// qb40sim-bmc --road lan on loopback, against a console we did not write
// (ipmitool -I lanplus, skipped only where ipmitool is not installed) and
// against the tests' own console over real UDP.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "in_process.h"
#include "lan_client.h"
#include "programs.h"
#include "sim/basics/whole_file.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kAdminPassword = "qb40-lan-secret";

// The controllers the answers must show: chip ID 77 (0x4D) with firmware
// 2.1.0 at 0xC0 on bus 0x01, an EEPROM at 0xA0, chip 'I' at 0xC2 on bus 0x03.
std::string server_machine(const std::string& lan_extra = "")
{
    return std::string(R"({"bmcs": [{"lan": {"ipv4": "192.0.2.10", "users": [)") +
           R"({"name": "admin", "password": "qb40-lan-secret", "privilege": "administrator"},)" +
           R"({"name": "viewer", "password": "qb40-view-secret", "privilege": "user"}])" + lan_extra + "}," +
           R"("buses": {"0x01": {"devices": [)" +
           R"({"type": "qb40xx", "address": "0xC0", "chip_id": 77, "firmware": [2, 1, 0]},)" +
           R"({"type": "eeprom", "address": "0xA0", "contents": "51 42 34 30 2D 56 50 44"}]},)" +
           R"("0x03": {"devices": [{"type": "qb40xx", "address": "0xC2", "chip_id": "I", "firmware": [1, 5, 2]}]}}}]})";
}

struct Ran {
    int status = -1;
    std::string out, err;
};

// Runs a program to its end, its output in files of `dir`.
Ran run_program(const fs::path& dir, const std::vector<std::string>& args)
{
    fs::path out = dir / "out.txt", err = dir / "err.txt";
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int n = open("/dev/null", O_RDONLY);
        dup2(n, 0), dup2(o, 1), dup2(e, 2);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus), qbtest::read_file(out),
            qbtest::read_file(err)};
}

std::optional<std::string> ipmitool_path()
{
    for (const char* dir : {"/usr/bin", "/usr/sbin", "/usr/local/bin"})
        if (fs::exists(fs::path(dir) / "ipmitool"))
            return (fs::path(dir) / "ipmitool").string();
    return std::nullopt;
}

// qb40sim-bmc serving a machine's LAN BMC on 127.0.0.1 at a port the system
// picks (it says which on its standard output); stopped by SIGTERM.
class LanServer {
public:
    explicit LanServer(const std::string& machine) : dir_(qbtest::fresh_temp_dir("qb40lan"))
    {
        sim::write_file(dir_ / "machine.json", machine);
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0)
            throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipe_fds[1], 1);
            int e = open((dir_ / "server-err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(e, 2);
            close(pipe_fds[0]);
            execl(qbtest::kBmcServer, qbtest::kBmcServer, (dir_ / "machine.json").c_str(), "--road", "lan", "--listen",
                  "127.0.0.1:0", "--trace", (dir_ / "trace.txt").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipe_fds[1]);
        std::string line;
        char c;
        while (read(pipe_fds[0], &c, 1) == 1 && c != '\n')
            line += c;
        close(pipe_fds[0]);
        if (line.empty())
            throw std::runtime_error("qb40sim-bmc did not start: " + qbtest::read_file(dir_ / "server-err.txt"));
        port_ = static_cast<uint16_t>(std::stoul(line));
    }
    ~LanServer()
    {
        stop();
        fs::remove_all(dir_);
    }
    LanServer(const LanServer&) = delete;
    LanServer& operator=(const LanServer&) = delete;

    uint16_t port() const { return port_; }
    const fs::path& dir() const { return dir_; }
    // Stops the server; its trace.
    std::string stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int wstatus = 0;
            waitpid(pid_, &wstatus, 0);
            exit_status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
            pid_ = -1;
        }
        return qbtest::read_file(dir_ / "trace.txt");
    }
    int exit_status() const { return exit_status_; }

    Ran ipmitool(const std::string& path, const std::string& user, const std::string& password, int suite,
                 const std::vector<std::string>& command) const
    {
        std::vector<std::string> args{"timeout", "60", path, "-I", "lanplus", "-H", "127.0.0.1", "-p",
                                      std::to_string(port_), "-U", user, "-P", password, "-C", std::to_string(suite)};
        args.insert(args.end(), command.begin(), command.end());
        return run_program(dir_, args);
    }

private:
    fs::path dir_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
    int exit_status_ = -1;
};

}  // namespace

// ipmitool with both suites: the BMC's own commands, Master Write-Read as
// raw bytes and as ipmitool's i2c command, its session as ipmitool sees it.
// Every answer is what the machine file holds.
TEST(LanServer, IpmitoolReadsTheMachineThroughBothSuites)
{
    std::optional<std::string> ipmitool = ipmitool_path();
    if (!ipmitool)
        GTEST_SKIP() << "ipmitool is not installed (scripts/deps.sh installs it): the LAN BMC is not checked "
                        "against it here";
    LanServer server(server_machine());
    struct Case {
        std::vector<std::string> command;
        std::vector<std::string> shown;  // in its standard output
    };
    const Case cases[] = {
        {{"mc", "info"}, {"Device ID                 : 32", "IPMI Version              : 2.0"}},
        {{"raw", "0x06", "0x52", "0x01", "0xC0", "0x01", "0x63"}, {" 4d\n"}},
        {{"raw", "0x06", "0x52", "0x01", "0xC0", "0x04", "0x60"}, {" 02 01 00 4d\n"}},
        {{"raw", "0x06", "0x52", "0x01", "0xA0", "0x08", "0x00"}, {" 51 42 34 30 2d 56 50 44\n"}},
        {{"i2c", "bus=0", "0xC0", "1", "0x63"}, {" 4d\n"}},
        {{"i2c", "bus=1", "0xC2", "4", "0x60"}, {" 01 05 02 49\n"}},
        {{"session", "info", "active"},
         {"privilege level               : ADMINISTRATOR", "session type                  : IPMIv2/RMCP+",
          "console ip                    : 127.0.0.1", "user id                       : 1"}},
    };
    for (int suite : {17, 3}) {
        for (const Case& c : cases) {
            SCOPED_TRACE("suite " + std::to_string(suite) + ": " + c.command[0] + " " + c.command[1]);
            Ran r = server.ipmitool(*ipmitool, "admin", kAdminPassword, suite, c.command);
            EXPECT_EQ(r.status, 0) << r.err;
            for (const std::string& s : c.shown)
                EXPECT_NE(r.out.find(s), std::string::npos) << s << " in:\n" << r.out;
        }
    }
    // A bus the BMC does not have, an address nobody answers at: ipmitool
    // reports the completion codes it gets.
    Ran nak = server.ipmitool(*ipmitool, "admin", kAdminPassword, 17, {"raw", "0x06", "0x52", "0x01", "0xC8", "0x01"});
    EXPECT_NE(nak.status, 0);
    EXPECT_NE(nak.err.find("rsp=0x83"), std::string::npos) << nak.err;

    std::string trace = server.stop();
    EXPECT_EQ(server.exit_status(), 0);
    EXPECT_NE(trace.find("bmc0 lan request: 18 52 01 C0 01 63\n"), std::string::npos);
    EXPECT_NE(trace.find("bmc0 lan response: 1C 52 00 4D\n"), std::string::npos);
    EXPECT_NE(trace.find("bmc0 lan response: 1C 52 00 01 05 02 49\n"), std::string::npos);
    EXPECT_NE(trace.find("cipher suite 3,"), std::string::npos);
    EXPECT_NE(trace.find("cipher suite 17,"), std::string::npos);
    EXPECT_NE(trace.find("bmc0 lan stops with 0 sessions open"), std::string::npos) << "every run closed its session";
    EXPECT_EQ(trace.find(kAdminPassword), std::string::npos);
}

// A wrong password or user name ends ipmitool's attempt as ipmitool ends it,
// at once, and the BMC's trace says why; a session below the privilege
// Master Write-Read needs gets the standard's refusal.
TEST(LanServer, IpmitoolIsRefusedAsItExpects)
{
    std::optional<std::string> ipmitool = ipmitool_path();
    if (!ipmitool)
        GTEST_SKIP() << "ipmitool is not installed (scripts/deps.sh installs it)";
    LanServer server(server_machine());
    for (int suite : {17, 3}) {
        SCOPED_TRACE(suite);
        Ran wrong_password = server.ipmitool(*ipmitool, "admin", "not-the-password", suite, {"mc", "info"});
        EXPECT_NE(wrong_password.status, 0);
        EXPECT_NE(wrong_password.err.find("Unable to establish IPMI v2 / RMCP+ session"), std::string::npos)
            << wrong_password.err;
        Ran wrong_user = server.ipmitool(*ipmitool, "mallory", kAdminPassword, suite, {"mc", "info"});
        EXPECT_NE(wrong_user.status, 0);
        EXPECT_NE(wrong_user.err.find("Unable to establish IPMI v2 / RMCP+ session"), std::string::npos)
            << wrong_user.err;
    }
    Ran low = server.ipmitool(*ipmitool, "viewer", "qb40-view-secret", 17,
                              {"-L", "USER", "raw", "0x06", "0x52", "0x01", "0xC0", "0x01", "0x63"});
    EXPECT_NE(low.status, 0);
    EXPECT_NE(low.err.find("rsp=0xd4"), std::string::npos) << low.err;
    std::string trace = server.stop();
    for (const char* line : {"refused at rakp 2: status 0D (unauthorized name), user \"mallory\"",
                             "rakp 2 for user \"admin\", role administrator", "bmc0 lan response: 1C 52 D4"})
        EXPECT_NE(trace.find(line), std::string::npos) << line;
    for (const char* secret : {kAdminPassword, "not-the-password", "qb40-view-secret"})
        EXPECT_EQ(trace.find(secret), std::string::npos) << secret;
}

// The tests' own console over real UDP: the server carries the machine
// file's faults too (a forged answer beside each real one, a duplicate), and
// the console that checks what it takes gets the BMC's answers all the same.
TEST(LanServer, FaultsTravelOverRealUdp)
{
    LanServer server(server_machine(R"(, "faults": [{"message": "master_write_read", "forge": "integrity", "count": 2},
                                                    {"message": "master_write_read", "duplicate": true, "nth": 3}])"));
    qbtest::lan::UdpLink link(server.port());
    qbtest::lan::Client c(link, 5'000'000);
    qbtest::lan::Login login;
    login.password = kAdminPassword;
    ASSERT_TRUE(c.open(login).active());
    ASSERT_EQ(c.call({0x18, 0x3B, 0x04}), (qbtest::lan::Bytes{0x1C, 0x3B, 0x00, 0x04}));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(c.call({0x18, 0x52, 0x01, 0xC0, 0x01, 0x63}), (qbtest::lan::Bytes{0x1C, 0x52, 0x00, 0x4D}));
    EXPECT_EQ(c.discarded(), 2u) << "the two forged copies";
    EXPECT_TRUE(c.close());
    std::string trace = server.stop();
    EXPECT_NE(trace.find("bmc0 lan fault 0 #2 on answer to master_write_read: forged copy (integrity)"),
              std::string::npos);
    EXPECT_NE(trace.find("bmc0 lan fault 1 #1 on answer to master_write_read: duplicated"), std::string::npos);
    EXPECT_NE(trace.find("bmc0 lan stops with 0 sessions open"), std::string::npos);
}
