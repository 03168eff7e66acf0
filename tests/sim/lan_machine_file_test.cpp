// SPDX-License-Identifier: MIT
// A LAN BMC in a machine file: what is refused names its field, and what is
// taken means what sim/README.md says.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <sstream>

#include "sim/current_machine.h"
#include "sim/machine_file/machine_file.h"

namespace {

std::string with_lan(const std::string& lan, const std::string& more_bmcs = "")
{
    return R"({"bmcs": [{"lan": )" + lan + "}" + more_bmcs + "]}";
}

}  // namespace

TEST(LanMachineFile, MalformedLanFieldsAreRefusedByName)
{
    const std::pair<std::string, const char*> cases[] = {
        {with_lan(R"({"users": []})"), "bmcs[0].lan"},
        {with_lan(R"({"ipv4": "192.0.2.300"})"), "bmcs[0].lan.ipv4"},
        {with_lan(R"({"ipv6": "[2001:db8::1]"})"), "bmcs[0].lan.ipv6"},
        {with_lan(R"({"host": "bmc a"})"), "bmcs[0].lan.host"},
        {with_lan(R"({"host": "a", "port": 0})"), "bmcs[0].lan.port"},
        {with_lan(R"({"host": "a", "colour": "red"})"), "bmcs[0].lan.colour"},
        {with_lan(R"({"host": "a", "users": [{"name": "seventeen-letters", "password": "x"}]})"),
         "bmcs[0].lan.users[0].name"},
        {with_lan(R"({"host": "a", "users": [{"name": "a", "password": "twenty-one-characters"}]})"),
         "bmcs[0].lan.users[0].password"},
        {with_lan(R"({"host": "a", "users": [{"name": "a", "password": "x", "password_hex": "01"}]})"),
         "bmcs[0].lan.users[0].password_hex"},
        {with_lan(R"({"host": "a", "users": [{"name": "a", "privilege": "root"}]})"),
         "bmcs[0].lan.users[0].privilege"},
        {with_lan(R"({"host": "a", "users": [{"name": "a"}, {"name": "a"}]})"), "bmcs[0].lan.users[1].name"},
        {with_lan(R"({"host": "a", "kg_hex": "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 00 11 22 33 44"})"),
         "bmcs[0].lan.kg_hex"},
        {with_lan(R"({"host": "a", "cipher_suites": [8]})"), "bmcs[0].lan.cipher_suites[0]"},
        {with_lan(R"({"host": "a", "cipher_suites": [20]})"), "bmcs[0].lan.cipher_suites[0]"},
        {with_lan(R"({"host": "a", "cipher_suites": [3, 3]})"), "bmcs[0].lan.cipher_suites[1]"},
        {with_lan(R"({"host": "a", "session_timeout_s": 0})"), "bmcs[0].lan.session_timeout_s"},
        {with_lan(R"({"host": "a", "guid": "01 02"})"), "bmcs[0].lan.guid"},
        {with_lan(R"({"host": "a", "faults": [{"message": "rakp2", "drop": true}]})"),
         "bmcs[0].lan.faults[0].message"},
        {with_lan(R"({"host": "a", "faults": [{"message": "open_session"}]})"), "bmcs[0].lan.faults[0]"},
        {with_lan(R"({"host": "a", "faults": [{"direction": "request", "forge": "integrity"}]})"),
         "bmcs[0].lan.faults[0].forge"},
        {with_lan(R"({"host": "a", "faults": [{"message": "rakp1", "forge": "integrity"}]})"),
         "bmcs[0].lan.faults[0].forge"},
        {with_lan(R"({"host": "a", "faults": [{"message": "master_write_read", "status": 13}]})"),
         "bmcs[0].lan.faults[0].status"},
        {with_lan(R"({"host": "a", "faults": [{"message": "rakp1", "request": "18 52"}]})"),
         "bmcs[0].lan.faults[0].request"},
        {with_lan(R"({"host": "a", "faults": [{"drop": true, "duplicate": true}]})"), "bmcs[0].lan.faults[0]"},
        {with_lan(R"({"host": "a", "faults": [{"probability": 2, "drop": true}]})"),
         "bmcs[0].lan.faults[0].probability"},
        {with_lan(R"({"host": "a", "events": [{"event": "restart"}]})"), "bmcs[0].lan.events[0]"},
        {with_lan(R"({"host": "a", "events": [{"event": "reboot", "at": 1}]})"), "bmcs[0].lan.events[0].event"},
        {with_lan(R"({"host": "a", "events": [{"event": "restart", "at": 1, "before_request": 2}]})"),
         "bmcs[0].lan.events[0].before_request"},
        {with_lan(R"({"host": "a", "events": [{"event": "drop_sessions", "at": 1, "down_ms": 5}]})"),
         "bmcs[0].lan.events[0].down_ms"},
        {with_lan(R"({"ipv4": "192.0.2.1"})", R"(, {"lan": {"ipv4": "192.0.2.1"}})"), "bmcs[1].lan"},
        {with_lan(R"({"host": "a"})", R"(, {"lan": {"host": "a", "port": 624}})"), "bmcs[1].lan.host"},
        {R"({"bmcs": [{"node": "/dev/ipmi0", "faults": [{"road": "lan", "wrong_id": true}]}]})",
         "bmcs[0].faults[0]"},
        {R"({"bmcs": [{"node": "/dev/ipmi0", "faults": [{"road": "wifi", "lose": true}]}]})",
         "bmcs[0].faults[0].road"},
    };
    for (const auto& [json, field] : cases) {
        SCOPED_TRACE(json);
        try {
            sim::load_machine_json(json);
            ADD_FAILURE() << "accepted";
        } catch (const sim::MachineFileError& e) {
            EXPECT_EQ(e.field(), field) << e.what();
        }
    }
}

TEST(LanMachineFile, DefaultsAndDerivedAddresses)
{
    auto m = sim::load_machine_json(with_lan(R"({"host": "bmc-a"})", R"(, {"lan": {"host": "bmc-b", "kg_hex": "00 00"}})"));
    const sim::lan::LanConfig& a = m->bmcs[0].lan->config();
    EXPECT_EQ(a.cipher_suites, (std::vector<uint8_t>{17, 3}));
    EXPECT_EQ(a.address.port, 623);
    EXPECT_EQ(a.session_timeout_us, 60'000'000u);
    EXPECT_EQ(a.master_write_read_privilege, 3);
    EXPECT_TRUE(a.enabled);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &*a.address.ipv4, text, sizeof text);
    EXPECT_STREQ(text, "198.51.100.1");
    inet_ntop(AF_INET, &*m->bmcs[1].lan->config().address.ipv4, text, sizeof text);
    EXPECT_STREQ(text, "198.51.100.2");
    EXPECT_TRUE(m->bmcs[1].lan->config().kg.empty()) << "a K_G of zeros is none";
    EXPECT_FALSE(m->bmcs[0].driver_node) << "a LAN BMC needs no device node";
}

TEST(LanMachineFile, ExampleMachinesLoad)
{
    for (const char* name : {"lan_bmc.json", "lan_four_bmcs.json"}) {
        SCOPED_TRACE(name);
        std::ifstream in(std::string(QB40_SOURCE_DIR) + "/sim/machines/" + name);
        std::stringstream text;
        text << in.rdbuf();
        auto m = sim::load_machine_json(text.str());
        for (const auto& bmc : m->bmcs)
            EXPECT_TRUE(bmc.lan);
    }
}
