// SPDX-License-Identifier: MIT
// qb40sim-capture diff: which changes to a capture count as differences,
// with and without the times, and how they are shown.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/capture/capture_diff.h"
#include "sim/basics/json_field.h"

namespace {

const std::vector<std::string> kDiffBase = {
    R"({"capture": "qb40tool", "format": 1, "tool_version": "3.31", "program": "/usr/sbin/qb40tool", "arguments": ["--capture", "a.jsonl"], "start_us": 1700000000000000, "time_zone": {"name": "UTC", "utc_offset_s": 0}, "image": null, "redacted": []})",
    R"({"t":0,"e":"time","v":1700000000})",
    R"({"t":0,"e":"open","path":"/dev/ipmi0","flags":2,"r":13})",
    R"({"t":10,"e":"x","fd":13,"id":1,"req":"18 52 01 C0 00 63","rt":12,"resp":"1C 52 00"})",
    R"({"t":20,"e":"x","fd":13,"id":2,"req":"18 52 01 C0 01","rt":22,"resp":"1C 52 00 4D"})",
    R"({"t":30,"e":"kcs","status":"0x0CA3","data":"0x0CA2","req":"18 52 01 C0 01","resp":"1C 52 00 4D","ports":"s00*2 c61 s88*3 w18 s41*4 d1C","t1":40,"n":12})",
    R"({"t":50,"e":"sleep","us":1000})",
};

struct DiffCase {
    const char* name;
    size_t line;  // 0-based line of kDiffBase to replace; SIZE_MAX: insert `text` after line 3
    std::string text;
    bool times;
    size_t differences;
    const char* shown;  // in the text, when it differs
};

const DiffCase kDiffCases[] = {
    {"the same capture", 1, kDiffBase[1], false, 0, ""},
    {"another answer", 4, R"({"t":20,"e":"x","fd":13,"id":2,"req":"18 52 01 C0 01","rt":22,"resp":"1C 52 00 4E"})",
     false, 1, "B line 5: x request 18 52 01 C0 01 (id 2), answer 1C 52 00 4E"},
    {"another request", 3, R"({"t":10,"e":"x","fd":13,"id":1,"req":"18 52 01 C0 00 64","rt":12,"resp":"1C 52 00"})",
     false, 1, "A line 4: x request 18 52 01 C0 00 63 (id 1), answer 1C 52 00"},
    {"an error instead of the answer", 3, R"({"t":10,"e":"x","fd":13,"id":1,"req":"18 52 01 C0 00 63","send_errno":"EIO"})",
     false, 1, "no answer send_errno=EIO"},
    {"a device node that did not open", 2, R"({"t":0,"e":"open","path":"/dev/ipmi0","flags":2,"r":-1,"errno":"ENOENT"})",
     false, 1, "errno=ENOENT"},
    {"another descriptor for the node (a kernel's lowest free one): no difference", 2,
     R"({"t":0,"e":"open","path":"/dev/ipmi0","flags":2,"r":5})", false, 0, ""},
    {"later answers: no difference", 4, R"({"t":25,"e":"x","fd":13,"id":2,"req":"18 52 01 C0 01","rt":90,"resp":"1C 52 00 4D"})",
     false, 0, ""},
    {"later answers, with the times", 4, R"({"t":25,"e":"x","fd":13,"id":2,"req":"18 52 01 C0 01","rt":90,"resp":"1C 52 00 4D"})",
     true, 1, "rt=90"},
    {"the error state where the answer was awaited", 5, R"({"t":30,"e":"kcs","status":"0x0CA3","data":"0x0CA2","req":"18 52 01 C0 01","resp":"1C 52 00 4D","ports":"s00*2 c61 s88*3 w18 sC0*2 s41*4 d1C","t1":40,"n":12})",
     false, 1, "sC0"},
    {"longer status waits: no difference", 5, R"({"t":30,"e":"kcs","status":"0x0CA3","data":"0x0CA2","req":"18 52 01 C0 01","resp":"1C 52 00 4D","ports":"s00*9~1200 c61 s88*3 w18 s41*40 d1C","t1":1900,"n":60})",
     false, 0, ""},
    {"another date: no difference", 1, R"({"t":0,"e":"time","v":1800000000})", false, 0, ""},
    {"another date, with the times", 1, R"({"t":0,"e":"time","v":1800000000})", true, 1, "v=1800000000"},
    {"a request more: only that one, the message ids after it shifted", SIZE_MAX,
     R"({"t":15,"e":"x","fd":13,"id":2,"req":"18 52 01 E6 01","rt":16,"resp":"1C 52 83"})", false, 1,
     "only in B, line 5: x request 18 52 01 E6 01 (id 2), answer 1C 52 83"},
    {"another command line", 0,
     R"({"capture": "qb40tool", "format": 1, "tool_version": "3.31", "program": "/usr/sbin/qb40tool", "arguments": ["-vpd", "--capture", "b.jsonl"], "start_us": 1700000000000000, "time_zone": {"name": "UTC", "utc_offset_s": 0}, "image": null, "redacted": []})",
     false, 1, "\"-vpd\""},
};

TEST(CaptureDiff, CountsWhatDiffersAndShowsItWithItsLines)
{
    for (const DiffCase& c : kDiffCases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> b = kDiffBase;
        if (c.line == SIZE_MAX) {
            b.insert(b.begin() + 4, c.text);
            // The run numbers its messages: every later id is one more.
            b[5] = R"({"t":20,"e":"x","fd":13,"id":3,"req":"18 52 01 C0 01","rt":22,"resp":"1C 52 00 4D"})";
        } else {
            b[c.line] = c.text;
        }
        sim::capture::CaptureDiff d = sim::capture::diff_captures(kDiffBase, b, {.times = c.times});
        EXPECT_EQ(d.differences, c.differences) << d.text;
        EXPECT_NE(d.text.find(c.shown), std::string::npos) << d.text;
        if (c.differences == 0) {
            EXPECT_EQ(d.text, "");
        }
    }
}

TEST(CaptureDiff, ShowsTheFirstDifferencesAndCountsTheRest)
{
    std::vector<std::string> b = kDiffBase;
    for (size_t i = 3; i <= 5; ++i)
        b[i].replace(b[i].find("\"req\":\"18"), 9, "\"req\":\"19");
    sim::capture::CaptureDiff d = sim::capture::diff_captures(kDiffBase, b, {}, 2);
    EXPECT_EQ(d.differences, 3u);
    EXPECT_NE(d.text.find("A line 4:"), std::string::npos) << d.text;
    EXPECT_NE(d.text.find("B line 5:"), std::string::npos) << d.text;
    EXPECT_EQ(d.text.find("line 6:"), std::string::npos) << d.text;
    EXPECT_NE(d.text.find("... 1 more differences"), std::string::npos) << d.text;
}

// The same transfer through a real interface: a dummy byte after every byte
// written, IBF held while the BMC works. Only --ignore-ports sees no
// difference in it; an answer that differs is one all the same.
TEST(CaptureDiff, IgnoringThePortsComparesKcsTransfersByRequestAndAnswer)
{
    const std::string real = R"({"t":30,"e":"kcs","status":"0x0CA3","data":"0x0CA2","req":"18 52 01 C0 01",)"
                             R"("resp":"1C 52 00 4D","ports":"s00*2 c61 s89*3 d00 w18 s81*3 d00 w52 s81*3 d00 w01 )"
                             R"(s81*3 d00 wC0 s81 c62 s89*3 d00 w01 s82*212 s41*4 d1C","t1":900,"n":260})";
    struct Case { std::string a, b; bool ignore_ports; size_t differences; };
    std::string other_answer = real;
    other_answer.replace(other_answer.find("00 4D"), 5, "00 4E");
    // How long the BMC held IBF, even whether it did at all before the
    // answer was there, is a time.
    std::string at_once = real;
    at_once.replace(at_once.find(" s82*212"), 8, "");
    const Case cases[] = {{kDiffBase[5], real, false, 1}, {kDiffBase[5], real, true, 0},
                          {kDiffBase[5], other_answer, true, 1}, {real, at_once, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.b + (c.ignore_ports ? " --ignore-ports" : ""));
        std::vector<std::string> a = kDiffBase, b = kDiffBase;
        a[5] = c.a;
        b[5] = c.b;
        sim::capture::CaptureDiff d = sim::capture::diff_captures(a, b, {.ignore_ports = c.ignore_ports});
        EXPECT_EQ(d.differences, c.differences) << d.text;
    }
}

// Byte commands that one recorder joined into a run and the other wrote one
// by one (a real interface's status reads vary from command to command, and
// a run keeps only commands whose accesses are alike) are the same calls:
// a run holds no image byte, so a command's data byte is not compared.
TEST(CaptureDiff, ARunOfByteCommandsIsTheCommandsItStandsFor)
{
    const std::string ports = "s00*2 c61 s81*3 d00 w18 s81*3 d00 w52 s81*3 d00 w01 s81*3 d00 wC0 s81*3 d00 w00 "
                              "s81*3 d00 w55 s81*3 d00 wAA s81*3 d00 wE0 s81*3 d00 w%s s81*3 d00 w%s s81 c62 s81*3 "
                              "d00 w%s s82*%d s41*4 d1C w68 s41*3 d52 w68 s41*3 d00 w68 s01*3 d00";
    auto transfer = [&](int address, const char* data, int busy, const char* resp) {
        char text[1024];
        char address_high[4], address_low[4];
        std::snprintf(address_high, sizeof address_high, "%02X", address >> 8);
        std::snprintf(address_low, sizeof address_low, "%02X", address & 0xFF);
        char port_text[512];
        std::snprintf(port_text, sizeof port_text, ports.c_str(), address_high, address_low, data, busy);
        std::snprintf(text, sizeof text,
                      R"({"t":%d,"e":"kcs","status":"0x0CA3","data":"0x0CA2","req":"18 52 01 C0 00 55 AA E0 %s %s %s",)"
                      R"("resp":"%s","ports":"%s","t1":%d,"n":60})",
                      100 * address, address_high, address_low, data, resp, port_text, 100 * address + 90);
        return std::string(text);
    };
    std::vector<std::string> run = {kDiffBase[0]};
    char pattern[512];
    std::snprintf(pattern, sizeof pattern, ports.c_str(), "??", "??", "??", 149);
    run.push_back(std::string(R"({"t":0,"e":"kcs_run","status":"0x0CA3","data":"0x0CA2","prefix":"18 52 01 C0 00 55 AA E0",)") +
                  R"("first":0,"count":3,"resp":"1C 52 00","polls":[2],"ports":")" + pattern + R"(","t1":300})");
    struct Case { const char* name; std::vector<std::string> lines; size_t differences; };
    const Case cases[] = {
        {"one by one, each with its own status reads",
         {kDiffBase[0], transfer(0, "11", 140, "1C 52 00"), transfer(1, "22", 212, "1C 52 00"),
          R"({"t":250,"e":"poll","r":0})", transfer(2, "33", 96, "1C 52 00")},
         0},
        {"one of them answered otherwise",
         {kDiffBase[0], transfer(0, "11", 140, "1C 52 00"), transfer(1, "22", 212, "1C 52 83"),
          R"({"t":250,"e":"poll","r":0})", transfer(2, "33", 96, "1C 52 00")},
         1},
        {"one at another address",
         {kDiffBase[0], transfer(0, "11", 140, "1C 52 00"), transfer(5, "22", 212, "1C 52 00"),
          R"({"t":250,"e":"poll","r":0})", transfer(2, "33", 96, "1C 52 00")},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::capture::CaptureDiff d = sim::capture::diff_captures(run, c.lines, {});
        EXPECT_EQ(d.differences, c.differences) << d.text;
    }
}

TEST(CaptureDiff, ALineThatIsNoJsonIsNamed)
{
    std::vector<std::string> b = kDiffBase;
    b[3] = "{\"t\":";
    try {
        sim::capture::diff_captures(kDiffBase, b, {});
        FAIL() << "a broken line was taken";
    } catch (const sim::MachineFileError& e) {
        EXPECT_EQ(e.field(), "B line 4");  // which capture, and its line
    }
}

}  // namespace
