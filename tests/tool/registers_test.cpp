// SPDX-License-Identifier: MIT
// Controller registers through the I2C layer on both roads: a read is a
// pointer write and a one-byte read, a write carries register and value,
// the QB4083C form puts its command prefix before the register.
#include <gtest/gtest.h>

#include "i2c/registers.h"
#include "road_bench.h"

using namespace qbtest;

namespace {

class RegisterRoads : public testing::TestWithParam<Path> {};

INSTANTIATE_TEST_SUITE_P(Registers, RegisterRoads, testing::Values(Path::Driver, Path::Kcs),
                         [](const auto& info) { return path_name(info.param); });

TEST_P(RegisterRoads, EachAccessSendsItsBytesAndFailsAsMinusOne)
{
    enum Op { Read, Write, Read4083C };
    struct Case { Op op; INT8U bus, addr, reg; int result; Lines requests; };
    const std::string ptr = "18 52 01 C0 00 ", nak = "18 52 01 C2 00 ";
    const Case cases[] = {
        {Read, 0x01, 0xC0, 0x63, 0x49, {ptr + "63", "18 52 01 C0 01"}},
        {Read, 0x01, 0xC0, 0x44, 255, {ptr + "44", "18 52 01 C0 01"}},  // 0xFF is a value, not a failure
        {Read, 0x01, 0xC2, 0x63, -1, {nak + "63", nak + "63", nak + "63"}},  // no read after a failed pointer write
        {Read, 0x01, 0xC6, 0x63, -1, {"18 52 01 C6 00 63", "18 52 01 C6 01", "18 52 01 C6 01", "18 52 01 C6 01"}},
        {Read, 0x05, 0xC0, 0x63, -1, {"18 52 05 C0 00 63"}},  // a bus the BMC does not have
        {Write, 0x01, 0xC0, 0x40, 1, {ptr + "40 FF"}},
        {Write, 0x01, 0xC2, 0x40, -1, {nak + "40 FF", nak + "40 FF", nak + "40 FF"}},
        {Read4083C, 0x01, 0xC4, 0x64, 3, {"18 52 01 C4 00 55 AA F2 64", "18 52 01 C4 01"}},
        {Read4083C, 0x01, 0xC2, 0x60, -1, {nak + "55 AA F2 60", nak + "55 AA F2 60", nak + "55 AA F2 60"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requests.front());
        // The reads of the bank at 0xC6 are NAKed.
        RoadBench bench(GetParam(),
                        road_machine(R"({"request": "18 52 01 C6 01", "completion_code": "0x83", "count": "all"})"));
        int result = c.op == Read    ? ReadQBreg(c.bus, c.addr, c.reg)
                     : c.op == Write ? WriteQBreg(c.bus, c.addr, c.reg, 0xFF)
                                     : ReadQB4083Creg(c.bus, c.addr, c.reg);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(bench.traffic(), c.requests);
    }
}

}  // namespace
