// Plug and Play of the reader: start with the card-status query, failed starts, capabilities and the power-state table, queries waiting for idle, stop and restart, surprise removal and removal, requests to a removed device, the kernel-version decision.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "driver_fixture.h"

namespace qward::test {
namespace {

using sim::from_ms;
using sim::Packet;

constexpr UCHAR kInEndpoint = 0x81;

Packet packet(std::initializer_list<uint8_t> bytes) {
    Packet result(bytes);
    result.resize(8, 0);
    return result;
}

std::vector<uint8_t> ulong_bytes(ULONG value) {
    std::vector<uint8_t> bytes(sizeof(ULONG));
    std::memcpy(bytes.data(), &value, sizeof(ULONG));
    return bytes;
}

// ---- Start ---------------------------------------------------------------------------------------------------

struct StartAnswer {
    const char* name;
    std::optional<Packet> answer;  // what the reader sends after the card-status request; none: it stays silent
    ULONG state;
    bool card_present;
};

class StartCardStatus : public ::testing::TestWithParam<StartAnswer> {};

TEST_P(StartCardStatus, TakesTheCardStateFromTheAnswer) {
    const StartAnswer& c = GetParam();
    Machine m;
    m.reader.set_mode(sim::Reader::Mode::scripted);
    if (c.answer) m.reader.queue_reply_to_write(*c.answer);

    const sim::VirtualTime before = m.k.now();
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    const double took_ms = sim::to_ms(m.k.now() - before);

    EXPECT_EQ(m.sc->ReaderCapabilities.CurrentState, c.state);
    EXPECT_EQ(m.re->CardPresent, c.card_present);
    EXPECT_EQ(m.de->PnPState, PNP_STARTED);
    EXPECT_TRUE(m.interface_enabled());
    ASSERT_EQ(m.reader.written().size(), 1u);
    EXPECT_EQ(m.reader.written()[0].packet, packet({0x02, 0x09}));
    // The start leaves the background read to the first request that needs it.
    EXPECT_EQ(m.de->PollIrp, nullptr);
    EXPECT_EQ(m.usb.queued_transfers(kInEndpoint), 0u);
    if (c.answer) {
        EXPECT_LT(took_ms, 100.0);
    } else {
        // The read waits its full second, then the start goes on without an answer.
        EXPECT_GE(took_ms, 1000.0);
        EXPECT_LT(took_ms, 1100.0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, StartCardStatus,
    ::testing::Values(StartAnswer{"card", packet({0x02, 0x81, 0x01}), SCARD_PRESENT, true},
                      StartAnswer{"no_card", packet({0x02, 0x81, 0x00}), SCARD_ABSENT, false},
                      StartAnswer{"slot_byte_2_is_no_card", packet({0x02, 0x81, 0x02}), SCARD_ABSENT, false},
                      StartAnswer{"other_reader_status", packet({0x02, 0x80, 0x01}), SCARD_ABSENT, false},
                      StartAnswer{"answer_header", packet({0x01, 0x01, 0x05}), SCARD_ABSENT, false},
                      StartAnswer{"silent_reader", std::nullopt, SCARD_ABSENT, false}),
    [](const ::testing::TestParamInfo<StartAnswer>& info) { return std::string(info.param.name); });

TEST(Start, ReaderThatNeverTakesTheWriteKeepsTheCardStateAndStillStarts) {
    Machine m;
    m.reader.refuse_writes(true);
    std::vector<bool> transfers_in;  // each packet transfer the driver sent, in order: IN or OUT
    const int observer = m.usb.add_observer([&](const sim::BusEvent& event) {
        if (event.kind == sim::BusEventKind::submitted && event.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            transfers_in.push_back(event.device_to_host);
        }
    });
    const sim::VirtualTime before = m.k.now();
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    const double took_ms = sim::to_ms(m.k.now() - before);

    EXPECT_GE(took_ms, 1000.0);
    EXPECT_LT(took_ms, 1100.0);
    EXPECT_EQ(m.de->PnPState, PNP_STARTED);
    // AddDevice's value stays on a first start; nothing was read.
    EXPECT_EQ(m.sc->ReaderCapabilities.CurrentState, ULONG(SCARD_PRESENT));
    EXPECT_FALSE(m.re->CardPresent);
    EXPECT_TRUE(m.reader.written().empty());
    // The read of what the reader had queued, which found nothing, then the write; no read after the failed write.
    EXPECT_EQ(transfers_in, (std::vector<bool>{true, false}));
    m.usb.remove_observer(observer);
}

// Card events the reader queued on its interrupt pipe before the start (the card went in or out while the device was
// not started, or was stopped), and packets left there from before: the start takes the events as the slot's state,
// asks the reader once, leaves nothing on the pipe, and the first command after it gets its own answer.
struct QueuedBeforeStart {
    const char* name;
    std::function<void(Machine&)> before;  // with the device not started
    ULONG state;
    bool card_present;
};

class StartAfterQueuedPackets : public ::testing::TestWithParam<QueuedBeforeStart> {};

TEST_P(StartAfterQueuedPackets, TakesTheEventsAsTheSlotStateAndLeavesNothingForTheNextCommand) {
    const QueuedBeforeStart& c = GetParam();
    Machine m(1, {}, true);
    c.before(m);
    m.settle(2);  // the reader's firmware puts what it queued on the pipe
    ASSERT_GT(m.usb.in_backlog(kInEndpoint), 0u) << "nothing queued: the case tests nothing";

    const sim::VirtualTime before = m.k.now();
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    EXPECT_LT(sim::to_ms(m.k.now() - before), 100.0);

    EXPECT_EQ(m.sc->ReaderCapabilities.CurrentState, c.state);
    EXPECT_EQ(m.re->CardPresent, c.card_present);
    EXPECT_EQ(m.card_status_requests(), 1u);
    EXPECT_EQ(m.usb.in_backlog(kInEndpoint), 0u) << "a packet stayed on the pipe for the next command";
    EXPECT_EQ(m.de->PollIrp, nullptr);

    sim::Handle handle = m.open();
    for (int round = 0; round < 2; ++round) {
        const sim::IoResult version = m.ioctl(handle, IOCTL_VENDOR_GET_VERSION, {}, 64);
        EXPECT_EQ(version.status, STATUS_SUCCESS) << "round " << round;
    }
    const sim::IoResult power = m.ioctl(handle, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 64);
    if (c.card_present) {
        EXPECT_EQ(power.status, STATUS_SUCCESS);
        EXPECT_EQ(power.output, (std::vector<uint8_t>{0x3B, 0x00}));
    } else {
        EXPECT_EQ(power.status, STATUS_NO_MEDIA);
    }
    EXPECT_EQ(m.usb.in_backlog(kInEndpoint), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Queued, StartAfterQueuedPackets,
    ::testing::Values(
        QueuedBeforeStart{"card_put_in", [](Machine& m) { m.insert_card(); }, SCARD_PRESENT, true},
        QueuedBeforeStart{"card_pulled", [](Machine& m) { m.insert_card_quietly(); m.remove_card(); }, SCARD_ABSENT,
                          false},
        QueuedBeforeStart{"card_put_in_and_pulled", [](Machine& m) { m.insert_card(); m.remove_card(); },
                          SCARD_ABSENT, false},
        QueuedBeforeStart{"card_swapped",
                          [](Machine& m) { m.insert_card_quietly(); m.remove_card(); m.insert_card(); },
                          SCARD_PRESENT, true},
        QueuedBeforeStart{"answer_left_from_before_and_a_card",
                          [](Machine& m) {
                              m.reader.queue_packet(packet({0x01, 0x03, 0x05, 0x00, 0x00}));
                              m.settle(1);
                              m.insert_card();
                          },
                          SCARD_PRESENT, true},
        QueuedBeforeStart{"reader_status_of_another_kind",
                          [](Machine& m) {
                              m.insert_card_quietly();
                              m.reader.queue_packet(packet({0x02, 0x80, 0x00}));
                          },
                          SCARD_PRESENT, true}),
    [](const ::testing::TestParamInfo<QueuedBeforeStart>& info) { return std::string(info.param.name); });

// A card goes in or out just as the reader takes the card-status request: its event comes right before the answer
// or right after it. Either way the start ends with the later state and nothing left on the pipe.
struct RaceAtStart {
    const char* name;
    std::vector<Packet> replies;  // after the request, one millisecond apart
    ULONG state;
};

class StartRacingACardEvent : public ::testing::TestWithParam<RaceAtStart> {};

TEST_P(StartRacingACardEvent, EndsWithTheLaterStateAndAnEmptyPipe) {
    const RaceAtStart& c = GetParam();
    Machine m(1, {}, true);
    m.reader.set_mode(sim::Reader::Mode::scripted);
    m.reader.queue_reply_to_write(c.replies[0]);
    for (size_t i = 1; i < c.replies.size(); ++i) m.reader.queue_packet_after(from_ms(1), c.replies[i]);

    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    EXPECT_EQ(m.sc->ReaderCapabilities.CurrentState, c.state);
    EXPECT_EQ(m.re->CardPresent, c.state == SCARD_PRESENT);
    EXPECT_EQ(m.reader.script_steps_left(), 0u);
    EXPECT_EQ(m.usb.in_backlog(kInEndpoint), 0u) << "a packet stayed on the pipe for the next command";

    m.reader.set_mode(sim::Reader::Mode::automatic);
    sim::Handle handle = m.open();
    EXPECT_EQ(m.ioctl(handle, IOCTL_VENDOR_GET_VERSION, {}, 64).status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Races, StartRacingACardEvent,
    ::testing::Values(
        RaceAtStart{"card_in_event_before_the_answer", {packet({0x02, 0x81, 0x01}), packet({0x02, 0x81, 0x01})},
                    SCARD_PRESENT},
        RaceAtStart{"card_out_event_before_the_answer", {packet({0x02, 0x81, 0x00}), packet({0x02, 0x81, 0x00})},
                    SCARD_ABSENT},
        RaceAtStart{"card_out_event_after_the_answer", {packet({0x02, 0x81, 0x01}), packet({0x02, 0x81, 0x00})},
                    SCARD_ABSENT},
        RaceAtStart{"card_in_event_after_the_answer", {packet({0x02, 0x81, 0x00}), packet({0x02, 0x81, 0x01})},
                    SCARD_PRESENT}),
    [](const ::testing::TestParamInfo<RaceAtStart>& info) { return std::string(info.param.name); });

struct StartFailure {
    const char* name;
    bool bus_fails;  // else the device fails its first descriptor request
    NTSTATUS status;
};

class FailedStart : public ::testing::TestWithParam<StartFailure> {};

TEST_P(FailedStart, ReturnsTheFailureAndLeavesTheDeviceStopped) {
    const StartFailure& c = GetParam();
    Machine m;
    if (c.bus_fails) {
        m.pdo().pnp_failures[IRP_MN_START_DEVICE] = c.status;
    } else {
        m.k.set_fault(sim::FaultSite::bus_transfer, {1, 0, false});
    }

    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] { status = m.pnp.send_pnp(*m.node, IRP_MN_START_DEVICE); }));
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(m.de->PnPState, PNP_NOT_STARTED);
    EXPECT_FALSE(m.interface_enabled());
    EXPECT_FALSE(m.de->UseIoCallDriverForPower);
    EXPECT_EQ(m.de->InterfaceInfo, nullptr);
    EXPECT_TRUE(m.reader.written().empty());
    EXPECT_EQ(m.de->IoCount, 1);
    // The configuration is never asked for once the device has failed the first request.
    EXPECT_EQ(m.urbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), c.bus_fails ? 0u : 1u);

    // Windows follows a failed start with a removal, which leaves nothing behind.
    m.k.clear_faults();
    EXPECT_EQ(m.remove(), STATUS_SUCCESS);
    EXPECT_TRUE(m.torn_down());
}

INSTANTIATE_TEST_SUITE_P(Failures, FailedStart,
                         ::testing::Values(StartFailure{"bus_driver", true, STATUS_DEVICE_NOT_READY},
                                           StartFailure{"descriptor_request", false, STATUS_UNSUCCESSFUL}),
                         [](const ::testing::TestParamInfo<StartFailure>& info) { return std::string(info.param.name); });

// ---- Capabilities ------------------------------------------------------------------------------------------------

struct CapabilitiesShape {
    const char* name;
    USHORT size;
    USHORT version;
    NTSTATUS status;
    bool forwarded;
};

class CapabilitiesQuery : public ::testing::TestWithParam<CapabilitiesShape> {};

TEST_P(CapabilitiesQuery, TooSmallOrTooOldNeverReachesTheBus) {
    const CapabilitiesShape& c = GetParam();
    Machine m;
    const size_t before = m.pdo().count(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);

    // Room for a structure larger than the one this header knows.
    struct {
        DEVICE_CAPABILITIES caps;
        UCHAR tail[16];
    } buffer{};
    buffer.caps.Size = c.size;
    buffer.caps.Version = c.version;
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] { status = m.pnp.query_capabilities(*m.node, buffer.caps); }));

    EXPECT_EQ(status, c.status);
    EXPECT_EQ(m.pdo().count(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES) - before, c.forwarded ? 1u : 0u);
    EXPECT_EQ(buffer.caps.SurpriseRemovalOK, c.forwarded ? 1u : 0u);
    EXPECT_EQ(m.de->IoCount, 1);
}

INSTANTIATE_TEST_SUITE_P(Shapes, CapabilitiesQuery,
                         ::testing::Values(CapabilitiesShape{"size_63", 63, 1, STATUS_UNSUCCESSFUL, false},
                                           CapabilitiesShape{"version_0", 64, 0, STATUS_UNSUCCESSFUL, false},
                                           CapabilitiesShape{"current", 64, 1, STATUS_SUCCESS, true},
                                           CapabilitiesShape{"larger_and_newer", 72, 2, STATUS_SUCCESS, true}),
                         [](const ::testing::TestParamInfo<CapabilitiesShape>& info) {
                             return std::string(info.param.name);
                         });

TEST(Capabilities, OwnCopyGetsThePowerTableWhileTheIrpKeepsTheBusDriversArray) {
    Machine m;
    DEVICE_CAPABILITIES& bus = m.pdo().capabilities;
    const DEVICE_POWER_STATE bus_table[PowerSystemMaximum] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD1,
                                                              PowerDeviceD2,          PowerDeviceD2, PowerDeviceD3,
                                                              PowerDeviceD3};
    std::memcpy(bus.DeviceState, bus_table, sizeof(bus_table));
    bus.DeviceD1 = 1;
    bus.D1Latency = 11;
    bus.D2Latency = 22;
    bus.D3Latency = 33;
    bus.SystemWake = PowerSystemSleeping1;
    bus.DeviceWake = PowerDeviceD2;

    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] { status = m.pnp.query_capabilities(*m.node, caps); }));
    ASSERT_EQ(status, STATUS_SUCCESS);

    // The IRP's structure goes up as the bus driver filled it, plus the surprise-removal flag.
    EXPECT_EQ(std::memcmp(caps.DeviceState, bus_table, sizeof(bus_table)), 0);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.D2Latency, 22u);

    const DEVICE_CAPABILITIES& own = m.de->DeviceCapabilities;
    const DEVICE_POWER_STATE table[PowerSystemMaximum] = {PowerDeviceD0, PowerDeviceD0, PowerDeviceD3, PowerDeviceD3,
                                                          PowerDeviceD3, PowerDeviceD3, PowerDeviceD3};
    for (int s = 0; s < PowerSystemMaximum; ++s) EXPECT_EQ(own.DeviceState[s], table[s]) << "system state " << s;
    // Everything else of the copy is the bus driver's.
    EXPECT_EQ(own.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(own.DeviceD1, 1u);
    EXPECT_EQ(own.DeviceD2, bus.DeviceD2);
    EXPECT_EQ(own.Removable, bus.Removable);
    EXPECT_EQ(own.Address, bus.Address);
    EXPECT_EQ(own.D1Latency, 11u);
    EXPECT_EQ(own.D3Latency, 33u);
    EXPECT_EQ(own.SystemWake, PowerSystemSleeping1);
    EXPECT_EQ(own.DeviceWake, PowerDeviceD2);
}

TEST(Capabilities, LowerFailureIsPassedBackAndNoCopyIsTaken) {
    Machine m;
    m.pdo().pnp_failures[IRP_MN_QUERY_CAPABILITIES] = STATUS_NOT_SUPPORTED;
    DEVICE_CAPABILITIES before;
    std::memcpy(&before, &m.de->DeviceCapabilities, sizeof(before));

    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] { status = m.pnp.query_capabilities(*m.node, caps); }));
    EXPECT_EQ(status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(std::memcmp(&before, &m.de->DeviceCapabilities, sizeof(before)), 0);
}

// ---- Queries wait for idle ------------------------------------------------------------------------------------------

struct QueryCase {
    const char* name;
    UCHAR query;
    UCHAR cancel;
};

class QueryWaitsForIdle : public ::testing::TestWithParam<QueryCase> {};

// An I/O control is held inside SMCLIB by taking the library's per-reader mutex first, as a long reader callback
// would hold it. The query must not reach the bus before that I/O control has finished.
TEST_P(QueryWaitsForIdle, UntilTheIoControlInFlightHasFinished) {
    const QueryCase& c = GetParam();
    Machine m;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle handle = m.open();

    sim::VirtualTime ioctl_done = 0, query_done = 0, released = 0;
    LONG count_while_held = 0;
    bool query_done_while_held = true;
    NTSTATUS ioctl_status = STATUS_PENDING, query_status = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] {
        PRKMUTEX mutex = &m.sc->OsData->Mutex;
        KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr);
        m.k.spawn("application", [&] {
            ioctl_status = handle.ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_VENDOR_NAME), 64).status;
            ioctl_done = m.k.now();
        });
        m.k.scheduler().sleep_for(from_ms(5));
        count_while_held = m.de->IoCount;
        m.k.spawn("pnp", [&] {
            query_status = m.pnp.send_pnp(*m.node, c.query);
            query_done = m.k.now();
        });
        m.k.scheduler().sleep_for(from_ms(45));
        query_done_while_held = query_done != 0;
        released = m.k.now();
        KeReleaseMutex(mutex, FALSE);
    }));

    EXPECT_EQ(count_while_held, 2) << "the I/O control did not hold a count";
    EXPECT_FALSE(query_done_while_held);
    EXPECT_EQ(ioctl_status, STATUS_SUCCESS);
    EXPECT_EQ(query_status, STATUS_SUCCESS);
    EXPECT_GE(ioctl_done, released);
    EXPECT_GE(query_done, ioctl_done);
    const sim::PdoRequest* reached = nullptr;
    for (const sim::PdoRequest& r : m.pdo().received()) {
        if (r.major == IRP_MJ_PNP && r.minor == c.query) reached = &r;
    }
    ASSERT_NE(reached, nullptr);
    EXPECT_GE(reached->time, released);

    // Nothing changed for the query, so its cancellation is only forwarded.
    NTSTATUS cancel = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] { cancel = m.pnp.send_pnp(*m.node, c.cancel); }));
    EXPECT_EQ(cancel, STATUS_SUCCESS);
    EXPECT_EQ(m.pdo().count(IRP_MJ_PNP, c.cancel), 1u);
    EXPECT_EQ(m.de->PnPState, PNP_STARTED);
    EXPECT_EQ(m.de->IoCount, 1);
    EXPECT_EQ(m.ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Queries, QueryWaitsForIdle,
                         ::testing::Values(QueryCase{"query_stop", IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
                                           QueryCase{"query_remove", IRP_MN_QUERY_REMOVE_DEVICE,
                                                     IRP_MN_CANCEL_REMOVE_DEVICE}),
                         [](const ::testing::TestParamInfo<QueryCase>& info) { return std::string(info.param.name); });

// ---- Stop ------------------------------------------------------------------------------------------------------------

TEST(Stop, DropsTheConfigurationAndTheReadAndTheNextStartBringsThemBack) {
    Machine m;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle handle = m.open();
    std::shared_ptr<sim::PendingRequest> tracking = m.ioctl_async(handle, IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_NE(m.de->PollIrp, nullptr);
    ASSERT_EQ(m.usb.queued_transfers(kInEndpoint), 1u);

    NTSTATUS stop = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] { stop = m.pnp.stop(*m.node); }));
    EXPECT_EQ(stop, STATUS_SUCCESS);
    EXPECT_EQ(m.de->PnPState, PNP_NOT_STARTED);
    EXPECT_EQ(m.de->InterfaceInfo, nullptr);
    EXPECT_EQ(m.de->InPipe, nullptr);
    EXPECT_EQ(m.de->OutPipe, nullptr);
    EXPECT_EQ(m.de->PollIrp, nullptr);
    EXPECT_TRUE(m.re->PollCancelled);
    EXPECT_FALSE(m.usb.configured());
    EXPECT_EQ(m.urbs(URB_FUNCTION_SELECT_CONFIGURATION), 2u) << "configure, then unconfigure";
    EXPECT_TRUE(m.interface_enabled()) << "the interface stays while the device is stopped";
    EXPECT_FALSE(tracking->done());
    EXPECT_EQ(m.ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_DEVICE_REMOVED);

    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    EXPECT_EQ(m.de->PnPState, PNP_STARTED);
    EXPECT_NE(m.de->InterfaceInfo, nullptr);
    EXPECT_TRUE(m.usb.configured());
    EXPECT_TRUE(m.interface_enabled());
    EXPECT_EQ(m.card_status_requests(), 2u);
    EXPECT_EQ(m.ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_SUCCESS);

    // The removal ends the tracking request that outlived the stop.
    EXPECT_EQ(m.remove(), STATUS_SUCCESS);
    ASSERT_TRUE(tracking->done());
    EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
    EXPECT_TRUE(m.torn_down());
}

// The card goes in or out while the device is stopped, with a tracking request waiting across the stop: the reader
// queues its card events, and the start takes them as the background read would have, also when the slot ends as
// it began (a card swapped, or put in and pulled again). Nothing is left on the pipe for the next command.
struct ChangeWhileStopped {
    const char* name;
    bool card_before;
    std::function<void(Machine&)> while_stopped;
    bool tracking_done;  // else it still waits after the start
    ULONG state;
};

class StopAndStart : public ::testing::TestWithParam<ChangeWhileStopped> {};

TEST_P(StopAndStart, CardEventsWhileStoppedReachTheWaitingTrackingRequest) {
    const ChangeWhileStopped& c = GetParam();
    Machine m(1, {}, true);
    if (c.card_before) m.insert_card_quietly();
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle handle = m.open();
    std::shared_ptr<sim::PendingRequest> tracking =
        m.ioctl_async(handle, c.card_before ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_FALSE(tracking->done());

    NTSTATUS stop = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] { stop = m.pnp.stop(*m.node); }));
    ASSERT_EQ(stop, STATUS_SUCCESS);
    c.while_stopped(m);
    m.settle(2);
    ASSERT_EQ(m.start(), STATUS_SUCCESS);

    EXPECT_EQ(tracking->done(), c.tracking_done);
    if (tracking->done()) {
        EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
        // Its owner typically resets the card at once: the request completes only once the start has its answer
        // from the reader and the background read is posted again, never while the start still reads the pipe.
        ASSERT_FALSE(m.reader.written().empty());
        EXPECT_GT(tracking->completed_at(), m.reader.written().back().time);
        EXPECT_NE(m.de->PollIrp, nullptr);
    }
    EXPECT_EQ(m.sc->ReaderCapabilities.CurrentState, c.state);
    EXPECT_EQ(m.card_status_requests(), 2u);
    EXPECT_EQ(m.usb.in_backlog(kInEndpoint), 0u) << "a packet stayed on the pipe for the next command";
    EXPECT_EQ(m.ioctl(handle, IOCTL_VENDOR_GET_VERSION, {}, 64).status, STATUS_SUCCESS);
    const sim::IoResult state = m.ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, 4);
    EXPECT_EQ(state.status, STATUS_SUCCESS);
    EXPECT_EQ(state.output, ulong_bytes(c.state));

    // A tracking request still waiting is ended by the removal.
    EXPECT_EQ(m.remove(), STATUS_SUCCESS);
    EXPECT_TRUE(tracking->done());
    EXPECT_TRUE(m.torn_down());
}

INSTANTIATE_TEST_SUITE_P(
    Slot, StopAndStart,
    ::testing::Values(
        ChangeWhileStopped{"card_swapped", true, [](Machine& m) { m.remove_card(); m.insert_card(); }, true,
                           SCARD_PRESENT},
        ChangeWhileStopped{"card_pulled", true, [](Machine& m) { m.remove_card(); }, true, SCARD_ABSENT},
        ChangeWhileStopped{"card_put_in", false, [](Machine& m) { m.insert_card(); }, true, SCARD_PRESENT},
        ChangeWhileStopped{"card_put_in_and_pulled", false, [](Machine& m) { m.insert_card(); m.remove_card(); }, true,
                           SCARD_ABSENT},
        ChangeWhileStopped{"card_left_alone", true, [](Machine&) {}, false, SCARD_PRESENT}),
    [](const ::testing::TestParamInfo<ChangeWhileStopped>& info) { return std::string(info.param.name); });

// The card event that completes the background read arrives in the same instant as the stop that cancels the read,
// so that, depending on the seed, the completion frees the read's IRP just before or while the stop cancels it.
// Nothing may touch a freed IRP (the kernel bug-checks on that), and afterwards no read is outstanding.
TEST(Stop, CancellingTheReadWhileACardEventCompletesItNeverTouchesAFreedIrp) {
    int event_first = 0, cancel_first = 0;
    for (uint64_t seed = 1; seed <= 64; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Machine m(seed);
        ASSERT_EQ(m.start(), STATUS_SUCCESS);
        sim::Handle handle = m.open();
        std::shared_ptr<sim::PendingRequest> tracking = m.ioctl_async(handle, IOCTL_SMARTCARD_IS_PRESENT);
        ASSERT_NE(m.de->PollIrp, nullptr);

        // Fewer preemptions let the stop reach the cancel before the bus thread runs in some seeds.
        m.k.scheduler().preempt_per_mille = 250;
        NTSTATUS stop = STATUS_PENDING;
        ASSERT_TRUE(m.run([&] {
            // The bus completes the read at the frame boundary t0 that follows the card event.
            const sim::VirtualTime t0 = (m.k.now() / sim::UsbDevice::kFrame + 5) * sim::UsbDevice::kFrame;
            m.k.spawn("card", [&, t0] {
                m.k.scheduler().sleep_until(t0 - sim::from_us(1500));
                m.insert_card();
            });
            m.k.scheduler().sleep_until(t0);
            stop = m.pnp.send_pnp(*m.node, IRP_MN_STOP_DEVICE);
        }));
        EXPECT_EQ(stop, STATUS_SUCCESS);
        EXPECT_EQ(m.de->PnPState, PNP_NOT_STARTED);
        EXPECT_EQ(m.de->PollIrp, nullptr);
        EXPECT_EQ(m.usb.queued_transfers(kInEndpoint), 0u);
        if (tracking->done()) {
            EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
            ++event_first;
        } else {
            EXPECT_TRUE(m.re->PollCancelled);
            ++cancel_first;
        }
    }
    // Both orders happened, so the window between them was crossed.
    EXPECT_GT(event_first, 0);
    EXPECT_GT(cancel_first, 0);
}

// ---- Surprise removal and removal ------------------------------------------------------------------------------------------

TEST(SurpriseRemoval, ThenRemovalDrainsOnceAndStillFreesEverything) {
    Machine m;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle handle = m.open();
    std::shared_ptr<sim::PendingRequest> tracking = m.ioctl_async(handle, IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_FALSE(tracking->done());
    EXPECT_EQ(UnitMap, 0x01);

    NTSTATUS surprise = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] { surprise = m.pnp.surprise_removal(*m.node); }));
    EXPECT_EQ(surprise, STATUS_SUCCESS);
    EXPECT_EQ(m.de->PnPState, PNP_SURPRISE_REMOVED);
    EXPECT_EQ(m.urbs(URB_FUNCTION_ABORT_PIPE), 2u) << "one abort per pipe";
    ASSERT_TRUE(tracking->done());
    EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
    EXPECT_EQ(m.sc->OsData->NotificationIrp, nullptr);
    EXPECT_FALSE(m.interface_enabled());
    EXPECT_EQ(m.de->InterfaceName.Buffer, nullptr);
    EXPECT_EQ(m.de->IoCount, 1);
    EXPECT_EQ(m.ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(UnitMap, 0x01) << "the unit number is given back at the removal";

    // A second drain of the remove lock would be a bug check; the removal skips what the surprise removal did.
    NTSTATUS removal = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] { removal = m.pnp.finish_removal(*m.node); }));
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_EQ(m.urbs(URB_FUNCTION_ABORT_PIPE), 2u);
    EXPECT_EQ(m.pdo().removals(), 1);
    EXPECT_EQ(UnitMap, 0x00);
    // The device is gone and the driver unloaded without pool left over: the configuration, SMCLIB's records and
    // the reader record were freed.
    EXPECT_TRUE(m.torn_down());
}

TEST(SurpriseRemoval, WaitsForTheIoControlInFlightBeforeItReturns) {
    Machine m;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle handle = m.open();

    sim::VirtualTime ioctl_done = 0, surprise_done = 0;
    bool surprise_done_while_held = true;
    ASSERT_TRUE(m.run([&] {
        PRKMUTEX mutex = &m.sc->OsData->Mutex;
        KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr);
        m.k.spawn("application", [&] {
            handle.ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_VENDOR_NAME), 64);
            ioctl_done = m.k.now();
        });
        m.k.scheduler().sleep_for(from_ms(5));
        m.k.spawn("pnp", [&] {
            m.pnp.surprise_removal(*m.node);
            surprise_done = m.k.now();
        });
        m.k.scheduler().sleep_for(from_ms(30));
        surprise_done_while_held = surprise_done != 0;
        KeReleaseMutex(mutex, FALSE);
    }));
    EXPECT_FALSE(surprise_done_while_held);
    EXPECT_GE(surprise_done, ioctl_done);
    EXPECT_EQ(m.de->PnPState, PNP_SURPRISE_REMOVED);
}

TEST(Removal, CompletesThePendingTrackingRequestAndGivesBackTheUnitBit) {
    Machine m;
    // A second reader without USB behind it, which is never started, holds unit 1.
    sim::DeviceNode* second = nullptr;
    ASSERT_TRUE(m.run([&] { second = &m.pnp.plug(m.driver, "second Q-ward", nullptr); }));
    ASSERT_NE(second->fdo(), nullptr);
    EXPECT_EQ(UnitMap, 0x03);

    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle handle = m.open();
    std::shared_ptr<sim::PendingRequest> tracking = m.ioctl_async(handle, IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_FALSE(tracking->done());

    EXPECT_EQ(m.remove(), STATUS_SUCCESS);
    ASSERT_TRUE(tracking->done());
    EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
    EXPECT_EQ(m.urbs(URB_FUNCTION_ABORT_PIPE), 2u);
    EXPECT_EQ(UnitMap, 0x02) << "only unit 0's bit is cleared";
    EXPECT_EQ(m.k.find_device(m.fdo), nullptr);
    EXPECT_TRUE(m.pnp.loaded(m.driver)) << "the second reader keeps the driver loaded";

    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] { status = m.pnp.remove(*second); }));
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(UnitMap, 0x00);
    EXPECT_TRUE(m.torn_down());
}

// An application keeps the card-tracking request going while the Plug and Play manager removes the reader (no
// surprise removal first): each time the removal completes its request, the application sends the next one at
// once, and until the remove lock is drained the gate still lets it in. Whatever the interleaving, every request
// completes exactly once, nothing is pending when the reader's records go, and no pool is left.
TEST(Removal, TrackingRequestsSentDuringTheRemovalAllComplete) {
    int admitted_during_removal = 0, refused_at_the_gate = 0;
    for (uint64_t seed = 1; seed <= 100; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::vector<std::shared_ptr<sim::PendingRequest>> requests;
        {
            Machine m(seed);
            ASSERT_EQ(m.start(), STATUS_SUCCESS);
            sim::Handle handle = m.open();
            bool removed = false;
            NTSTATUS removal = STATUS_PENDING;
            ASSERT_TRUE(m.run([&] {
                m.k.spawn("application", [&] {
                    // No card: IS_PRESENT waits for a card event, IS_ABSENT is answered at once.
                    for (int i = 0; !removed && i < 200; ++i) {
                        const ULONG code = i % 3 == 2 ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT;
                        std::shared_ptr<sim::PendingRequest> request = handle.ioctl_async(code);
                        requests.push_back(request);
                        request->wait();
                        if (request->status() == STATUS_DEVICE_REMOVED) break;
                    }
                });
                m.k.scheduler().sleep_for(from_ms(1 + m.k.scheduler().random_below(5)));
                removal = m.pnp.remove(*m.node);
                removed = true;
            }));
            EXPECT_EQ(removal, STATUS_SUCCESS);
            EXPECT_TRUE(m.torn_down());
            EXPECT_TRUE(m.app.outstanding().empty()) << m.app.describe_outstanding();
            // The Machine's destructor runs the kernel's leak check when the driver has been unloaded.
        }
        ASSERT_FALSE(requests.empty());
        bool refused = false;
        int presence_requests_ended = 0;
        for (const std::shared_ptr<sim::PendingRequest>& request : requests) {
            ASSERT_TRUE(request->done()) << request->describe();
            const NTSTATUS status = request->status();
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DEVICE_REMOVED) << request->describe();
            refused = refused || status == STATUS_DEVICE_REMOVED;
            presence_requests_ended +=
                status == STATUS_SUCCESS && request->io_control_code() == IOCTL_SMARTCARD_IS_PRESENT;
        }
        // Without a card only the removal ends an IS_PRESENT with success; a second one was admitted after the
        // removal had completed the first.
        admitted_during_removal += presence_requests_ended > 1;
        EXPECT_LE(presence_requests_ended, 2);
        refused_at_the_gate += refused;
    }
    // The window in which a new request is admitted after the removal completed the old one was reached, and so
    // was the drained gate (an application that only learns of the removal afterwards sends nothing more).
    EXPECT_GT(admitted_during_removal, 0);
    EXPECT_GT(refused_at_the_gate, 0);
}

// Handles closed and shutdown notices while the Plug and Play manager removes the reader: each cleanup and
// shutdown either finds the records it uses, or sees the removal and touches nothing. The removal frees SMCLIB's
// records and the reader record only once none of them is under way.
TEST(Removal, CleanupAndShutdownDuringTheRemovalNeverUseFreedRecords) {
    int after_removal = 0;
    for (uint64_t seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Machine m(seed);
        ASSERT_EQ(m.start(), STATUS_SUCCESS);
        std::vector<sim::Handle> handles;
        for (int i = 0; i < 6; ++i) handles.push_back(m.open());
        NTSTATUS removal = STATUS_PENDING;
        bool removed = false;
        // Both sides only yield, so that virtual time stands still and every switch point of the removal is one
        // at which a cleanup or a shutdown notice can come in.
        auto pass_turns = [&](uint64_t most) {
            for (uint64_t turns = m.k.scheduler().random_below(most); turns > 0; --turns) m.k.scheduler().yield();
        };
        ASSERT_TRUE(m.run([&] {
            m.k.spawn("application", [&] {
                for (sim::Handle& handle : handles) {
                    pass_turns(40);
                    after_removal += removed;
                    handle.close();
                    m.pnp.shutdown();
                }
            });
            pass_turns(60);
            removal = m.pnp.remove(*m.node);
            removed = true;
        }));
        EXPECT_EQ(removal, STATUS_SUCCESS);
        EXPECT_TRUE(m.torn_down());
    }
    EXPECT_GT(after_removal, 0) << "no handle was closed after the removal";
}

// Requests that reach the device once it counts as removed are refused at once and never counted.
TEST(Removal, PnpRequestsToARemovedDeviceAreCompletedWithDeletePending) {
    Machine m;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    const UCHAR minors[] = {IRP_MN_START_DEVICE,        IRP_MN_QUERY_STOP_DEVICE,   IRP_MN_QUERY_REMOVE_DEVICE,
                            IRP_MN_CANCEL_STOP_DEVICE,  IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                            IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_ID};
    m.de->PnPState = PNP_REMOVED;
    for (UCHAR minor : minors) {
        SCOPED_TRACE(sim::pnp_minor_name(minor));
        const size_t at_bus = m.pdo().count(IRP_MJ_PNP);
        NTSTATUS status = STATUS_PENDING;
        ASSERT_TRUE(m.run([&] { status = m.pnp.send_pnp(*m.node, minor); }));
        EXPECT_EQ(status, STATUS_DELETE_PENDING);
        EXPECT_EQ(m.pdo().count(IRP_MJ_PNP), at_bus);
        EXPECT_EQ(m.de->IoCount, 1);
    }
    m.de->PnPState = PNP_STARTED;
}

// ---- Kernel version ----------------------------------------------------------------------------------------------------------

struct VersionCase {
    ULONG major;
    ULONG minor;
    bool has_routine;
    ULONG requested;
    bool available;
};

TEST(KernelVersion, DecisionWithAndWithoutRtlIsNtDdiVersionAvailable) {
    const VersionCase cases[] = {
        {5, 1, false, 0x06000000, false}, {5, 2, false, 0x05020000, true},  {6, 0, false, 0x06000000, true},
        {6, 0, false, 0x06000100, false}, {6, 1, false, 0x06000000, true},  {10, 0, false, 0x06000000, true},
        {6, 1, true, 0x06000000, true},   {6, 1, true, 0x06020000, false},  {5, 2, true, 0x06000000, false},
    };
    for (const VersionCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor) +
                     (c.has_routine ? " with" : " without") + " the routine, asking for " + std::to_string(c.requested));
        sim::KernelSettings settings;
        settings.major_version = c.major;
        settings.minor_version = c.minor;
        settings.has_rtl_is_ntddi_version_available = c.has_routine;
        sim::Kernel k(1, settings);
        BOOLEAN available = !c.available;
        ASSERT_EQ(k.run_thread("version", [&] { available = IsNtDdiVersionAvailable(c.requested); }),
                  sim::RunOutcome::completed)
            << k.bug_check_report();
        EXPECT_EQ(available != FALSE, c.available);
    }
}

}  // namespace
}  // namespace qward::test
