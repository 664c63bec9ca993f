// The reader workbench: runs the reader driver on the simulated machine and prints what happened,
// on the virtual timeline. With no arguments it plays the default scenario.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/driver.h"
#include "platform/host/pnp_manager.h"

namespace {

void usage() {
    std::puts("usage: qward-workbench [--seed N]\n"
              "  Plays the default scenario: load the driver, plug in two readers, show how the\n"
              "  smart card library describes each, and remove them again.");
}

void say(sim::Kernel& k, const std::string& who, const std::string& what) {
    std::printf("[%10.3f ms] %-8s %s\n", sim::to_ms(k.now()), who.c_str(), what.c_str());
}

std::string attribute(const UCHAR* buffer, USHORT length) {
    std::string text(reinterpret_cast<const char*>(buffer), length);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return "\"" + text + "\" (" + std::to_string(length) + " bytes)";
}

std::string protocols(ULONG mask) {
    std::string text;
    if (mask & SCARD_PROTOCOL_T0) text += " T=0";
    if (mask & SCARD_PROTOCOL_T1) text += " T=1";
    if (mask & SCARD_PROTOCOL_RAW) text += " raw";
    return text.empty() ? " none" : text;
}

void describe(sim::Kernel& k, const std::string& name, PDEVICE_OBJECT fdo) {
    auto* ext = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    const SMARTCARD_EXTENSION& sc = ext->SmartcardExtension;
    const SCARD_READER_CAPABILITIES& caps = sc.ReaderCapabilities;
    say(k, "smclib", name + ": vendor " + attribute(sc.VendorAttr.VendorName.Buffer, sc.VendorAttr.VendorName.Length) +
                         ", reader type " + attribute(sc.VendorAttr.IfdType.Buffer, sc.VendorAttr.IfdType.Length) +
                         ", unit " + std::to_string(sc.VendorAttr.UnitNo));
    say(k, "smclib", name + ": protocols" + protocols(caps.SupportedProtocols) + ", clock " +
                         std::to_string(caps.CLKFrequency.Default) + " kHz, data rate " +
                         std::to_string(caps.DataRate.Default) + " to " + std::to_string(caps.DataRate.Max) +
                         " bit/s, max IFSD " + std::to_string(caps.MaxIFSD) + ", card state " +
                         std::to_string(caps.CurrentState));
}

int run_default_scenario(uint64_t seed) {
    std::printf("Tavelo Q-ward workbench: default scenario, seed %llu\n\n", static_cast<unsigned long long>(seed));
    sim::Kernel k(seed);
    sim::Bus bus(k);
    sim::PnpManager pnp(k, bus);
    size_t printed = 0;
    auto flush_debug = [&] {
        for (; printed < k.debug_log().size(); ++printed) {
            std::string text = k.debug_log()[printed].text;
            while (!text.empty() && text.back() == '\n') text.pop_back();
            say(k, "debug", text);
        }
    };

    PDRIVER_OBJECT driver = pnp.load_driver("qward", &DriverEntry);
    say(k, "kernel", "driver loaded");
    flush_debug();

    std::vector<sim::DeviceNode*> readers;
    sim::RunOutcome outcome = k.run_thread("pnp", [&] {
        for (const char* name : {"reader0", "reader1"}) {
            sim::DeviceNode& node = pnp.plug(driver, name, nullptr);
            say(k, "pnp", std::string(name) + " plugged in: AddDevice returned " + sim::status_name(node.add_status()));
            if (node.fdo()) {
                describe(k, name, node.fdo());
                readers.push_back(&node);
            }
        }
        for (sim::DeviceNode* node : readers) {
            NTSTATUS status = pnp.remove(*node);
            say(k, "pnp", node->name() + " removed: " + sim::status_name(status));
        }
    });
    flush_debug();
    if (outcome != sim::RunOutcome::completed) {
        std::printf("\nthe run ended in a %s:\n%s%s\n", sim::to_string(outcome), k.bug_check_report().c_str(),
                    k.scheduler().deadlock_report().c_str());
        std::printf("replay with: qward-workbench --seed %llu\n", static_cast<unsigned long long>(seed));
        return 1;
    }
    say(k, "kernel", "pool blocks left: " + std::to_string(k.live_pool().size()));
    return k.live_pool().empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t seed = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 0);
        } else {
            usage();
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }
    return run_default_scenario(seed);
}
