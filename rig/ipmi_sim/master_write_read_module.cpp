// SPDX-License-Identifier: MIT
// A module for OpenIPMI's ipmi_sim (its "loadlib" line) that answers Master
// Write-Read (NetFn App, command 0x52) from the buses of one BMC of a
// machine file, with the simulator's own BMC model. ipmi_sim, a BMC this
// project did not write, carries the LAN sessions (RMCP+, its cipher
// suites, users, privileges, sequence numbers); the answers to Master
// Write-Read are the simulator's byte for byte, so a run over the LAN road
// against ipmi_sim can be held to the same machine on qb40tool-sim.
//
//   loadlib "/path/qb40sim-ipmi.so" "machine=FILE [bmc=N] [trace=FILE] [port_file=FILE] [session_timeout=S]"
//
// machine          the machine file (sim/README.md); its BMC N (default 0)
//                  answers. The machine's fault rules and answer time are
//                  not applied: ipmi_sim answers at once, and whatever a
//                  test wants lost or late it does between client and BMC.
// trace            the simulator's trace of the BMC's devices, with one
//                  "BMC ipmi_sim request: ..." and "... response: ..." line
//                  per Master Write-Read, in the driver's message layout.
// port_file        gets the UDP port the LAN channel listens on, in decimal,
//                  once ipmi_sim is ready (the configuration may ask for
//                  port 0, any free port).
// session_timeout  seconds a session may stay idle before ipmi_sim closes
//                  it (ipmi_sim's own default is 30).
//
// ipmi_sim hands a command handler a fixed answer buffer (36 bytes for a
// request that came over the LAN: the completion code and 35 data bytes). A
// read that cannot fit is refused with 0xCA ("cannot return the number of
// requested data bytes") before the device is touched, so an EEPROM's or
// controller's pointer is not moved by a read whose answer was dropped.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <vector>

extern "C" {
#include <OpenIPMI/mcserv.h>
}

#include "sim/basics/json_field.h"
#include "sim/bmc/bmc.h"
#include "sim/machine_file/machine_file.h"

namespace {

constexpr uint8_t kNetFnApp = 0x06;
constexpr uint8_t kCmdMasterWriteRead = 0x52;
constexpr uint8_t kCcCannotReturnCount = 0xCA;
constexpr uint8_t kLanMedium = 0x04;  // 802.3 LAN, the channel medium type

struct Options {
    std::string machine;
    size_t bmc = 0;
    std::string trace;
    std::string port_file;
    unsigned session_timeout = 0;  // 0: ipmi_sim's own
};

// "key=value" words separated by blanks. Returns an empty string or what is wrong.
std::string parse_options(const char* text, Options& o)
{
    std::istringstream words(text ? text : "");
    std::string word;
    while (words >> word) {
        size_t eq = word.find('=');
        if (eq == std::string::npos)
            return "option without a value: " + word;
        std::string key = word.substr(0, eq);
        std::string value = word.substr(eq + 1);
        char* end = nullptr;
        if (key == "machine")
            o.machine = value;
        else if (key == "trace")
            o.trace = value;
        else if (key == "port_file")
            o.port_file = value;
        else if (key == "bmc" || key == "session_timeout") {
            unsigned long n = std::strtoul(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || n > 100000)
                return "not a number: " + word;
            if (key == "bmc")
                o.bmc = n;
            else
                o.session_timeout = static_cast<unsigned>(n);
        } else
            return "unknown option: " + key;
    }
    if (o.machine.empty())
        return "no machine=FILE";
    return {};
}

class Module {
public:
    Module(Options options, std::unique_ptr<sim::Machine> machine)
        : options_(std::move(options)), machine_(std::move(machine)),
          core_(*machine_->bmcs[options_.bmc].core), started_(std::chrono::steady_clock::now())
    {
    }

    const Options& options() const { return options_; }
    sim::Machine& machine() { return *machine_; }

    // One request (its data: bus byte, address, read count, bytes to write)
    // into `answer` (completion code, data), with room for `room` bytes.
    unsigned answer(const uint8_t* data, unsigned length, uint8_t* answer, unsigned room)
    {
        follow_wall_clock();
        std::vector<uint8_t> request{kNetFnApp << 2, kCmdMasterWriteRead};
        request.insert(request.end(), data, data + length);
        sim::Trace& trace = machine_->trace;
        const char* bmc = core_.name().c_str();
        trace.line("%s ipmi_sim request: %s", bmc, sim::Trace::hex(request).c_str());
        if (!room_seen_) {
            trace.line("%s ipmi_sim answer room %u bytes", bmc, room);
            room_seen_ = true;
        }
        std::vector<uint8_t> response;
        if (length >= 3 && 1u + data[2] > room)
            response = {static_cast<uint8_t>(request[0] | 0x04), kCmdMasterWriteRead, kCcCannotReturnCount};
        else
            response = core_.handle(request);
        trace.line("%s ipmi_sim response: %s", bmc, sim::Trace::hex(response).c_str());
        // The core answers in the driver's layout: NetFn/LUN, command, then
        // the completion code and data that ipmi_sim wants.
        unsigned n = static_cast<unsigned>(response.size() - 2);
        if (n > room) {  // never past ipmi_sim's buffer, whatever the model answers
            answer[0] = kCcCannotReturnCount;
            return 1;
        }
        std::memcpy(answer, response.data() + 2, n);
        return n;
    }

private:
    // The devices' times (an erase, a reset) pass as the wall clock does.
    void follow_wall_clock()
    {
        auto elapsed = std::chrono::steady_clock::now() - started_;
        machine_->clock.advance_to(
            static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()));
    }

    Options options_;
    std::unique_ptr<sim::Machine> machine_;
    sim::BmcCore& core_;
    std::chrono::steady_clock::time_point started_;
    bool room_seen_ = false;
};

std::unique_ptr<Module> the_module;

void master_write_read(lmc_data_t*, msg_t* msg, unsigned char* rdata, unsigned int* rdata_len, void* cb_data)
{
    auto* module = static_cast<Module*>(cb_data);
    *rdata_len = module->answer(msg->data, msg->len, rdata, *rdata_len);
}

std::unique_ptr<sim::Machine> load(const std::string& path)
{
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "qb40sim-ipmi: cannot read machine file %s\n", path.c_str());
        return nullptr;
    }
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return sim::load_machine_json(text.str());
    } catch (const sim::MachineFileError& e) {
        std::fprintf(stderr, "qb40sim-ipmi: machine file %s: field %s: %s\n", path.c_str(), e.field().c_str(),
                     e.what());
        return nullptr;
    }
}

// The UDP port this process listens on: ipmi_sim opens one socket per LAN
// address, and does not say which port the system gave it.
int bound_udp_port()
{
    DIR* fds = opendir("/proc/self/fd");
    if (!fds)
        return -1;
    int port = -1;
    while (dirent* entry = readdir(fds)) {
        int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9' || fd == dirfd(fds))
            continue;
        int type = 0;
        socklen_t length = sizeof type;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_DGRAM)
            continue;
        sockaddr_storage address{};
        length = sizeof address;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            continue;
        if (address.ss_family == AF_INET)
            port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        else if (address.ss_family == AF_INET6)
            port = ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }
    closedir(fds);
    return port;
}

// Written whole and renamed into place: a reader never sees half of it.
bool publish(const std::string& path, int value)
{
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary);
        out << value << '\n';
        if (!out)
            return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    return !error;
}

}  // namespace

// ipmi_sim finds these by name; everything else stays inside the module.
#define QB40_EXPORT __attribute__((visibility("default")))

extern "C" {

QB40_EXPORT int ipmi_sim_module_print_version(sys_data_t*, char*)
{
    std::printf("qb40sim-ipmi: Master Write-Read from the simulator's BMC model\n");
    return 0;
}

QB40_EXPORT int ipmi_sim_module_init(sys_data_t*, const char* initstr)
{
    Options options;
    std::string wrong = parse_options(initstr, options);
    if (!wrong.empty()) {
        std::fprintf(stderr, "qb40sim-ipmi: %s\n", wrong.c_str());
        return EINVAL;
    }
    std::unique_ptr<sim::Machine> machine = load(options.machine);
    if (!machine)
        return EINVAL;
    if (options.bmc >= machine->bmcs.size()) {
        std::fprintf(stderr, "qb40sim-ipmi: machine file %s has no BMC %zu\n", options.machine.c_str(), options.bmc);
        return EINVAL;
    }
    if (!options.trace.empty() && !machine->trace.open(options.trace)) {
        std::fprintf(stderr, "qb40sim-ipmi: cannot create trace file %s\n", options.trace.c_str());
        return EINVAL;
    }
    the_module = std::make_unique<Module>(std::move(options), std::move(machine));
    return ipmi_emu_register_cmd_handler(kNetFnApp, kCmdMasterWriteRead, master_write_read, the_module.get());
}

// After ipmi_sim has opened its LAN channels: the sessions' idle timeout,
// then the port, which also tells the script that started us that we are ready.
QB40_EXPORT int ipmi_sim_module_post_init(sys_data_t* sys)
{
    const Options& options = the_module->options();
    lmc_data_t* bmc = sys->ipmb_addrs[sys->bmc_ipmb];
    if (options.session_timeout && bmc) {
        channel_t** channels = sys->mc_get_channelset(bmc);
        for (int i = 0; i < IPMI_MAX_CHANNELS; ++i)
            if (channels[i] && channels[i]->medium_type == kLanMedium)
                static_cast<lanserv_data_t*>(channels[i]->chan_info)->default_session_timeout =
                    options.session_timeout;
    }
    if (!options.port_file.empty()) {
        int port = bound_udp_port();
        if (port < 0 || !publish(options.port_file, port)) {
            std::fprintf(stderr, "qb40sim-ipmi: cannot tell the LAN port in %s\n", options.port_file.c_str());
            return EINVAL;
        }
    }
    return 0;
}

}  // extern "C"
