// The reader-link test fixture: the machine's driver load and AddDevice, start at the PDO, configuration, tracking requests through SMCLIB, and the removal that runs the leak check.
#include "reader_fixture.h"

#include "tests/support/test_machine.h"

#include <cstring>

namespace qward::test {

namespace {

ReaderFixture* g_fixture = nullptr;

// Stands in for the device-control gate, which belongs to request dispatch: hands every request to SMCLIB,
// as the gate does for an admitted code.
NTSTATUS NTAPI gate_to_smclib(PDEVICE_OBJECT device, PIRP irp) {
    auto* deviceExtension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    if (g_fixture && g_fixture->before_smclib) g_fixture->before_smclib(irp);
    return SmartcardDeviceControl(&deviceExtension->SmartcardExtension, irp);
}

}  // namespace

ReaderFixture::ReaderFixture(uint64_t seed, sim::UsbDeviceSpec device)
    : OneReaderMachine(seed, qward::test_support::fixture_reader(false, std::move(device))) {
    g_fixture = this;
    observer_ = usb.add_observer([this](const sim::BusEvent& event) {
        if (event.kind != sim::BusEventKind::submitted) return;
        submissions.push_back({event.time, event.function, event.endpoint, event.device_to_host,
                               event.requested_length});
    });
    EXPECT_EQ(machine.load_driver(), STATUS_SUCCESS);
    driver = machine.driver();
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &gate_to_smclib;
    EXPECT_EQ(machine.plug(unit), STATUS_SUCCESS) << machine.report();
    node = unit.node;
    fdo = unit.fdo();
    if (fdo) {
        de = unit.extension();
        sc = &de->SmartcardExtension;
        re = sc->ReaderExtension;
    }
}

ReaderFixture::~ReaderFixture() {
    for (int id : test_observers_) usb.remove_observer(id);
    test_observers_.clear();
    if (!k.bug_checked()) finish();
    usb.remove_observer(observer_);
    if (g_fixture == this) g_fixture = nullptr;
}

size_t ReaderFixture::count_submissions(USHORT function, UCHAR endpoint) const {
    size_t count = 0;
    for (const Submission& s : submissions) count += s.function == function && s.endpoint == endpoint;
    return count;
}

void ReaderFixture::run(const std::function<void()>& body, const std::string& name) {
    qward::test_support::run_to_rest(machine, body, name);
}

void ReaderFixture::settle(int64_t ms) {
    run([&] { machine.delay(sim::from_ms(ms)); }, "settle");
}

NTSTATUS ReaderFixture::start() {
    NTSTATUS configured = STATUS_PENDING;
    run([&] {
        auto request = sim::HostRequest::create(k, node->pdo_device(), "start at the PDO");
        request->location()->MajorFunction = IRP_MJ_PNP;
        request->location()->MinorFunction = IRP_MN_START_DEVICE;
        EXPECT_EQ(request->send_and_wait(), STATUS_SUCCESS);
        configured = ConfigureDevice(fdo);
    }, "start");
    return configured;
}

sim::Packet ReaderFixture::packet(std::initializer_list<uint8_t> bytes) {
    sim::Packet result(bytes);
    if (result.size() < READER_PACKET_SIZE) result.resize(READER_PACKET_SIZE, 0);
    return result;
}

std::shared_ptr<sim::HostRequest> ReaderFixture::send_tracking(ULONG code) {
    auto request = sim::HostRequest::create(k, fdo, "card tracking", STATUS_SUCCESS);
    PIO_STACK_LOCATION location = request->location();
    location->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    location->Parameters.DeviceIoControl.IoControlCode = code;
    location->Parameters.DeviceIoControl.InputBufferLength = 0;
    location->Parameters.DeviceIoControl.OutputBufferLength = 0;
    request->send();
    return request;
}

void ReaderFixture::finish() {
    for (int id : test_observers_) usb.remove_observer(id);
    test_observers_.clear();
    if (finished_ || !fdo) return;
    finished_ = true;
    run([&] {
        // What removal will do for the reader link: end the background read and the tracking request, and
        // abort the pipes, so that no completion runs after the device's records are gone.
        CancelBackgroundRead(de);
        CompleteTrackingRequest(sc);
        AbortPipes(fdo);
    }, "tear down");
    settle(10);
    EXPECT_EQ(de->PollIrp, nullptr) << "a background read is still outstanding at removal";
    run([&] { EXPECT_EQ(pnp.remove(*node), STATUS_SUCCESS); }, "remove");
    if (pnp.loaded(driver)) pnp.unload_driver(driver);
    EXPECT_FALSE(k.bug_checked()) << k.bug_check_report();
}

}  // namespace qward::test
