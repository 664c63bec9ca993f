// The device-control gate over every code and Plug and Play state, GET_STATE during removal, cleanup ending the tracking request (also racing a card event), shutdown, system control, create and close.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "driver_fixture.h"

namespace qward::test {
namespace {

using sim::from_ms;

constexpr ULONG kTestHoldTag = 0x74736554;  // 'T', 'e', 's', 't' in memory order
constexpr ULONG kUntouched = 0xDEADBEEF;

std::vector<uint8_t> ulong_bytes(ULONG value, size_t size = sizeof(ULONG)) {
    std::vector<uint8_t> bytes(size, 0);
    std::memcpy(bytes.data(), &value, sizeof(ULONG));
    return bytes;
}

// ---- The gate -----------------------------------------------------------------------------------------------------

struct Code {
    const char* name;
    ULONG code;
    bool admitted;
};

const Code kCodes[] = {
    {"IOCTL_SMARTCARD_POWER", IOCTL_SMARTCARD_POWER, true},
    {"IOCTL_SMARTCARD_GET_ATTRIBUTE", IOCTL_SMARTCARD_GET_ATTRIBUTE, true},
    {"IOCTL_SMARTCARD_SET_ATTRIBUTE", IOCTL_SMARTCARD_SET_ATTRIBUTE, true},
    {"IOCTL_SMARTCARD_TRANSMIT", IOCTL_SMARTCARD_TRANSMIT, true},
    {"IOCTL_SMARTCARD_IS_PRESENT", IOCTL_SMARTCARD_IS_PRESENT, true},
    {"IOCTL_SMARTCARD_IS_ABSENT", IOCTL_SMARTCARD_IS_ABSENT, true},
    {"IOCTL_SMARTCARD_SET_PROTOCOL", IOCTL_SMARTCARD_SET_PROTOCOL, true},
    {"IOCTL_SMARTCARD_GET_STATE", IOCTL_SMARTCARD_GET_STATE, true},
    {"IOCTL_VENDOR_GET_VERSION", 0x312004, true},
    {"IOCTL_VENDOR_COMMAND_1F", 0x31207C, true},
    {"IOCTL_VENDOR_COMMAND_2F", 0x3120BC, true},
    {"IOCTL_VENDOR_COMMAND_3F", 0x3120FC, true},
    {"CM_IOCTL_GET_FEATURE_REQUEST", 0x313520, true},
    {"IOCTL_FEATURE_VERIFY_PIN_START", 0x3136B0, true},
    {"IOCTL_FEATURE_VERIFY_PIN_FINISH", 0x3136B4, true},
    {"IOCTL_FEATURE_GET_KEY_PRESSED", 0x3136C0, true},
    {"IOCTL_FEATURE_VERIFY_PIN_DIRECT", 0x3136C4, true},
    {"IOCTL_FEATURE_ABORT", 0x3136CC, true},
    {"IOCTL_FEATURE_IFD_PIN_PROPERTIES", 0x3136D0, true},
    {"IOCTL_SMARTCARD_CONFISCATE", IOCTL_SMARTCARD_CONFISCATE, false},
    {"IOCTL_SMARTCARD_EJECT", IOCTL_SMARTCARD_EJECT, false},
    {"IOCTL_SMARTCARD_SWALLOW", IOCTL_SMARTCARD_SWALLOW, false},
    {"IOCTL_SMARTCARD_GET_LAST_ERROR", IOCTL_SMARTCARD_GET_LAST_ERROR, false},
    {"IOCTL_SMARTCARD_GET_PERF_CNTR", IOCTL_SMARTCARD_GET_PERF_CNTR, false},
    {"vendor code 2050", SCARD_CTL_CODE(2050), false},
    {"CM_IOCTL 3401", SCARD_CTL_CODE(3401), false},
    {"feature code 3502", SCARD_CTL_CODE(3502), false},
    {"a disk code", 0x70000, false},
};

// Every reader callback is replaced by one that only counts, so that a request that SMCLIB hands on is seen and
// does nothing to the reader.
int g_callbacks = 0;
NTSTATUS NTAPI count_callback(PSMARTCARD_EXTENSION) {
    ++g_callbacks;
    return STATUS_SUCCESS;
}
const int kCallbackSlots[] = {RDF_CARD_POWER,     RDF_TRANSMIT,     RDF_CARD_EJECT,      RDF_READER_SWALLOW,
                              RDF_CARD_TRACKING,  RDF_SET_PROTOCOL, RDF_CARD_CONFISCATE, RDF_IOCTL_VENDOR};

// The input each code needs to get past SMCLIB's size checks.
std::vector<uint8_t> input_for(ULONG code) {
    switch (code) {
        case IOCTL_SMARTCARD_POWER: return ulong_bytes(SCARD_COLD_RESET);
        case IOCTL_SMARTCARD_GET_ATTRIBUTE:
        case IOCTL_SMARTCARD_SET_ATTRIBUTE: return ulong_bytes(SCARD_ATTR_VENDOR_NAME, 16);
        case IOCTL_SMARTCARD_TRANSMIT: return {1, 0, 0, 0, 8, 0, 0, 0, 0x00, 0xA4, 0x04, 0x00};
        case IOCTL_SMARTCARD_SET_PROTOCOL: return ulong_bytes(SCARD_PROTOCOL_T1);
        default: return {};
    }
}

enum class GateState { not_started, started, stopped, surprise_removed, removed };

struct GateCase {
    const char* name;
    GateState state;
};

class Gate : public ::testing::TestWithParam<GateCase> {};

TEST_P(Gate, AdmitsOnlyTheTableAndOnlyWhileStarted) {
    const GateCase& c = GetParam();
    Machine m;
    if (c.state != GateState::not_started) {
        ASSERT_EQ(m.start(), STATUS_SUCCESS);
    }
    sim::Handle handle = m.open();
    if (c.state == GateState::stopped) {
        ASSERT_TRUE(m.run([&] { EXPECT_EQ(m.pnp.stop(*m.node), STATUS_SUCCESS); }));
    }
    if (c.state == GateState::surprise_removed) {
        ASSERT_TRUE(m.run([&] { EXPECT_EQ(m.pnp.surprise_removal(*m.node), STATUS_SUCCESS); }));
    }
    // A device that counts as removed but still receives requests (they can meet it between the state change and
    // the deletion).
    if (c.state == GateState::removed) m.de->PnPState = PNP_REMOVED;

    PSMARTCARD_EXTENSION sc = m.sc;
    std::map<int, PVOID> saved;
    for (int slot : kCallbackSlots) {
        saved[slot] = reinterpret_cast<PVOID>(sc->ReaderFunction[slot]);
        sc->ReaderFunction[slot] = count_callback;
    }

    for (const Code& code : kCodes) {
        SCOPED_TRACE(code.name);
        const bool open_gate = c.state == GateState::started && code.admitted;
        g_callbacks = 0;
        sc->MajorIoControlCode = kUntouched;
        const sim::IoResult result = m.ioctl(handle, code.code, input_for(code.code), 64);

        // SMCLIB records every request that it serves but GET_STATE, which it answers with four bytes.
        const bool reached_smclib = code.code == IOCTL_SMARTCARD_GET_STATE
                                        ? result.status == STATUS_SUCCESS && result.bytes == sizeof(ULONG)
                                        : sc->MajorIoControlCode == code.code;
        EXPECT_EQ(reached_smclib, open_gate);
        if (!open_gate) {
            EXPECT_EQ(g_callbacks, 0);
            EXPECT_EQ(result.status, c.state == GateState::started ? STATUS_INVALID_PARAMETER : STATUS_DEVICE_REMOVED);
            EXPECT_EQ(result.bytes, 0u);
        }
        EXPECT_EQ(m.de->IoCount, 1);
    }

    for (int slot : kCallbackSlots) sc->ReaderFunction[slot] = reinterpret_cast<decltype(sc->ReaderFunction[0])>(saved[slot]);
    if (c.state == GateState::removed) m.de->PnPState = PNP_STARTED;
}

INSTANTIATE_TEST_SUITE_P(States, Gate,
                         ::testing::Values(GateCase{"not_started", GateState::not_started},
                                           GateCase{"started", GateState::started},
                                           GateCase{"stopped", GateState::stopped},
                                           GateCase{"surprise_removed", GateState::surprise_removed},
                                           GateCase{"removed", GateState::removed}),
                         [](const ::testing::TestParamInfo<GateCase>& info) { return std::string(info.param.name); });

// A test thread holds the remove lock, so that the removal (without a surprise removal before it) stops inside its
// drain, after acquisitions have begun to fail and before the device counts as removed.
TEST(Gate, DuringRemovalGetStateStillReachesSmclibAndEverythingElseIsRefused) {
    Machine m;
    m.insert_card_quietly();
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle handle = m.open();

    ULONG state_during = 0;
    LONG count_before = 0, count_after = 0;
    sim::IoResult get_state, transmit, attribute;
    NTSTATUS removal = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] {
        ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(m.sc, kTestHoldTag), STATUS_SUCCESS);
        m.k.spawn("pnp", [&] { removal = m.pnp.remove(*m.node); });
        m.k.scheduler().sleep_for(from_ms(10));
        state_during = m.de->PnPState;
        count_before = m.de->IoCount;
        get_state = handle.ioctl(IOCTL_SMARTCARD_GET_STATE, {}, 4);
        transmit = handle.ioctl(IOCTL_SMARTCARD_TRANSMIT, input_for(IOCTL_SMARTCARD_TRANSMIT), 64);
        attribute = handle.ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, input_for(IOCTL_SMARTCARD_GET_ATTRIBUTE), 64);
        count_after = m.de->IoCount;
        SmartcardReleaseRemoveLockWithTag(m.sc, kTestHoldTag);
    }));

    EXPECT_EQ(state_during, PNP_STARTED);
    EXPECT_EQ(get_state.status, STATUS_SUCCESS);
    ASSERT_EQ(get_state.bytes, sizeof(ULONG));
    ULONG state = 0;
    std::memcpy(&state, get_state.output.data(), sizeof(state));
    EXPECT_EQ(state, ULONG(SCARD_PRESENT));
    EXPECT_EQ(transmit.status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(transmit.bytes, 0u);
    EXPECT_EQ(attribute.status, STATUS_DEVICE_REMOVED);
    // Refused and GET_STATE requests alike take no count on this path.
    EXPECT_EQ(count_after, count_before);
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_TRUE(m.torn_down());
}

TEST(Gate, PendingTrackingRequestHoldsNeitherCountNorLock) {
    Machine m;
    m.insert_card_quietly();
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle handle = m.open();
    std::shared_ptr<sim::PendingRequest> tracking = m.ioctl_async(handle, IOCTL_SMARTCARD_IS_ABSENT);
    EXPECT_EQ(tracking->dispatch_status(), STATUS_PENDING);
    EXPECT_FALSE(tracking->done());
    EXPECT_EQ(m.de->IoCount, 1);
    // A query waits for idle: it would hang on a count that the pending request kept.
    NTSTATUS query = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] { query = m.pnp.query_remove_then_cancel(*m.node); }));
    EXPECT_EQ(query, STATUS_SUCCESS);
    EXPECT_FALSE(tracking->done());
    // The removal's drain would hang on a lock that it kept; it completes the request instead.
    EXPECT_EQ(m.remove(), STATUS_SUCCESS);
    ASSERT_TRUE(tracking->done());
    EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
}

// ---- Cleanup ----------------------------------------------------------------------------------------------------

TEST(Cleanup, ClosingAnyHandleCancelsThePendingTrackingRequest) {
    Machine m;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle tracker = m.open();
    sim::Handle other = m.open();

    // Nothing pending: a plain cleanup.
    sim::Handle idle = m.open();
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(m.run([&] { status = idle.close(); }));
    EXPECT_EQ(status, STATUS_SUCCESS);

    std::shared_ptr<sim::PendingRequest> tracking = m.ioctl_async(tracker, IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_FALSE(tracking->done());
    ASSERT_TRUE(m.run([&] { status = other.close(); }));
    EXPECT_EQ(status, STATUS_SUCCESS);
    ASSERT_TRUE(tracking->done());
    EXPECT_EQ(tracking->status(), STATUS_CANCELLED);
    EXPECT_EQ(tracking->bytes(), 0u);
    EXPECT_EQ(m.sc->OsData->NotificationIrp, nullptr);
    EXPECT_EQ(m.pdo().count(IRP_MJ_CLEANUP), 0u) << "cleanup is not passed down";
    EXPECT_EQ(m.de->IoCount, 1);

    // Tracking works as before afterwards.
    std::shared_ptr<sim::PendingRequest> again = m.ioctl_async(tracker, IOCTL_SMARTCARD_IS_PRESENT);
    ASSERT_FALSE(again->done());
    m.insert_card();
    m.settle(10);
    ASSERT_TRUE(again->done());
    EXPECT_EQ(again->status(), STATUS_SUCCESS);
}

// The card event completes the tracking request in the bus's completion context at the very instant the cleanup
// ends it. Whichever comes first, the request completes exactly once and nothing touches it afterwards (the kernel
// bug-checks a second completion or the use of a freed IRP).
TEST(Cleanup, RacingACardEventCompletesTheRequestOnce) {
    int event_first = 0, cleanup_first = 0;
    for (uint64_t seed = 1; seed <= 64; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Machine m(seed);
        ASSERT_EQ(m.start(), STATUS_SUCCESS);
        sim::Handle tracker = m.open();
        sim::Handle other = m.open();
        std::shared_ptr<sim::PendingRequest> tracking = m.ioctl_async(tracker, IOCTL_SMARTCARD_IS_PRESENT);
        ASSERT_FALSE(tracking->done());
        m.k.scheduler().preempt_per_mille = 250;

        ASSERT_TRUE(m.run([&] {
            // The bus completes the read at the frame boundary t0 that follows the card event.
            const sim::VirtualTime t0 = (m.k.now() / sim::UsbDevice::kFrame + 5) * sim::UsbDevice::kFrame;
            m.k.spawn("card", [&, t0] {
                m.k.scheduler().sleep_until(t0 - sim::from_us(1500));
                m.insert_card();
            });
            m.k.scheduler().sleep_until(t0);
            EXPECT_EQ(other.close(), STATUS_SUCCESS);
        }));
        ASSERT_TRUE(tracking->done());
        EXPECT_EQ(tracking->bytes(), 0u);
        EXPECT_EQ(m.sc->OsData->NotificationIrp, nullptr);
        if (tracking->status() == STATUS_SUCCESS) {
            ++event_first;
        } else {
            EXPECT_EQ(tracking->status(), STATUS_CANCELLED);
            ++cleanup_first;
        }
        EXPECT_EQ(m.sc->ReaderCapabilities.CurrentState, ULONG(SCARD_PRESENT));
    }
    EXPECT_GT(event_first, 0);
    EXPECT_GT(cleanup_first, 0);
}

// ---- Shutdown -------------------------------------------------------------------------------------------------------

TEST(Shutdown, WithoutAWaiterChangesNothing) {
    Machine m;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    std::vector<NTSTATUS> results;
    ASSERT_TRUE(m.run([&] { results = m.pnp.shutdown(); }));
    EXPECT_EQ(results, std::vector<NTSTATUS>{STATUS_SUCCESS});
    EXPECT_FALSE(m.de->ShutdownSignalled);
    EXPECT_EQ(m.pdo().count(IRP_MJ_SHUTDOWN), 0u) << "the shutdown request is not passed down";
}

TEST(Shutdown, WakesTheCallerWaitingForTheReader) {
    Machine m;
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    // The reader takes the command and never answers it.
    m.reader.set_mode(sim::Reader::Mode::scripted);

    NTSTATUS waited = STATUS_PENDING;
    bool waiting_before_shutdown = false;
    std::vector<NTSTATUS> results;
    ASSERT_TRUE(m.run([&] {
        m.k.spawn("key poll", [&] {
            UCHAR header[8] = {0x01, 0x03, 0x44, 0x00, 0x00, 0x00, 0x00, 0x00};
            waited = WritePacketAndAwait(m.sc, header, 0);
        });
        m.k.scheduler().sleep_for(from_ms(20));
        waiting_before_shutdown = waited == STATUS_PENDING && m.re->ResponseEvent != nullptr;
        results = m.pnp.shutdown();
    }));
    EXPECT_TRUE(waiting_before_shutdown);
    EXPECT_EQ(results, std::vector<NTSTATUS>{STATUS_SUCCESS});
    EXPECT_EQ(waited, STATUS_SUCCESS);
    EXPECT_TRUE(m.de->ShutdownSignalled);
    EXPECT_FALSE(m.re->EventPacketReady) << "woken without a packet";
    EXPECT_EQ(m.re->ResponseEvent, nullptr);
    EXPECT_EQ(m.pdo().count(IRP_MJ_SHUTDOWN), 0u);
}

// ---- System control, create, close -------------------------------------------------------------------------------------

TEST(SystemControl, ForwardedUnlessRemoved) {
    struct Row {
        const char* name;
        bool start;
        bool removed;
    };
    for (const Row& row : {Row{"not started", false, false}, Row{"started", true, false}, Row{"removed", true, true}}) {
        SCOPED_TRACE(row.name);
        Machine m;
        if (row.start) {
            ASSERT_EQ(m.start(), STATUS_SUCCESS);
        }
        if (row.removed) m.de->PnPState = PNP_REMOVED;
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR information = 1;
        ASSERT_TRUE(m.run([&] {
            // WMI requests arrive with STATUS_NOT_SUPPORTED; a bus driver without WMI leaves it so.
            auto request = sim::HostRequest::create(m.k, m.top(), "IRP_MJ_SYSTEM_CONTROL", STATUS_NOT_SUPPORTED);
            request->location()->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
            status = request->send_and_wait();
            information = request->information();
        }));
        EXPECT_EQ(status, row.removed ? STATUS_DELETE_PENDING : STATUS_NOT_SUPPORTED);
        EXPECT_EQ(information, 0u);
        EXPECT_EQ(m.pdo().count(IRP_MJ_SYSTEM_CONTROL), row.removed ? 0u : 1u);
        EXPECT_EQ(m.de->IoCount, 1);
        if (row.removed) m.de->PnPState = PNP_STARTED;
    }
}

TEST(CreateClose, GoToTheBusDriverInAnyState) {
    Machine m;
    sim::Handle before_start = m.open();
    EXPECT_TRUE(before_start.valid());
    EXPECT_EQ(m.pdo().count(IRP_MJ_CREATE), 1u);
    ASSERT_EQ(m.start(), STATUS_SUCCESS);
    sim::Handle started = m.open();
    EXPECT_EQ(m.pdo().count(IRP_MJ_CREATE), 2u);
    ASSERT_TRUE(m.run([&] {
        EXPECT_EQ(before_start.close(), STATUS_SUCCESS);
        EXPECT_EQ(started.close(), STATUS_SUCCESS);
    }));
    EXPECT_EQ(before_start.close_status(), STATUS_SUCCESS);
    EXPECT_EQ(m.pdo().count(IRP_MJ_CLOSE), 2u);
    EXPECT_EQ(m.de->IoCount, 1);
}

}  // namespace
}  // namespace qward::test
