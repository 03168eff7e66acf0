// The controller model's flash side, driven command by command as the
// tool's flash sequence drives it: both command sets, the answers, the busy
// and silent times on the virtual clock, refusals out of order, and every
// fault of the machine file, after which the old image must still run.
#include <gtest/gtest.h>

#include "controller.h"
#include "device_bench.h"

using qbtest::DeviceBench;
using qbtest::read_bytes;
using qbtest::read_register;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint64_t kTickMs = 55;

// An image of `size` bytes whose version (bytes 51 to 53) is 3.4.5.
Bytes image_of(size_t size)
{
    Bytes image(size);
    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 1);
    if (size > 53) {
        image[51] = 3;
        image[52] = 4;
        image[53] = 5;
    }
    return image;
}

// The tool's side of the protocol: commands in one of the two command sets.
class FlashDriver {
public:
    FlashDriver(sim::I2cDevice& device, bool qb4083c) : device_(device), qb4083c_(qb4083c) {}

    bool send(Bytes cmd)
    {
        Bytes bytes{0x55, 0xAA};
        if (qb4083c_)
            bytes.push_back(0xF2);
        bytes.insert(bytes.end(), cmd.begin(), cmd.end());
        return device_.write(bytes);
    }
    Bytes answer() { return read_bytes(device_, 6); }

    // Write (E0) or verify (E1) bytes from `from` on; the first address refused, or -1.
    long bytes(uint8_t code, const Bytes& image, size_t from = 0)
    {
        for (size_t a = from; a < image.size(); ++a)
            if (!send({code, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a), image[a]}))
                return static_cast<long>(a);
        return -1;
    }
    // The standard set's wait after the erase: the attempt whose dummy was taken, 0 if none.
    int poll_ready(DeviceBench& bench)
    {
        for (int attempt = 1; attempt <= 45; ++attempt) {
            bench.advance_ms(kTickMs);
            if (send({0xEF}))
                return attempt;
        }
        return 0;
    }

private:
    sim::I2cDevice& device_;
    bool qb4083c_;
};

Bytes registers_60_to_62(sim::I2cDevice& c)
{
    return {static_cast<uint8_t>(read_register(c, 0x60)), static_cast<uint8_t>(read_register(c, 0x61)),
            static_cast<uint8_t>(read_register(c, 0x62))};
}

// The version as the registers and as the version answer show it; both must agree.
Bytes running_version(sim::I2cDevice& c)
{
    Bytes regs = registers_60_to_62(c);
    FlashDriver tool(c, false);
    EXPECT_TRUE(tool.send({0xED}));
    Bytes a = tool.answer();
    EXPECT_EQ(a.size(), 6u);
    if (a.size() == 6) {
        EXPECT_EQ(Bytes(a.begin() + 3, a.end()), regs) << "version answer and registers disagree";
    }
    return regs;
}

std::string controller(const std::string& extra = "")
{
    return R"({"type": "qb40xx", "address": "0xC0", "chip_id": 73, "firmware": [1, 0, 0],
               "registers": {"0x44": "0x01"})" +
           extra + "}";
}

}  // namespace

TEST(ControllerFlash, StandardSequenceAsTheToolDrivesIt)
{
    DeviceBench bench;
    auto placed = bench.make(controller());
    auto& c = dynamic_cast<sim::Controller&>(*placed.device);
    FlashDriver tool(c, false);
    Bytes image = image_of(300);
    c.write(Bytes{0x44, 0xFF});
    bench.forget();

    ASSERT_TRUE(tool.send({0xED}));
    EXPECT_EQ(tool.answer(), (Bytes{0x55, 0xAA, 0xED, 1, 0, 0}));

    // The default erase is busy for 500 ms: nine dummies 1 tick apart are
    // refused, the tenth is taken; meanwhile nothing else is acknowledged.
    ASSERT_TRUE(tool.send({0xEE}));
    EXPECT_EQ(read_register(c, 0x63), -1);
    EXPECT_FALSE(tool.send({0xE0, 0, 0, image[0]}));
    EXPECT_EQ(tool.poll_ready(bench), 10);

    EXPECT_EQ(tool.bytes(0xE0, image), -1);
    EXPECT_EQ(c.staging_bank()[299], image[299]);
    EXPECT_EQ(running_version(c), (Bytes{1, 0, 0})) << "writing leaves the running image alone";
    EXPECT_EQ(tool.bytes(0xE1, image), -1);
    ASSERT_TRUE(tool.send({0xE2}));
    EXPECT_EQ(tool.answer(), (Bytes{0x55, 0xAA, 0xE2, 0x01, 0x00, 0x00}));

    ASSERT_TRUE(tool.send({0xF0}));
    // Silent for the default 5000 ms, reads included.
    EXPECT_FALSE(tool.send({0xEF}));
    EXPECT_TRUE(read_bytes(c, 1).empty());
    bench.advance_ms(4999);
    EXPECT_FALSE(tool.send({0xEF}));
    bench.advance_ms(10000 + kTickMs + 2 * kTickMs - 4999);
    EXPECT_TRUE(tool.send({0xEF}));
    EXPECT_EQ(running_version(c), (Bytes{3, 4, 5}));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), c.running_image().begin()));
    EXPECT_EQ(c.running_image()[300], 0xFF) << "beyond the image the flash is erased";
    EXPECT_EQ(c.reg(sim::Controller::kFail), 0x01) << "the reset brings back the power-on LEDs";

    auto trace = bench.trace_lines();
    const std::vector<std::string> expected_events{
        "flash bmc0 bus 0x01 0xC0 erase, busy 500 ms",
        "flash bmc0 bus 0x01 0xC0 refused 55 AA E0 00 00 01: erasing",
        "flash bmc0 bus 0x01 0xC0 status 55 AA E2 01 00 00",
        "led bmc0 bus 0x01 0xC0 fail 01",
        "flash bmc0 bus 0x01 0xC0 downcopy and reset, running FW 03 04 05",
        "flash bmc0 bus 0x01 0xC0 refused 55 AA EF: resetting",
    };
    for (const auto& line : expected_events)
        EXPECT_NE(std::find(trace.begin(), trace.end(), line), trace.end()) << line;
    EXPECT_EQ(std::count_if(trace.begin(), trace.end(),
                            [](const std::string& l) { return l.ends_with("55 AA EF: erasing"); }),
              9);
}

TEST(ControllerFlash, QB4083CSequenceWithChecksums)
{
    DeviceBench bench;
    auto placed = bench.make(R"({"type": "qb40xx", "address": "0xC4", "chip_id": 84})");
    auto& c = dynamic_cast<sim::Controller&>(*placed.device);
    FlashDriver tool(c, true);
    Bytes image = image_of(0x1000);

    ASSERT_TRUE(tool.send({0xED}));
    EXPECT_EQ(tool.answer(), (Bytes{0x55, 0xAA, 0xED, 1, 0, 0}));
    ASSERT_TRUE(tool.send({0xEE}));
    bench.advance_ms(2000);
    EXPECT_EQ(tool.bytes(0xE0, image), -1);
    EXPECT_EQ(tool.bytes(0xE1, image), -1);
    ASSERT_TRUE(tool.send({0xE2}));
    EXPECT_EQ(tool.answer(), (Bytes{0x55, 0xAA, 0xE2, 0x01, 0x00, 0x00}));

    // The checksum is the 16-bit sum of the bank; erased bytes count as 0xFF.
    unsigned sum = 0;
    for (size_t a = 0; a < c.flash_size(); ++a)
        sum += a < image.size() ? image[a] : 0xFF;
    const Bytes pass{'P', 'A', 'S', 'S', static_cast<uint8_t>(sum >> 8 & 0xFF), static_cast<uint8_t>(sum)};
    ASSERT_TRUE(tool.send({0xE8}));
    bench.advance_ms(1000);
    EXPECT_EQ(tool.answer(), pass);
    bench.advance_ms(5000);
    ASSERT_TRUE(tool.send({0xF0}));
    bench.advance_ms(10000 + kTickMs);
    ASSERT_TRUE(tool.send({0xE5})) << "back without polling after the fixed wait";
    bench.advance_ms(2000);
    EXPECT_EQ(tool.answer(), pass) << "the lower flash now holds the same image";
    ASSERT_TRUE(tool.send({0xED}));
    EXPECT_EQ(tool.answer(), (Bytes{0x55, 0xAA, 0xED, 3, 4, 5}));
    bench.advance_ms(1000);
    EXPECT_TRUE(c.write(Bytes{0x55, 0xAA, 0xE7}));
    EXPECT_EQ(registers_60_to_62(c), (Bytes{3, 4, 5}));
    // The QB4083C register form reads the new version too.
    ASSERT_TRUE(c.write(Bytes{0x55, 0xAA, 0xF2, 0x62}));
    EXPECT_EQ(read_bytes(c, 1), Bytes{5});
}

TEST(ControllerFlash, StatusAnswerCases)
{
    struct Case {
        const char* name;
        std::string faults;
        size_t image_size;
        size_t verify_count;  // image bytes verified, from address 0
        long wrong_verify;    // address verified with a wrong byte, or -1
        Bytes status;
        bool downcopy;
    };
    const Case cases[] = {
        {"good", "", 64, 64, -1, {0x55, 0xAA, 0xE2, 1, 0, 0}, true},
        {"compare error stored", R"("compare_error_at": 10)", 64, 64, -1, {0x55, 0xAA, 0xE2, 1, 1, 0}, false},
        {"compare error beyond image", R"("compare_error_at": 100)", 64, 64, -1, {0x55, 0xAA, 0xE2, 1, 0, 0}, true},
        {"two wrong bytes sent", "", 64, 64, 5, {0x55, 0xAA, 0xE2, 1, 1, 0}, false},
        {"empty image", "", 0, 0, -1, {0x55, 0xAA, 0xE2, 0, 0, 0}, false},
        {"one byte left unverified", "", 64, 63, -1, {0x55, 0xAA, 0xE2, 0, 0, 0}, false},
        {"bad header", R"("status": "55 AA E3 01 00 00")", 64, 64, -1, {0x55, 0xAA, 0xE3, 1, 0, 0}, true},
        {"reported unverified", R"("status": "55 AA E2 00 00 07")", 64, 64, -1, {0x55, 0xAA, 0xE2, 0, 0, 7}, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        DeviceBench bench;
        auto placed = bench.make(controller(R"(, "erase_ms": 0, "faults": {)" + k.faults + "}"));
        auto& c = *placed.device;
        FlashDriver tool(c, false);
        Bytes image = image_of(k.image_size);
        ASSERT_TRUE(tool.send({0xEE}));
        ASSERT_EQ(tool.bytes(0xE0, image), -1);
        Bytes sent = image;
        sent.resize(k.verify_count);
        if (k.wrong_verify >= 0)
            sent[static_cast<size_t>(k.wrong_verify)] ^= 0x80;
        ASSERT_EQ(tool.bytes(0xE1, sent), -1);
        ASSERT_TRUE(tool.send({0xE2}));
        EXPECT_EQ(tool.answer(), k.status);
        // Only an image that really verified may replace the running one.
        EXPECT_EQ(tool.send({0xF0}), k.downcopy);
        bench.advance_ms(10000);
        EXPECT_EQ(running_version(c), k.downcopy && k.image_size > 53 ? (Bytes{3, 4, 5}) : (Bytes{1, 0, 0}));
    }
}

TEST(ControllerFlash, CommandsOutOfOrderAreRefused)
{
    const Bytes erase{0x55, 0xAA, 0xEE}, w0{0x55, 0xAA, 0xE0, 0, 0, 9}, w1{0x55, 0xAA, 0xE0, 0, 1, 9},
        v0{0x55, 0xAA, 0xE1, 0, 0, 9}, end{0x55, 0xAA, 0xE2};
    struct Case {
        const char* name;
        std::vector<Bytes> accepted;  // sent first, each acknowledged
        Bytes refused;
    };
    const Case cases[] = {
        {"write before an erase", {}, w0},
        {"verify before an erase", {}, v0},
        {"verify before writing", {erase}, v0},
        {"write after verifying began", {erase, w0, v0}, w1},
        {"address written twice", {erase, w0}, w0},
        {"address verified twice", {erase, w0, v0}, v0},
        {"address beyond a 0x2000 flash", {erase, {0x55, 0xAA, 0xE0, 0x1F, 0xFF, 1}}, {0x55, 0xAA, 0xE0, 0x20, 0, 1}},
        {"end of verification before an erase", {}, end},
        {"verify after the end of verification", {erase, w0, end}, v0},
        {"downcopy before the end of verification", {erase, w0, v0}, {0x55, 0xAA, 0xF0}},
        {"downcopy without any session", {}, {0x55, 0xAA, 0xF0}},
        {"upper checksum before the end", {{0x55, 0xAA, 0xF2, 0xEE}}, {0x55, 0xAA, 0xF2, 0xE8}},
        {"session in the other command set", {erase}, {0x55, 0xAA, 0xF2, 0xE0, 0, 0, 9}},
        {"downcopy in the other command set", {erase, w0, v0, end}, {0x55, 0xAA, 0xF2, 0xF0}},
        {"checksum in the standard set", {}, {0x55, 0xAA, 0xE5}},
        {"dummy in the QB4083C set", {}, {0x55, 0xAA, 0xF2, 0xEF}},
        {"closing command with 0xF2", {}, {0x55, 0xAA, 0xF2, 0xE7}},
        {"version with a stray byte", {}, {0x55, 0xAA, 0xED, 0x00}},
        {"write one operand short", {erase}, {0x55, 0xAA, 0xE0, 0, 0}},
        {"register form with a stray byte", {}, {0x55, 0xAA, 0xF2, 0x60, 0x00}},
        {"unknown command", {}, {0x55, 0xAA, 0x12}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        DeviceBench bench;
        auto placed = bench.make(controller(R"(, "erase_ms": 0)"));
        auto& c = *placed.device;
        for (const Bytes& b : k.accepted)
            ASSERT_TRUE(c.write(b));
        EXPECT_FALSE(c.write(k.refused));
        auto trace = bench.trace_lines();
        ASSERT_FALSE(trace.empty());
        EXPECT_TRUE(trace.back().starts_with("flash bmc0 bus 0x01 0xC0 refused")) << trace.back();
        EXPECT_EQ(running_version(c), (Bytes{1, 0, 0}));
    }
}

TEST(ControllerFlash, AbortResetKeepsTheOldImage)
{
    for (bool qb4083c : {false, true}) {
        DeviceBench bench;
        auto placed = bench.make(controller(R"(, "erase_ms": 0)"));
        auto& c = *placed.device;
        FlashDriver tool(c, qb4083c);
        Bytes image = image_of(512);
        ASSERT_TRUE(tool.send({0xEE}));
        ASSERT_EQ(tool.bytes(0xE0, image), -1);
        ASSERT_TRUE(tool.send({0xF1}));
        EXPECT_FALSE(tool.send({0xED})) << "silent while it resets";
        bench.advance_ms(5000);
        EXPECT_EQ(running_version(c), (Bytes{1, 0, 0}));
        EXPECT_FALSE(tool.send({0xE1, 0, 0, image[0]})) << "the session ended with the reset";
        EXPECT_EQ(bench.trace_lines().back(), "flash bmc0 bus 0x01 0xC0 refused " +
                                                  std::string(qb4083c ? "55 AA F2 " : "55 AA ") +
                                                  "E1 00 00 01: verify before an erase");
    }
}

TEST(ControllerFlash, FaultsLeaveTheOldImageRunning)
{
    struct Case {
        const char* name;
        std::string faults;
        long write_refused_at;  // -1: the whole image is written
        long verify_refused_at;
        bool end_acknowledged;
        bool downcopy_acknowledged;
        bool back_after_reset;
        Bytes version_after;  // empty: nothing answers any more
    };
    const Bytes old_fw{1, 0, 0}, new_fw{3, 4, 5};
    const Case cases[] = {
        {"no fault", "", -1, -1, true, true, true, new_fw},
        {"write refused at an address", R"("refuse": [{"command": "write", "at": "0x0100"}])", 0x100, -1, false,
         false, true, old_fw},
        {"verify refused at an address", R"("refuse": [{"command": "verify", "at": 300}])", -1, 300, true, false,
         true, old_fw},
        {"end of verification refused", R"("refuse": [{"command": "end_verify"}])", -1, -1, false, false, true,
         old_fw},
        {"downcopy refused", R"("refuse": [{"command": "downcopy"}])", -1, -1, true, false, true, old_fw},
        {"compare error", R"("compare_error_at": 7)", -1, -1, true, false, true, old_fw},
        {"never back", R"("never_back": true)", -1, -1, true, true, false, {}},
        {"lost power for ever", R"("stop_at": "0x0180")", 0x180, -1, false, false, false, {}},
        {"lost power for a while", R"("stop_at": "0x0180", "stop_ms": 1000)", 0x180, -1, false, false, true,
         old_fw},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        DeviceBench bench;
        auto placed = bench.make(controller(R"(, "erase_ms": 0, "faults": {)" + k.faults + "}"));
        auto& c = *placed.device;
        FlashDriver tool(c, false);
        Bytes image = image_of(512);
        ASSERT_TRUE(tool.send({0xEE}));
        long refused = tool.bytes(0xE0, image);
        EXPECT_EQ(refused, k.write_refused_at);
        bool end = false, downcopy = false;
        if (refused < 0) {
            EXPECT_EQ(tool.bytes(0xE1, image), k.verify_refused_at);
            end = tool.send({0xE2});
            downcopy = end && tool.send({0xF0});
        }
        EXPECT_EQ(end, k.end_acknowledged);
        EXPECT_EQ(downcopy, k.downcopy_acknowledged);
        bench.advance_ms(10000 + 45 * 2 * kTickMs);
        EXPECT_EQ(tool.send({0xEF}), k.back_after_reset);
        if (k.version_after.empty())
            EXPECT_EQ(read_register(c, 0x60), -1);
        else
            EXPECT_EQ(running_version(c), k.version_after);
    }
}

TEST(ControllerFlash, RefusalsLimitedInNumberThenAccepted)
{
    DeviceBench bench;
    auto placed = bench.make(controller(R"(, "erase_ms": 0,
        "faults": {"refuse": [{"command": "write", "at": 3, "times": 2}, {"command": "version", "times": 1}]})"));
    auto& c = *placed.device;
    FlashDriver tool(c, false);
    EXPECT_FALSE(tool.send({0xED}));
    EXPECT_TRUE(tool.send({0xED}));
    ASSERT_TRUE(tool.send({0xEE}));
    Bytes image = image_of(8);
    EXPECT_EQ(tool.bytes(0xE0, image), 3);
    EXPECT_EQ(tool.bytes(0xE0, image, 3), 3);
    EXPECT_EQ(tool.bytes(0xE0, image, 3), -1) << "the third attempt at address 3 goes through";
    EXPECT_EQ(bench.trace_lines().back(), "flash bmc0 bus 0x01 0xC0 refused 55 AA E0 00 03 16: fault");
}

TEST(ControllerFlash, ChecksumFailuresDoNotBlockTheDowncopy)
{
    for (const char* which : {"upper", "lower", "both"}) {
        SCOPED_TRACE(which);
        DeviceBench bench;
        auto placed = bench.make(controller(std::string(R"(, "erase_ms": 0, "faults": {"checksum_fails": ")") +
                                            which + "\"}"));
        auto& c = *placed.device;
        FlashDriver tool(c, true);
        Bytes image = image_of(100);
        ASSERT_TRUE(tool.send({0xEE}));
        ASSERT_EQ(tool.bytes(0xE0, image), -1);
        ASSERT_EQ(tool.bytes(0xE1, image), -1);
        ASSERT_TRUE(tool.send({0xE2}));
        ASSERT_TRUE(tool.send({0xE8}));
        Bytes upper = tool.answer();
        ASSERT_TRUE(tool.send({0xF0}));
        bench.advance_ms(10055);
        ASSERT_TRUE(tool.send({0xE5}));
        Bytes lower = tool.answer();
        std::string w = which;
        EXPECT_EQ(std::string(upper.begin(), upper.begin() + 4), w == "lower" ? "PASS" : "FAIL");
        EXPECT_EQ(std::string(lower.begin(), lower.begin() + 4), w == "upper" ? "PASS" : "FAIL");
        EXPECT_EQ(Bytes(upper.begin() + 4, upper.end()), Bytes(lower.begin() + 4, lower.end()));
        EXPECT_EQ(running_version(c), (Bytes{3, 4, 5}));
    }
}
