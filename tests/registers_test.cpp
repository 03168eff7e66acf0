// Controller registers through the I2C layer on both roads: a read is a
// pointer write and a one-byte read, a write carries register and value,
// the QB4083C form puts its command prefix before the register.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/qb40tool.h"
#include "road_bench.h"

using qbtest::one_bmc;
using qbtest::Path;
using qbtest::RoadBench;

namespace {

// A register bank at 0xC0 and a controller at 0xC4 on bus 0x01; nothing at 0xC2.
const std::string kMachine = one_bmc(
    R"("buses": {"0x01": {"devices": [
        {"type": "registers", "address": "0xC0", "registers": {"0x63": "0x49", "0x44": "0xFF", "0x30": "0x00"}},
        {"type": "qb40xx", "address": "0xC4", "chip_id": "S", "firmware": [7, 8, 9], "revision": 3}]}})");

class RegisterRoads : public testing::TestWithParam<Path> {};

INSTANTIATE_TEST_SUITE_P(Registers, RegisterRoads, testing::Values(Path::Driver, Path::Kcs),
                         [](const auto& info) { return qbtest::path_name(info.param); });

TEST_P(RegisterRoads, ReadsAreAPointerWriteAndAOneByteRead)
{
    struct Case {
        INT8U busID, addr, reg;
        int value;
        std::vector<std::string> requests;
    };
    const Case cases[] = {
        {0x01, 0xC0, 0x63, 0x49, {"18 52 01 C0 00 63", "18 52 01 C0 01"}},
        {0x01, 0xC0, 0x44, 255, {"18 52 01 C0 00 44", "18 52 01 C0 01"}},  // 0xFF is a value, not a failure
        {0x01, 0xC0, 0x30, 0, {"18 52 01 C0 00 30", "18 52 01 C0 01"}},
        // Nobody at 0xC2: the pointer write is NAKed three times and no read follows.
        {0x01, 0xC2, 0x63, -1, {"18 52 01 C2 00 63", "18 52 01 C2 00 63", "18 52 01 C2 00 63"}},
        // A bus the BMC does not have: one 0xCC and done.
        {0x05, 0xC0, 0x63, -1, {"18 52 05 C0 00 63"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.busID) << " " << int(c.addr) << " " << int(c.reg));
        RoadBench bench(GetParam(), kMachine);
        EXPECT_EQ(ReadQBreg(c.busID, c.addr, c.reg), c.value);
        EXPECT_EQ(bench.requests(), c.requests);
    }
}

TEST_P(RegisterRoads, AReadWhoseReadPartFailsIsMinusOne)
{
    // The pointer write goes through, the read is answered 0x83 three times.
    RoadBench bench(GetParam(), one_bmc(R"("buses": {"0x01": {"devices": [{"type": "registers", "address": "0xC0"}]}},
        "faults": [{"request": "18 52 01 C0 01", "completion_code": "0x83", "count": "all"}])"));
    EXPECT_EQ(ReadQBreg(0x01, 0xC0, 0x63), -1);
    EXPECT_EQ(bench.requests(),
              (std::vector<std::string>{"18 52 01 C0 00 63", "18 52 01 C0 01", "18 52 01 C0 01", "18 52 01 C0 01"}));
}

TEST_P(RegisterRoads, WritesCarryRegisterAndValue)
{
    RoadBench bench(GetParam(), kMachine);
    EXPECT_EQ(WriteQBreg(0x01, 0xC0, 0x40, 0xFF), 1);
    EXPECT_EQ(ReadQBreg(0x01, 0xC0, 0x40), 0xFF);
    EXPECT_EQ(WriteQBreg(0x01, 0xC2, 0x40, 0xFF), -1);
    EXPECT_EQ(bench.requests(), (std::vector<std::string>{"18 52 01 C0 00 40 FF", "18 52 01 C0 00 40", "18 52 01 C0 01",
                                                          "18 52 01 C2 00 40 FF", "18 52 01 C2 00 40 FF",
                                                          "18 52 01 C2 00 40 FF"}));
}

TEST_P(RegisterRoads, TheQB4083CFormSendsItsPrefixBeforeTheRegister)
{
    RoadBench bench(GetParam(), kMachine);
    EXPECT_EQ(ReadQB4083Creg(0x01, 0xC4, 0x60), 7);
    EXPECT_EQ(ReadQB4083Creg(0x01, 0xC4, 0x64), 3);
    EXPECT_EQ(ReadQB4083Creg(0x01, 0xC2, 0x60), -1);
    EXPECT_EQ(bench.requests(), (std::vector<std::string>{"18 52 01 C4 00 55 AA F2 60", "18 52 01 C4 01",
                                                          "18 52 01 C4 00 55 AA F2 64", "18 52 01 C4 01",
                                                          "18 52 01 C2 00 55 AA F2 60", "18 52 01 C2 00 55 AA F2 60",
                                                          "18 52 01 C2 00 55 AA F2 60"}));
}

}  // namespace
