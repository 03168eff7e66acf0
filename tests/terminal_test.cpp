// Raw and cooked terminal modes, single keys and key polling, on the
// simulated terminal of a key script and on a standard input that is not a
// terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "in_process.h"
#include "machine.h"
#include "machine_file.h"
#include "main/qb40tool.h"
#include "sim_run.h"

using qbtest::CapturedStdout;

namespace {

// Installs a machine whose operator types `keys` (a key script) and leaves
// the terminal module in its normal state.
sim::Machine& with_keys(const std::string& keys)
{
    sim::install(sim::load_machine_json(R"({"keys": )" + keys + "}"));
    set_tty_cooked();
    CMDL_QuietMode = 0;
    return sim::machine();
}

const tcflag_t kRawOffLocal = ECHO | ICANON | IEXTEN | ISIG;
const tcflag_t kRawOffInput = BRKINT | ICRNL | INPCK | ISTRIP | IXON;

bool is_raw(const struct termios& t)
{
    return (t.c_lflag & kRawOffLocal) == 0 && (t.c_iflag & kRawOffInput) == 0 && (t.c_oflag & OPOST) == 0 &&
           (t.c_cflag & (CSIZE | PARENB)) == CS8 && t.c_cc[VMIN] == 1 && t.c_cc[VTIME] == 0;
}

// Standard input (descriptor 0 and the stdin stream) read from a regular
// file while the object lives.
class StdinFromFile {
public:
    explicit StdinFromFile(const std::string& text)
    {
        std::string templ = "/tmp/qb40stdin.XXXXXX";
        int f = mkstemp(templ.data());
        path_ = templ;
        if (write(f, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            ADD_FAILURE() << "cannot write " << path_;
        lseek(f, 0, SEEK_SET);
        saved_ = dup(0);
        dup2(f, 0);
        close(f);
        clearerr(stdin);
    }
    ~StdinFromFile()
    {
        dup2(saved_, 0);
        close(saved_);
        clearerr(stdin);
        unlink(path_.c_str());
    }

private:
    std::string path_;
    int saved_ = -1;
};

// Each test leaves the terminal module in its normal state and a plain
// machine installed, so tests run after it in this process start clean.
class Terminal : public ::testing::Test {
protected:
    void TearDown() override
    {
        set_tty_cooked();
        CMDL_QuietMode = 0;
        sim::install(sim::load_machine_json("{}"));
    }
};

}  // namespace

TEST_F(Terminal, CookedWithoutRawChangesNothing)
{
    sim::Machine& m = with_keys("[]");
    struct termios before = m.keyboard.attributes;
    EXPECT_EQ(set_tty_cooked(), 0);
    EXPECT_EQ(std::memcmp(&before, &m.keyboard.attributes, sizeof before), 0);
}

TEST_F(Terminal, RawModeChangesOnlyItsFlagsAndCookedRestoresThem)
{
    sim::Machine& m = with_keys("[]");
    struct termios before = m.keyboard.attributes;
    ASSERT_EQ(set_tty_raw(), 0);
    const struct termios& raw = m.keyboard.attributes;
    EXPECT_TRUE(is_raw(raw));
    // Flags outside raw mode's list are kept.
    EXPECT_EQ(raw.c_oflag & ONLCR, before.c_oflag & ONLCR);
    EXPECT_EQ(raw.c_cflag & CREAD, before.c_cflag & CREAD);
    EXPECT_EQ(set_tty_cooked(), 0);
    EXPECT_EQ(std::memcmp(&before, &m.keyboard.attributes, sizeof before), 0);
}

TEST_F(Terminal, RawTwiceSavesTheRawSettingsSoCookedLeavesTheTerminalRaw)
{
    sim::Machine& m = with_keys("[]");
    ASSERT_EQ(set_tty_raw(), 0);
    ASSERT_EQ(set_tty_raw(), 0);
    EXPECT_EQ(set_tty_cooked(), 0);
    EXPECT_TRUE(is_raw(m.keyboard.attributes));
}

TEST_F(Terminal, KbhitReportsAWaitingKeyUntilGetchTakesIt)
{
    sim::Machine& m = with_keys(R"([{"at": 1, "key": "a"}, {"at": 1, "key": "esc"}])");
    ASSERT_EQ(set_tty_raw(), 0);
    EXPECT_EQ(kbhit(), 0);
    m.clock.advance(999999);
    EXPECT_EQ(kbhit(), 0) << "the key is not there yet";
    m.clock.advance(1);
    EXPECT_EQ(kbhit(), 1);
    EXPECT_EQ(kbhit(), 1) << "polling consumes nothing";
    EXPECT_EQ(getch(), 'a');
    EXPECT_EQ(kbhit(), 1);
    EXPECT_EQ(getch(), KEY_ESC);
    EXPECT_EQ(kbhit(), 1) << "an input at its end reads as ready, as a pipe or /dev/null does";
    EXPECT_EQ(getch(), EOF);
    set_tty_cooked();
}

TEST_F(Terminal, GetchWaitsForTheNextKeyOnTheVirtualClock)
{
    sim::Machine& m = with_keys(R"([{"at": 5, "key": 3}])");
    ASSERT_EQ(set_tty_raw(), 0);
    EXPECT_EQ(getch(), 3) << "Ctrl-C arrives as a key in raw mode";
    EXPECT_EQ(m.clock.elapsed_us(), 5000000u);
    set_tty_cooked();
}

TEST_F(Terminal, CookedDiscardsKeysTypedButNotRead)
{
    sim::Machine& m = with_keys(R"([{"at": 0, "key": "a"}, {"at": 0, "key": "b"}, {"at": 2, "key": "c"}])");
    ASSERT_EQ(set_tty_raw(), 0);
    ASSERT_EQ(set_tty_cooked(), 0);
    m.clock.advance(2000000);
    EXPECT_EQ(getch(), 'c');
}

TEST_F(Terminal, AStandardInputThatIsNoTerminalFailsRawModeWithTheSystemsWords)
{
    sim::install(sim::load_machine_json("{}"));  // no key script: the real standard input
    set_tty_cooked();
    StdinFromFile input("xy");
    struct Case {
        unsigned char quiet;
        const char* console;
    };
    const Case cases[] = {
        {0, "tcgetattr() returned -1 for fildes=0\n"},
        {1, ""},
    };
    for (const Case& c : cases) {
        CMDL_QuietMode = c.quiet;
        std::string console;
        int result;
        {
            CapturedStdout out;
            result = set_tty_raw();
            console = out.text();
        }
        EXPECT_EQ(result, -1);
        EXPECT_EQ(console, c.console);
        EXPECT_EQ(set_tty_cooked(), 0) << "the mode never changed";
    }
    CMDL_QuietMode = 0;
    // Keys are still read, in whatever mode the input is.
    EXPECT_EQ(getch(), 'x');
}

TEST_F(Terminal, ThePipedAnswerToTheLoadQuestionIsReadAfterTheTerminalError)
{
    qbtest::SimDir dir;
    dir.machine(R"({"driver": "loadable", "bmcs": [{"node": "/dev/ipmi0", "buses": {}}]})");
    dir.input("y");
    auto r = dir.run({"-u"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.console.find("Load OpenIPMI drivers? Press Y or N (Yes or No): \r\n"
                             "tcgetattr() returned -1 for fildes=0\n"
                             "Loading OpenIPMI drivers...\r\n"),
              std::string::npos)
        << r.console;
    EXPECT_EQ(r.errors, "Inappropriate ioctl for device\n");
    EXPECT_NE(r.console.find("Total BMC found: 1"), std::string::npos);
}
