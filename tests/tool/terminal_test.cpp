// SPDX-License-Identifier: MIT
// Raw and cooked terminal modes, single keys and key polling, on the
// simulated terminal of a key script and on a standard input that is not a
// terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "sim/current_machine.h"
#include "sim/machine_file/machine_file.h"
#include "sim_run.h"
#include "waits/terminal.h"

namespace {

bool is_raw(const struct termios& t)
{
    return (t.c_lflag & (ECHO | ICANON | IEXTEN | ISIG)) == 0 &&
           (t.c_iflag & (BRKINT | ICRNL | INPCK | ISTRIP | IXON)) == 0 && (t.c_oflag & OPOST) == 0 &&
           (t.c_cflag & (CSIZE | PARENB)) == CS8 && t.c_cc[VMIN] == 1 && t.c_cc[VTIME] == 0;
}

}  // namespace

// Each test gets a machine whose operator types the given key script, and
// leaves the terminal module cooked and a plain machine for the tests after it.
class Terminal : public ::testing::Test {
protected:
    sim::Machine& with_keys(const std::string& keys)
    {
        sim::install(sim::load_machine_json(R"({"keys": )" + keys + "}"));
        set_tty_cooked();
        return sim::machine();
    }
    void TearDown() override
    {
        set_tty_cooked();
        sim::install(sim::load_machine_json("{}"));
    }
};

TEST_F(Terminal, RawModeChangesOnlyItsFlagsAndCookedRestoresTheSavedOnes)
{
    sim::Machine& m = with_keys("[]");
    const struct termios before = m.keyboard.attributes;
    EXPECT_EQ(set_tty_cooked(), 0);
    EXPECT_EQ(std::memcmp(&before, &m.keyboard.attributes, sizeof before), 0) << "cooked without raw";
    ASSERT_EQ(set_tty_raw(), 0);
    EXPECT_TRUE(is_raw(m.keyboard.attributes));
    EXPECT_EQ(m.keyboard.attributes.c_oflag & ONLCR, before.c_oflag & ONLCR) << "a flag raw mode leaves alone";
    EXPECT_EQ(set_tty_cooked(), 0);
    EXPECT_EQ(std::memcmp(&before, &m.keyboard.attributes, sizeof before), 0);
    // Raw twice saves the raw settings, so cooked then leaves the terminal raw.
    ASSERT_EQ(set_tty_raw(), 0);
    ASSERT_EQ(set_tty_raw(), 0);
    EXPECT_EQ(set_tty_cooked(), 0);
    EXPECT_TRUE(is_raw(m.keyboard.attributes));
}

TEST_F(Terminal, KeysArriveOnTheVirtualClockAndKbhitConsumesNone)
{
    sim::Machine& m = with_keys(R"([{"at": 1, "key": "a"}, {"at": 1, "key": "esc"}, {"at": 5, "key": 3}])");
    ASSERT_EQ(set_tty_raw(), 0);
    EXPECT_EQ(kbhit(), 0);
    m.clock.advance(999999);
    EXPECT_EQ(kbhit(), 0) << "the key is not there yet";
    m.clock.advance(1);
    EXPECT_EQ(kbhit(), 1);
    EXPECT_EQ(kbhit(), 1) << "polling consumes nothing";
    EXPECT_EQ(getch(), 'a');
    EXPECT_EQ(getch(), KEY_ESC);
    EXPECT_EQ(getch(), 3) << "Ctrl-C arrives as a key in raw mode, when it is typed";
    EXPECT_EQ(m.clock.elapsed_us(), 5000000u);
    EXPECT_EQ(kbhit(), 1) << "an input at its end reads as ready, as a pipe or /dev/null does";
    EXPECT_EQ(getch(), EOF);
}

TEST_F(Terminal, CookedDiscardsKeysTypedButNotRead)
{
    sim::Machine& m = with_keys(R"([{"at": 0, "key": "a"}, {"at": 0, "key": "b"}, {"at": 2, "key": "c"}])");
    ASSERT_EQ(set_tty_raw(), 0);
    ASSERT_EQ(set_tty_cooked(), 0);
    m.clock.advance(2000000);
    EXPECT_EQ(getch(), 'c');
}

TEST_F(Terminal, AKeyGivenByItsLookComesAtThatLookWhateverTheTime)
{
    // Looks: every kbhit and every getch. The first key at the third look,
    // the second at the fifth but not before 7 s, the third at the ninth.
    sim::Machine& m = with_keys(R"([{"look": 3, "key": "a"}, {"look": 5, "at": 7, "key": "b"},
                                    {"look": 9, "key": "c"}])");
    ASSERT_EQ(set_tty_raw(), 0);
    m.clock.advance(60000000);
    EXPECT_EQ(kbhit(), 0) << "look 1: long after any time, but not the look";
    EXPECT_EQ(kbhit(), 0) << "look 2";
    EXPECT_EQ(kbhit(), 1) << "look 3";
    EXPECT_EQ(kbhit(), 1) << "look 4: still there, polling consumes nothing";
    EXPECT_EQ(getch(), 'a');
    EXPECT_EQ(m.clock.elapsed_us(), 60000000u) << "no wait for a key that is there";
    // A read before the key's look takes it: the operator answers when asked.
    EXPECT_EQ(getch(), 'b');
    EXPECT_EQ(m.clock.elapsed_us(), 60000000u) << "its time had passed";
    EXPECT_EQ(kbhit(), 0) << "look 7";
    EXPECT_EQ(kbhit(), 0) << "look 8";
    EXPECT_EQ(kbhit(), 1) << "look 9";
    EXPECT_EQ(getch(), 'c');
    EXPECT_EQ(getch(), EOF);
}

TEST_F(Terminal, AKeyGivenByItsLookWaitsForItsTimeWhenReadEarlier)
{
    sim::Machine& m = with_keys(R"([{"look": 1, "at": 2.5, "key": "y"}])");
    EXPECT_EQ(getch(), 'y');
    EXPECT_EQ(m.clock.elapsed_us(), 2500000u) << "the operator answered at 2.5 s";
}

TEST(TerminalRun, AnInputThatIsNoTerminalFailsRawModeWithTheSystemsWordsAndIsStillRead)
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
