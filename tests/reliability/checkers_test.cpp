// The outside checkers: the status table per I/O control, the disturbance notation, and each end-of-run check against a machine that has the fault it looks for.
#include <gtest/gtest.h>

#include "checkers.h"
#include "rig.h"
#include "runner.h"

namespace sim::reliability {
namespace {

constexpr NTSTATUS kReaderError = static_cast<NTSTATUS>(0xE0100003L);
constexpr NTSTATUS kApduLengthMismatch = static_cast<NTSTATUS>(0xC0000048L);

TEST(StatusTable, AdmitsWhatEachControlCanReturnAndNothingElse) {
    struct Row {
        ULONG code;
        NTSTATUS status;
        bool allowed;
    };
    const Row rows[] = {
        {IOCTL_SMARTCARD_POWER, STATUS_UNRECOGNIZED_MEDIA, true},
        {IOCTL_SMARTCARD_POWER, STATUS_IO_TIMEOUT, true},
        {IOCTL_SMARTCARD_POWER, STATUS_DEVICE_PROTOCOL_ERROR, false},
        {IOCTL_SMARTCARD_TRANSMIT, kApduLengthMismatch, true},
        {IOCTL_SMARTCARD_TRANSMIT, STATUS_DEVICE_PROTOCOL_ERROR, true},
        {IOCTL_SMARTCARD_TRANSMIT, STATUS_UNRECOGNIZED_MEDIA, false},
        {IOCTL_SMARTCARD_TRANSMIT, kReaderError, false},
        {IOCTL_SMARTCARD_GET_STATE, STATUS_SUCCESS, true},
        {IOCTL_SMARTCARD_GET_STATE, STATUS_NO_MEDIA, false},
        {IOCTL_SMARTCARD_IS_PRESENT, STATUS_CANCELLED, true},
        {IOCTL_SMARTCARD_IS_ABSENT, STATUS_DEVICE_BUSY, true},
        {IOCTL_SMARTCARD_IS_ABSENT, STATUS_IO_TIMEOUT, false},
        {IOCTL_VENDOR_GET_VERSION, kReaderError, true},
        {IOCTL_FEATURE_VERIFY_PIN_FINISH, STATUS_INVALID_DEVICE_REQUEST, true},
        // A transfer that the bus driver failed (pipe aborted, device gone) ends an exchange with its status.
        {IOCTL_FEATURE_VERIFY_PIN_FINISH, STATUS_CANCELLED, true},
        {IOCTL_FEATURE_VERIFY_PIN_FINISH, STATUS_ACCESS_DENIED, false},
        {IOCTL_SMARTCARD_EJECT, STATUS_INVALID_PARAMETER, true},
        {IOCTL_SMARTCARD_EJECT, STATUS_NOT_SUPPORTED, false},
        {0x00220003, STATUS_DEVICE_REMOVED, true},
        {0x00220003, STATUS_SUCCESS, false},
        {IOCTL_SMARTCARD_TRANSMIT, STATUS_NO_SUCH_DEVICE, true},
        {IOCTL_SMARTCARD_GET_STATE, STATUS_NO_SUCH_DEVICE, false},
        // The smart card library's refusals before the callbacks.
        {IOCTL_SMARTCARD_TRANSMIT, STATUS_INVALID_DEVICE_STATE, true},
        {IOCTL_SMARTCARD_SET_PROTOCOL, STATUS_NO_MEDIA, true},
        {IOCTL_SMARTCARD_SET_PROTOCOL, STATUS_INVALID_DEVICE_REQUEST, true},
        {IOCTL_SMARTCARD_SET_PROTOCOL, STATUS_IO_TIMEOUT, false},
        {IOCTL_SMARTCARD_POWER, STATUS_NO_MEDIA, true},
        // A failed background read completes the tracking request with success: its owner looks at the state.
        {IOCTL_SMARTCARD_IS_PRESENT, STATUS_UNSUCCESSFUL, false},
        {IOCTL_SMARTCARD_IS_ABSENT, STATUS_NO_MEDIA, false},
        // A PIN start the reader refuses for a reason of its own fails as a malformed answer would.
        {IOCTL_FEATURE_VERIFY_PIN_START, kReaderError, false},
        {IOCTL_FEATURE_VERIFY_PIN_START, STATUS_INVALID_DEVICE_REQUEST, true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(status_allowed(row.code, row.status), row.allowed)
            << ioctl_name(row.code) << " with " << status_name(row.status);
    }
}

TEST(StatusTable, WhitelistIsTheGatesNineteenCodes) {
    EXPECT_EQ(whitelist().size(), 19u);
    EXPECT_TRUE(whitelisted(IOCTL_FEATURE_IFD_PIN_PROPERTIES));
    EXPECT_FALSE(whitelisted(IOCTL_SMARTCARD_SWALLOW));
    EXPECT_FALSE(whitelisted(IOCTL_SMARTCARD_GET_LAST_ERROR));
}

TEST(DisturbanceText, ReadsEveryKindAndRefusesTheRest) {
    struct Row {
        const char* text;
        bool valid;
        DisturbanceKind kind;
        uint64_t nth;
    };
    const Row rows[] = {
        {"pool:3", true, DisturbanceKind::fault, 3},   {"irp:1", true, DisturbanceKind::fault, 1},
        {"bus:12", true, DisturbanceKind::fault, 12},  {"unplug:120", true, DisturbanceKind::unplug, 120},
        {"card:45", true, DisturbanceKind::pull_card, 45}, {"pool", false, {}, 0},
        {"heap:3", false, {}, 0},                      {"card:4x", false, {}, 0},
    };
    for (const Row& row : rows) {
        auto d = Disturbance::parse(row.text);
        ASSERT_EQ(d.has_value(), row.valid) << row.text;
        if (!d) continue;
        EXPECT_EQ(d->kind, row.kind) << row.text;
        EXPECT_EQ(d->nth, row.nth) << row.text;
        EXPECT_EQ(d->text(), row.text);
    }
    RunSpec spec{"apdus", 7, *Disturbance::parse("bus:12")};
    EXPECT_EQ(replay_command(spec, "qr"), "qr run --scenario apdus --seed 7 --disturb bus:12");
}

bool has(const std::vector<Finding>& findings, const std::string& kind) {
    for (const Finding& f : findings) {
        if (f.kind == kind) return true;
    }
    return false;
}

// A started reader with a handle, then whatever the test does wrong, then the usual teardown.
std::vector<Finding> run_rig(const std::function<void(Rig&, Handle&)>& fault, bool teardown = true) {
    Rig rig(3);
    rig.k.spawn("test", [&] {
        rig.plug();
        rig.start();
        Handle handle = rig.open("test");
        fault(rig, handle);
        if (teardown) rig.teardown();
    });
    return check_run(rig, rig.k.scheduler().run(1'000'000));
}

TEST(EndOfRunChecks, AMachineWithoutFaultsPasses) {
    auto findings = run_rig([](Rig& rig, Handle& h) {
        rig.ioctl(h, IOCTL_SMARTCARD_GET_STATE, {}, 4, "state");
        rig.check_quiet("idle");
    });
    EXPECT_TRUE(findings.empty()) << describe(findings);
}

TEST(EndOfRunChecks, PoolLeftBehindIsReportedPerTag) {
    // Allocated with a tag of its own after the driver is gone, so that the kernel's unload check does not see it.
    auto findings = run_rig([](Rig&, Handle&) {});
    EXPECT_FALSE(has(findings, "pool"));
    Rig rig(3);
    rig.k.spawn("leak", [] { ExAllocatePoolWithTag(NonPagedPool, 24, 'kaeL'); });
    auto leaked = check_run(rig, rig.k.scheduler().run(1'000'000));
    ASSERT_TRUE(has(leaked, "pool")) << describe(leaked);
    EXPECT_NE(describe(leaked).find("'Leak'"), std::string::npos) << describe(leaked);
}

TEST(EndOfRunChecks, ARequestLeftPendingIsReported) {
    // A tracking request waits for a card that never comes; the handle is never closed, so nothing ends it.
    auto findings = run_rig([](Rig& rig, Handle& h) {
        rig.ioctl_async(h, IOCTL_SMARTCARD_IS_PRESENT, {}, 0, "forgotten");
    }, false);
    EXPECT_TRUE(has(findings, "outstanding")) << describe(findings);
}

TEST(EndOfRunChecks, AHoldOnTheRemoveLockAtAQuietMomentIsReported) {
    auto findings = run_rig([](Rig& rig, Handle&) {
        PDEVICE_EXTENSION de = rig.device_extension();
        SmartcardAcquireRemoveLockWithTag(&de->SmartcardExtension, 'tseT');
        rig.check_quiet("held");
        SmartcardReleaseRemoveLockWithTag(&de->SmartcardExtension, 'tseT');
    });
    EXPECT_TRUE(has(findings, "remove lock")) << describe(findings);
}

TEST(EndOfRunChecks, AHangIsReportedAsADeadlockAndItsStateDiagnosed) {
    Rig rig(3);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    rig.k.spawn("stuck", [&] {
        rig.plug();
        rig.start();
        // What the driver's exchange does when it waits for a background read that nobody posted.
        rig.device_extension()->SmartcardExtension.ReaderExtension->ResponseEvent = &never;
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    });
    auto findings = check_run(rig, rig.k.scheduler().run(1'000'000));
    ASSERT_TRUE(has(findings, "deadlock")) << describe(findings);
    EXPECT_NE(findings[0].detail.find("diagnosis"), std::string::npos);
    rig.device_extension()->SmartcardExtension.ReaderExtension->ResponseEvent = nullptr;
}

}  // namespace
}  // namespace sim::reliability
