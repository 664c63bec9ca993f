// Power management of the reader: system sleep and resume with the card-state table, a reader that refuses the card-status write, D0 in D0, a reader left in D3 powered up on demand, power-up completed at DISPATCH_LEVEL, PoCallDriver against IoCallDriver, queries, lower failures and power requests during removal.
#include <gtest/gtest.h>

#include "driver_fixture.h"

namespace qward::test {
namespace {

using sim::from_ms;

constexpr UCHAR kInEndpoint = 0x81;
constexpr ULONG kTestHoldTag = 0x74736554;  // 'T', 'e', 's', 't' in memory order

NTSTATUS sleep(Machine& m, SYSTEM_POWER_STATE state = PowerSystemSleeping3) {
    NTSTATUS status = STATUS_PENDING;
    m.run([&] { status = m.power.sleep({m.top()}, state); }, "sleep");
    return status;
}

NTSTATUS wake(Machine& m) {
    NTSTATUS status = STATUS_PENDING;
    m.run([&] { status = m.power.wake({m.top()}); }, "wake");
    return status;
}

sim::PowerResult set_device_power(Machine& m, DEVICE_POWER_STATE state) {
    sim::PowerResult result;
    m.run([&] { result = m.power.set_device_power(m.top(), state); }, "device set-power");
    return result;
}

// Device set-power requests that reached the bus, in order.
std::vector<DEVICE_POWER_STATE> device_requests_at_bus(Machine& m) {
    std::vector<DEVICE_POWER_STATE> states;
    for (const sim::PdoRequest& r : m.pdo().received()) {
        if (r.major == IRP_MJ_POWER && r.minor == IRP_MN_SET_POWER && r.power_type == DevicePowerState) {
            states.push_back(r.power_state.DeviceState);
        }
    }
    return states;
}

DEVICE_POWER_STATE kernel_device_power(Machine& m) { return m.k.find_device(m.fdo)->device_power; }

// Work items that the driver queued (IoQueueWorkItem runs each in a thread of that name).
size_t work_items(Machine& m) {
    size_t count = 0;
    for (const auto& thread : m.k.scheduler().threads()) count += thread->name == "work item";
    return count;
}

// ---- Sleep and resume -------------------------------------------------------------------------------------------

enum class DuringSleep { nothing, card_inserted, card_removed };

struct ResumeCase {
    const char* name;
    bool card_before;
    DuringSleep during_sleep;
    ULONG tracking_code;  // the request the resource manager keeps pending
    ULONG saved;
    ULONG state_after;
    bool tracking_completed;
};

class Resume : public ::testing::TestWithParam<ResumeCase> {};

TEST_P(Resume, CardStateAndTrackingRequestFollowTheTable) {
    const ResumeCase& c = GetParam();
    Machine m;
    if (c.card_before) m.insert_card_quietly();
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle handle = m.open();
    std::shared_ptr<sim::PendingRequest> tracking = m.ioctl_async(handle, c.tracking_code);
    ASSERT_FALSE(tracking->done());
    ASSERT_NE(m.de->PollIrp, nullptr);

    ASSERT_EQ(sleep(m), STATUS_SUCCESS);
    EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(m.de->SystemPowerState, PowerSystemSleeping3);
    EXPECT_EQ(kernel_device_power(m), PowerDeviceD3);
    EXPECT_EQ(m.pdo().device_power(), PowerDeviceD3);
    EXPECT_EQ(m.re->SavedCardState, c.saved);
    EXPECT_EQ(m.de->PollIrp, nullptr);
    EXPECT_TRUE(m.re->PollCancelled);
    EXPECT_EQ(m.usb.queued_transfers(kInEndpoint), 0u);
    EXPECT_FALSE(tracking->done());
    EXPECT_EQ(device_requests_at_bus(m), std::vector<DEVICE_POWER_STATE>{PowerDeviceD3});

    if (c.during_sleep == DuringSleep::card_inserted) m.insert_card_quietly();
    if (c.during_sleep == DuringSleep::card_removed) m.remove_card_quietly();
    const size_t queries = m.card_status_requests();

    ASSERT_EQ(wake(m), STATUS_SUCCESS);
    EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(m.de->SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(kernel_device_power(m), PowerDeviceD0);
    EXPECT_EQ(m.card_status_requests(), queries + 1);
    EXPECT_EQ(m.sc->ReaderCapabilities.CurrentState, c.state_after);
    EXPECT_EQ(m.re->CardPresent, c.state_after == SCARD_PRESENT);
    EXPECT_FALSE(m.re->PollCancelled);
    EXPECT_EQ(tracking->done(), c.tracking_completed);
    if (c.tracking_completed) {
        EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
    }
    // In every row the background read runs again.
    EXPECT_NE(m.de->PollIrp, nullptr);
    EXPECT_EQ(m.usb.queued_transfers(kInEndpoint), 1u);
    EXPECT_EQ(device_requests_at_bus(m), (std::vector<DEVICE_POWER_STATE>{PowerDeviceD3, PowerDeviceD0}));
    EXPECT_EQ(m.de->IoCount, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Resume,
    ::testing::Values(
        ResumeCase{"no_card_before_and_after", false, DuringSleep::nothing, IOCTL_SMARTCARD_IS_PRESENT, SCARD_ABSENT,
                   SCARD_ABSENT, false},
        ResumeCase{"card_inserted_during_sleep", false, DuringSleep::card_inserted, IOCTL_SMARTCARD_IS_PRESENT,
                   SCARD_ABSENT, SCARD_PRESENT, true},
        ResumeCase{"same_card", true, DuringSleep::nothing, IOCTL_SMARTCARD_IS_ABSENT, SCARD_PRESENT, SCARD_PRESENT,
                   true},
        ResumeCase{"card_removed_during_sleep", true, DuringSleep::card_removed, IOCTL_SMARTCARD_IS_ABSENT,
                   SCARD_PRESENT, SCARD_ABSENT, true}),
    [](const ::testing::TestParamInfo<ResumeCase>& info) { return std::string(info.param.name); });

// A tracking request that the resource manager sends while the device sleeps. Nothing is read from the powered-down
// reader: the power-up's card-status query must get the reader's answer, and the table decides about the request.
struct SentAsleepCase {
    const char* name;
    bool card;
    ULONG tracking_code;
    ULONG state_after;
    bool tracking_completed;
};

class TrackingSentAsleep : public ::testing::TestWithParam<SentAsleepCase> {};

TEST_P(TrackingSentAsleep, PowerUpReadsTheCardStateAndFollowsTheTable) {
    const SentAsleepCase& c = GetParam();
    Machine m;
    if (c.card) m.insert_card_quietly();
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle handle = m.open();
    ASSERT_EQ(sleep(m), STATUS_SUCCESS);
    ASSERT_EQ(m.de->DevicePowerState, PowerDeviceD3);

    std::shared_ptr<sim::PendingRequest> tracking = m.ioctl_async(handle, c.tracking_code);
    EXPECT_FALSE(tracking->done());
    EXPECT_EQ(tracking->dispatch_status(), STATUS_PENDING);
    EXPECT_EQ(m.de->PollIrp, nullptr) << "a background read was posted to the sleeping reader";
    EXPECT_EQ(m.usb.queued_transfers(kInEndpoint), 0u);

    const size_t queries = m.card_status_requests();
    ASSERT_EQ(wake(m), STATUS_SUCCESS);
    EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(m.card_status_requests(), queries + 1);
    EXPECT_EQ(m.sc->ReaderCapabilities.CurrentState, c.state_after);
    EXPECT_EQ(m.re->CardPresent, c.state_after == SCARD_PRESENT);
    EXPECT_EQ(tracking->done(), c.tracking_completed);
    if (c.tracking_completed) {
        EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
    }
    EXPECT_NE(m.de->PollIrp, nullptr);
    EXPECT_EQ(m.usb.queued_transfers(kInEndpoint), 1u);

    // Afterwards the read reports card events again: the request still pending ends with the next one.
    if (!c.tracking_completed) {
        m.insert_card();
        m.settle(50);
        EXPECT_TRUE(tracking->done());
        EXPECT_EQ(m.sc->ReaderCapabilities.CurrentState, ULONG(SCARD_PRESENT));
    }
    EXPECT_EQ(m.de->IoCount, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TrackingSentAsleep,
    ::testing::Values(SentAsleepCase{"card_in_slot_is_absent", true, IOCTL_SMARTCARD_IS_ABSENT, SCARD_PRESENT, true},
                      SentAsleepCase{"empty_slot_is_present", false, IOCTL_SMARTCARD_IS_PRESENT, SCARD_ABSENT, false}),
    [](const ::testing::TestParamInfo<SentAsleepCase>& info) { return std::string(info.param.name); });

TEST(Sleep, EverySleepStateTakesTheDeviceToD3) {
    for (SYSTEM_POWER_STATE state : {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3,
                                     PowerSystemHibernate, PowerSystemShutdown}) {
        SCOPED_TRACE("system state " + std::to_string(state));
        Machine m;
        ASSERT_EQ(m.start(), STATUS_SUCCESS);
        // The bus driver's own table would say D2; the driver's table decides.
        for (auto& entry : m.pdo().capabilities.DeviceState) entry = PowerDeviceD2;
        ASSERT_EQ(sleep(m, state), STATUS_SUCCESS);
        EXPECT_EQ(device_requests_at_bus(m), std::vector<DEVICE_POWER_STATE>{PowerDeviceD3});
        EXPECT_EQ(m.de->SystemPowerState, state);
        for (const auto& sent : m.power.history()) EXPECT_EQ(sent.result.start_next_power_calls, 1);
        ASSERT_EQ(wake(m), STATUS_SUCCESS);
        EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD0);
    }
}

TEST(Resume, ReaderThatRefusesTheCardStatusWriteLeavesTheDeviceInD3UntilTheNextD0) {
    Machine m;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle handle = m.open();
    std::shared_ptr<sim::PendingRequest> tracking = m.ioctl_async(handle, IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(sleep(m), STATUS_SUCCESS);

    m.reader.refuse_writes(true);
    const sim::VirtualTime before = m.k.now();
    EXPECT_EQ(wake(m), STATUS_SUCCESS) << "the device IRP completes with the bus driver's success";
    EXPECT_GE(sim::to_ms(m.k.now() - before), 1000.0);
    EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(kernel_device_power(m), PowerDeviceD3) << "PoSetPowerState was called";
    EXPECT_EQ(m.de->SystemPowerState, PowerSystemWorking);
    EXPECT_FALSE(tracking->done());

    // The next request for D0 takes the power-up path again and asks the reader once more. The application's
    // next I/O control makes that request: the reader works again without another sleep.
    m.reader.refuse_writes(false);
    const size_t queries = m.card_status_requests();
    EXPECT_EQ(m.ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS);
    EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(kernel_device_power(m), PowerDeviceD0);
    EXPECT_EQ(m.card_status_requests(), queries + 1);
    EXPECT_NE(m.de->PollIrp, nullptr);
    EXPECT_EQ(m.de->IoCount, 1);
}

// A request for the state the device is in (the power manager reaffirming the working state) changes nothing: the
// background read stays posted, so the tracking request still learns of the card leaving.
TEST(DevicePower, D0WhileInD0ChangesNothing) {
    Machine m;
    m.insert_card_quietly();
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle handle = m.open();
    std::shared_ptr<sim::PendingRequest> tracking = m.ioctl_async(handle, IOCTL_SMARTCARD_IS_ABSENT);
    ASSERT_NE(m.de->PollIrp, nullptr);
    m.re->SavedCardState = SCARD_UNKNOWN;
    const size_t queries = m.card_status_requests();

    EXPECT_EQ(set_device_power(m, PowerDeviceD0).status, STATUS_SUCCESS);
    EXPECT_EQ(m.re->SavedCardState, ULONG(SCARD_UNKNOWN));
    EXPECT_NE(m.de->PollIrp, nullptr);
    EXPECT_FALSE(m.re->PollCancelled);
    EXPECT_EQ(m.usb.queued_transfers(kInEndpoint), 1u);
    EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(m.card_status_requests(), queries) << "no card-status query";
    EXPECT_EQ(m.sc->ReaderCapabilities.CurrentState, ULONG(SCARD_PRESENT));
    EXPECT_FALSE(tracking->done());

    ASSERT_TRUE(m.run([&] { m.reader.remove_card(); }));
    m.settle(10);
    ASSERT_TRUE(tracking->done());
    EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
    EXPECT_EQ(m.sc->ReaderCapabilities.CurrentState, ULONG(SCARD_ABSENT));
}

TEST(DevicePower, PowerDownThatTheBusFailsChangesNoState) {
    Machine m;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    m.pdo().power_failures[IRP_MN_SET_POWER] = STATUS_DEVICE_BUSY;
    EXPECT_EQ(set_device_power(m, PowerDeviceD3).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(kernel_device_power(m), PowerDeviceD0);
    EXPECT_EQ(m.de->IoCount, 1);
}

TEST(SystemPower, SetPowerThatTheBusFailsGoesUpWithoutADeviceRequest) {
    Machine m;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    m.pdo().power_failures[IRP_MN_SET_POWER] = STATUS_DEVICE_BUSY;
    sim::PowerResult result;
    ASSERT_TRUE(m.run([&] { result = m.power.set_system_power(m.top(), PowerSystemSleeping3); }));
    EXPECT_EQ(result.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(result.start_next_power_calls, 1);
    EXPECT_TRUE(device_requests_at_bus(m).empty());
    EXPECT_EQ(m.de->SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD0);
}

// The device request cannot be made: no pool for the context, or PoRequestPowerIrp fails. The system request still
// succeeds (a driver cannot fail a system set-power request), the device stays in its state, and the remove lock
// is given back (the removal at the end would wait for it).
TEST(SystemPower, DeviceRequestThatCannotBeMadeCompletesTheSystemRequest) {
    for (sim::FaultSite site : {sim::FaultSite::pool, sim::FaultSite::irp}) {
        SCOPED_TRACE(sim::to_string(site));
        Machine m;
        ASSERT_EQ(m.start(), STATUS_SUCCESS);
        m.k.set_fault(site, {1, 0, false});
        sim::PowerResult result;
        ASSERT_TRUE(m.run([&] { result = m.power.set_system_power(m.top(), PowerSystemSleeping3); }));
        m.k.clear_faults();
        EXPECT_EQ(m.k.faults_injected(), 1u);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.start_next_power_calls, 1);
        EXPECT_TRUE(device_requests_at_bus(m).empty());
        EXPECT_EQ(m.de->SystemPowerState, PowerSystemSleeping3) << "the bus driver completed the system request";
        EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD0);
        EXPECT_EQ(m.de->IoCount, 1);
    }
}

// At resume the device request cannot be made: the system still wakes, the reader stays in D3, and the next wake
// takes the power-up path and brings it back.
TEST(SystemPower, ResumeWithoutADeviceRequestSucceedsAndTheNextWakePowersUp) {
    Machine m;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::PowerResult result;
    ASSERT_TRUE(m.run([&] { result = m.power.set_system_power(m.top(), PowerSystemSleeping3); }));
    ASSERT_EQ(m.de->DevicePowerState, PowerDeviceD3);
    m.k.set_fault(sim::FaultSite::pool, {1, 0, false});
    ASSERT_TRUE(m.run([&] { result = m.power.set_system_power(m.top(), PowerSystemWorking); }));
    m.k.clear_faults();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(m.de->SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD3);
    ASSERT_TRUE(m.run([&] {
        result = m.power.set_system_power(m.top(), PowerSystemSleeping3);
        result = m.power.set_system_power(m.top(), PowerSystemWorking);
    }));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(m.de->IoCount, 1);
}

// Left in D3 by a wake whose device request could not be made, the reader is powered up by the next I/O control,
// and card tracking works again: the request that waited across the sleep learns of the card that came meanwhile.
TEST(SystemPower, ReaderLeftInD3IsPoweredUpByTheNextRequest) {
    Machine m;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle handle = m.open();
    std::shared_ptr<sim::PendingRequest> tracking = m.ioctl_async(handle, IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(sleep(m), STATUS_SUCCESS);
    m.k.set_fault(sim::FaultSite::pool, {1, 0, false});
    EXPECT_EQ(wake(m), STATUS_SUCCESS);
    m.k.clear_faults();
    ASSERT_EQ(m.de->DevicePowerState, PowerDeviceD3);
    ASSERT_TRUE(m.run([&] { m.reader.insert_card(std::make_shared<TestCard>()); }));
    m.settle(10);
    EXPECT_FALSE(tracking->done()) << "nothing reads the reader in D3";

    const sim::IoResult state = m.ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, 4);
    EXPECT_EQ(state.status, STATUS_SUCCESS);
    EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD0);
    ASSERT_TRUE(tracking->done());
    EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
    EXPECT_EQ(m.sc->ReaderCapabilities.CurrentState, ULONG(SCARD_PRESENT));
}

TEST(PowerQuery, IsPassedDownAndAnsweredByTheLowerDriver) {
    for (NTSTATUS lower : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
        SCOPED_TRACE(sim::status_name(lower));
        Machine m;
        ASSERT_EQ(m.start(), STATUS_SUCCESS);
        if (lower != STATUS_SUCCESS) m.pdo().power_failures[IRP_MN_QUERY_POWER] = lower;
        sim::PowerResult system, device;
        ASSERT_TRUE(m.run([&] {
            system = m.power.query_system_power(m.top(), PowerSystemHibernate);
            device = m.power.query_device_power(m.top(), PowerDeviceD3);
        }));
        EXPECT_EQ(system.status, lower);
        EXPECT_EQ(device.status, lower);
        EXPECT_EQ(system.start_next_power_calls, 1);
        EXPECT_EQ(device.start_next_power_calls, 1);
        EXPECT_EQ(m.pdo().count(IRP_MJ_POWER, IRP_MN_QUERY_POWER), 2u);
        EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD0);
        EXPECT_EQ(m.de->IoCount, 1);
    }
}

// ---- Power-up completed at DISPATCH_LEVEL ----------------------------------------------------------------------------

TEST(PowerUpAtDispatchLevel, CardStatusQueryAndTrackingRunAsAtPassiveLevel) {
    Machine m;
    m.pdo().power_up_at_dispatch = true;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle handle = m.open();
    std::shared_ptr<sim::PendingRequest> tracking = m.ioctl_async(handle, IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_EQ(sleep(m), STATUS_SUCCESS);
    m.insert_card_quietly();
    const size_t queries = m.card_status_requests();

    // The packet channel waits for the reader, which the kernel forbids at DISPATCH_LEVEL: the work moves to a
    // work item.
    ASSERT_EQ(wake(m), STATUS_SUCCESS);
    EXPECT_EQ(work_items(m), 1u);
    EXPECT_EQ(m.card_status_requests(), queries + 1);
    EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(kernel_device_power(m), PowerDeviceD0);
    EXPECT_EQ(m.sc->ReaderCapabilities.CurrentState, ULONG(SCARD_PRESENT));
    EXPECT_TRUE(m.re->CardPresent);
    ASSERT_TRUE(tracking->done());
    EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
    EXPECT_NE(m.de->PollIrp, nullptr);
    EXPECT_EQ(m.de->IoCount, 1);
}

TEST(PowerUpAtDispatchLevel, WithoutAWorkItemTheNextD0AsksAgain) {
    Machine m;
    m.pdo().power_up_at_dispatch = true;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    ASSERT_EQ(sleep(m), STATUS_SUCCESS);
    const size_t queries = m.card_status_requests();
    // The next pool allocation after the bus has powered the device up is the work item's.
    m.tap.on_power_hook = [&](DEVICE_POWER_STATE state) {
        if (state == PowerDeviceD0) m.k.set_fault(sim::FaultSite::pool, {1, 0, false});
    };
    EXPECT_EQ(wake(m), STATUS_SUCCESS);
    EXPECT_EQ(m.k.faults_injected(), 1u);
    EXPECT_EQ(work_items(m), 0u);
    EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(kernel_device_power(m), PowerDeviceD3);
    EXPECT_EQ(m.card_status_requests(), queries);

    m.tap.on_power_hook = nullptr;
    m.k.clear_faults();
    EXPECT_EQ(set_device_power(m, PowerDeviceD0).status, STATUS_SUCCESS);
    EXPECT_EQ(m.de->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(m.card_status_requests(), queries + 1);
}

// ---- PoCallDriver or IoCallDriver --------------------------------------------------------------------------------------

struct KernelCase {
    const char* name;
    ULONG major;
    ULONG minor;
    bool has_routine;
    bool io_call_driver;
};

class PowerCallPath : public ::testing::TestWithParam<KernelCase> {};

// On kernels before 6.0 the power manager also bug-checks any power request that completes without the driver's
// PoStartNextPowerIrp.
TEST_P(PowerCallPath, FollowsTheKernelVersion) {
    const KernelCase& c = GetParam();
    sim::KernelSettings settings;
    settings.major_version = c.major;
    settings.minor_version = c.minor;
    settings.has_rtl_is_ntddi_version_available = c.has_routine;
    Machine m(1, settings);

    // Before the first start the flag is clear: PoCallDriver.
    sim::PowerResult query;
    ASSERT_TRUE(m.run([&] { query = m.power.query_system_power(m.top(), PowerSystemSleeping3); }));
    EXPECT_EQ(query.status, STATUS_SUCCESS);
    EXPECT_EQ(m.k.po_call_driver_count, 1u);

    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    const uint64_t before = m.k.po_call_driver_count;
    ASSERT_EQ(sleep(m), STATUS_SUCCESS);
    ASSERT_EQ(wake(m), STATUS_SUCCESS);
    // Query S3, set S3, set D3, set S0, set D0: five requests passed down.
    EXPECT_EQ(m.k.po_call_driver_count - before, c.io_call_driver ? 0u : 5u);
    EXPECT_EQ(m.pdo().count(IRP_MJ_POWER), 6u);
    for (const auto& sent : m.power.history()) EXPECT_EQ(sent.result.start_next_power_calls, 1);
}

INSTANTIATE_TEST_SUITE_P(Kernels, PowerCallPath,
                         ::testing::Values(KernelCase{"xp", 5, 1, false, false},
                                           KernelCase{"server_2003_with_routine", 5, 2, true, false},
                                           KernelCase{"vista_without_routine", 6, 0, false, true},
                                           KernelCase{"windows_7", 6, 1, true, true}),
                         [](const ::testing::TestParamInfo<KernelCase>& info) { return std::string(info.param.name); });

// ---- During removal -------------------------------------------------------------------------------------------------

// A test thread holds the remove lock, so the removal stops inside its drain: acquisitions fail from then on while
// the device still counts as started.
TEST(PowerDuringRemoval, RequestsAfterTheDrainAreCompletedWithTheAcquisitionFailure) {
    Machine m;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    ULONG state_during = 0;
    sim::PowerResult query, set;
    NTSTATUS removal = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] {
        ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(m.sc, kTestHoldTag), STATUS_SUCCESS);
        m.k.spawn("pnp", [&] { removal = m.pnp.remove(*m.node); });
        m.k.scheduler().sleep_for(from_ms(10));
        state_during = m.de->PnPState;
        query = m.power.query_system_power(m.top(), PowerSystemSleeping3);
        set = m.power.set_device_power(m.top(), PowerDeviceD3);
        SmartcardReleaseRemoveLockWithTag(m.sc, kTestHoldTag);
    }));
    EXPECT_EQ(state_during, PNP_STARTED);
    EXPECT_EQ(query.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(set.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(query.start_next_power_calls, 1);
    EXPECT_EQ(set.start_next_power_calls, 1);
    EXPECT_EQ(m.pdo().count(IRP_MJ_POWER, IRP_MN_QUERY_POWER), 0u) << "refused requests never reach the bus";
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_TRUE(m.torn_down());
}

}  // namespace
}  // namespace qward::test
