// SPDX-License-Identifier: MIT
#include "machine_gen.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <utility>

#include "hex.h"

namespace campaign {

using nlohmann::json;

namespace {

constexpr uint8_t kControllerAddresses[] = {0xC0, 0xC2, 0xC4, 0xC6};
const std::vector<std::string> kNodes = {"/dev/ipmi0", "/dev/ipmi1", "/dev/ipmi2", "/dev/ipmi3"};
const std::vector<std::string> kFlashCommands = {"version",        "erase",      "dummy",          "write",
                                                 "verify",         "end_verify", "checksum_upper", "downcopy",
                                                 "checksum_lower", "reset",      "closing"};
const std::vector<std::string> kErrnos = {"EIO",   "EBUSY",    "EAGAIN", "EINVAL",
                                          "EINTR", "EMSGSIZE", "ENXIO",  "ETIMEDOUT"};
const std::vector<std::string> kKcsFaults = {"ibf_stuck",    "error_state",       "error_in_read",
                                             "error_no_obf", "ibf_stuck_in_read", "no_dummy"};

std::string hex(unsigned value, int digits = 2)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// The roads to the machine's BMCs: the driver, the KCS ports (for -dio), or
// an odd mixture.
enum class Roads { Driver, KcsPorts, Mixed };
// A controller's flash fault (sim/README.md).
enum class FlashFault { Refuse, CompareError, Status, ChecksumFails, NeverBack, StopAt };
// How often a BMC fault rule strikes once it starts: once, a few times,
// always, many times.
enum class Repeats { Once, Few, Always, Many };
// What a BMC fault rule does to an exchange.
enum class BmcFault { CompletionCode, Lose, Response, Delay, DriverErrno, WrongId, Kcs };
// An answer in a device's place: success with data, any completion code with
// data, longer than the tool reads, no completion code at all.
enum class Answer { Success, AnyCode, TooLong, NoCode };

// One machine, built device by device. Controller places (bus number and
// address) are never reused within the machine, so the checks can tell
// which controller a device-table record stands for.
class MachineBuilder {
public:
    MachineBuilder(Random& random, const Version& image_version) : r_(random), image_version_(image_version) {}

    MachinePlan build()
    {
        MachinePlan plan;
        json& m = plan.json;
        m["clock"] = {{"start", 1700000000 + r_.below(100000000)}};
        // Most machines hold one family of backplanes, some a mixture.
        family_ = r_.percent(75) ? std::optional<int>(r_.pick({73, 76, 77, 80, 82, 84})) : std::nullopt;

        // The roads: most machines serve their BMCs through the driver; some
        // only through the KCS ports, for -dio; a few are odd mixtures.
        Roads roads = r_.choose<Roads>({{70, Roads::Driver}, {20, Roads::KcsPorts}, {10, Roads::Mixed}});
        int bmcs = r_.choose<int>({{55, 1}, {25, 2}, {10, 3}, {10, 4}});
        plan.kcs_road = roads == Roads::KcsPorts;
        if (roads == Roads::KcsPorts)
            bmcs = r_.percent(80) ? 1 : 2;
        m["driver"] = roads == Roads::KcsPorts
                          ? std::string(r_.percent(60) ? "absent" : "loaded")
                          : r_.choose<std::string>({{80, "loaded"}, {10, "loadable"}, {10, "absent"}});
        if (r_.percent(10))
            m["iopl"] = false;

        std::vector<std::string> nodes = pick_nodes(bmcs);
        std::vector<int> kcs_pairs = {0, 1, 2};
        for (int i = 0; i < bmcs; ++i) {
            json bmc;
            bool node = roads == Roads::Driver || (roads == Roads::Mixed && r_.percent(60));
            bool kcs = roads == Roads::KcsPorts ? i == 0 : r_.percent(roads == Roads::Driver ? 25 : 50);
            if (node)
                bmc["node"] = nodes[static_cast<size_t>(i)];
            if (kcs && !kcs_pairs.empty()) {
                size_t k = r_.below(kcs_pairs.size());
                bmc["kcs"] = kcs_pairs[k];
                kcs_pairs.erase(kcs_pairs.begin() + static_cast<long>(k));
            }
            fill_bmc(bmc, i, bmc.contains("kcs"));
            m["bmcs"].push_back(bmc);
        }
        // A KCS wait polls the status port for 3.96 s of virtual time: slow
        // port accesses keep the polls of a timed-out wait few in real time,
        // and very slow ones where an interface stuck for good makes every
        // later exchange time out.
        if (kcs_pairs.size() < 3)
            m["port_access_ns"] = stuck_for_good_ ? 200000 : r_.pick({10000, 20000, 50000});
        if (r_.percent(10) && !nodes.empty())
            m["vanishing_nodes"] = {{r_.pick(nodes), r_.between(1, 5)}};
        plan.controllers = controllers_;
        return plan;
    }

private:
    // Device nodes in order, with gaps; now and then the older name of the first.
    std::vector<std::string> pick_nodes(int count)
    {
        std::vector<std::string> nodes = kNodes;
        while (static_cast<int>(nodes.size()) > count)
            nodes.erase(nodes.begin() + static_cast<long>(r_.below(nodes.size())));
        if (r_.percent(8))
            nodes[0] = "/dev/ipmidev/0";
        return nodes;
    }

    void fill_bmc(json& bmc, int index, bool kcs)
    {
        // Each exchange on the KCS road polls the status port until the
        // answer is due, so a slow BMC costs real time there.
        if (r_.percent(30))
            bmc["latency_us"] = kcs ? r_.between(1, 30) : r_.between(1, 400);
        std::vector<uint8_t> keys;
        int buses = r_.between(1, 4);
        while (static_cast<int>(keys.size()) < buses) {
            // Mostly the low buses a default scan covers; bus 0 it never scans.
            uint8_t key = static_cast<uint8_t>(r_.choose<int>({{70, r_.between(1, 5)}, {25, r_.between(6, 15)}, {5, 0}}));
            if (std::find(keys.begin(), keys.end(), key) == keys.end())
                keys.push_back(key);
        }
        json buses_json = json::object();
        for (uint8_t key : keys)
            buses_json[hex(key)] = bus(index, key);
        bmc["buses"] = buses_json;
        if (r_.percent(55)) {
            int rules = r_.between(1, 3);
            for (int i = 0; i < rules; ++i)
                bmc["faults"].push_back(fault_rule(keys, bmc.contains("node"), kcs));
        }
    }

    json bus(int bmc, uint8_t key)
    {
        json b;
        json devices = json::array();
        int direct = r_.choose<int>({{15, 0}, {50, 1}, {25, 2}, {10, 3}});  // controllers not behind a mux
        bool qb4077 = false;
        for (int i = 0; i < direct; ++i)
            if (auto c = controller(bmc, key)) {
                qb4077 |= (*c)["chip_id"] == 77;
                devices.push_back(*c);
            }
        if (r_.percent(20)) {
            devices.push_back(mux(bmc, key, r_.percent(85) ? 0xE6 : r_.pick({0xE0, 0xE2, 0xE4, 0xE8, 0xEC}), 0));
            b["bmc_switches_mux"] = r_.percent(50);
        }
        if (r_.percent(35))
            devices.push_back(eeprom(r_.percent(80) ? 0xA0 : 0xA2));
        if (qb4077 && r_.percent(70))
            devices.push_back({{"type", "bytes"}, {"address", "0x40"}, {"contents", spaced_hex(random_bytes(14))}});
        b["devices"] = devices;
        return b;
    }

    std::optional<uint8_t> free_address(uint8_t bus)
    {
        std::vector<uint8_t> free;
        for (uint8_t a : kControllerAddresses)
            if (!used_.count({bus, a}))
                free.push_back(a);
        if (free.empty())
            return std::nullopt;
        // 0xC0 is the one address a scan without -i probes.
        uint8_t address =
            std::find(free.begin(), free.end(), 0xC0) != free.end() && r_.percent(75) ? 0xC0 : r_.pick(free);
        used_.insert({bus, address});
        return address;
    }

    std::optional<json> controller(int bmc, uint8_t bus)
    {
        auto address = free_address(bus);
        if (!address)
            return std::nullopt;
        ControllerModel model;
        model.bmc = bmc;
        model.bus = bus;
        model.address = *address;
        int family = family_ ? *family_ : r_.pick({73, 76, 77, 80, 82, 84});
        // Now and then a chip ID no image is for, or none the device table knows.
        model.chip_id = static_cast<uint8_t>(r_.choose<int>({{88, family},
                                                             {3, 83},
                                                             {3, 75},
                                                             {2, 0x00},
                                                             {2, 0x80},
                                                             {2, r_.between('A', 'Z')}}));
        // The image's version bytes come from 0x20..0x3F and other versions
        // from 0x01..0x1F, so no misread register can match the image.
        if (r_.percent(15))
            model.firmware = image_version_;
        else
            for (uint8_t& b : model.firmware)
                b = static_cast<uint8_t>(r_.between(0x01, 0x1F));
        controllers_.push_back(model);

        json c = {{"type", "qb40xx"},
                  {"address", hex(model.address)},
                  {"chip_id", model.chip_id},
                  {"firmware", {model.firmware[0], model.firmware[1], model.firmware[2]}},
                  {"revision", r_.between(1, 9)}};
        // The standard set waits 45 ticks for an erase and about 15 s for a reset.
        c["erase_ms"] = r_.choose<int>({{85, r_.between(100, 1200)}, {5, 0}, {10, r_.between(2500, 4000)}});
        c["reset_ms"] = r_.choose<int>(
            {{85, r_.between(0, 9000)}, {7, r_.between(10000, 15000)}, {8, r_.between(16000, 40000)}});
        json regs = json::object();
        if (r_.percent(60))
            regs = {{"0x30", r_.byte()}, {"0x36", r_.byte()}, {"0x38", r_.byte()}, {"0x56", r_.byte()}};
        if (r_.percent(4))
            regs["0x42"] = regs["0x44"] = 0xFF;  // shows the found mark from power-on
        if (r_.percent(5))
            regs["0x40"] = r_.byte();
        if (!regs.empty())
            c["registers"] = regs;
        if (r_.percent(30))
            c["faults"] = controller_faults();
        return c;
    }

    uint16_t flash_address() { return static_cast<uint16_t>(r_.percent(80) ? r_.below(0x200) : r_.below(0x4000)); }

    json controller_faults()
    {
        json f = json::object();
        int kinds = r_.between(1, 2);
        for (int k = 0; k < kinds; ++k) {
            // Status answers the tool must refuse for an image that is good
            // are what tests its part in the downcopy rule.
            switch (r_.choose<FlashFault>({{25, FlashFault::Refuse},
                                           {15, FlashFault::CompareError},
                                           {25, FlashFault::Status},
                                           {10, FlashFault::ChecksumFails},
                                           {10, FlashFault::NeverBack},
                                           {15, FlashFault::StopAt}})) {
            case FlashFault::Refuse: {
                json refusal = {{"command", r_.pick(kFlashCommands)}};
                if ((refusal["command"] == "write" || refusal["command"] == "verify") && r_.percent(50))
                    refusal["at"] = hex(flash_address(), 4);
                if (r_.percent(60))
                    refusal["times"] = r_.between(1, 6);
                f["refuse"].push_back(refusal);
                break;
            }
            case FlashFault::CompareError:
                f["compare_error_at"] = hex(flash_address(), 4);
                break;
            case FlashFault::Status:
                f["status"] = r_.pick({std::string("55 AA E3 01 00 00"), std::string("55 AA E2 00 00 00"),
                                       std::string("55 AA E2 01 00 00"), std::string("55 AA E2 01 03 00"),
                                       spaced_hex(random_bytes(6))});
                break;
            case FlashFault::ChecksumFails:
                f["checksum_fails"] = r_.pick({"upper", "lower", "both"});
                break;
            case FlashFault::NeverBack:
                f["never_back"] = true;
                break;
            case FlashFault::StopAt:
                f["stop_at"] = hex(flash_address(), 4);
                if (r_.percent(50))
                    f["stop_ms"] = r_.between(100, 20000);
            }
        }
        return f;
    }

    json mux(int bmc, uint8_t bus, int address, int depth)
    {
        json channels = json::object();
        std::vector<int> numbers = {1, 2, 3, 4, 5, 6, 7, 8};
        int used = r_.between(1, 4);
        for (int i = 0; i < used; ++i) {
            size_t n = r_.below(numbers.size());
            int channel = numbers[n];
            numbers.erase(numbers.begin() + static_cast<long>(n));
            json devices = json::array();
            if (depth == 0 && r_.percent(10)) {
                devices.push_back(mux(bmc, bus, address == 0xE6 ? 0xE4 : 0xE6, depth + 1));
            } else if (auto c = controller(bmc, bus)) {
                devices.push_back(*c);
            }
            channels[std::to_string(channel)] = devices;
        }
        json m = {{"type", "mux"}, {"address", hex(static_cast<unsigned>(address))}, {"channels", channels}};
        // Channels someone else switched on before the run.
        if (r_.percent(20))
            m["mask"] = hex(static_cast<unsigned>(r_.between(1, 255)));
        return m;
    }

    json eeprom(uint8_t address)
    {
        json e = {{"type", "eeprom"}, {"address", hex(address)}};
        if (r_.percent(20))
            e["size"] = r_.between(1, 256);
        size_t size = e.contains("size") ? e["size"].get<size_t>() : 256;
        e["contents"] = spaced_hex(random_bytes(std::min<size_t>(size, r_.below(97))));
        return e;
    }

    std::vector<uint8_t> random_bytes(size_t n)
    {
        std::string bytes = r_.bytes(n);
        return std::vector<uint8_t>(bytes.begin(), bytes.end());
    }

    json fault_rule(const std::vector<uint8_t>& buses, bool driver, bool kcs)
    {
        json rule;
        if (r_.percent(40))
            rule["road"] = driver && (!kcs || r_.percent(50)) ? "driver" : "kcs";
        if (r_.percent(25))
            rule["bus"] = hex(r_.percent(80) ? r_.pick(buses) : static_cast<uint8_t>(r_.below(16)));
        if (r_.percent(25))
            rule["address"] = hex(r_.pick({0xC0, 0xC2, 0xC4, 0xC6, 0xA0, 0xE6, 0x40}));
        if (r_.percent(20))
            rule["request"] = request_prefix(buses);
        rule["nth"] = r_.choose<int>({{50, r_.between(1, 10)}, {35, r_.between(11, 300)}, {15, r_.between(301, 5000)}});
        Repeats repeats =
            r_.choose<Repeats>({{35, Repeats::Once}, {35, Repeats::Few}, {15, Repeats::Always}, {15, Repeats::Many}});
        if (repeats == Repeats::Always)
            rule["count"] = "all";
        else
            rule["count"] = repeats == Repeats::Once  ? 1
                            : repeats == Repeats::Few ? r_.between(2, 6)
                                                      : r_.between(7, 100);
        if (r_.percent(40))
            rule["probability"] = r_.pick({0.5, 0.2, 0.05, 0.01, 0.001});
        rule["seed"] = r_.below(1ULL << 32);
        fault_action(rule, repeats == Repeats::Always || repeats == Repeats::Many);
        // On the KCS road each of these costs the tool up to four timed-out
        // waits: a few of them per run.
        bool kcs_road = kcs && rule.value("road", "kcs") == "kcs";
        if (kcs_road && (rule.contains("lose") || rule.contains("kcs") || rule.contains("delay_ms")))
            rule["count"] = r_.between(1, 5);
        return rule;
    }

    std::string request_prefix(const std::vector<uint8_t>& buses)
    {
        std::string head =
            "18 52 " + hex(r_.pick(buses)).substr(2) + " " + hex(r_.pick({0xC0, 0xC2, 0xC4, 0xC6})).substr(2);
        return r_.pick({std::string("18 52"), head + " 00 55 AA", head + " 00 55 AA EE", head + " 00 55 AA F0",
                        head + " 00 55 AA E2", head + " 00 55 AA E0", head + " 01", head + " 06", head + " 00 63"});
    }

    void fault_action(json& rule, bool many)
    {
        switch (r_.choose<BmcFault>({{30, BmcFault::CompletionCode},
                                     {15, BmcFault::Lose},
                                     {10, BmcFault::Response},
                                     {10, BmcFault::Delay},
                                     {15, BmcFault::DriverErrno},
                                     {5, BmcFault::WrongId},
                                     {15, BmcFault::Kcs}})) {
        case BmcFault::CompletionCode:
            rule["completion_code"] = hex(r_.percent(85) ? r_.pick({0x81, 0x82, 0x83, 0x84, 0xC0, 0xFF, 0xCC})
                                                         : static_cast<unsigned>(r_.between(1, 0xFE)));
            break;
        case BmcFault::Lose:
            rule["lose"] = true;
            break;
        case BmcFault::Response: {
            // Answers the tool may take for a device's, others it must refuse.
            std::vector<uint8_t> bytes = {0x1C, 0x52};
            Answer answer = r_.choose<Answer>(
                {{40, Answer::Success}, {30, Answer::AnyCode}, {20, Answer::TooLong}, {10, Answer::NoCode}});
            if (answer == Answer::Success || answer == Answer::AnyCode)
                bytes.push_back(answer == Answer::Success ? 0x00 : r_.byte());
            size_t extra = answer == Answer::TooLong ? r_.between(33, 70) : answer == Answer::NoCode ? 0 : r_.below(9);
            for (size_t i = 0; i < extra; ++i)
                bytes.push_back(r_.byte());
            rule["response"] = spaced_hex(bytes);
            break;
        }
        case BmcFault::Delay:
            rule["delay_ms"] = many ? r_.between(1, 2) : r_.between(1, 5000);
            break;
        case BmcFault::DriverErrno:
            rule["road"] = "driver";
            rule[r_.pick({std::string("send_errno"), std::string("select_errno"), std::string("receive_errno")})] =
                r_.pick(kErrnos);
            break;
        case BmcFault::WrongId:
            rule["road"] = "driver";
            rule["wrong_id"] = true;
            break;
        case BmcFault::Kcs: {
            rule["road"] = "kcs";
            std::string kind = r_.pick(kKcsFaults);
            rule["kcs"] = kind;
            if (kind.starts_with("ibf_stuck")) {
                // Mostly for a while; now and then for good.
                if (r_.percent(80))
                    rule["for_ms"] = r_.between(1, 6000);
                else
                    stuck_for_good_ = true;
            }
        }
        }
    }

    Random& r_;
    Version image_version_;
    std::optional<int> family_;  // the chip ID of every valid controller, unless mixed
    bool stuck_for_good_ = false;
    std::set<std::pair<uint8_t, uint8_t>> used_;  // controller places: bus number, address
    std::vector<ControllerModel> controllers_;
};

}  // namespace

void add_real_bmc_ways(Random& r, json& machine)
{
    if (!machine.contains("bmcs"))
        return;
    for (json& bmc : machine["bmcs"]) {
        bool hangs_kcs = false;
        json none = json::array();
        for (json& rule : bmc.contains("faults") ? bmc["faults"] : none) {
            // On such an interface a BMC that lost an answer, or delays one
            // past the host's wait, holds IBF as long: the host's writes are
            // lost meanwhile, and every later request with them.
            hangs_kcs = hangs_kcs || rule.contains("lose") || rule.contains("delay_ms") || rule.contains("kcs");
            bool own_answer = rule.contains("completion_code") || rule.contains("response");
            if (own_answer && r.percent(40))
                rule["delay_ms"] = r.between(1, 30);
        }
        if (bmc.contains("kcs") && r.percent(30))
            bmc["kcs_handshake"] = {{"dummy_after_write", r.percent(80)}, {"ibf_while_busy", !hangs_kcs && r.percent(80)}};
    }
}

MachinePlan generate_machine(Random& random, const Version& image_version)
{
    return MachineBuilder(random, image_version).build();
}

}  // namespace campaign
