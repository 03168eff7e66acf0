// SPDX-License-Identifier: MIT
// qb40sim-bmc: serves one BMC of a machine file as a virtual machine's
// external BMC, so that a real IPMI driver (or the machine's own KCS
// emulation) talks to the same BMC model, buses, devices and faults as
// qb40tool-sim.
//
//   qb40sim-bmc MACHINE_FILE [--bmc N] [--road driver|kcs] [--port-file FILE]
//               [--trace FILE]
//   qb40sim-bmc MACHINE_FILE [--bmc N] --road lan [--listen ADDR:PORT]
//               [--port-file FILE] [--trace FILE]
//
// Listens on 127.0.0.1 at a port the system picks and writes that port, in
// decimal, to the port file once it accepts connections. Runs until SIGTERM
// or SIGINT.
//
// With --road lan it serves the BMC's LAN interface instead (its "lan" in
// the machine file) over UDP at ADDR:PORT (default 127.0.0.1:0, port 0: one
// the system picks): IPMI v2.0 RMCP+ sessions, as a console such as
// ipmitool -I lanplus or the tool's network road reaches a BMC.
//
// The machine's KCS interface carries both of the tool's roads; --road tells
// which one the guest uses, for the fault rules that watch one road only.
// Faults that belong to the driver itself (failing ioctls, wrong message ids)
// or to the KCS interface's states cannot be made by a BMC behind the
// machine's own KCS emulation: they are traced and not injected.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

#include "../bmc/bmc.h"
#include "../bmc/faults.h"
#include "../machine_file/machine_file.h"
#include "bmc_server.h"
#include "lan_server.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int) { stop_requested = 1; }

[[noreturn]] void usage(const char* why)
{
    std::fprintf(stderr,
                 "qb40sim-bmc: %s\nusage: qb40sim-bmc MACHINE_FILE [--bmc N] [--road driver|kcs|lan] [--listen ADDR:PORT] "
                 "[--port-file FILE] [--trace FILE]\n",
                 why);
    std::exit(2);
}

struct Options {
    std::string machine_file;
    std::string port_file;
    std::string trace_file;
    std::string listen;
    size_t bmc = 0;
    sim::Road road = sim::Road::Driver;
};

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(("missing value after " + a).c_str());
            return argv[++i];
        };
        if (a == "--port-file")
            o.port_file = value();
        else if (a == "--trace")
            o.trace_file = value();
        else if (a == "--listen")
            o.listen = value();
        else if (a == "--road") {
            std::string r = value();
            if (r == "driver")
                o.road = sim::Road::Driver;
            else if (r == "kcs")
                o.road = sim::Road::Kcs;
            else if (r == "lan")
                o.road = sim::Road::Lan;
            else
                usage("--road takes driver, kcs or lan");
        } else if (a == "--bmc")
            o.bmc = std::strtoul(value().c_str(), nullptr, 10);
        else if (!a.empty() && a[0] == '-')
            usage(("unknown option " + a).c_str());
        else if (o.machine_file.empty())
            o.machine_file = a;
        else
            usage("more than one machine file");
    }
    if (o.machine_file.empty())
        usage("no machine file");
    if (!o.listen.empty() && o.road != sim::Road::Lan)
        usage("--listen is for --road lan");
    if (o.listen.empty())
        o.listen = "127.0.0.1:0";
    return o;
}

std::unique_ptr<sim::Machine> load(const std::string& path)
{
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "qb40sim-bmc: cannot read machine file %s\n", path.c_str());
        std::exit(2);
    }
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return sim::load_machine_json(text.str());
    } catch (const sim::MachineFileError& e) {
        std::fprintf(stderr, "qb40sim-bmc: machine file %s: field %s: %s\n", path.c_str(), e.field().c_str(),
                     e.what());
        std::exit(2);
    }
}

// What a BMC can do to an exchange from its side of the interface: answer
// otherwise, late or never.
bool injectable(const sim::FaultAction& f)
{
    return f.send_errno == 0 && f.receive_errno == 0 && f.select_errno == 0 && !f.wrong_id &&
           f.kcs == sim::KcsFault::None;
}

// The port, written so that a reader never sees a half-written file.
void publish_port(const std::string& path, uint16_t port)
{
    std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary);
        out << port << '\n';
        if (!out) {
            std::fprintf(stderr, "qb40sim-bmc: cannot write %s\n", temporary.c_str());
            std::exit(2);
        }
    }
    std::filesystem::rename(temporary, path);
}

// The BMC's LAN interface over UDP, with the system's random numbers.
int serve_lan(sim::Machine& machine, const Options& options)
{
    sim::Machine::Bmc& bmc = machine.bmcs[options.bmc];
    if (!bmc.lan)
        usage("--road lan needs a BMC with \"lan\" in the machine file");
    sim::lan::LanBmc lan(*bmc.core, bmc.lan->config(), machine.context(),
                         std::make_unique<sim::vm::SystemRandom>());
    try {
        sim::vm::LanServer server(lan, machine.context());
        uint16_t port = server.listen(options.listen);
        if (!options.port_file.empty())
            publish_port(options.port_file, port);
        else
            std::printf("%u\n", port);
        std::fflush(stdout);
        server.run(stop_requested);
    } catch (const std::invalid_argument& e) {
        usage((std::string("--listen ") + options.listen + ": " + e.what()).c_str());
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "qb40sim-bmc: %s\n", e.what());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options = parse(argc, argv);
    std::unique_ptr<sim::Machine> machine = load(options.machine_file);
    if (options.bmc >= machine->bmcs.size())
        usage("the machine file has no such BMC");
    if (machine->clock.real_time())
        usage("clock.real_time is for qb40tool-sim; the external BMC follows the wall clock itself");
    if (!options.trace_file.empty() && !machine->trace.open(options.trace_file)) {
        std::fprintf(stderr, "qb40sim-bmc: cannot create trace file %s\n", options.trace_file.c_str());
        return 2;
    }

    struct sigaction action {};
    action.sa_handler = on_signal;  // no SA_RESTART: the wait must end
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    if (options.road == sim::Road::Lan)
        return serve_lan(*machine, options);

    sim::BmcCore& core = *machine->bmcs[options.bmc].core;
    sim::Trace& trace = machine->trace;
    auto responder = [&](std::span<const uint8_t> request) {
        sim::BmcCore::Outcome out = core.exchange(options.road, request);
        if (out.fault && !injectable(*out.fault)) {
            trace.line("%s vm fault not injected: %s", core.name().c_str(), out.fault->describe().c_str());
            return sim::vm::Session::Answer{core.handle(request), core.latency_us};
        }
        return sim::vm::Session::Answer{std::move(out.response), out.delay_us};
    };

    try {
        sim::vm::BmcServer server(responder, machine->context(), core.name());
        uint16_t port = server.listen_loopback();
        if (!options.port_file.empty())
            publish_port(options.port_file, port);
        else
            std::printf("%u\n", port);
        std::fflush(stdout);
        server.run(stop_requested);
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "qb40sim-bmc: %s\n", e.what());
        return 1;
    }
    return 0;
}
