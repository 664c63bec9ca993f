// The driver-frame test machine: the one machine's driver load and plug-in, Plug and Play sequences in simulated threads, and the removal that ends every test with the kernel's leak check.
#include "driver_fixture.h"

#include "tests/support/test_machine.h"

namespace qward::test {

bool is_card_status_request(const sim::Packet& packet) {
    return packet.size() == 8 && packet[0] == 0x02 && packet[1] == 0x09 && packet[2] == 0x00;
}

Machine::Machine(uint64_t seed, sim::KernelSettings settings, bool pinpad)
    : OneReaderMachine(seed, qward::test_support::fixture_reader(pinpad), settings),
      tap(usb),
      power(machine.power) {
    observer_ = usb.add_observer([this](const sim::BusEvent& event) {
        if (event.kind == sim::BusEventKind::submitted) urb_functions_.push_back(event.function);
    });
    qward::test_support::load_driver_and_plug(*this, unit, &tap);
}

Machine::~Machine() {
    if (!k.bug_checked() && node) {
        switch (node->state()) {
            case sim::NodeState::added:
            case sim::NodeState::started:
            case sim::NodeState::stopped:
                EXPECT_EQ(remove(), STATUS_SUCCESS);
                break;
            case sim::NodeState::surprise_removed:
                run([&] { pnp.finish_removal(*node); }, "finish removal");
                break;
            default:
                break;
        }
        EXPECT_TRUE(k.bug_checked() || !pnp.loaded(driver)) << "the driver was not unloaded after the last removal";
    }
    usb.remove_observer(observer_);
}

bool Machine::run(const std::function<void()>& body, const std::string& name) {
    return qward::test_support::run_to_rest(machine, body, name);
}

void Machine::settle(int64_t ms) {
    run([ms] {
        LARGE_INTEGER interval;
        interval.QuadPart = -ms * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }, "settle");
}

NTSTATUS Machine::start() {
    NTSTATUS status = STATUS_PENDING;
    run([&] { status = pnp.start(*node); }, "start");
    return status;
}

NTSTATUS Machine::remove() {
    NTSTATUS status = STATUS_PENDING;
    run([&] { status = pnp.remove(*node); }, "remove");
    return status;
}

NTSTATUS Machine::unplug() {
    NTSTATUS status = STATUS_PENDING;
    run([&] { status = pnp.unplug(*node); }, "unplug");
    return status;
}

bool Machine::torn_down() const {
    return fdo && !const_cast<sim::Kernel&>(k).find_device(fdo) && !pnp.loaded(driver);
}

void Machine::insert_card_quietly() { machine.insert(unit, std::make_shared<TestCard>(), true); }

void Machine::remove_card_quietly() { machine.remove(unit, true); }

sim::Handle Machine::open() {
    sim::NamedHandle* opened = nullptr;
    EXPECT_EQ(machine.open(unit, "", &opened, false), STATUS_SUCCESS) << machine.report();
    return opened ? opened->handle : sim::Handle();
}

sim::IoResult Machine::ioctl(sim::Handle& handle, ULONG code, const std::vector<uint8_t>& input, ULONG output) {
    sim::IoResult result = machine.ioctl(handle, code, input, output);
    EXPECT_TRUE(machine.alive()) << machine.report();
    return result;
}

std::shared_ptr<sim::PendingRequest> Machine::ioctl_async(sim::Handle& handle, ULONG code,
                                                          const std::vector<uint8_t>& input, ULONG output) {
    auto request = machine.ioctl_async(handle, code, input, output);
    EXPECT_TRUE(machine.alive()) << machine.report();
    return request;
}

bool Machine::interface_enabled() const {
    for (auto& [name, record] : const_cast<sim::Kernel&>(k).interfaces()) {
        if (record.pdo == node->pdo_device() && record.enabled) return true;
    }
    return false;
}

size_t Machine::urbs(USHORT function) const {
    size_t count = 0;
    for (USHORT f : urb_functions_) count += f == function;
    return count;
}

size_t Machine::card_status_requests() const {
    size_t count = 0;
    for (const sim::TimedPacket& written : reader.written()) count += is_card_status_request(written.packet);
    return count;
}

}  // namespace qward::test
